#include "robot_worker.hpp"

#include <algorithm>
#include <exception>
#include <utility>

namespace tovlink::service {

std::string_view state_name(robot_state state) noexcept {
  switch (state) {
    case robot_state::connecting:
      return "connecting";
    case robot_state::ready:
      return "ready";
    case robot_state::lost:
      return "lost";
  }
  return "lost";
}

error_reply make_error(const tovlink::Error &error) {
  return {error.code().value(), std::string{tovlink::error_name(error.value())}, error.what(),
          error.sent()};
}

robot_worker::robot_worker(robot_config config, worker_timing timing, log_function log,
                           bool library_log)
    : config_(std::move(config)),
      timing_(timing),
      log_(std::move(log)),
      library_log_(library_log),
      history_(timing.history, timing.poll_period) {}

robot_worker::~robot_worker() {
  stop();
}

void robot_worker::start() {
  thread_ = std::jthread([this](std::stop_token stop) {
    // The thread's last line of defence: an exception that escaped the
    // loop ends this robot's service, never the daemon (std::terminate).
    try {
      run(std::move(stop));
    } catch (const std::exception &error) {
      guarded("robot thread",
              [&] { log(std::string{"stopped by an internal error: "} + error.what()); });
    } catch (...) {
      guarded("robot thread", [&] { log("stopped by an internal error"); });
    }
  });
}

void robot_worker::stop() {
  if (!thread_.joinable()) return;
  thread_.request_stop();
  wake_.notify_all();
  thread_.join();
}

robot_state robot_worker::state() const {
  std::lock_guard lock(mutex_);
  return snapshot_.state;
}

robot_snapshot robot_worker::latest() const {
  bool wake = false;
  robot_snapshot latest;
  {
    std::lock_guard lock(mutex_);
    const auto now = steady_clock::now();
    wake = now - last_asked_ >= timing_.asked_keeps_rate;
    last_asked_ = now;
    if (wake) reading_wanted_ = true;
    latest = snapshot_;
  }
  if (wake) wake_.notify_all();
  return latest;
}

submit_status robot_worker::submit(robot_action action, action_done done) {
  {
    std::lock_guard lock(mutex_);
    if (snapshot_.state != robot_state::ready) return submit_status::not_ready;
    if (queue_.size() >= timing_.queue_limit) return submit_status::queue_full;
    queue_.push_back({std::move(action), std::move(done)});
  }
  wake_.notify_all();
  return submit_status::queued;
}

void robot_worker::note_led(int led, bool on) {
  if (led < tovlink::led_range.low || led > tovlink::led_range.high) return;
  std::lock_guard lock(mutex_);
  snapshot_.leds[static_cast<std::size_t>(led - tovlink::first_led)] = on;
}

led_states robot_worker::leds() const {
  std::lock_guard lock(mutex_);
  return snapshot_.leds;
}

std::int64_t robot_worker::time_ms_of(steady_clock::time_point taken_at) const {
  {
    std::lock_guard lock(mutex_);
    if (snapshot_.taken_at == taken_at) return snapshot_.time_ms;
  }
  return unix_ms_now() -
         std::chrono::duration_cast<std::chrono::milliseconds>(steady_clock::now() - taken_at)
             .count();
}

std::uint64_t robot_worker::subscribe(robot_listener listener) {
  std::uint64_t id = 0;
  bool first = false;
  {
    std::lock_guard lock(listeners_mutex_);
    id = next_listener_++;
    first = listeners_.empty();
    listeners_.emplace(id, std::move(listener));
  }
  if (first) {
    {
      std::lock_guard lock(mutex_);
      reading_wanted_ = true;
    }
    wake_.notify_all();
  }
  return id;
}

steady_clock::duration robot_worker::current_poll_period() {
  {
    std::lock_guard lock(listeners_mutex_);
    if (!listeners_.empty()) return timing_.poll_period;
  }
  {
    std::lock_guard lock(mutex_);
    if (steady_clock::now() - last_asked_ < timing_.asked_keeps_rate) return timing_.poll_period;
  }
  return std::max<steady_clock::duration>(timing_.poll_period, timing_.idle_poll_period);
}

void robot_worker::unsubscribe(std::uint64_t id) {
  std::lock_guard lock(listeners_mutex_);
  listeners_.erase(id);
}

void robot_worker::log(const std::string &line) const {
  if (log_) log_("robot " + config_.name + ": " + line);
}

template <typename Callback>
void robot_worker::guarded(const char *what, Callback &&callback) noexcept {
  try {
    callback();
  } catch (const std::exception &error) {
    try {
      log(std::string{"internal error in a "} + what + ": " + error.what());
    } catch (...) {  // out of memory for the line itself: nothing more to do
    }
  } catch (...) {
    try {
      log(std::string{"internal error in a "} + what + " (unknown exception)");
    } catch (...) {
    }
  }
}

void robot_worker::publish(const std::string &text) {
  std::lock_guard lock(listeners_mutex_);
  for (auto &[id, listener] : listeners_) {
    if (listener.notice) guarded("notice listener", [&] { listener.notice(text); });
  }
}

void robot_worker::release(std::optional<std::string_view> lost_reason) noexcept {
  if (robot_ && release_hook_) guarded("release hook", [&] { release_hook_(lost_reason); });
}

void robot_worker::set_state(robot_state state) {
  {
    std::lock_guard lock(mutex_);
    if (snapshot_.state == state) return;
    snapshot_.state = state;
  }
  std::lock_guard lock(listeners_mutex_);
  for (auto &[id, listener] : listeners_) {
    if (listener.state) guarded("state listener", [&] { listener.state(state); });
  }
}

void robot_worker::run(std::stop_token stop) {
  auto next_connect = steady_clock::now();
  while (!stop.stop_requested()) {
    if (robot_) {
      serve_connected(stop);
      next_connect = steady_clock::now() + timing_.reconnect_every;
      continue;
    }
    {
      std::unique_lock lock(mutex_);
      wake_.wait_until(lock, stop, next_connect, [] { return false; });
    }
    if (stop.stop_requested()) break;
    try_connect(stop);
    if (!robot_) next_connect = steady_clock::now() + timing_.reconnect_every;
  }
  // The destructor ends the link the way the robot expects.
  release(std::nullopt);
  robot_.reset();
  refuse_queued();
}

void robot_worker::try_connect(const std::stop_token &stop) {
  tovlink::Options options;
  options.baud = config_.baud;
  options.stop = stop;
  if (library_log_ && log_) {
    options.log = [this](std::string_view line) { log(std::string{"library: "}.append(line)); };
  }
  try {
    robot_ = std::make_unique<tovlink::Robot>(config_.port, std::move(options));
  } catch (const tovlink::Error &error) {
    if (error.value() == tovlink::errc::cancelled) return;
    // Only the first failure of a run of them is worth a line.
    if (state() != robot_state::lost) log(std::string{"no connection ("} + error.what() + ")");
    set_state(robot_state::lost);
    return;
  } catch (const std::exception &error) {
    guarded("connect", [&] { log(std::string{"cannot connect: "} + error.what()); });
    set_state(robot_state::lost);
    return;
  }
  failures_in_a_row_ = 0;
  {
    // A robot found again may have been switched off meanwhile.
    std::lock_guard lock(mutex_);
    snapshot_.leds = {};
  }
  log("ready on " + config_.port);
  set_state(robot_state::ready);
}

void robot_worker::serve_connected(const std::stop_token &stop) {
  auto next_poll = steady_clock::now();
  while (robot_ && !stop.stop_requested()) {
    if (!robot_->link_alive()) {
      lose("the port failed");
      return;
    }
    std::optional<queued_action> item;
    {
      std::unique_lock lock(mutex_);
      wake_.wait_until(lock, stop, next_poll,
                       [this] { return !queue_.empty() || reading_wanted_; });
      if (stop.stop_requested()) return;
      // A first watcher, or a first request after a quiet spell, gets a
      // reading now, not when the idle schedule would have taken the next.
      if (reading_wanted_) {
        reading_wanted_ = false;
        next_poll = std::min(next_poll, steady_clock::now());
      }
      // A poll that is due goes first, so commands never starve the schedule.
      if (steady_clock::now() < next_poll && !queue_.empty()) {
        item = std::move(queue_.front());
        queue_.pop_front();
      }
    }
    if (item) {
      run_action(*item);
      continue;
    }
    if (steady_clock::now() >= next_poll) {
      poll_telemetry();
      // Fixed rate: the next slot on the grid, skipping slots a slow
      // exchange has already passed.
      // Nobody listening: the slower idle rate.
      const auto now = steady_clock::now();
      const auto period = current_poll_period();
      while (next_poll <= now) next_poll += period;
    }
  }
}

void robot_worker::poll_telemetry() {
  try {
    const auto telemetry = robot_->telemetry();
    const auto now = steady_clock::now();
    const auto time_ms = unix_ms_now();
    failures_in_a_row_ = 0;
    {
      std::lock_guard lock(mutex_);
      snapshot_.telemetry = telemetry;
      snapshot_.taken_at = now;
      snapshot_.time_ms = time_ms;
    }
    history_.add(time_ms, telemetry);
    std::lock_guard lock(listeners_mutex_);
    for (auto &[id, listener] : listeners_) {
      if (listener.telemetry) {
        guarded("telemetry listener", [&] { listener.telemetry(telemetry, now); });
      }
    }
  } catch (const tovlink::Error &error) {
    if (note_failure(error)) lose(error.what());
  } catch (const std::exception &error) {
    // Not the robot's fault (memory, most likely): this reading is skipped.
    guarded("poll", [&] { log(std::string{"poll failed: "} + error.what()); });
  }
}

void robot_worker::run_action(queued_action &item) {
  if (!robot_) {
    guarded("reply", [&] {
      item.done(
          make_error(daemon_error::robot_not_ready, "robot " + config_.name + " is not ready"));
    });
    return;
  }
  action_outcome outcome;
  bool lost = false;
  std::string reason;
  try {
    outcome = item.action(*robot_);
    failures_in_a_row_ = 0;
  } catch (const tovlink::Error &error) {
    outcome = make_error(error);
    lost = note_failure(error);
    reason = error.what();
  } catch (const std::exception &error) {
    outcome = make_error(daemon_error::internal, error.what());
  } catch (...) {
    outcome = make_error(daemon_error::internal, "unknown exception");
  }
  guarded("reply", [&] { item.done(std::move(outcome)); });
  if (lost) lose(reason);
}

bool robot_worker::note_failure(const tovlink::Error &error) {
  using tovlink::errc;
  if (error.value() == errc::link_lost || !robot_->link_alive()) return true;
  if (error.value() == errc::receive_timeout || error.value() == errc::exchange_failed) {
    return ++failures_in_a_row_ >= timing_.lost_after_timeouts;
  }
  return false;
}

void robot_worker::lose(std::string_view reason) {
  log(std::string{"lost ("}.append(reason) + "); reconnecting every " +
      std::to_string(timing_.reconnect_every.count()) + " ms");
  release(reason);
  set_state(robot_state::lost);
  robot_.reset();
  refuse_queued();
}

void robot_worker::refuse_queued() {
  std::deque<queued_action> refused;
  {
    std::lock_guard lock(mutex_);
    refused.swap(queue_);
  }
  for (auto &item : refused) {
    guarded("reply", [&] {
      item.done(
          make_error(daemon_error::robot_not_ready, "robot " + config_.name + " is not ready"));
    });
  }
}

}  // namespace tovlink::service

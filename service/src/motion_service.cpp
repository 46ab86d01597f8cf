#include "motion_service.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <filesystem>
#include <limits>
#include <stdexcept>
#include <utility>
#include <variant>
#include <vector>

namespace tovlink::service {

namespace motion = tovlink::motion;
using std::chrono::milliseconds;

namespace {

constexpr std::array<std::string_view, 6> motion_commands{"play",   "stop",   "pause",
                                                          "resume", "record", "motions"};
// What a motion holds the robot against: the commands that move a motor or
// switch the motors' power.
constexpr std::array<std::string_view, 6> motor_commands{"move",   "pose",  "move_relative",
                                                         "adjust", "power", "start"};

constexpr milliseconds default_record_interval{50};
constexpr double default_tolerance = 2.0;
constexpr double max_tolerance = 180.0;
constexpr int min_loops = 0;  // 0 plays until stopped

std::string dump(const json &value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

error_reply refusal(int code, std::string name, std::string message) {
  return {code, std::move(name), std::move(message), false};
}
error_reply bad_request(std::string message) {
  return make_error(daemon_error::bad_request, std::move(message));
}
error_reply bad_motion(std::string message) {
  return refusal(bad_motion_code, "bad_motion", std::move(message));
}

json error_object(const error_reply &error) {
  return {
      {"code", error.code}, {"name", error.name}, {"message", error.message}, {"sent", error.sent}};
}

// One reply for one request, from whichever thread answers it.
struct replier {
  std::string cmd;
  std::optional<json> id;
  std::optional<std::string> robot;
  message_sink sink;

  void operator()(const action_outcome &outcome) const {
    if (const auto *result = std::get_if<json>(&outcome)) {
      sink(ok_reply(cmd, id, robot, *result));
    } else {
      sink(error_reply_text(cmd, id, robot, std::get<error_reply>(outcome)));
    }
  }
};

// An optional member of the request, checked: absent gives nullopt, a
// wrong type or range throws error_reply.
std::optional<double> number_in(const json &object, const char *key, double low, double high,
                                const std::string &cmd) {
  const auto found = object.find(key);
  if (found == object.end() || found->is_null()) return std::nullopt;
  if (!found->is_number() || found->get<double>() < low || found->get<double>() > high ||
      !std::isfinite(found->get<double>())) {
    throw bad_request(cmd + ": \"" + key + "\" must be a number from " + dump(low) + " to " +
                      dump(high) + " (got " + dump(*found) + ")");
  }
  return found->get<double>();
}

std::optional<std::int64_t> whole_in(const json &object, const char *key, std::int64_t low,
                                     std::int64_t high, const std::string &cmd) {
  const auto found = object.find(key);
  if (found == object.end() || found->is_null()) return std::nullopt;
  const bool whole = found->is_number_integer() ||
                     (found->is_number_float() && std::isfinite(found->get<double>()) &&
                      std::floor(found->get<double>()) == found->get<double>() &&
                      std::fabs(found->get<double>()) < 9e15);
  const auto value =
      whole ? (found->is_number_integer() ? found->get<std::int64_t>()
                                          : static_cast<std::int64_t>(found->get<double>()))
            : 0;
  if (!whole || value < low || value > high) {
    throw bad_request(cmd + ": \"" + key + "\" must be a whole number from " + std::to_string(low) +
                      " to " + std::to_string(high) + " (got " + dump(*found) + ")");
  }
  return value;
}

std::optional<std::string> string_in(const json &object, const char *key, const std::string &cmd) {
  const auto found = object.find(key);
  if (found == object.end() || found->is_null()) return std::nullopt;
  if (!found->is_string()) {
    throw bad_request(cmd + ": \"" + key + "\" must be a string (got " + dump(*found) + ")");
  }
  return found->get<std::string>();
}

json progress_object(const std::string &name, const motion::Progress &progress) {
  return {{"motion", name},
          {"state", motion::state_name(progress.state)},
          {"loop", progress.loop},
          {"keyframe", progress.keyframe},
          {"keyframes", progress.keyframes},
          {"position_ms", progress.position.count()},
          {"duration_ms", progress.duration.count()}};
}

// A motion from the request's "motion" object, or a FormatError's words as
// the protocol's bad_motion.
motion::Loaded inline_motion(const json &document, const std::string &cmd) {
  try {
    return motion::parse_motion_json(document);
  } catch (const motion::FormatError &error) {
    throw bad_motion(cmd + ": " + error.what());
  }
}

motion::Loaded named_motion(const motion_store &store, const std::string &name,
                            const std::string &cmd) {
  if (const auto refused = motion::name_refusal(name); !refused.empty()) {
    throw bad_motion(cmd + ": " + refused);
  }
  try {
    if (auto found = store.find(name)) return std::move(found->loaded);
  } catch (const motion::FormatError &error) {
    throw bad_motion(cmd + ": " + error.what());
  }
  throw refusal(unknown_motion_code, "unknown_motion", cmd + ": no motion named \"" + name + "\"");
}

// Runs `action` on the robot's thread and answers with its outcome: the
// action decides between a result and a refusal itself; a library error it
// throws is reported as for any robot command.
void on_robot_thread(robot_worker &robot, std::function<action_outcome(tovlink::Robot &)> action,
                     const replier &reply) {
  auto outcome = std::make_shared<action_outcome>();
  auto run = [outcome, action = std::move(action)](tovlink::Robot &connected) {
    *outcome = action(connected);
    return json{};
  };
  auto done = [outcome, reply](action_outcome thrown) {
    reply(std::holds_alternative<error_reply>(thrown) ? thrown : *outcome);
  };
  const std::string &name = robot.config().name;
  switch (robot.submit(std::move(run), std::move(done))) {
    case submit_status::queued:
      return;
    case submit_status::not_ready:
      reply(make_error(daemon_error::robot_not_ready, reply.cmd + ": robot " + name + " is " +
                                                          std::string{state_name(robot.state())}));
      return;
    case submit_status::queue_full:
      reply(make_error(daemon_error::busy,
                       reply.cmd + ": robot " + name + " has too many requests waiting"));
      return;
  }
}

}  // namespace

// One play, shared by the service and the Player's progress callback.
struct motion_service::play_state {
  robot_worker *robot = nullptr;
  std::string name;
  std::mutex mutex;  // what follows
  motion::Player *player = nullptr;
  bool over = false;
  // Set when the robot went away mid-play: the play ends failed with this.
  std::optional<error_reply> lost;
  // The motion's LED switches, in time order, so the robot's remembered LED
  // states follow a play as they follow LED commands.  Touched on the
  // player's thread only (in its progress callback).
  struct led_switch {
    milliseconds time;
    int led;
    bool on;
  };
  std::vector<led_switch> led_switches;
  std::size_t next_led_switch = 0;
  int led_pass = 0;

  void note_leds(const motion::Progress &progress);
};

// The player sends an event at its time, and reports after each keyframe's
// move; so at each report the switches up to the pass's position are out.
// A pass that ended counts whole, and a finished play too.
void motion_service::play_state::note_leds(const motion::Progress &progress) {
  const auto note_until = [this](milliseconds limit) {
    for (; next_led_switch < led_switches.size() && led_switches[next_led_switch].time <= limit;
         ++next_led_switch) {
      robot->note_led(led_switches[next_led_switch].led, led_switches[next_led_switch].on);
    }
  };
  if (progress.loop != led_pass) {
    note_until(milliseconds::max());
    next_led_switch = 0;
    led_pass = progress.loop;
  }
  note_until(progress.state == motion::PlayState::finished ? milliseconds::max()
                                                           : progress.position);
}

struct motion_service::robot_motions {
  robot_worker *robot = nullptr;
  mutable std::mutex mutex;  // what follows; before a play_state's mutex
  std::shared_ptr<play_state> play;
  // Made and destroyed on the robot's thread only (see the header).
  std::unique_ptr<motion::Player> player;
  std::unique_ptr<motion::Recorder> recorder;
  steady_clock::time_point recording_since{};
  milliseconds recording_interval{0};
  // A recording that ended without a stop request (the robot lost, or the
  // time limit), kept for the stop request.
  std::optional<motion::Recording> ended;
  std::string ended_why;

  bool playing() const {
    if (!play) return false;
    std::lock_guard lock(play->mutex);
    return !play->over;
  }
};

motion_service::motion_service(const std::vector<robot_worker *> &robots, motion_store &store)
    : store_(store) {
  for (auto *robot : robots) {
    auto motions = std::make_unique<robot_motions>();
    motions->robot = robot;
    robot->on_release([this, motions = motions.get()](std::optional<std::string_view> lost_reason) {
      released(*motions, lost_reason);
    });
    robots_.emplace(robot, std::move(motions));
  }
  watchdog_ = std::jthread([this](std::stop_token stop) { watch_recordings(std::move(stop)); });
}

motion_service::~motion_service() {
  watchdog_.request_stop();
  watchdog_.join();
  // The robots' threads have stopped (each released its plays then); what
  // is left over is finished and no longer uses a Robot.
  for (auto &[robot, motions] : robots_) {
    motions->player.reset();
    motions->recorder.reset();
  }
}

bool motion_service::serves(std::string_view cmd) const {
  return std::find(motion_commands.begin(), motion_commands.end(), cmd) != motion_commands.end();
}

bool motion_service::needs_robot(std::string_view cmd) const {
  return cmd != "motions";
}

motion_service::robot_motions &motion_service::motions_of(const robot_worker &robot) const {
  return *robots_.at(&robot);
}

// What play and record take, from the motion library's limits and this
// service's own defaults: clients build their fields from it.
json motion_service::describe() const {
  return {
      {"motion",
       {{"format_version", motion::format_version},
        {"speed", {motion::min_speed, motion::max_speed}},
        {"loops_min", min_loops},
        {"soft_start_ms", {0, motion::max_motion_time.count()}},
        {"max_time_ms", motion::max_motion_time.count()},
        {"max_keyframes", motion::max_keyframes},
        {"max_events", motion::max_events},
        {"max_name_bytes", motion::max_name_bytes},
        {"interval_ms", {motion::min_sample_interval.count(), motion::max_sample_interval.count()}},
        {"default_interval_ms", default_record_interval.count()},
        {"tolerance", {0.0, max_tolerance}},
        {"default_tolerance", default_tolerance},
        {"max_recording_ms", milliseconds{max_recording_time}.count()}}}};
}

std::optional<error_reply> motion_service::holds_back(const robot_worker &robot,
                                                      const request &req) const {
  if (std::find(motor_commands.begin(), motor_commands.end(), req.cmd) == motor_commands.end()) {
    return std::nullopt;
  }
  const auto &motions = motions_of(robot);
  std::lock_guard lock(motions.mutex);
  if (!motions.playing()) return std::nullopt;
  return refusal(
      motion_conflict_code, "motion_playing",
      req.cmd + ": the robot is playing the motion \"" + motions.play->name + "\" (stop it first)");
}

void motion_service::run(const request &req, robot_worker *robot, const json &object,
                         message_sink reply) {
  const replier answer{req.cmd, req.id,
                       robot ? std::optional<std::string>{robot->config().name} : std::nullopt,
                       reply};
  try {
    if (req.cmd == "motions") {
      folder(req, object, reply);
    } else if (req.cmd == "play") {
      play(req, *robot, object, reply);
    } else if (req.cmd == "record") {
      record(req, *robot, object, reply);
    } else {
      control(req, *robot, reply);
    }
  } catch (const error_reply &error) {
    answer(error);
  } catch (const std::exception &error) {
    answer(make_error(daemon_error::internal, req.cmd + ": " + error.what()));
  }
}

void motion_service::play(const request &req, robot_worker &robot, const json &object,
                          message_sink reply) {
  const std::string &cmd = req.cmd;
  const auto name = string_in(object, "name", cmd);
  const auto inline_document = object.find("motion");
  const bool has_inline = inline_document != object.end() && !inline_document->is_null();
  if (name.has_value() == has_inline) {
    throw bad_request(cmd + ": give either \"name\" or \"motion\"");
  }
  motion::Loaded loaded =
      has_inline ? inline_motion(*inline_document, cmd) : named_motion(store_, *name, cmd);
  motion::PlayOptions options;
  options.speed =
      number_in(object, "speed", motion::min_speed, motion::max_speed, cmd).value_or(1.0);
  options.loops = static_cast<int>(
      whole_in(object, "loops", min_loops, std::numeric_limits<int>::max(), cmd).value_or(1));
  options.soft_start = milliseconds{
      whole_in(object, "soft_start_ms", 0, motion::max_motion_time.count(), cmd).value_or(0)};
  if (const auto start_at = whole_in(object, "start_at_ms", 0,
                                     std::numeric_limits<std::int64_t>::max() / 1'000'000, cmd)) {
    options.start_at = std::chrono::system_clock::time_point{
        std::chrono::duration_cast<std::chrono::system_clock::duration>(milliseconds{*start_at})};
  }
  if (loaded.motion.keyframes.empty()) throw bad_motion(cmd + ": the motion has no keyframes");
  if (const auto refused = motion::options_refusal(options); !refused.empty()) {
    throw bad_request(cmd + ": " + refused);
  }

  auto state = std::make_shared<play_state>();
  state->robot = &robot;
  state->name = loaded.motion.name;
  for (const auto &event : loaded.motion.events) {
    if (const auto *led = std::get_if<motion::LedSwitch>(&event.action)) {
      state->led_switches.push_back({event.time, led->led, led->on});
    }
  }
  options.on_progress = [state](const motion::Progress &progress) {
    state->note_leds(progress);
    json message = {{"class", "motion"}, {"robot", state->robot->config().name}};
    message.update(progress_object(state->name, progress));
    if (motion::is_over(progress.state)) {
      std::lock_guard lock(state->mutex);
      state->over = true;
      if (state->lost) {
        message["state"] = motion::state_name(motion::PlayState::failed);
        message["error"] = error_object(*state->lost);
      } else if (progress.state == motion::PlayState::failed && state->player) {
        if (const auto error = state->player->error())
          message["error"] = error_object(make_error(*error));
      }
    }
    state->robot->publish(dump(message));
  };
  json result = {{"motion", loaded.motion.name},
                 {"keyframes", loaded.motion.keyframes.size()},
                 {"duration_ms", loaded.motion.duration().count()},
                 {"loops", options.loops},
                 {"speed", options.speed},
                 {"clamped", motion::to_json(loaded.clamped)}};

  auto &motions = motions_of(robot);
  auto start = [&motions, state, options = std::move(options),
                motion = std::make_shared<motion::Motion>(std::move(loaded.motion)), result,
                cmd](tovlink::Robot &connected) -> action_outcome {
    std::unique_ptr<motion::Player> finished;
    std::unique_lock lock(motions.mutex);
    if (motions.playing()) {
      return refusal(
          motion_conflict_code, "motion_playing",
          cmd + ": the robot is playing the motion \"" + motions.play->name + "\" (stop it first)");
    }
    finished = std::move(motions.player);
    try {
      std::lock_guard state_lock(state->mutex);
      motions.player = std::make_unique<motion::Player>(connected, *motion, options);
      state->player = motions.player.get();
    } catch (const motion::FormatError &error) {
      return bad_motion(cmd + ": " + error.what());
    } catch (const std::invalid_argument &error) {
      return bad_request(error.what());
    }
    motions.play = state;
    lock.unlock();
    finished.reset();  // an earlier play's thread, over already
    return result;
  };
  on_robot_thread(robot, std::move(start), replier{cmd, req.id, robot.config().name, reply});
}

void motion_service::control(const request &req, robot_worker &robot, message_sink reply) {
  auto &motions = motions_of(robot);
  const std::string cmd = req.cmd;
  auto act = [&motions, cmd](tovlink::Robot &) -> action_outcome {
    std::unique_lock lock(motions.mutex);
    if (!motions.playing() || !motions.player) {
      return refusal(motion_conflict_code, "no_motion",
                     cmd + ": robot " + motions.robot->config().name + " is playing no motion");
    }
    motion::Player &player = *motions.player;
    const std::string name = motions.play->name;
    lock.unlock();
    // The Player is destroyed only on this thread, so it outlives this call.
    if (cmd == "pause") {
      player.pause();
    } else if (cmd == "resume") {
      player.resume();
    } else {
      player.stop();
      return progress_object(name, player.wait());
    }
    return progress_object(name, player.progress());
  };
  on_robot_thread(robot, std::move(act), replier{cmd, req.id, robot.config().name, reply});
}

void motion_service::record(const request &req, robot_worker &robot, const json &object,
                            message_sink reply) {
  const std::string cmd = req.cmd;
  const replier answer{cmd, req.id, robot.config().name, reply};
  const auto action = string_in(object, "action", cmd);
  auto &motions = motions_of(robot);
  if (action == "start") {
    const milliseconds interval{whole_in(object, "interval_ms", motion::min_sample_interval.count(),
                                         motion::max_sample_interval.count(), cmd)
                                    .value_or(default_record_interval.count())};
    auto begin = [this, &motions, interval, cmd](tovlink::Robot &connected) -> action_outcome {
      {
        std::lock_guard lock(motions.mutex);
        if (motions.recorder) {
          return refusal(motion_conflict_code, "recording",
                         cmd + ": robot " + motions.robot->config().name + " is recording already");
        }
        motions.recorder = std::make_unique<motion::Recorder>(connected, interval);
        motions.recording_since = steady_clock::now();
        motions.recording_interval = interval;
        motions.ended.reset();
      }
      {
        std::lock_guard watchdog_lock(watchdog_mutex_);
        recording_started_ = true;
      }
      watchdog_wake_.notify_all();
      return json{{"recording", true}, {"interval_ms", interval.count()}};
    };
    on_robot_thread(robot, std::move(begin), answer);
    return;
  }
  if (action != "stop") throw bad_request(cmd + ": \"action\" must be \"start\" or \"stop\"");

  const double tolerance =
      number_in(object, "tolerance", 0.0, max_tolerance, cmd).value_or(default_tolerance);
  const std::string name = string_in(object, "name", cmd).value_or("recording");
  if (const auto refused = motion::name_refusal(name); !refused.empty()) {
    throw bad_motion(cmd + ": " + refused);
  }
  // Samples to a motion; runs wherever the recording was taken from.
  auto finish = [tolerance, name, cmd](motion::Recording recording,
                                       const std::string &ended_why) -> action_outcome {
    if (recording.samples.empty()) {
      return refusal(motion_conflict_code, "no_recording", cmd + ": the recording took no samples");
    }
    const auto made = motion::motion_from(recording.samples, tolerance, name);
    json result = {{"motion", motion::to_json(made)},
                   {"samples", recording.samples.size()},
                   {"keyframes", made.keyframes.size()}};
    if (recording.error) result["error"] = error_object(make_error(*recording.error));
    if (!ended_why.empty()) result["ended"] = ended_why;
    return result;
  };
  auto take = [&motions, finish, cmd](tovlink::Robot &) -> action_outcome {
    std::unique_lock lock(motions.mutex);
    if (motions.recorder) {
      auto recorder = std::move(motions.recorder);
      lock.unlock();
      return finish(recorder->stop(), "");
    }
    if (motions.ended) {
      auto recording = std::move(*motions.ended);
      motions.ended.reset();
      return finish(std::move(recording), motions.ended_why);
    }
    return refusal(motion_conflict_code, "no_recording",
                   cmd + ": robot " + motions.robot->config().name + " is not recording");
  };
  // A recording the robot's loss ended is there without the robot.
  {
    std::unique_lock lock(motions.mutex);
    if (!motions.recorder && motions.ended) {
      auto recording = std::move(*motions.ended);
      motions.ended.reset();
      const std::string why = motions.ended_why;
      lock.unlock();
      answer(finish(std::move(recording), why));
      return;
    }
  }
  on_robot_thread(robot, std::move(take), answer);
}

void motion_service::folder(const request &req, const json &object, const message_sink &reply) {
  const std::string &cmd = req.cmd;
  const replier answer{cmd, req.id, std::nullopt, reply};
  const auto action = string_in(object, "action", cmd).value_or("list");
  if (action == "list") {
    json list = json::array();
    for (const auto &entry : store_.list()) {
      list.push_back({{"name", entry.name},
                      {"keyframes", entry.keyframes},
                      {"duration_ms", entry.duration_ms},
                      {"shipped", entry.shipped}});
    }
    answer(json{{"motions", std::move(list)}});
    return;
  }
  if (action == "save") {
    const auto document = object.find("motion");
    if (document == object.end() || !document->is_object()) {
      throw bad_request(cmd + ": save needs \"motion\", a motion object");
    }
    const auto loaded = inline_motion(*document, cmd);
    if (const auto refused = motion::name_refusal(loaded.motion.name); !refused.empty()) {
      throw bad_motion(cmd + ": " + refused);
    }
    try {
      store_.save(loaded.motion);
    } catch (const motion::FormatError &error) {
      throw bad_motion(cmd + ": " + error.what());
    } catch (const std::filesystem::filesystem_error &error) {
      throw make_error(
          daemon_error::internal,
          cmd + ": cannot save in " + store_.user_dir().string() + ": " + error.code().message());
    }
    answer(json{{"name", loaded.motion.name}, {"clamped", motion::to_json(loaded.clamped)}});
    return;
  }
  if (action != "get" && action != "delete") {
    throw bad_request(cmd + ": \"action\" must be \"list\", \"get\", \"save\" or \"delete\"");
  }
  const auto name = string_in(object, "name", cmd);
  if (!name) throw bad_request(cmd + ": " + action + " needs \"name\"");
  if (const auto refused = motion::name_refusal(*name); !refused.empty()) {
    throw bad_motion(cmd + ": " + refused);
  }
  if (action == "get") {
    const auto loaded = named_motion(store_, *name, cmd);
    answer(json{{"motion", motion::to_json(loaded.motion)}});
    return;
  }
  motion_store::removal removed = motion_store::removal::unknown;
  try {
    removed = store_.remove(*name);
  } catch (const std::filesystem::filesystem_error &error) {
    throw make_error(daemon_error::internal,
                     cmd + ": cannot delete \"" + *name + "\": " + error.code().message());
  }
  switch (removed) {
    case motion_store::removal::removed:
      answer(json{{"name", *name}});
      return;
    case motion_store::removal::shipped:
      throw refusal(motion_conflict_code, "shipped_motion",
                    cmd + ": \"" + *name + "\" comes with the daemon and cannot be deleted");
    case motion_store::removal::unknown:
      throw refusal(unknown_motion_code, "unknown_motion",
                    cmd + ": no saved motion named \"" + *name + "\"");
  }
}

void motion_service::released(robot_motions &motions, std::optional<std::string_view> lost_reason) {
  std::unique_ptr<motion::Player> player;
  std::unique_ptr<motion::Recorder> recorder;
  std::optional<error_reply> lost;
  if (lost_reason) {
    lost = make_error(tovlink::Error(tovlink::errc::link_lost,
                                     "play: robot " + motions.robot->config().name + " was lost (" +
                                         std::string{*lost_reason} + ")"));
  }
  {
    std::lock_guard lock(motions.mutex);
    player = std::move(motions.player);
    recorder = std::move(motions.recorder);
    if (motions.play && lost) {
      std::lock_guard state_lock(motions.play->mutex);
      if (!motions.play->over) motions.play->lost = lost;
    }
  }
  // Outside the lock: the player's last progress (stopped, or failed when
  // lost) is reported from its thread while this waits for it.
  player.reset();
  if (recorder) {
    auto recording = recorder->stop();
    if (lost_reason && !recording.error) {
      recording.error = tovlink::Error(tovlink::errc::link_lost,
                                       "record: robot " + motions.robot->config().name +
                                           " was lost (" + std::string{*lost_reason} + ")");
    }
    std::lock_guard lock(motions.mutex);
    motions.ended = std::move(recording);
    motions.ended_why = lost_reason ? "lost" : "stopped";
  }
}

void motion_service::watch_recordings(std::stop_token stop) {
  std::unique_lock lock(watchdog_mutex_);
  while (!stop.stop_requested()) {
    auto next = steady_clock::now() + std::chrono::minutes{1};
    for (auto &[robot, motions] : robots_) {
      bool due = false;
      {
        std::lock_guard motions_lock(motions->mutex);
        if (!motions->recorder) continue;
        const auto deadline = motions->recording_since + max_recording_time;
        due = steady_clock::now() >= deadline;
        if (!due) next = std::min(next, deadline);
      }
      if (!due) continue;
      // Ended on the robot's thread, like every Recorder; a robot not ready
      // has ended it already (the release hook).
      auto *owner = motions.get();
      const auto submitted = motions->robot->submit(
          [owner](tovlink::Robot &) {
            std::unique_lock motions_lock(owner->mutex);
            if (!owner->recorder ||
                steady_clock::now() < owner->recording_since + max_recording_time) {
              return json{};
            }
            auto recorder = std::move(owner->recorder);
            motions_lock.unlock();
            auto recording = recorder->stop();
            motions_lock.lock();
            owner->ended = std::move(recording);
            owner->ended_why = "time_limit";
            return json{};
          },
          [](const action_outcome &) {});
      if (submitted != submit_status::queued)
        next = std::min(next, steady_clock::now() + milliseconds{1000});
    }
    watchdog_wake_.wait_until(lock, stop, next, [this] { return recording_started_; });
    recording_started_ = false;
  }
}

}  // namespace tovlink::service

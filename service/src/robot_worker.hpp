// One robot, one thread.  The worker owns the robot's tovlink::Robot: it
// connects at start, polls the robot's telemetry on a fixed-rate schedule,
// runs queued requests between polls in arrival order, and when the robot
// stops answering (unplugged, or several exchanges in a row without a reply)
// drops the connection and tries again every reconnect period.
//
// Clients never touch the Robot: they submit actions, read the cached
// snapshot, and subscribe to telemetry and state changes.  Nothing a client
// does blocks the robot's thread, and nothing the robot does blocks a client.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <variant>

#include "protocol.hpp"
#include "telemetry_history.hpp"
#include "tovlink/robot.hpp"

namespace tovlink::service {

using steady_clock = std::chrono::steady_clock;

enum class robot_state { connecting, ready, lost };
std::string_view state_name(robot_state state) noexcept;

struct robot_config {
  std::string name;
  std::string port;
  int baud = 115200;
  bool simulated = false;  // a virtual robot run by the daemon itself
};

struct worker_timing {
  // Telemetry reads while someone (a watcher, the MQTT bridge) listens.
  std::chrono::milliseconds poll_period{100};
  // Reads while nobody listens or has asked for a reading within
  // asked_keeps_rate: enough to notice a robot that stopped answering.
  // Never more often than poll_period.
  std::chrono::milliseconds idle_poll_period{1000};
  std::chrono::milliseconds asked_keeps_rate{10000};
  std::chrono::milliseconds reconnect_every{2000};
  // Exchanges in a row that got no reply before the robot counts as lost.
  int lost_after_timeouts = 3;
  // Requests waiting for the robot; more are refused, never waited for.
  std::size_t queue_limit = 64;
  // How long readings stay in the robot's history (0: none kept).
  std::chrono::seconds history{300};
};

struct robot_snapshot {
  robot_state state = robot_state::connecting;
  std::optional<tovlink::Telemetry> telemetry;  // the latest reading, if there ever was one
  steady_clock::time_point taken_at{};
  std::int64_t time_ms = 0;  // the reading's Unix time
  led_states leds{};
};

// Called on the robot's thread, with the worker's listener lock held: each
// must return at once (hand the data to another thread) and must not call
// subscribe or unsubscribe.
struct robot_listener {
  std::function<void(const tovlink::Telemetry &, steady_clock::time_point)> telemetry;
  std::function<void(robot_state)> state;
  // A ready-made object for the robot's watchers (a motion's progress),
  // from whichever thread published it.
  std::function<void(const std::string &text)> notice;
};

// Called on the robot's thread right before its Robot is destroyed (the
// robot lost, or the worker stopping), so whatever else uses that Robot
// (a motion's player) lets go of it first.  `lost_reason` is set when the
// robot was lost.
using release_hook = std::function<void(std::optional<std::string_view> lost_reason)>;

// What an action on the robot came to: its result, or the error to report.
using action_outcome = std::variant<json, error_reply>;
using robot_action = std::function<json(tovlink::Robot &)>;
using action_done = std::function<void(action_outcome)>;

// A library error as the protocol reports it: its code, its errc name, what().
error_reply make_error(const tovlink::Error &error);

enum class submit_status { queued, not_ready, queue_full };

class robot_worker {
 public:
  using log_function = std::function<void(std::string_view line)>;

  // `log` receives the worker's event lines (and, when `library_log` is set,
  // the library's diagnostic lines); it is called from the robot's thread.
  robot_worker(robot_config config, worker_timing timing, log_function log,
               bool library_log = false);
  // Stops the thread; a connected Robot is destroyed on it, which ends the
  // link the normal way.
  ~robot_worker();
  robot_worker(const robot_worker &) = delete;
  robot_worker &operator=(const robot_worker &) = delete;

  void start();
  void stop();

  const robot_config &config() const { return config_; }
  robot_state state() const;
  robot_snapshot latest() const;

  // Queues `action` to run on the robot's thread; `done` gets its outcome
  // there.  Nothing is queued, and `done` is not called, unless the status
  // is queued.
  submit_status submit(robot_action action, action_done done);

  // Remembers an LED switched through the daemon: call it after the robot
  // took the command (a client's led, a motion's LED event).  Thread-safe.
  void note_led(int led, bool on);
  led_states leds() const;
  // The Unix time of the reading taken at `taken_at` (as given to telemetry
  // listeners).
  std::int64_t time_ms_of(steady_clock::time_point taken_at) const;
  const telemetry_history &history() const { return history_; }

  // Returns an id for unsubscribe.  After unsubscribe returns, no callback of
  // that listener runs or will run.
  std::uint64_t subscribe(robot_listener listener);
  void unsubscribe(std::uint64_t id);

  // Hands `text` to every listener's notice; any thread but a listener's.
  void publish(const std::string &text);
  // Set before start().
  void on_release(release_hook hook) { release_hook_ = std::move(hook); }

 private:
  struct queued_action {
    robot_action action;
    action_done done;
  };

  void run(std::stop_token stop);
  void try_connect(const std::stop_token &stop);
  void serve_connected(const std::stop_token &stop);
  void poll_telemetry();
  steady_clock::duration current_poll_period();
  void run_action(queued_action &item);
  // Counts an exchange's failure; true when the robot is now lost.
  bool note_failure(const tovlink::Error &error);
  void lose(std::string_view reason);
  void release(std::optional<std::string_view> lost_reason) noexcept;
  void refuse_queued();
  void set_state(robot_state state);
  void log(const std::string &line) const;
  // Runs a listener or a done callback: whatever it throws is logged, and
  // the robot's thread goes on.
  template <typename Callback>
  void guarded(const char *what, Callback &&callback) noexcept;

  robot_config config_;
  worker_timing timing_;
  log_function log_;
  bool library_log_;
  release_hook release_hook_;

  mutable std::mutex mutex_;  // queue_ and snapshot_
  mutable std::condition_variable_any wake_;
  std::deque<queued_action> queue_;
  robot_snapshot snapshot_;
  telemetry_history history_;

  std::mutex listeners_mutex_;
  std::map<std::uint64_t, robot_listener> listeners_;
  // Set (under mutex_) when a first listener arrives, or someone asks for
  // the latest reading while the robot is on its idle schedule, so the
  // thread moves a read the idle schedule put far off to now.
  mutable bool reading_wanted_ = false;
  // When the latest reading was last asked for (under mutex_): for a while
  // after that the robot keeps the full rate, as when watched.
  mutable steady_clock::time_point last_asked_{};
  std::uint64_t next_listener_ = 1;

  // The robot's thread only.
  std::unique_ptr<tovlink::Robot> robot_;
  int failures_in_a_row_ = 0;
  std::jthread thread_;
};

}  // namespace tovlink::service

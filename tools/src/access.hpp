// Robot access: the one interface every tool command goes through, with two
// implementations - the library's C++ API on a port of our own (direct), and
// a client of the robot service tovlinkd on its Unix socket (daemon).
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "tovlink/robot.hpp"

namespace tovlink::tool {

// What the robot takes is the library's contract (tovlink/contract.hpp): the
// tool words its help from it and leaves every refusal to the library (or to
// the service, which forwards the library's), so the two paths agree.
inline constexpr int motor_count = tovlink::motor_count;
inline constexpr int all_motors = tovlink::all_motors;

// "0-9999", as help and reports write a range (ASCII: the man page too).
inline std::string range_text(const tovlink::Range &range) {
  return std::to_string(range.low) + "-" + std::to_string(range.high);
}

// Whether a failed command can have reached the robot.
enum class reached { nothing, maybe };

// A failed robot operation or connect, ready to be shown.
class failure : public std::runtime_error {
 public:
  failure(const std::string &message, long long code, std::string name, reached sent,
          bool link_lost = false)
      : std::runtime_error(message),
        code_(code),
        name_(std::move(name)),
        sent_(sent),
        link_lost_(link_lost) {}

  // The library's result code (-1 for a failed exchange) or the service's.
  long long code() const { return code_; }
  const std::string &name() const { return name_; }
  reached sent() const { return sent_; }
  // The robot is gone (unplugged, or the service lost it).
  bool link_lost() const { return link_lost_; }

 private:
  long long code_;
  std::string name_;
  reached sent_;
  bool link_lost_;
};

// What a move sent: the angle after clamping to the motor's range.
struct move_report {
  int motor = 1;
  int angle = 90;
  int requested = 90;
  tovlink::AngleRange range = tovlink::angle_range(1);
  bool clamped() const { return angle != requested; }
};

struct pose_report {
  std::array<int, motor_count> angles{};
  std::array<int, motor_count> requested{};
};

// A failure that is a mistake in how the tool was called (exit status 2).
inline failure usage_failure(const std::string &message) {
  return failure{message, 0, "bad_usage", reached::nothing};
}

// A reading from the service's history.
struct history_point {
  std::int64_t time_ms = 0;  // Unix ms
  tovlink::Telemetry telemetry;
};

struct robot_entry {
  std::string name;
  std::string port;
  std::string state;
  bool sim = false;
};

// A motion to play: a name of the service's motions, or a motion file's
// object sent as it is.
struct play_request {
  std::string name;
  std::optional<nlohmann::json> motion;
  double speed = 1.0;
  int loops = 1;
  int soft_start_ms = 0;
};

// A play's progress, as the service and the player report it.
struct play_progress {
  std::string motion;
  std::string state;  // playing, paused, finished, stopped, failed
  int loop = 0;
  long long keyframe = 0;
  long long keyframes = 0;
  long long position_ms = 0;
  long long duration_ms = 0;
  bool over() const { return state != "playing" && state != "paused"; }
};

class motion_play {
 public:
  virtual ~motion_play() = default;
  // What was scheduled: {"motion","keyframes","duration_ms","loops","speed","clamped"}.
  virtual const nlohmann::json &report() const = 0;
  // The next progress, or nullopt when `wait` passed without one.  Throws
  // failure when the play failed.
  virtual std::optional<play_progress> next(std::chrono::milliseconds wait) = 0;
  // Ends the play; nothing more is sent to the robot.
  virtual void stop() = 0;
};

class motion_recording {
 public:
  virtual ~motion_recording() = default;
  // Ends it: {"motion":{...},"samples":N,"keyframes":K}.
  virtual nlohmann::json stop(double tolerance, const std::string &name) = 0;
};

class robot_access {
 public:
  virtual ~robot_access() = default;

  // Where the robot is, for messages: its port, or "robot NAME via SOCKET".
  virtual std::string where() const = 0;
  virtual bool through_service() const = 0;

  virtual tovlink::Telemetry telemetry() = 0;
  // One motor; the library refuses a motor it does not have.
  virtual move_report move(int motor, int angle, std::optional<int> time_ms) = 0;
  // Every motor to one angle over time_ms, each clamped to its own range.
  virtual pose_report move_all(int angle, int time_ms) = 0;
  virtual pose_report pose(const std::array<int, motor_count> &angles,
                           std::optional<int> time_ms) = 0;
  virtual void power(bool on, int value) = 0;
  virtual void led(int led, bool on) = 0;
  virtual void tone(int first, int second) = 0;
  virtual void say(const std::string &text) = 0;
  virtual void speech_speed(int speed) = 0;
  virtual std::string query(tovlink::Query query) = 0;
  // The service's robots; the direct access has just its own.
  virtual std::vector<robot_entry> devices() = 0;
  // The robot's recent telemetry as the service keeps it, oldest first,
  // and the service's time now (Unix ms).  Only through the service.
  virtual std::vector<history_point> history(std::chrono::milliseconds since, std::int64_t &now_ms);
  // A command the service answers itself (fleet, fleet_all): its result.
  // Only through the service.
  virtual nlohmann::json service_command(const std::string &command, const nlohmann::json &args);
  // Through the service: drive another of its robots from now on.
  virtual void select_robot(const std::string &name);
  virtual std::string selected_robot() const { return {}; }

  // Starts a play; a refused motion throws failure (nothing sent).
  virtual std::unique_ptr<motion_play> play(const play_request &request) = 0;
  virtual std::unique_ptr<motion_recording> record(int interval_ms) = 0;
  // The service's motions folder: {"cmd":"motions","action":...} and its
  // result.  The direct access has none (throws failure).
  virtual nlohmann::json motions(const nlohmann::json &request) = 0;
};

// How to reach the robot, from the command line and the environment.
struct connection_options {
  std::string port;        // --port
  std::string env_port;    // TOVLINK_PORT
  bool simulated = false;  // --sim
  bool direct = false;     // --direct
  std::string daemon;      // --daemon, else TOVLINK_DAEMON
  std::string robot;       // --robot
  int baud = 115200;
};

// Where the port is held, when another process holds it and the system can
// tell: "tovlinkd (pid 1234)".  Empty when unknown.
std::string port_holder(const std::string &port);

// Called with each diagnostic line of the library (direct access only).
using log_sink = std::function<void(std::string_view)>;

// Where the service listens by default: $XDG_RUNTIME_DIR/tovlink/tovlinkd.sock
// for a user, /run/tovlink/tovlinkd.sock for root.  Empty when unknown.
std::string default_daemon_socket();

// True when the tool has the service client (POSIX builds).
bool daemon_client_available();
// True where the tool was built with the virtual robot (not on Windows).
bool virtual_robot_available();

// Opens the robot the options name; nullptr when they name none and no service
// runs.  Throws failure.  `stop` cancels a connect
// in progress; `log` receives the library's diagnostic lines.
std::unique_ptr<robot_access> open_robot(const connection_options &options, log_sink log,
                                         std::stop_token stop);

// The two implementations, for open_robot.
std::unique_ptr<robot_access> open_direct(const connection_options &options, log_sink log,
                                          std::stop_token stop);
std::unique_ptr<robot_access> open_daemon(const std::string &socket_path, const std::string &robot,
                                          bool quiet_if_absent);

}  // namespace tovlink::tool

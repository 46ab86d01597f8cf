// The daemon's JSON protocol (docs/protocol.md): one request object in, one
// reply object out, plus the objects pushed to watchers.  Everything here is
// a pure function of its arguments, with no robot and no socket, so the
// request parser can be driven by a fuzzer and tested on its own.
#pragma once

#include <nlohmann/json.hpp>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "tovlink/robot.hpp"

namespace tovlink::service {

using json = nlohmann::json;

inline constexpr int proto_major = 1;
// 1.1: "describe", "sent" on every error; 1.2: motions, "history", and
// "time_ms" and "leds" in telemetry
inline constexpr int proto_minor = 2;
// Longest request line (without its line end) or WebSocket message.
inline constexpr std::size_t max_request_bytes = 64 * 1024;

// Errors of requests that never reached a robot.  Their codes (400, 401, 404,
// 409, 413, 500, 503) stay clear of the library's result codes.
enum class daemon_error {
  bad_request,      // 400: malformed JSON, wrong type, missing or out-of-range argument
  unauthorized,     // 401
  unknown_command,  // 404
  unknown_robot,    // 404
  robot_not_ready,  // 409: the robot is connecting or lost
  too_large,        // 413: a request over max_request_bytes
  internal,         // 500
  busy,             // 503: the robot's request queue is full, or too many clients
};

struct error_reply {
  int code = 0;
  std::string name;
  std::string message;
  // Whether the command reached the robot's port before the failure, as the
  // library reported it; false for everything the daemon refuses itself.
  bool sent = false;
};

error_reply make_error(daemon_error kind, std::string message);

// --- Commands and their arguments -------------------------------------------

struct devices_cmd {};
struct describe_cmd {};
struct poll_cmd {};
struct watch_cmd {
  bool enable = true;
  std::optional<double> rate_hz;  // empty: the daemon's poll rate
};
struct history_cmd {
  std::optional<long long> since_ms;  // empty: all the daemon has
  std::size_t max_samples = 3000;
};
struct move_cmd {
  int motor = 0;  // 1-7, or all_motors with a time
  int angle = 0;
  std::optional<int> time_ms;
};
struct pose_cmd {
  std::array<int, motor_count> angles{};
  std::optional<int> time_ms;
};
struct move_relative_cmd {
  int motor = 0;
  std::optional<int> time_ms;
};
struct adjust_cmd {
  int motor = 0;
  int offset = 0;
};
struct power_cmd {
  bool on = false;
  int value = tovlink::default_power_value;
};
struct start_cmd {};
struct led_cmd {
  int led = 0;
  bool on = false;
};
struct tone_cmd {
  int first = 0;
  int second = 0;
};
struct say_cmd {
  std::string text;
};
struct speed_cmd {
  int speed = 0;
};
struct query_cmd {
  tovlink::Query query = tovlink::Query::who;
};

// A command this parser does not know but the daemon does (the MQTT
// bridge's fleet commands): its handler gets the whole request object.
struct extra_cmd {
  json object;
};

using command = std::variant<devices_cmd, describe_cmd, poll_cmd, watch_cmd, move_cmd, pose_cmd,
                             move_relative_cmd, adjust_cmd, power_cmd, start_cmd, led_cmd, tone_cmd,
                             say_cmd, speed_cmd, query_cmd, extra_cmd, history_cmd>;

// Commands that are sent to a robot (the rest are answered by the daemon).
bool goes_to_robot(const command &cmd) noexcept;

// The robot's own limits are checked by the library (tovlink/contract.hpp),
// which words every refusal the same way for every interface; the daemon
// checks only what JSON can get wrong (presence, type, 32-bit range).
inline constexpr double min_watch_hz = 1.0;
inline constexpr double max_watch_hz = 50.0;
// A history reply stays well under a client's 1 MiB of unsent messages.
inline constexpr std::size_t max_history_samples = 3000;

// A request that passed validation.
struct request {
  std::string cmd;         // the command's name as sent
  std::optional<json> id;  // echoed in the reply
  std::optional<std::string> robot;
  command args;
};

// A request that did not: what the reply must say.  cmd and id are filled in
// as far as the request could be read, so the reply can still echo them.
struct rejected_request {
  std::optional<std::string> cmd;
  std::optional<json> id;
  std::optional<std::string> robot;
  error_reply error;
};

using parse_result = std::variant<request, rejected_request>;

// Whether a command name is one of the daemon's extra commands.
using extra_command_names = std::function<bool(std::string_view name)>;

// Reads and checks one request (a line or a WebSocket message, without its
// line end).  A command of its own table gets its arguments checked; one
// that `extra` knows becomes an extra_cmd; any other is unknown_command.
// Never throws.
parse_result parse_request(std::string_view text, const extra_command_names &extra = {}) noexcept;

// --- Replies and pushed objects -------------------------------------------------

std::string version_banner(std::string_view release);

// {"class":"reply","cmd":...,"id":...,"robot":...,"ok":true,"result":...}
std::string ok_reply(std::string_view cmd, const std::optional<json> &id,
                     const std::optional<std::string> &robot, const json &result);
std::string error_reply_text(const std::optional<std::string> &cmd, const std::optional<json> &id,
                             const std::optional<std::string> &robot, const error_reply &error);
std::string error_reply_text(const rejected_request &rejected);

// The telemetry fields shared by poll results and pushed telemetry.
void put_telemetry(json &object, const tovlink::Telemetry &telemetry);

// The LEDs 1-6 as the daemon last switched them; empty for one it has not
// switched since it connected the robot (the robot cannot be asked).
using led_states = std::array<std::optional<bool>, tovlink::led_count>;

// A reading as poll results, pushed telemetry and MQTT state messages give
// it: the status line's values, when it was taken (Unix ms), and the LEDs.
void put_reading(json &object, const tovlink::Telemetry &telemetry, std::int64_t time_ms,
                 const led_states &leds);

}  // namespace tovlink::service

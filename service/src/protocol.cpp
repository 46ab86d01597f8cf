#include "protocol.hpp"

#include <cstdint>
#include <limits>
#include <utility>

namespace tovlink::service {
namespace {

// Nesting deeper than this is refused: the parsed value (an echoed id may
// hold anything) is later written out recursively.
constexpr int max_nesting = 32;

// Request problems travel as this exception inside the parser only.
struct bad_argument {
  daemon_error kind;
  std::string message;
};

int code_of(daemon_error kind) {
  switch (kind) {
    case daemon_error::bad_request:
      return 400;
    case daemon_error::unauthorized:
      return 401;
    case daemon_error::unknown_command:
    case daemon_error::unknown_robot:
      return 404;
    case daemon_error::robot_not_ready:
      return 409;
    case daemon_error::too_large:
      return 413;
    case daemon_error::internal:
      return 500;
    case daemon_error::busy:
      return 503;
  }
  return 500;
}

std::string_view name_of(daemon_error kind) {
  switch (kind) {
    case daemon_error::bad_request:
      return "bad_request";
    case daemon_error::unauthorized:
      return "unauthorized";
    case daemon_error::unknown_command:
      return "unknown_command";
    case daemon_error::unknown_robot:
      return "unknown_robot";
    case daemon_error::robot_not_ready:
      return "robot_not_ready";
    case daemon_error::too_large:
      return "too_large";
    case daemon_error::internal:
      return "internal_error";
    case daemon_error::busy:
      return "busy";
  }
  return "internal_error";
}

// Text written on the wire never throws, whatever bytes a robot sent back:
// invalid UTF-8 is replaced.
std::string dump(const json &value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

// Reads the arguments of one command, each checked for presence, type and
// range; the first problem is thrown as bad_argument.
class arguments {
 public:
  arguments(const json &object, std::string_view cmd) : object_(object), cmd_(cmd) {}

  bool has(const char *key) const { return object_.contains(key); }

  long long whole(const char *key, long long low, long long high) const {
    const json &value = require(key);
    if (!value.is_number_integer()) fail(std::string{key} + " must be a whole number");
    long long number = 0;
    if (value.is_number_unsigned()) {
      const auto big = value.get<std::uint64_t>();
      if (big > static_cast<std::uint64_t>(std::numeric_limits<long long>::max())) {
        out_of_range(key, low, high, value);
      }
      number = static_cast<long long>(big);
    } else {
      number = value.get<std::int64_t>();
    }
    if (number < low || number > high) out_of_range(key, low, high, value);
    return number;
  }

  int whole_int(const char *key, long long low, long long high) const {
    return static_cast<int>(whole(key, low, high));
  }

  std::optional<int> optional_whole(const char *key, long long low, long long high) const {
    if (!has(key) || object_.at(key).is_null()) return std::nullopt;
    return whole_int(key, low, high);
  }

  double number(const char *key, double low, double high) const {
    const json &value = require(key);
    if (!value.is_number()) fail(std::string{key} + " must be a number");
    const double number = value.get<double>();
    if (!(number >= low && number <= high)) {
      fail(std::string{key} + " must be " + trim(low) + "-" + trim(high) + " (got " + dump(value) +
           ")");
    }
    return number;
  }

  bool flag(const char *key) const {
    const json &value = require(key);
    if (!value.is_boolean()) fail(std::string{key} + " must be true or false");
    return value.get<bool>();
  }

  const std::string &text(const char *key) const {
    const json &value = require(key);
    if (!value.is_string()) fail(std::string{key} + " must be a string");
    return value.get_ref<const std::string &>();
  }

  const json &array(const char *key, std::size_t size) const {
    const json &value = require(key);
    if (!value.is_array() || value.size() != size) {
      fail(std::string{key} + " must be an array of " + std::to_string(size) + " numbers");
    }
    return value;
  }

  [[noreturn]] void fail(const std::string &what) const {
    throw bad_argument{daemon_error::bad_request, std::string{cmd_} + ": " + what};
  }

 private:
  const json &require(const char *key) const {
    const auto found = object_.find(key);
    if (found == object_.end()) fail(std::string{"missing \""} + key + "\"");
    return *found;
  }

  [[noreturn]] void out_of_range(const char *key, long long low, long long high,
                                 const json &value) const {
    fail(std::string{key} + " must be " + std::to_string(low) + "-" + std::to_string(high) +
         " (got " + dump(value) + ")");
  }

  static std::string trim(double value) {
    std::string text = std::to_string(value);
    while (text.size() > 1 && text.back() == '0') text.pop_back();
    if (!text.empty() && text.back() == '.') text.pop_back();
    return text;
  }

  const json &object_;
  std::string_view cmd_;
};

constexpr long long int32_low = std::numeric_limits<std::int32_t>::min();
constexpr long long int32_high = std::numeric_limits<std::int32_t>::max();

// Any 32-bit whole number: the library refuses or clamps what the robot
// does not take.
int int32_argument(const arguments &args, const char *key) {
  return args.whole_int(key, int32_low, int32_high);
}

std::optional<int> optional_int32(const arguments &args, const char *key) {
  return args.optional_whole(key, int32_low, int32_high);
}

command parse_watch(const arguments &args) {
  watch_cmd watch;
  if (args.has("enable")) watch.enable = args.flag("enable");
  if (args.has("rate_hz")) watch.rate_hz = args.number("rate_hz", min_watch_hz, max_watch_hz);
  return watch;
}

command parse_history(const arguments &args) {
  history_cmd history;
  // Ten years back is more than any history; the bound keeps the
  // subtraction from the current time in range.
  constexpr long long ten_years_ms = 10LL * 366 * 24 * 3600 * 1000;
  if (args.has("since_ms")) history.since_ms = args.whole("since_ms", 0, ten_years_ms);
  if (args.has("max_samples")) {
    history.max_samples =
        static_cast<std::size_t>(args.whole("max_samples", 1, max_history_samples));
  }
  return history;
}

command parse_move(const arguments &args) {
  move_cmd move;
  move.time_ms = optional_int32(args, "time_ms");
  move.motor = int32_argument(args, "motor");
  move.angle = int32_argument(args, "angle");
  return move;
}

command parse_pose(const arguments &args) {
  pose_cmd pose;
  const json &angles = args.array("angles", motor_count);
  for (std::size_t i = 0; i < pose.angles.size(); ++i) {
    const json &angle = angles[i];
    const bool whole_int32 =
        angle.is_number_integer() &&
        (angle.is_number_unsigned()
             ? angle.get<std::uint64_t>() <= static_cast<std::uint64_t>(int32_high)
             : angle.get<std::int64_t>() >= int32_low && angle.get<std::int64_t>() <= int32_high);
    if (!whole_int32) args.fail("angles must be whole numbers (got " + dump(angle) + ")");
    pose.angles[i] = static_cast<int>(angle.get<std::int64_t>());
  }
  pose.time_ms = optional_int32(args, "time_ms");
  return pose;
}

command parse_move_relative(const arguments &args) {
  move_relative_cmd move;
  move.time_ms = optional_int32(args, "time_ms");
  move.motor = int32_argument(args, "motor");
  return move;
}

command parse_adjust(const arguments &args) {
  adjust_cmd adjust;
  adjust.motor = int32_argument(args, "motor");
  adjust.offset = int32_argument(args, "offset");
  return adjust;
}

command parse_power(const arguments &args) {
  power_cmd power;
  power.on = args.flag("on");
  if (auto value = optional_int32(args, "value")) {
    power.value = *value;
  }
  return power;
}

command parse_led(const arguments &args) {
  return led_cmd{int32_argument(args, "led"), args.flag("on")};
}

command parse_tone(const arguments &args) {
  return tone_cmd{int32_argument(args, "first"), int32_argument(args, "second")};
}

command parse_say(const arguments &args) {
  return say_cmd{args.text("text")};
}

command parse_speed(const arguments &args) {
  return speed_cmd{int32_argument(args, "speed")};
}

command parse_query(const arguments &args) {
  const std::string &name = args.text("query");
  tovlink::Query query{};
  if (tovlink::query_from_name(name, query)) return query_cmd{query};
  std::string names;
  for (const auto &entry : tovlink::queries) {
    names += names.empty() ? "" : ", ";
    names += entry.name;
  }
  args.fail("query must be one of " + names);
}

using command_parser = command (*)(const arguments &);

struct command_entry {
  std::string_view name;
  command_parser parse;
};

constexpr std::array<command_entry, 16> commands{{
    {"devices", [](const arguments &) -> command { return devices_cmd{}; }},
    {"describe", [](const arguments &) -> command { return describe_cmd{}; }},
    {"poll", [](const arguments &) -> command { return poll_cmd{}; }},
    {"watch", parse_watch},
    {"move", parse_move},
    {"pose", parse_pose},
    {"move_relative", parse_move_relative},
    {"adjust", parse_adjust},
    {"power", parse_power},
    {"start", [](const arguments &) -> command { return start_cmd{}; }},
    {"led", parse_led},
    {"tone", parse_tone},
    {"say", parse_say},
    {"speed", parse_speed},
    {"query", parse_query},
    {"history", parse_history},
}};

json parse_limited(std::string_view text, bool &too_deep) {
  json::parser_callback_t limit_depth = [&too_deep](int depth, json::parse_event_t, json &) {
    if (depth > max_nesting) too_deep = true;
    return !too_deep;
  };
  return json::parse(text.begin(), text.end(), limit_depth, false);
}

parse_result parse_checked(std::string_view text, const extra_command_names &extra) {
  rejected_request rejected;
  if (text.size() > max_request_bytes) {
    rejected.error = make_error(daemon_error::too_large, "request: longer than 65536 bytes");
    return rejected;
  }
  // The JSON reader stops at a NUL byte as at the end of the input, and
  // would take what came before it for the whole request.
  if (text.find('\0') != std::string_view::npos) {
    rejected.error = make_error(daemon_error::bad_request, "request: holds a NUL byte");
    return rejected;
  }
  bool too_deep = false;
  const json object = parse_limited(text, too_deep);
  if (too_deep) {
    rejected.error = make_error(daemon_error::bad_request, "request: nested too deeply");
    return rejected;
  }
  if (object.is_discarded()) {
    rejected.error = make_error(daemon_error::bad_request, "request: not valid JSON");
    return rejected;
  }
  if (!object.is_object()) {
    rejected.error = make_error(daemon_error::bad_request, "request: not a JSON object");
    return rejected;
  }
  if (const auto id = object.find("id"); id != object.end()) rejected.id = *id;
  const auto cmd = object.find("cmd");
  if (cmd == object.end() || !cmd->is_string()) {
    rejected.error = make_error(daemon_error::bad_request, "request: \"cmd\" must be a string");
    return rejected;
  }
  rejected.cmd = cmd->get<std::string>();
  if (const auto robot = object.find("robot"); robot != object.end() && !robot->is_null()) {
    if (!robot->is_string()) {
      rejected.error =
          make_error(daemon_error::bad_request, *rejected.cmd + ": robot must be a string");
      return rejected;
    }
    rejected.robot = robot->get<std::string>();
  }
  for (const auto &entry : commands) {
    if (entry.name != *rejected.cmd) continue;
    try {
      return request{*rejected.cmd, rejected.id, rejected.robot,
                     entry.parse(arguments{object, entry.name})};
    } catch (const bad_argument &problem) {
      rejected.error = make_error(problem.kind, problem.message);
      return rejected;
    }
  }
  if (extra && extra(*rejected.cmd)) {
    return request{*rejected.cmd, rejected.id, rejected.robot, extra_cmd{object}};
  }
  rejected.error = make_error(daemon_error::unknown_command,
                              "request: unknown command " + dump(json(*rejected.cmd)));
  return rejected;
}

json head(std::string_view cmd, const std::optional<json> &id,
          const std::optional<std::string> &robot) {
  json reply = json::object();
  reply["class"] = "reply";
  reply["cmd"] = cmd;
  if (id) reply["id"] = *id;
  if (robot) reply["robot"] = *robot;
  return reply;
}

}  // namespace

error_reply make_error(daemon_error kind, std::string message) {
  return {code_of(kind), std::string{name_of(kind)}, std::move(message)};
}

bool goes_to_robot(const command &cmd) noexcept {
  return !std::holds_alternative<devices_cmd>(cmd) && !std::holds_alternative<describe_cmd>(cmd) &&
         !std::holds_alternative<poll_cmd>(cmd) && !std::holds_alternative<watch_cmd>(cmd) &&
         !std::holds_alternative<extra_cmd>(cmd) && !std::holds_alternative<history_cmd>(cmd);
}

parse_result parse_request(std::string_view text, const extra_command_names &extra) noexcept {
  try {
    return parse_checked(text, extra);
  } catch (const std::exception &failure) {
    // Only allocation can fail here; answer rather than end the connection.
    rejected_request rejected;
    rejected.error = make_error(daemon_error::internal, std::string{"request: "} + failure.what());
    return rejected;
  }
}

std::string version_banner(std::string_view release) {
  json banner = {{"class", "version"},
                 {"release", release},
                 {"proto", {{"major", proto_major}, {"minor", proto_minor}}}};
  return dump(banner);
}

std::string ok_reply(std::string_view cmd, const std::optional<json> &id,
                     const std::optional<std::string> &robot, const json &result) {
  json reply = head(cmd, id, robot);
  reply["ok"] = true;
  reply["result"] = result;
  return dump(reply);
}

std::string error_reply_text(const std::optional<std::string> &cmd, const std::optional<json> &id,
                             const std::optional<std::string> &robot, const error_reply &error) {
  json reply = head(cmd ? std::string_view{*cmd} : std::string_view{}, id, robot);
  if (!cmd) reply.erase("cmd");
  reply["ok"] = false;
  reply["error"] = {
      {"code", error.code}, {"name", error.name}, {"message", error.message}, {"sent", error.sent}};
  return dump(reply);
}

std::string error_reply_text(const rejected_request &rejected) {
  return error_reply_text(rejected.cmd, rejected.id, rejected.robot, rejected.error);
}

void put_telemetry(json &object, const tovlink::Telemetry &telemetry) {
  object["sensor"] = telemetry.sensor;
  object["mic"] = telemetry.mic;
  object["mic_analog"] = telemetry.mic_analog;
  object["battery"] = telemetry.battery;
  object["motor_power"] = telemetry.motor_power;
  object["positions"] = telemetry.positions;
}

void put_reading(json &object, const tovlink::Telemetry &telemetry, std::int64_t time_ms,
                 const led_states &leds) {
  put_telemetry(object, telemetry);
  object["time_ms"] = time_ms;
  json list = json::array();
  for (const auto &led : leds) list.push_back(led ? json(*led) : json(nullptr));
  object["leds"] = std::move(list);
}

}  // namespace tovlink::service

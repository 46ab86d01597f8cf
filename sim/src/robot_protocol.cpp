#include "tovlink_sim/robot_protocol.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace tovlink::sim {
namespace {

constexpr std::string_view line_end = "\r\n";
constexpr std::string_view firmware_version = "1.0.0";
constexpr std::string_view identity = "WHO,TovSim,VR-0001";
constexpr int mic_range_low = 0;

std::vector<std::string_view> split_fields(std::string_view line) {
  std::vector<std::string_view> fields;
  std::size_t start = 0;
  while (true) {
    const auto comma = line.find(',', start);
    fields.push_back(line.substr(start, comma - start));
    if (comma == std::string_view::npos) return fields;
    start = comma + 1;
  }
}

std::optional<int> parse_int(std::string_view field) {
  int value = 0;
  const auto *end = field.data() + field.size();
  const auto [stop, error] = std::from_chars(field.data(), end, value);
  if (field.empty() || error != std::errc{} || stop != end) return std::nullopt;
  return value;
}

bool valid_angle(int angle) {
  return angle >= min_angle && angle <= max_angle;
}
bool valid_target(int motor) {
  return robot_model::valid_motor(motor) || motor == all_motors;
}
bool valid_duration(int ms) {
  return ms >= 0;
}

template <typename Values>
std::string join(std::string_view head, const Values &values) {
  std::string text{head};
  for (const auto value : values) {
    text += ',';
    text += std::to_string(value);
  }
  return text;
}

std::string status_line(const robot_state &s) {
  std::string text = "S," + std::to_string(s.sensor) + ',' + std::to_string(s.mic) + ",M";
  text = join(text, s.positions);
  text += ",P," + std::to_string(s.battery_mv) + ',' + std::to_string(s.reported_power) + ',' +
          std::to_string(s.mic_analog) + ",E";
  return text;
}

struct context {
  std::span<const int> args;
  robot_model &model;
  time_point now;
};

using handler = std::optional<std::string> (*)(const context &);

struct numeric_command {
  std::string_view code;
  std::size_t arg_count;
  handler handle;
};

std::optional<std::string> ok() {
  return std::string{reply::ok};
}

std::optional<std::string> move_all(const context &c, milliseconds duration) {
  const auto angles = c.args.first(motor_count);
  if (!std::all_of(angles.begin(), angles.end(), valid_angle)) return std::nullopt;
  for (int motor = 0; motor < motor_count; ++motor) {
    c.model.move_over(motor, angles[static_cast<std::size_t>(motor)], duration, c.now);
  }
  return ok();
}

// Fixed arity numeric commands; a handler returning nullopt means the
// arguments were out of range.
constexpr std::array numeric_commands{
    numeric_command{"#100", 1,
                    [](const context &c) -> std::optional<std::string> {
                      if (!robot_model::valid_led(c.args[0])) return std::nullopt;
                      c.model.set_led(c.args[0], true);
                      return ok();
                    }},
    numeric_command{"#101", 1,
                    [](const context &c) -> std::optional<std::string> {
                      if (!robot_model::valid_led(c.args[0])) return std::nullopt;
                      c.model.set_led(c.args[0], false);
                      return ok();
                    }},
    numeric_command{"#110", 2,
                    [](const context &c) -> std::optional<std::string> {
                      if (c.args[0] < 0 || c.args[1] < 0) return std::nullopt;
                      c.model.play_tone(tone{c.args[0], c.args[1]}, c.now);
                      return ok();
                    }},
    numeric_command{"#120", 1,
                    [](const context &c) -> std::optional<std::string> {
                      if (c.args[0] < min_voice_speed || c.args[0] > max_voice_speed) {
                        return std::nullopt;
                      }
                      c.model.set_voice_speed(c.args[0]);
                      return ok();
                    }},
    numeric_command{"#130", 0,
                    [](const context &c) {
                      c.model.motor_power_on(c.now);
                      return ok();
                    }},
    numeric_command{"#131", 0,
                    [](const context &c) {
                      c.model.motor_power_off(c.now);
                      return ok();
                    }},
    numeric_command{"#132", 2,
                    [](const context &c) -> std::optional<std::string> {
                      if (!robot_model::valid_motor(c.args[0]) || !valid_angle(c.args[1])) {
                        return std::nullopt;
                      }
                      c.model.set_position(c.args[0], c.args[1], c.now);
                      return ok();
                    }},
    numeric_command{"#133", 2,
                    [](const context &c) -> std::optional<std::string> {
                      // Parameter 9 is the motor power; the others are not modelled.
                      if (c.args[0] != 9 || c.args[1] < 0) return std::nullopt;
                      c.model.set_power_value(c.args[1], c.now);
                      return ok();
                    }},
    numeric_command{"#134", 0,
                    [](const context &c) {
                      c.model.start_motors();
                      return ok();
                    }},
    numeric_command{"#136", motor_count,
                    [](const context &c) { return move_all(c, milliseconds{0}); }},
    numeric_command{"#137", 2,
                    [](const context &c) -> std::optional<std::string> {
                      if (!valid_target(c.args[0])) return std::nullopt;
                      c.model.release(c.args[0], c.now);
                      return ok();
                    }},
    numeric_command{"#140", 0,
                    [](const context &c) -> std::optional<std::string> {
                      return status_line(c.model.sample(c.now));
                    }},
    numeric_command{"#142", 0,
                    [](const context &c) -> std::optional<std::string> {
                      return join("POS", c.model.sample(c.now).positions);
                    }},
    numeric_command{"#150", 3,
                    [](const context &c) -> std::optional<std::string> {
                      if (!valid_target(c.args[0]) || !valid_angle(c.args[1]) ||
                          !valid_duration(c.args[2])) {
                        return std::nullopt;
                      }
                      c.model.move_over(c.args[0], c.args[1], milliseconds{c.args[2]}, c.now);
                      return ok();
                    }},
    numeric_command{"#151", motor_count + 1,
                    [](const context &c) -> std::optional<std::string> {
                      const int duration = c.args[motor_count];
                      if (!valid_duration(duration)) return std::nullopt;
                      return move_all(c, milliseconds{duration});
                    }},
    numeric_command{"#152", 3,
                    [](const context &c) -> std::optional<std::string> {
                      if (!valid_target(c.args[0]) || !valid_duration(c.args[2])) {
                        return std::nullopt;
                      }
                      c.model.release(c.args[0], c.now);
                      return ok();
                    }},
    numeric_command{
        "#800", 0,
        [](const context &) -> std::optional<std::string> { return std::string{identity}; }},
    numeric_command{"#801", 0,
                    [](const context &) -> std::optional<std::string> {
                      return "VER," + std::string{firmware_version};
                    }},
    numeric_command{"#802", 0,
                    [](const context &c) -> std::optional<std::string> {
                      const auto s = c.model.sample(c.now);
                      return "MP," + std::to_string(s.motor_power ? 1 : 0) + ',' +
                             std::to_string(s.power_value);
                    }},
    numeric_command{"#803", 0,
                    [](const context &c) -> std::optional<std::string> {
                      c.model.save_power_limit();
                      return "PL," + std::to_string(c.model.sample(c.now).saved_power_limit);
                    }},
    numeric_command{"#804", 0,
                    [](const context &c) -> std::optional<std::string> {
                      const auto s = c.model.sample(c.now);
                      return join("INIT", s.adjustments) + ",V," + std::to_string(s.voice_speed);
                    }},
    numeric_command{"#805", 0,
                    [](const context &c) -> std::optional<std::string> {
                      const auto s = c.model.sample(c.now);
                      return "INFO," + std::string{firmware_version} + ',' +
                             std::to_string(s.uptime_ms / 1000) + ',' +
                             std::to_string(s.battery_mv);
                    }},
    numeric_command{"#806", 0,
                    [](const context &) -> std::optional<std::string> {
                      return "MIC," + std::to_string(mic_range_low) + ',' +
                             std::to_string(mic_level_max);
                    }},
    numeric_command{"#807", 0,
                    [](const context &c) -> std::optional<std::string> {
                      return "PL," + std::to_string(c.model.sample(c.now).saved_power_limit);
                    }},
    numeric_command{"#810", 2,
                    [](const context &c) -> std::
                                             optional<std::string> {
                                               if (!robot_model::valid_motor(c.args[0]))
                                                 return std::nullopt;
                                               c.model.set_adjustment(c.args[0], c.args[1]);
                                               return ok();
                                             }},
};

std::string robot_reply(std::string_view line, robot_model &model, time_point now) {
  // Speech text may hold commas, so it is everything after the code.
  constexpr std::string_view speech = "#121,";
  if (line.starts_with(speech)) {
    model.speak(std::string{line.substr(speech.size())}, now);
    return std::string{reply::ok};
  }
  if (line == speech.substr(0, 4)) return std::string{reply::bad_arguments};
  const auto fields = split_fields(line);
  const auto found = std::find_if(numeric_commands.begin(), numeric_commands.end(),
                                  [&](const auto &c) { return c.code == fields.front(); });
  if (found == numeric_commands.end()) return std::string{reply::unknown_command};
  if (fields.size() != found->arg_count + 1) return std::string{reply::bad_arguments};
  std::vector<int> args;
  for (const auto field : std::span{fields}.subspan(1)) {
    const auto value = parse_int(field);
    if (!value) return std::string{reply::bad_arguments};
    args.push_back(*value);
  }
  return found->handle(context{args, model, now}).value_or(std::string{reply::bad_arguments});
}

}  // namespace

robot_protocol::robot_protocol(adapter_settings settings) : settings_(std::move(settings)) {}

std::string robot_protocol::adapter_reply(std::string_view line) const {
  if (line == "R,1") return "CMD";
  if (line == "GDH") return settings_.peer_id;
  if (line == "I") return settings_.answer_mldp ? "MLDP" : std::string{reply::no_mldp};
  return {};
}

std::string robot_protocol::link_reply(std::string_view peer) {
  linked_ = settings_.accept_link && peer == settings_.peer_id;
  return linked_ ? "AOK" : std::string{reply::link_refused};
}

std::string robot_protocol::reply_to(std::string_view line, robot_model &model, time_point now) {
  constexpr std::string_view link_prefix = "E,0,";
  std::string text;
  if (line.starts_with(link_prefix)) {
    text = link_reply(line.substr(link_prefix.size()));
  } else if (line.starts_with('#')) {
    text = robot_reply(line, model, now);
  } else {
    text = adapter_reply(line);
    if (text.empty()) text = reply::unknown_command;
  }
  return text + std::string{line_end};
}

std::string robot_protocol::reply_to_overlong_line() const {
  return std::string{reply::line_too_long} + std::string{line_end};
}

}  // namespace tovlink::sim

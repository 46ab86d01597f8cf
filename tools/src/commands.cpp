#include "commands.hpp"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <functional>
#include <thread>
#include <vector>

#include "json.hpp"
#include "messages.hpp"
#include "tovlink.h"

#ifndef TOVLINK_TOOL_VERSION
#define TOVLINK_TOOL_VERSION "0"
#endif

namespace tovlink::tool {
namespace {

using std::chrono::milliseconds;
using handle_t = std::uint32_t *;

constexpr int exit_failure = 1;

// What a command prints: human text, or one JSON object on standard output.
class reporter {
 public:
  reporter(const console &io, std::string command, bool json)
      : io_(io), command_(std::move(command)), json_(json) {}

  bool json() const { return json_; }
  const console &io() const { return io_; }

  void say(std::string_view line) const {
    if (json_) return;
    std::fprintf(io_.out(), "%.*s\n", static_cast<int>(line.size()), line.data());
    std::fflush(io_.out());
  }

  void warn(std::string_view line) const {
    std::fprintf(io_.err(), "tovlink: warning: %.*s\n", static_cast<int>(line.size()), line.data());
  }

  int done(const json_object &fields = {}) const {
    if (json_) print_json(true, fields);
    return 0;
  }

  int fail(std::uint32_t code, std::string_view message) const {
    std::fprintf(io_.err(), "tovlink: %.*s\n", static_cast<int>(message.size()), message.data());
    if (json_) {
      json_object fields;
      fields.number("code", code).text("error", message);
      print_json(false, fields);
    }
    return exit_failure;
  }

  void print_json(bool ok, const json_object &fields) const {
    json_object head;
    head.text("command", command_).flag("ok", ok);
    std::string line = head.str();
    const std::string rest = fields.str();
    if (rest.size() > 2) line.insert(line.size() - 1, "," + rest.substr(1, rest.size() - 2));
    std::fprintf(io_.out(), "%s\n", line.c_str());
    std::fflush(io_.out());
  }

 private:
  const console &io_;
  std::string command_;
  bool json_;
};

// One sample of every telemetry value.
struct telemetry {
  std::int32_t sensor = 0;
  std::int32_t mic = 0;
  std::int32_t mic_analog = 0;
  std::int32_t battery = 0;
  std::int32_t motor_power = 0;
  std::array<std::int32_t, motor_count> positions{};

  std::vector<int> position_list() const { return {positions.begin(), positions.end()}; }
};

// Each getter refreshes the library's cache with one status exchange; the
// positions then come from the cache of the last one.
std::uint32_t read_telemetry(handle_t h, telemetry &t) {
  using getter = std::uint32_t (*)(handle_t, std::int32_t *);
  const std::array<std::pair<getter, std::int32_t *>, 5> reads{{
      {tovlink_get_sensor_value, &t.sensor},
      {tovlink_get_mic_value, &t.mic},
      {tovlink_get_mic_analog_value, &t.mic_analog},
      {tovlink_get_battery_value, &t.battery},
      {tovlink_get_motor_power, &t.motor_power},
  }};
  for (const auto &[read, target] : reads) {
    if (const auto code = read(h, target); code != TOVLINK_OK) return code;
  }
  auto &p = t.positions;
  return tovlink_get_motor_positions(h, &p[0], &p[1], &p[2], &p[3], &p[4], &p[5], &p[6]);
}

json_object telemetry_json(const telemetry &t) {
  json_object fields;
  fields.number("sensor", t.sensor)
      .number("mic", t.mic)
      .number("mic_analog", t.mic_analog)
      .number("battery", t.battery)
      .number("motor_power", t.motor_power)
      .numbers("positions", t.position_list());
  return fields;
}

std::string positions_text(const telemetry &t) {
  std::string text;
  for (const auto p : t.positions) text += (text.empty() ? "" : " ") + std::to_string(p);
  return text;
}

std::string telemetry_table(const telemetry &t) {
  std::vector<std::pair<std::string, int>> rows{
      {"sensor", t.sensor},   {"microphone", t.mic},          {"microphone analog", t.mic_analog},
      {"battery", t.battery}, {"motor power", t.motor_power},
  };
  for (int m = 0; m < motor_count; ++m) {
    rows.emplace_back("motor " + std::to_string(m + 1) + " position",
                      t.positions[static_cast<std::size_t>(m)]);
  }
  std::size_t width = 0;
  for (const auto &row : rows) width = std::max(width, row.first.size());
  std::string table;
  for (const auto &[name, value] : rows) {
    std::array<char, 96> line{};
    std::snprintf(line.data(), line.size(), "%-*s  %6d\n", static_cast<int>(width), name.c_str(),
                  value);
    table += line.data();
  }
  table.pop_back();
  return table;
}

// A robot's reply shown as text: without its line end, other control bytes
// written as escapes.
std::string printable_reply(const char *buffer) {
  std::string text{buffer};
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  std::string shown;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7f) {
      shown += c;
    } else {
      std::array<char, 8> escape{};
      std::snprintf(escape.data(), escape.size(), "\\x%02X", static_cast<unsigned>(byte));
      shown += escape.data();
    }
  }
  return shown;
}

std::string reply_text(const char *buffer) {
  std::string text{buffer};
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

using text_query = std::uint32_t (*)(handle_t, char *, std::uint64_t);

text_query text_query_for(std::string_view command) {
  if (command == "who") return tovlink_who;
  if (command == "info") return tovlink_get_info;
  if (command == "init") return tovlink_get_init;
  if (command == "mic-range") return tovlink_get_init_mic_range;
  if (command == "power-limit") return tovlink_get_init_power_limit;
  if (command == "position") return tovlink_get_position;
  return nullptr;
}

int run_text_query(text_query query, handle_t h, const reporter &out) {
  // Zero-filled and one byte short, so the reply always ends in a zero.
  std::array<char, 129> buffer{};
  const auto code = query(h, buffer.data(), buffer.size() - 1);
  if (code != TOVLINK_OK) return out.fail(code, describe_result(code));
  out.say(printable_reply(buffer.data()));
  json_object fields;
  fields.text("reply", reply_text(buffer.data()));
  return out.done(fields);
}

int run_status(handle_t h, const reporter &out) {
  telemetry t;
  if (const auto code = read_telemetry(h, t); code != TOVLINK_OK) {
    return out.fail(code, describe_result(code));
  }
  out.say(telemetry_table(t));
  return out.done(telemetry_json(t));
}

std::string motor_name(int motor) {
  return motor == all_motors ? "all motors" : "motor " + std::to_string(motor);
}

int run_move(const request &req, handle_t h, const reporter &out) {
  std::uint32_t code = TOVLINK_OK;
  if (req.time_ms) {
    code = tovlink_motor_angle_time(h, req.motor, req.angle, *req.time_ms);
  } else if (req.motor == all_motors) {
    const int a = req.angle;
    code = tovlink_motor_pos_all(h, a, a, a, a, a, a, a);
  } else {
    code = tovlink_motor_set_pos(h, req.motor, req.angle);
  }
  if (code != TOVLINK_OK) return out.fail(code, describe_result(code, "motor must be 1–7"));
  out.say(motor_name(req.motor) + " to " + std::to_string(req.angle) +
          (req.time_ms ? " over " + std::to_string(*req.time_ms) + " ms" : ""));
  json_object fields;
  if (req.motor == all_motors) {
    fields.text("motor", "all");
  } else {
    fields.number("motor", req.motor);
  }
  fields.number("angle", req.angle);
  if (req.time_ms) {
    fields.number("time_ms", *req.time_ms);
  } else {
    fields.null("time_ms");
  }
  return out.done(fields);
}

int run_pose(const request &req, handle_t h, const reporter &out) {
  const auto &a = req.angles;
  const auto code = req.time_ms
                        ? tovlink_motor_angle_multi_time(h, a[0], a[1], a[2], a[3], a[4], a[5],
                                                         a[6], *req.time_ms)
                        : tovlink_motor_pos_all(h, a[0], a[1], a[2], a[3], a[4], a[5], a[6]);
  if (code != TOVLINK_OK) return out.fail(code, describe_result(code));
  std::string angles;
  for (const auto angle : a) angles += (angles.empty() ? "" : " ") + std::to_string(angle);
  out.say("pose " + angles + (req.time_ms ? " over " + std::to_string(*req.time_ms) + " ms" : ""));
  json_object fields;
  fields.numbers("angles", {a.begin(), a.end()});
  if (req.time_ms) {
    fields.number("time_ms", *req.time_ms);
  } else {
    fields.null("time_ms");
  }
  return out.done(fields);
}

int run_power(const request &req, handle_t h, const reporter &out) {
  const bool on = req.command == "power on";
  const auto code = on ? tovlink_motor_power_on(h, req.power_value) : tovlink_motor_power_off(h);
  if (code != TOVLINK_OK) {
    return out.fail(code, describe_result(code, "power value must be at least 500"));
  }
  out.say(on ? "motor power on (" + std::to_string(req.power_value) + ")" : "motor power off");
  json_object fields;
  fields.flag("power", on);
  if (on) fields.number("value", req.power_value);
  return out.done(fields);
}

int run_led(const request &req, handle_t h, const reporter &out) {
  const bool on = req.command == "led on";
  const auto code = on ? tovlink_led_on(h, req.led) : tovlink_led_off(h, req.led);
  if (code != TOVLINK_OK) return out.fail(code, describe_result(code));
  out.say("led " + std::to_string(req.led) + (on ? " on" : " off"));
  json_object fields;
  fields.number("led", req.led).flag("on", on);
  return out.done(fields);
}

int run_sound(const request &req, handle_t h, const reporter &out) {
  const auto code = tovlink_sound(h, req.first, req.second);
  if (code != TOVLINK_OK) return out.fail(code, describe_result(code));
  out.say("sound " + std::to_string(req.first) + " " + std::to_string(req.second));
  json_object fields;
  fields.number("a", req.first).number("b", req.second);
  return out.done(fields);
}

int run_say(const request &req, handle_t h, const reporter &out) {
  const auto code = tovlink_voice(h, req.text.c_str());
  if (code != TOVLINK_OK) {
    return out.fail(code, describe_result(code, "text must be at most 39 bytes"));
  }
  out.say("said \"" + req.text + "\"");
  json_object fields;
  fields.text("text", req.text);
  return out.done(fields);
}

int run_speed(const request &req, handle_t h, const reporter &out) {
  const auto code = tovlink_voice_speed(h, req.speed);
  if (code != TOVLINK_OK) return out.fail(code, describe_result(code, "speed must be 50–300"));
  out.say("speech speed " + std::to_string(req.speed));
  json_object fields;
  fields.number("speed", req.speed);
  return out.done(fields);
}

volatile std::sig_atomic_t interrupted = 0;

extern "C" void note_interrupt(int) {
  interrupted = 1;
}

// Sleeps in short steps so Ctrl-C ends a long pause promptly.
void pause_unless_interrupted(milliseconds span) {
  const auto until = std::chrono::steady_clock::now() + span;
  while (interrupted == 0 && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::min<milliseconds>(
        milliseconds{50},
        std::chrono::duration_cast<milliseconds>(until - std::chrono::steady_clock::now()) +
            milliseconds{1}));
  }
}

std::string monitor_line(const telemetry &t, double seconds) {
  std::array<char, 160> line{};
  std::snprintf(line.data(), line.size(),
                "%7.1f s  sensor %4d  mic %3d  analog %4d  battery %5d  power %4d  motors %s",
                seconds, t.sensor, t.mic, t.mic_analog, t.battery, t.motor_power,
                positions_text(t).c_str());
  return line.data();
}

int run_monitor(const request &req, handle_t h, const reporter &out) {
  interrupted = 0;
  std::signal(SIGINT, note_interrupt);
  std::signal(SIGTERM, note_interrupt);
  const bool redraw = out.io().out_is_terminal() && !out.json();
  const auto period = milliseconds{static_cast<long long>(1000.0 / req.rate_hz)};
  const auto started = std::chrono::steady_clock::now();
  std::size_t width = 0;
  int taken = 0;
  int status = 0;
  while (interrupted == 0 && (!req.samples || taken < *req.samples)) {
    telemetry t;
    if (const auto code = read_telemetry(h, t); code != TOVLINK_OK) {
      if (redraw) std::fputc('\n', out.io().out());
      status = out.fail(code, describe_result(code));
      break;
    }
    ++taken;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (out.json()) {
      json_object fields = telemetry_json(t);
      fields.number("sample", taken).number("elapsed_ms", static_cast<long long>(seconds * 1000));
      out.print_json(true, fields);
    } else if (redraw) {
      const auto line = monitor_line(t, seconds);
      std::fprintf(out.io().out(), "\r%s%*s", line.c_str(),
                   static_cast<int>(width > line.size() ? width - line.size() : 0), "");
      std::fflush(out.io().out());
      width = line.size();
    } else {
      out.say(monitor_line(t, seconds));
    }
    if (!req.samples || taken < *req.samples) pause_unless_interrupted(period);
  }
  if (redraw && status == 0) std::fputc('\n', out.io().out());
  std::signal(SIGINT, SIG_DFL);
  std::signal(SIGTERM, SIG_DFL);
  return status;
}

// The demo's steps, each a name and an action returning a result code.
struct demo_step {
  std::string name;
  std::function<std::uint32_t()> action;
};

constexpr int demo_arm = 4;
constexpr const char *demo_greeting = "Hello, nice to meet you";

std::uint32_t wave_arm(handle_t h, int rest) {
  const std::array<std::pair<int, int>, 4> swings{{{150, 400}, {40, 600}, {150, 600}, {rest, 400}}};
  for (const auto &[angle, ms] : swings) {
    if (const auto code = tovlink_motor_angle_time(h, demo_arm, angle, ms); code != TOVLINK_OK) {
      return code;
    }
    // Wait for the swing to finish before the next one begins.
    std::this_thread::sleep_for(milliseconds{ms + 50});
  }
  return TOVLINK_OK;
}

int run_demo(const robot_session &session, const reporter &out) {
  handle_t h = session.handle();
  telemetry before;
  telemetry after;
  const std::vector<demo_step> steps{
      {"read telemetry", [&] { return read_telemetry(h, before); }},
      {"power the motors", [&] { return tovlink_motor_power_on(h, default_power_value); }},
      {"wave an arm",
       [&] { return wave_arm(h, before.positions[static_cast<std::size_t>(demo_arm - 1)]); }},
      {"speak", [&] { return tovlink_voice(h, demo_greeting); }},
      {"read the battery", [&] { return read_telemetry(h, after); }},
      {"power the motors off", [&] { return tovlink_motor_power_off(h); }},
  };
  out.say("connected to " + session.port());
  for (const auto &step : steps) {
    out.say("- " + step.name);
    if (const auto code = step.action(); code != TOVLINK_OK) {
      return out.fail(code, "demo step '" + step.name + "' failed: " + describe_result(code));
    }
    if (&step == &steps.front()) {
      out.say("  battery " + std::to_string(before.battery) + ", sensor " +
              std::to_string(before.sensor) + ", microphone " + std::to_string(before.mic) +
              ", motors " + positions_text(before));
    } else if (step.name == "speak") {
      out.say(std::string{"  \""} + demo_greeting + "\"");
    } else if (&step == &steps[4]) {
      out.say("  battery " + std::to_string(after.battery) + " (was " +
              std::to_string(before.battery) + ")");
    }
  }
  out.say("demo finished");
  json_object fields;
  fields.text("port", session.port())
      .number("battery_before", before.battery)
      .number("battery_after", after.battery)
      .number("steps", static_cast<long long>(steps.size()));
  return out.done(fields);
}

int run_version(const reporter &out) {
  std::array<char, 32> library{};
  const auto code = tovlin_get_lib_ver(library.data(), library.size());
  if (code != TOVLINK_OK) return out.fail(code, "cannot read the library version");
  out.say(std::string{"tovlink "} + TOVLINK_TOOL_VERSION + ", library " + library.data());
  json_object fields;
  fields.text("tool", TOVLINK_TOOL_VERSION).text("library", library.data());
  return out.done(fields);
}

int run_connected(const request &req, const robot_session &session, const reporter &out) {
  handle_t h = session.handle();
  const auto &c = req.command;
  if (const auto query = text_query_for(c)) return run_text_query(query, h, out);
  if (c == "status") return run_status(h, out);
  if (c == "move") return run_move(req, h, out);
  if (c == "pose") return run_pose(req, h, out);
  if (c == "power on" || c == "power off") return run_power(req, h, out);
  if (c == "led on" || c == "led off") return run_led(req, h, out);
  if (c == "sound") return run_sound(req, h, out);
  if (c == "say") return run_say(req, h, out);
  if (c == "speed") return run_speed(req, h, out);
  if (c == "monitor") return run_monitor(req, h, out);
  if (c == "demo") return run_demo(session, out);
  return out.fail(TOVLINK_ERR_INVALID_ARGUMENT, "unknown command '" + c + "'");
}

}  // namespace

bool needs_connection(std::string_view command) {
  return command != "version";
}

int run_request(const request &req, console &io) {
  const reporter out{io, req.command, req.json};
  if (!needs_connection(req.command)) return run_version(out);

  // On a terminal the library's diagnostics would tear through the progress
  // line and the results; they are shown there only with --verbose.
  io.separate_library_output(io.err_is_terminal() && !req.verbose);
  robot_session session;
  std::uint32_t code = TOVLINK_OK;
  try {
    code = session.open(req.connection, io.err_is_terminal() ? io.err() : nullptr);
  } catch (const std::exception &error) {
    return out.fail(TOVLINK_ERR_PORT_OPEN, error.what());
  }
  if (code != TOVLINK_OK) {
    auto message = describe_connect_failure(code, session.port());
    if (io.err_is_terminal() && !req.verbose) message += " (--verbose shows the library's log)";
    return out.fail(code, message);
  }
  if (session.link_warning() != TOVLINK_OK) {
    out.warn("the adapter did not confirm the data mode (no MLDP reply to I); going on");
  }
  return run_connected(req, session, out);
}

}  // namespace tovlink::tool

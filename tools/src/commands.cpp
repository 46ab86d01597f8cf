#include "commands.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>
#include <vector>

#include "cli.hpp"
#include "messages.hpp"

#ifdef TOVLINK_TOOL_WITH_MOTION
#include "tovlink/motion/motion.hpp"
#endif

#ifndef TOVLINK_TOOL_VERSION
#define TOVLINK_TOOL_VERSION "0"
#endif

namespace tovlink::tool {
namespace {

using nlohmann::ordered_json;
using std::chrono::milliseconds;
using steady = std::chrono::steady_clock;

// JSON text on one line; bytes that are not UTF-8 become U+FFFD, control
// bytes \u00XX, so replies full of line noise still give valid JSON.
std::string json_line(const ordered_json &object) {
  return object.dump(-1, ' ', false, ordered_json::error_handler_t::replace);
}

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

  int done(const ordered_json &fields = ordered_json::object()) const {
    if (json_) print_json(true, fields);
    return exit_ok;
  }

  int fail(const failure &error) const { return report_failure(command_, json_, error, io_); }

  void print_json(bool ok, const ordered_json &fields) const {
    ordered_json line{{"command", command_}, {"ok", ok}};
    for (const auto &[key, value] : fields.items()) line[key] = value;
    std::fprintf(io_.out(), "%s\n", json_line(line).c_str());
    std::fflush(io_.out());
  }

 private:
  const console &io_;
  std::string command_;
  bool json_;
};

ordered_json telemetry_json(const tovlink::Telemetry &t) {
  return {{"sensor", t.sensor},           {"mic", t.mic},
          {"mic_analog", t.mic_analog},   {"battery", t.battery},
          {"motor_power", t.motor_power}, {"positions", t.positions}};
}

std::string joined(const std::array<int, motor_count> &values) {
  std::string text;
  for (const auto value : values) {
    if (!text.empty()) text += ' ';
    text += std::to_string(value);
  }
  return text;
}

std::string telemetry_table(const tovlink::Telemetry &t) {
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

// A robot's reply shown as text: control bytes written as escapes.
std::string printable(std::string_view text) {
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

// The text queries are commands named as the contract names them.
std::optional<tovlink::Query> query_for(std::string_view command) {
  tovlink::Query query{};
  if (!tovlink::query_from_name(command, query)) return std::nullopt;
  return query;
}

std::string over_text(const std::optional<int> &time_ms) {
  return time_ms ? " over " + std::to_string(*time_ms) + " ms" : "";
}

// "; clamped: motor 2 asked 10, takes 55-125" for each motor held to its range.
std::string clamped_text(const pose_report &report) {
  std::string text;
  for (int m = 0; m < motor_count; ++m) {
    const auto i = static_cast<std::size_t>(m);
    if (report.angles[i] == report.requested[i]) continue;
    // Appended piece by piece: GCC 12 at -O3 takes a chain of + here for an
    // overlapping copy (-Werror=restrict).
    text += text.empty() ? " (clamped: " : "; ";
    text += "motor ";
    text += std::to_string(m + 1);
    text += " asked ";
    text += std::to_string(report.requested[i]);
    text += ", takes ";
    text += range_text(tovlink::angle_range(m + 1));
  }
  return text.empty() ? text : text + ")";
}

ordered_json time_json(const std::optional<int> &time_ms) {
  return time_ms ? ordered_json(*time_ms) : ordered_json(nullptr);
}

ordered_json clamped_flags(const pose_report &report) {
  auto flags = ordered_json::array();
  for (std::size_t i = 0; i < report.angles.size(); ++i) {
    flags.push_back(report.angles[i] != report.requested[i]);
  }
  return flags;
}

int run_query(tovlink::Query query, robot_access &robot, const reporter &out) {
  const auto reply = robot.query(query);
  out.say(printable(reply));
  return out.done({{"reply", reply}});
}

int run_status(robot_access &robot, const reporter &out) {
  const auto t = robot.telemetry();
  out.say(telemetry_table(t));
  return out.done(telemetry_json(t));
}

// Every motor to one angle, each held to its own range: seven angles sent,
// timed or not, and reported as a pose is.
int run_move_all(const request &req, robot_access &robot, const reporter &out) {
  pose_report report;
  if (req.time_ms) {
    report = robot.move_all(req.angle, *req.time_ms);
  } else {
    // The robot has no untimed move of every motor: a pose of seven equal angles.
    std::array<int, motor_count> angles{};
    angles.fill(req.angle);
    report = robot.pose(angles, std::nullopt);
  }
  out.say("all motors to " + std::to_string(req.angle) + over_text(req.time_ms) +
          clamped_text(report));
  return out.done({{"motor", "all"},
                   {"angle", req.angle},
                   {"angles", report.angles},
                   {"clamped", clamped_flags(report)},
                   {"time_ms", time_json(req.time_ms)}});
}

int run_move(const request &req, robot_access &robot, const reporter &out) {
  if (req.motor == all_motors) return run_move_all(req, robot, out);
  const auto report = robot.move(req.motor, req.angle, req.time_ms);
  const auto name = "motor " + std::to_string(req.motor);
  std::string line = name + " to " + std::to_string(report.angle) + over_text(req.time_ms);
  if (report.clamped()) {
    line += " (asked " + std::to_string(report.requested) + "; " + name + " takes " +
            range_text(report.range) + ")";
  }
  out.say(line);
  ordered_json fields;
  fields["motor"] = req.motor;
  fields["angle"] = report.angle;
  fields["requested"] = report.requested;
  fields["clamped"] = report.clamped();
  fields["range"] = {report.range.low, report.range.high};
  fields["time_ms"] = time_json(req.time_ms);
  return out.done(fields);
}

int run_pose(const request &req, robot_access &robot, const reporter &out) {
  const auto report = robot.pose(req.angles, req.time_ms);
  out.say("pose " + joined(report.angles) + over_text(req.time_ms) + clamped_text(report));
  return out.done({{"angles", report.angles},
                   {"requested", report.requested},
                   {"clamped", clamped_flags(report)},
                   {"time_ms", time_json(req.time_ms)}});
}

int run_power(const request &req, robot_access &robot, const reporter &out) {
  const bool on = req.command == "power on";
  robot.power(on, req.power_value);
  out.say(on ? "motor power on (" + std::to_string(req.power_value) + ")" : "motor power off");
  ordered_json fields{{"power", on}};
  if (on) fields["value"] = req.power_value;
  return out.done(fields);
}

int run_led(const request &req, robot_access &robot, const reporter &out) {
  const bool on = req.command == "led on";
  robot.led(req.led, on);
  out.say("led " + std::to_string(req.led) + (on ? " on" : " off"));
  return out.done({{"led", req.led}, {"on", on}});
}

int run_sound(const request &req, robot_access &robot, const reporter &out) {
  robot.tone(req.first, req.second);
  out.say("sound " + std::to_string(req.first) + " " + std::to_string(req.second));
  return out.done({{"a", req.first}, {"b", req.second}});
}

int run_say(const request &req, robot_access &robot, const reporter &out) {
  robot.say(req.text);
  out.say("said \"" + req.text + "\"");
  return out.done({{"text", req.text}});
}

int run_speed(const request &req, robot_access &robot, const reporter &out) {
  robot.speech_speed(req.speed);
  out.say("speech speed " + std::to_string(req.speed));
  return out.done({{"speed", req.speed}});
}

int run_devices(robot_access &robot, const reporter &out) {
  auto list = ordered_json::array();
  for (const auto &entry : robot.devices()) {
    out.say((entry.name.empty() ? std::string{"-"} : entry.name) + "  " + entry.port + "  " +
            entry.state + (entry.sim ? "  (virtual)" : ""));
    list.push_back(ordered_json{
        {"name", entry.name}, {"port", entry.port}, {"state", entry.state}, {"sim", entry.sim}});
  }
  return out.done({{"robots", list}, {"service", robot.through_service()}});
}

// Sleeps until `until` in short steps, so Ctrl-C ends a long pause promptly.
// False when interrupted.
bool pause_until(steady::time_point until) {
  while (!interrupt_scope::requested()) {
    const auto now = steady::now();
    if (now >= until) return true;
    std::this_thread::sleep_for(std::min<steady::duration>(milliseconds{50}, until - now));
  }
  return false;
}

// One sample as a line.  The long form is for pipes and wide terminals; the
// short one fits 80 columns; narrower terminals get it cut short, so the
// in-place redraw never wraps into scrolling.
std::string monitor_line(const tovlink::Telemetry &t, double seconds, std::size_t width) {
  std::array<char, 192> line{};
  std::snprintf(line.data(), line.size(),
                "%7.1f s  sensor %4d  mic %3d  analog %4d  battery %5d  power %4d  motors %s",
                seconds, t.sensor, t.mic, t.mic_analog, t.battery, t.motor_power,
                joined(t.positions).c_str());
  std::string text = line.data();
  if (text.size() <= width) return text;
  // Positions first: they matter most, and a narrow terminal cuts the end.
  std::snprintf(line.data(), line.size(), "%6.1fs | %s | sen %4d mic %3d/%4d bat %4d pow %4d",
                seconds, joined(t.positions).c_str(), t.sensor, t.mic, t.mic_analog, t.battery,
                t.motor_power);
  text = line.data();
  if (text.size() > width) text.resize(width);
  return text;
}

#ifdef SIGWINCH
volatile std::sig_atomic_t terminal_resized = 0;

extern "C" void note_resize(int) {
  terminal_resized = 1;
}
#endif

// While one lives, a change of the terminal's size is noted (SIGWINCH), so
// a line redrawn in place can be refitted before it wraps.
class resize_watch {
 public:
  resize_watch() {
#ifdef SIGWINCH
    terminal_resized = 0;
    previous_ = std::signal(SIGWINCH, note_resize);
#endif
  }
  ~resize_watch() {
#ifdef SIGWINCH
    std::signal(SIGWINCH, previous_ == SIG_ERR ? SIG_DFL : previous_);
#endif
  }
  resize_watch(const resize_watch &) = delete;
  resize_watch &operator=(const resize_watch &) = delete;

  // True once after each resize.
  static bool resized() {
#ifdef SIGWINCH
    if (terminal_resized == 0) return false;
    terminal_resized = 0;
    return true;
#else
    return false;
#endif
  }

 private:
#ifdef SIGWINCH
  void (*previous_)(int) = SIG_DFL;
#endif
};

// One column short of the edge: a full line would leave the cursor on the
// next one on some terminals.
std::size_t monitor_width(const reporter &out, bool redraw) {
  return redraw ? static_cast<std::size_t>(std::max(out.io().out_width() - 1, 20))
                : std::size_t{200};
}

// The service's readings of the last `since`, as lines above the live one,
// each timed from now (negative: before the monitor started).
void print_history(const request &req, robot_access &robot, const reporter &out,
                   std::size_t width) {
  std::int64_t now_ms = 0;
  const auto points = robot.history(*req.since, now_ms);
  if (points.empty() && !out.json()) {
    std::fprintf(out.io().err(), "tovlink: the service has no readings of the last %.0f s\n",
                 std::chrono::duration<double>(*req.since).count());
  }
  for (const auto &point : points) {
    const double seconds = static_cast<double>(point.time_ms - now_ms) / 1000.0;
    if (out.json()) {
      auto fields = telemetry_json(point.telemetry);
      fields["history"] = true;
      fields["time_ms"] = point.time_ms;
      fields["elapsed_ms"] = point.time_ms - now_ms;
      out.print_json(true, fields);
    } else {
      out.say(monitor_line(point.telemetry, seconds, width));
    }
  }
}

int run_monitor(const request &req, robot_access &robot, const reporter &out) {
  const interrupt_scope interrupts;
  const resize_watch resizes;
  const bool redraw = out.io().out_is_terminal() && !out.json();
  auto width = monitor_width(out, redraw);
  if (req.since) print_history(req, robot, out, width);
  const auto period = std::chrono::duration_cast<steady::duration>(
      std::chrono::duration<double>(1.0 / req.rate_hz));
  const auto started = steady::now();
  auto next = started;
  std::size_t drawn = 0;
  int taken = 0;
  int status = exit_ok;
  while (!interrupt_scope::requested() && (!req.samples || taken < *req.samples)) {
    tovlink::Telemetry t;
    try {
      t = robot.telemetry();
    } catch (const failure &error) {
      if (redraw && drawn > 0) std::fputc('\n', out.io().out());
      if (error.link_lost()) {
        status =
            out.fail(failure{"disconnected: " + robot.where() + " is gone (" + error.what() + ")",
                             error.code(), error.name(), reached::nothing, true});
      } else {
        status = out.fail(error);
      }
      drawn = 0;
      break;
    }
    ++taken;
    const double seconds = std::chrono::duration<double>(steady::now() - started).count();
    if (out.json()) {
      auto fields = telemetry_json(t);
      fields["sample"] = taken;
      fields["elapsed_ms"] = static_cast<long long>(seconds * 1000);
      out.print_json(true, fields);
    } else if (redraw) {
      if (resize_watch::resized()) {
        width = monitor_width(out, redraw);
        // What was drawn for the wider terminal may wrap now: padding up to
        // it would wrap too.
        drawn = std::min(drawn, width);
      }
      const auto line = monitor_line(t, seconds, width);
      std::fprintf(out.io().out(), "\r%s%*s", line.c_str(),
                   static_cast<int>(drawn > line.size() ? drawn - line.size() : 0), "");
      std::fflush(out.io().out());
      drawn = line.size();
    } else {
      out.say(monitor_line(t, seconds, width));
    }
    if (req.samples && taken >= *req.samples) break;
    // A fixed grid: the next sample is due one period after the last one was
    // due, whatever the exchange took; missed slots are skipped, not bunched.
    next += period;
    if (const auto now = steady::now(); next < now) next += period * ((now - next) / period + 1);
    pause_until(next);
  }
  if (redraw && drawn > 0) std::fputc('\n', out.io().out());
  return status;
}

// A tool command as the service's request, for fleet_all; nullopt for one
// that is not a single request to a robot (monitor, demo, ...).
std::optional<ordered_json> service_request(const request &req) {
  const auto &c = req.command;
  ordered_json r;
  if (const auto query = query_for(c)) {
    r = {{"cmd", "query"}, {"query", std::string{tovlink::query_name(*query)}}};
  } else if (c == "status") {
    r = {{"cmd", "poll"}};
  } else if (c == "move") {
    r = {{"cmd", "move"}, {"motor", req.motor}, {"angle", req.angle}};
  } else if (c == "pose") {
    r = {{"cmd", "pose"}, {"angles", req.angles}};
  } else if (c == "power on") {
    r = {{"cmd", "power"}, {"on", true}, {"value", req.power_value}};
  } else if (c == "power off") {
    r = {{"cmd", "power"}, {"on", false}};
  } else if (c == "led on" || c == "led off") {
    r = {{"cmd", "led"}, {"led", req.led}, {"on", c == "led on"}};
  } else if (c == "sound") {
    r = {{"cmd", "tone"}, {"first", req.first}, {"second", req.second}};
  } else if (c == "say") {
    r = {{"cmd", "say"}, {"text", req.text}};
  } else if (c == "speed") {
    r = {{"cmd", "speed"}, {"speed", req.speed}};
  } else {
    return std::nullopt;
  }
  if (req.time_ms && (c == "move" || c == "pose")) r["time_ms"] = *req.time_ms;
  return r;
}

// The service's answer to `fleet` as a table: one robot a line.
void print_fleet(const nlohmann::json &fleet, const reporter &out) {
  out.say("site " + fleet.value("site", std::string{"?"}) + " on " +
          fleet.value("broker", std::string{"?"}) +
          (fleet.value("connected", false) ? "" : " (not connected to the broker)"));
  const auto robots = fleet.value("robots", nlohmann::json::array());
  if (robots.empty()) out.say("no robots seen on the broker yet");
  for (const auto &robot : robots) {
    std::string line =
        robot.value("name", std::string{"?"}) + "  " + robot.value("status", std::string{"?"});
    if (const auto t = robot.find("telemetry"); t != robot.end() && t->is_object()) {
      line += "  battery " + std::to_string(t->value("battery", 0));
    }
    if (const auto reply = robot.find("reply"); reply != robot.end() && reply->is_object()) {
      line +=
          "  last reply: " + reply->value("cmd", std::string{"?"}) +
          (reply->value("ok", false) ? " ok"
                                     : " failed (" + reply->value("error", std::string{}) + ")");
    }
    out.say(line);
  }
  if (const int more = fleet.value("not_listed", 0); more > 0) {
    out.say(std::to_string(more) + " more not listed");
  }
}

int run_fleet(const request &req, robot_access &robot, const reporter &out) {
  try {
    if (req.words.empty()) {
      const auto fleet = robot.service_command("fleet", nlohmann::json::object());
      print_fleet(fleet, out);
      return out.done({{"fleet", fleet}});
    }
    const auto parsed = parse_command_line(req.words, req.json);
    if (parsed.status) return *parsed.status;
    if (parsed.names_connection) {
      throw usage_failure("fleet: connection options go before 'fleet'");
    }
    const auto one = service_request(parsed.req);
    if (!one) {
      throw usage_failure("fleet: '" + parsed.req.command +
                          "' cannot be sent to every robot (only commands to a robot can)");
    }
    const auto sent = robot.service_command("fleet_all", {{"request", *one}});
    out.say("sent '" + parsed.req.command + "' to every robot of the site (" +
            sent.value("topic", std::string{}) + "); 'tovlink fleet' shows their replies");
    return out.done({{"request", *one},
                     {"topic", sent.value("topic", std::string{})},
                     {"id", sent.value("id", nlohmann::json{})}});
  } catch (const failure &error) {
    if (error.name() != "unknown_command") throw;
    throw failure{
        "fleet: the service has no fleet: start tovlinkd with --mqtt HOST and --site "
        "NAME",
        error.code(), error.name(), reached::nothing};
  }
}

// The demo's steps, each a name and an action.
struct demo_step {
  std::string name;
  std::function<void()> action;
};

constexpr int demo_arm = 4;
constexpr const char *demo_greeting = "Hello, nice to meet you";

void wave_arm(robot_access &robot, int rest) {
  const std::array<std::pair<int, int>, 4> swings{{{150, 400}, {40, 600}, {150, 600}, {rest, 400}}};
  for (const auto &[angle, ms] : swings) {
    const auto begun = steady::now();
    robot.move(demo_arm, angle, ms);
    // Wait for the swing to finish before the next one begins.
    if (!pause_until(begun + milliseconds{ms + 50})) {
      throw failure("interrupted", 0, "cancelled", reached::maybe);
    }
  }
}

int run_demo(robot_access &robot, const reporter &out) {
  const interrupt_scope interrupts;
  tovlink::Telemetry before;
  tovlink::Telemetry after;
  const std::vector<demo_step> steps{
      {"read telemetry", [&] { before = robot.telemetry(); }},
      {"power the motors", [&] { robot.power(true, tovlink::default_power_value); }},
      {"wave an arm",
       [&] { wave_arm(robot, before.positions[static_cast<std::size_t>(demo_arm - 1)]); }},
      {"speak", [&] { robot.say(demo_greeting); }},
      {"read the battery", [&] { after = robot.telemetry(); }},
      {"power the motors off", [&] { robot.power(false, 0); }},
  };
  out.say("connected to " + robot.where());
  for (const auto &step : steps) {
    out.say("- " + step.name);
    try {
      step.action();
    } catch (const failure &error) {
      return out.fail(failure{"demo step '" + step.name + "' failed: " + failure_message(error),
                              error.code(), error.name(), error.sent(), error.link_lost()});
    }
    if (&step == &steps.front()) {
      out.say("  battery " + std::to_string(before.battery) + ", sensor " +
              std::to_string(before.sensor) + ", microphone " + std::to_string(before.mic) +
              ", motors " + joined(before.positions));
    } else if (step.name == "speak") {
      out.say(std::string{"  \""} + demo_greeting + "\"");
    } else if (&step == &steps[4]) {
      out.say("  battery " + std::to_string(after.battery) + " (was " +
              std::to_string(before.battery) + ")");
    }
  }
  out.say("demo finished");
  return out.done({{"port", robot.where()},
                   {"battery_before", before.battery},
                   {"battery_after", after.battery},
                   {"steps", steps.size()}});
}

// --- Motions ------------------------------------------------------------------

// A motion file is read whole; the library refuses larger ones anyway.
constexpr std::uintmax_t max_motion_file_bytes = 4 * 1024 * 1024;
// How long past its expected end a play's last progress may take to come.
constexpr std::chrono::seconds play_end_grace{10};
// How long a stopped play may take to say so.
constexpr std::chrono::seconds stop_grace{3};

failure usage_failure(const std::string &message) {
  return failure{message, 3, "invalid_argument", reached::nothing};
}

// "wave.json", "./wave", "motions/wave.json" are files; "wave" is a name.
bool names_a_file(const std::string &motion) {
  return motion.find('/') != std::string::npos || motion.ends_with(".json");
}

nlohmann::json read_motion_file(const std::string &operation, const std::string &file) {
  std::error_code error;
  const auto size = std::filesystem::file_size(file, error);
  if (error) throw usage_failure(operation + ": cannot read " + file + ": " + error.message());
  if (size > max_motion_file_bytes) {
    throw usage_failure(operation + ": " + file + " is larger than " +
                        std::to_string(max_motion_file_bytes) + " bytes");
  }
  std::ifstream in{file, std::ios::binary};
  std::ostringstream text;
  text << in.rdbuf();
  if (!in) throw usage_failure(operation + ": cannot read " + file);
  auto document = nlohmann::json::parse(text.str(), nullptr, false);
  if (document.is_discarded()) throw usage_failure(operation + ": " + file + ": not JSON");
  return document;
}

// Writes beside the file and renames it over, so no reader sees half a motion.
void write_motion_file(const std::string &file, const nlohmann::json &motion) {
  std::string text;
#ifdef TOVLINK_TOOL_WITH_MOTION
  try {
    text = tovlink::motion::to_json_text(tovlink::motion::parse_motion_json(motion).motion);
  } catch (const tovlink::motion::FormatError &) {
    text = motion.dump(2) + "\n";
  }
#else
  text = motion.dump(2) + "\n";
#endif
  const auto temporary = file + ".part";
  {
    std::ofstream out{temporary, std::ios::binary | std::ios::trunc};
    out << text;
    out.flush();
    if (!out) throw failure{"record: cannot write " + temporary, 0, "write", reached::maybe};
  }
  std::error_code error;
  std::filesystem::rename(temporary, file, error);
  if (error) {
    std::filesystem::remove(temporary, error);
    throw failure{"record: cannot write " + file, 0, "write", reached::maybe};
  }
}

// "keyframe 3 motor 2: asked 10, sent 55" for each angle held to its motor's
// range; keyframes counted from 1, as the progress line counts them.
void report_clamping(const reporter &out, const nlohmann::json &clamped) {
  if (out.json() || !clamped.is_array()) return;
  for (const auto &c : clamped) {
    std::fprintf(out.io().err(), "tovlink: keyframe %lld motor %lld: asked %lld, sent %lld\n",
                 c.value("keyframe", 0LL) + 1, c.value("motor", 0LL), c.value("requested", 0LL),
                 c.value("sent", 0LL));
  }
}

std::string progress_text(const play_progress &p, int loops) {
  std::array<char, 160> line{};
  const auto loop_text = loops == 1 ? std::string{}
                                    : "  loop " + std::to_string(p.loop + 1) +
                                          (loops > 1 ? "/" + std::to_string(loops) : std::string{});
  std::snprintf(line.data(), line.size(), "%s  keyframe %lld/%lld%s  %.1f/%.1f s  %s",
                p.motion.c_str(), std::min(p.keyframe + 1, p.keyframes), p.keyframes,
                loop_text.c_str(), static_cast<double>(p.position_ms) / 1000.0,
                static_cast<double>(p.duration_ms) / 1000.0, p.state.c_str());
  return line.data();
}

ordered_json progress_json(const play_progress &p) {
  return {{"motion", p.motion},          {"state", p.state},         {"loop", p.loop},
          {"keyframe", p.keyframe},      {"keyframes", p.keyframes}, {"position_ms", p.position_ms},
          {"duration_ms", p.duration_ms}};
}

// One line on a terminal, redrawn in place; plain lines otherwise.
class status_line {
 public:
  explicit status_line(const reporter &out)
      : out_(out), redraw_(out.io().out_is_terminal() && !out.json()) {}
  ~status_line() { end(); }
  void show(const std::string &text) {
    if (out_.json()) return;
    if (!redraw_) {
      out_.say(text);
      return;
    }
    const auto width = static_cast<std::size_t>(std::max(out_.io().out_width() - 1, 20));
    const auto shown = text.size() > width ? text.substr(0, width) : text;
    std::fprintf(out_.io().out(), "\r%s%*s", shown.c_str(),
                 static_cast<int>(drawn_ > shown.size() ? drawn_ - shown.size() : 0), "");
    std::fflush(out_.io().out());
    drawn_ = shown.size();
  }
  void end() {
    if (redraw_ && drawn_ > 0) std::fputc('\n', out_.io().out());
    drawn_ = 0;
  }

 private:
  const reporter &out_;
  bool redraw_;
  std::size_t drawn_ = 0;
};

int run_play(const request &req, robot_access &robot, const reporter &out) {
  play_request wanted;
  if (names_a_file(req.motion)) {
    wanted.motion = read_motion_file("play", req.motion);
  } else {
    wanted.name = req.motion;
  }
  wanted.speed = req.play_speed;
  wanted.loops = req.loops;
  wanted.soft_start_ms = req.soft_start_ms;
  const interrupt_scope interrupts;
  auto play = robot.play(wanted);
  report_clamping(out, play->report().value("clamped", nlohmann::json::array()));
  // A play with an end has a bounded wait, should its end never be reported.
  std::optional<steady::time_point> deadline;
  if (req.loops > 0) {
    const auto length = static_cast<double>(play->report().value("duration_ms", 0LL)) * req.loops /
                            std::max(req.play_speed, 0.1) +
                        req.soft_start_ms;
    deadline = steady::now() + milliseconds{static_cast<long long>(length)} + play_end_grace;
  }
  status_line line{out};
  std::optional<play_progress> last;
  std::optional<steady::time_point> stopped_at;
  while (!last || !last->over()) {
    if (interrupt_scope::requested() && !stopped_at) {
      play->stop();
      stopped_at = steady::now();
    }
    std::optional<play_progress> progress;
    try {
      progress = play->next(milliseconds{50});
    } catch (const failure &error) {
      line.end();
      throw;
    }
    if (progress) {
      last = progress;
      line.show(progress_text(*progress, req.loops));
      continue;
    }
    const auto now = steady::now();
    if ((stopped_at && now - *stopped_at > stop_grace) || (deadline && now > *deadline)) {
      line.end();
      return out.fail(failure{"play: the end of the motion was not reported", -1, "receive_timeout",
                              reached::maybe});
    }
  }
  line.end();
  if (stopped_at) {
    return out.fail(failure{"play: interrupted; the motion was stopped at keyframe " +
                                std::to_string(std::min(last->keyframe + 1, last->keyframes)) +
                                " of " + std::to_string(last->keyframes),
                            static_cast<int>(tovlink::errc::cancelled), "cancelled",
                            reached::maybe});
  }
  return out.done(progress_json(*last));
}

// The motion's name: --name, else the file's stem when it makes a good one.
std::string recording_name(const request &req) {
  if (!req.motion_name.empty()) return req.motion_name;
  const auto stem = std::filesystem::path{req.motion}.stem().string();
#ifdef TOVLINK_TOOL_WITH_MOTION
  if (!tovlink::motion::name_refusal(stem).empty()) return "recording";
#endif
  return stem.empty() ? "recording" : stem;
}

int run_record(const request &req, robot_access &robot, const reporter &out) {
  const auto name = recording_name(req);
#ifdef TOVLINK_TOOL_WITH_MOTION
  // Refused before recording, so a bad name loses nothing.
  if (const auto refusal = tovlink::motion::name_refusal(name); !refusal.empty()) {
    return out.fail(usage_failure("record: --name: " + refusal));
  }
#endif
  const interrupt_scope interrupts;
  auto recording = robot.record(req.interval_ms);
  status_line line{out};
  const auto started = steady::now();
  const auto until = started + std::chrono::duration_cast<steady::duration>(
                                   std::chrono::duration<double>(req.seconds));
  auto next_draw = started;
  while (steady::now() < until && !interrupt_scope::requested()) {
    if (steady::now() >= next_draw) {
      std::array<char, 64> text{};
      std::snprintf(text.data(), text.size(), "recording %.1f/%.1f s",
                    std::chrono::duration<double>(steady::now() - started).count(), req.seconds);
      line.show(text.data());
      next_draw += std::chrono::seconds{1};
    }
    std::this_thread::sleep_for(
        std::min<steady::duration>(milliseconds{50}, until - steady::now()));
  }
  line.end();
  // Ctrl-C ends the recording early; what was taken is kept.
  const auto result = recording->stop(req.tolerance, name);
  const auto motion = result.value("motion", nlohmann::json::object());
  write_motion_file(req.motion, motion);
  const auto samples = result.value("samples", 0LL);
  const auto keyframes = result.value("keyframes", 0LL);
  out.say("recorded " + std::to_string(samples) + " samples as " + std::to_string(keyframes) +
          " keyframes: " + req.motion + " (motion \"" + motion.value("name", name) + "\")");
  return out.done({{"file", req.motion},
                   {"name", motion.value("name", name)},
                   {"samples", samples},
                   {"keyframes", keyframes}});
}

int run_motions(const request &req, robot_access &robot, const reporter &out) {
  const auto &action = req.action;
  if (action == "list") {
    const auto result = robot.motions({{"action", "list"}});
    const auto list = result.value("motions", nlohmann::json::array());
    for (const auto &m : list) {
      std::array<char, 160> text{};
      std::snprintf(text.data(), text.size(), "%-24s %5lld keyframes %8.1f s%s",
                    m.value("name", "").c_str(), m.value("keyframes", 0LL),
                    static_cast<double>(m.value("duration_ms", 0LL)) / 1000.0,
                    m.value("shipped", false) ? "  (shipped)" : "");
      out.say(text.data());
    }
    return out.done({{"motions", list}});
  }
  if (action == "get") {
    const auto result = robot.motions({{"action", "get"}, {"name", req.action_target}});
    const auto motion = result.value("motion", nlohmann::json::object());
    out.say(motion.dump(2));
    return out.done({{"motion", motion}});
  }
  if (action == "save") {
    const auto motion = read_motion_file("motions save", req.action_target);
    const auto result = robot.motions({{"action", "save"}, {"motion", motion}});
    report_clamping(out, result.value("clamped", nlohmann::json::array()));
    out.say("saved \"" + result.value("name", "") + "\"");
    return out.done({{"name", result.value("name", "")},
                     {"clamped", result.value("clamped", nlohmann::json::array())}});
  }
  const auto result = robot.motions({{"action", "delete"}, {"name", req.action_target}});
  out.say("deleted \"" + result.value("name", req.action_target) + "\"");
  return out.done({{"name", result.value("name", req.action_target)}});
}

int dispatch(const request &req, robot_access &robot, const reporter &out) {
  const auto &c = req.command;
  if (const auto query = query_for(c)) return run_query(*query, robot, out);
  if (c == "status") return run_status(robot, out);
  if (c == "move") return run_move(req, robot, out);
  if (c == "pose") return run_pose(req, robot, out);
  if (c == "power on" || c == "power off") return run_power(req, robot, out);
  if (c == "led on" || c == "led off") return run_led(req, robot, out);
  if (c == "sound") return run_sound(req, robot, out);
  if (c == "say") return run_say(req, robot, out);
  if (c == "speed") return run_speed(req, robot, out);
  if (c == "devices") return run_devices(robot, out);
  if (c == "monitor") return run_monitor(req, robot, out);
  if (c == "demo") return run_demo(robot, out);
  if (c == "fleet") return run_fleet(req, robot, out);
  if (c == "play") return run_play(req, robot, out);
  if (c == "record") return run_record(req, robot, out);
  if (c == "motions") return run_motions(req, robot, out);
  return out.fail(failure{"unknown command '" + c + "'", 0, "unknown_command", reached::nothing});
}

}  // namespace

bool needs_robot(std::string_view command) {
  return command != "version" && command != "shell";
}

int report_failure(const std::string &command, bool json, const failure &error, const console &io) {
  const auto message = failure_message(error);
  std::fprintf(io.err(), "tovlink: %s\n", message.c_str());
  std::fflush(io.err());
  if (json) {
    // The library's codes as the C API returns them: unsigned, so a failed
    // exchange (-1) reads 4294967295.
    const auto code = error.code() < 0
                          ? static_cast<long long>(static_cast<std::uint32_t>(error.code()))
                          : error.code();
    // "message" is the failure's own text, the same as every interface of
    // the library words it; "error" is the line shown above.
    ordered_json line{{"command", command},
                      {"ok", false},
                      {"code", code},
                      {"name", error.name()},
                      {"message", error.what()},
                      {"error", message},
                      {"sent", error.sent() == reached::maybe}};
    std::fprintf(io.out(), "%s\n", json_line(line).c_str());
    std::fflush(io.out());
  }
  if (error.link_lost()) return exit_disconnected;
  if (error.name() == "cancelled") return exit_interrupted;
  // A refused argument is a mistake on the command line, wherever it was
  // found: the same status as one the parser caught.
  if (error.name() == tovlink::error_name(tovlink::errc::invalid_argument) ||
      error.name() == "bad_motion" || error.name() == "bad_usage") {
    return exit_usage;
  }
  return exit_failure;
}

int run_local(const request &req, const console &io) {
  const reporter out{io, req.command, req.json};
  std::string library;
  try {
    library = tovlink::library_version();
  } catch (const tovlink::Error &) {
    return out.fail(failure{"cannot read the library version", -1, "version", reached::nothing});
  }
  out.say(std::string{"tovlink "} + TOVLINK_TOOL_VERSION + ", library " + library);
  return out.done({{"tool", TOVLINK_TOOL_VERSION}, {"library", library}});
}

int run_on_robot(const request &req, robot_access &robot, const console &io) {
  const reporter out{io, req.command, req.json};
  try {
    return dispatch(req, robot, out);
  } catch (const failure &error) {
    if (error.link_lost()) {
      return out.fail(failure{"disconnected: " + robot.where() + " is gone (" + error.what() + ")",
                              error.code(), error.name(), error.sent(), true});
    }
    return out.fail(error);
  }
}

}  // namespace tovlink::tool

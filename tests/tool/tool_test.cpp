// The tovlink program end to end: its command line, its exit statuses, its
// JSON, and real sessions with the virtual robot.  Every run is a separate
// process; a run that connects costs at least 3.5 s, so the cases that
// connect are few.
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <regex>
#include <string>
#include <vector>

#include "flat_json.hpp"
#include "tool_process.hpp"
#include "tovlink_sim/virtual_robot.hpp"

namespace tovlink::tool::test {
namespace {

using sim::virtual_robot;

// A virtual robot whose wire log the test can read.
class logged_robot {
 public:
  explicit logged_robot(sim::robot_options options = {}) {
    options.log = [this](const std::string &line) {
      const std::scoped_lock lock{mutex_};
      log_ += line + "\n";
    };
    robot_.emplace(std::move(options));
    robot_->start();
  }
  virtual_robot &robot() { return *robot_; }
  const std::string &port() const { return robot_->slave_path(); }
  std::string log() const {
    const std::scoped_lock lock{mutex_};
    return log_;
  }

 private:
  mutable std::mutex mutex_;
  std::string log_;
  std::optional<virtual_robot> robot_;  // last: stopped before the log goes
};

std::map<std::string, std::string> json_of(const tool_run &run) {
  const auto line = run.last_out_line();
  auto fields = parse_flat_json(line);
  EXPECT_TRUE(fields.has_value()) << "not a JSON object: " << line;
  return fields.value_or(std::map<std::string, std::string>{});
}

struct usage_case {
  std::vector<std::string> args;
  std::string message;
};

TEST(ToolCommandLine, ArgumentErrorsNameTheBadArgument) {
  const usage_case cases[] = {
      // Only whole numbers are checked here; what the robot takes is the
      // library's to refuse (tool_conformance_test.cpp).
      {{"--port", "x", "move", "nine", "100"},
       "MOTOR: motor must be a whole number or all (got 'nine')"},
      {{"--port", "x", "move", "1", "2.5"}, "ANGLE: angle must be a whole number (got '2.5')"},
      {{"--port", "x", "move", "1", "90", "--time", "soon"},
       "time must be a whole number (got 'soon')"},
      {{"--port", "x", "pose", "1", "2", "3"}, "ANGLES"},
      {{"--port", "x", "pose", "1", "2", "3", "4", "5", "6", "x"}, "angle must be a whole number"},
      {{"--port", "x", "speed", "fast"}, "speed must be a whole number (got 'fast')"},
      {{"--port", "x", "power", "on", "high"}, "power value must be a whole number"},
      {{"--port", "x", "led", "on"}, "N"},
      {{"--port", "x", "led", "off", "99999999999"},
       "LED must be a whole number (got '99999999999')"},
      {{"--port", "x", "pose", "1", "2", "3", "4", "5", "6", "7", "8"}, "ANGLES"},
      {{"--port", "x", "power"}, "'power' needs on or off"},
      {{"--port", "x", "sound", "1", "ten"}, "B must be a whole number"},
      {{"--port", "x", "monitor", "--rate", "50"}, "--rate"},
      {{"--baud", "0", "--port", "x", "status"}, "baud rate must be at least 1"},
      {{"--port", "x", "--sim", "status"}, "--sim"},
      {{"status"}, "no robot given: use --port NAME or --sim"},
      {{"frobnicate"}, "unknown command 'frobnicate'"},
      {{}, "a command is required"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const auto run = run_tool(c.args);
    EXPECT_EQ(run.exit_status, 2);
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");

    // The same mistake with --json still gives one object for a script.
    auto json_args = c.args;
    json_args.insert(json_args.begin(), "--json");
    const auto json_run = run_tool(json_args);
    EXPECT_EQ(json_run.exit_status, 2);
    auto fields = json_of(json_run);
    EXPECT_EQ(fields["ok"], "false");
    EXPECT_NE(fields["error"].find(c.message), std::string::npos) << fields["error"];
  }
}

TEST(ToolCommandLine, HelpForTheToolAndEachCommand) {
  // The robot's limits, LED names and queries are worded from the library's
  // contract.
  const usage_case cases[] = {
      {{"--help"}, "--port NAME"},
      {{"--help"}, "init-mic-range, mic-range"},
      {{"move", "--help"}, "motors 1, 4, 7 take"},
      {{"move", "--help"}, "motors 2, 3, 5, 6 take 55-125"},
      {{"move", "--help"}, "(0-9999)"},
      {{"pose", "--help"}, "ANGLES"},
      {{"power", "on", "--help"}, "Power value, at least 500 (default 500)"},
      {{"led", "off", "--help"}, "LED 1-6: 1 left eye, 2 right eye"},
      {{"monitor", "--help"}, "--rate"},
      {{"say", "--help"}, "at most 39 bytes"},
      {{"demo", "--help"}, "wave"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const auto run = run_tool(c.args);
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_NE(run.out.find("Usage:"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find(c.message), std::string::npos) << run.out;
    // Laid out for an 80-column terminal, with no CLI11 annotations.
    for (const auto &line : run.out_lines()) EXPECT_LE(line.size(), 80u) << line;
    EXPECT_EQ(run.out.find("Excludes"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("REQUIRED"), std::string::npos) << run.out;
    // Plain ASCII: the man page is made from it.
    EXPECT_TRUE(std::all_of(run.out.begin(), run.out.end(), [](char byte) {
      return static_cast<unsigned char>(byte) < 0x80;
    })) << run.out;
  }
}

TEST(ToolCommandLine, VersionNeedsNoRobot) {
  const auto plain = run_tool({"version"});
  EXPECT_EQ(plain.exit_status, 0);
  EXPECT_EQ(plain.out, "tovlink 1.0.0.3, library 1.0.0.3\n");
  const auto json = run_tool({"--json", "version"});
  EXPECT_EQ(json.exit_status, 0);
  EXPECT_EQ(json.out,
            "{\"command\":\"version\",\"ok\":true,\"tool\":\"1.0.0.3\",\"library\":\"1.0.0.3\"}\n");
}

TEST(ToolWithSim, StatusAndIdentityFromTheBuiltInRobot) {
  const auto status = run_tool({"--sim", "--json", "status"});
  ASSERT_EQ(status.exit_status, 0) << status.err;
  // Standard output holds the object alone: the library's lines go elsewhere.
  EXPECT_EQ(status.out_lines().size(), 1u) << status.out;
  auto fields = json_of(status);
  EXPECT_EQ(fields["command"], "status");
  EXPECT_EQ(fields["ok"], "true");
  EXPECT_EQ(json_numbers(fields["positions"]), (std::vector<int>(7, 90)));
  EXPECT_EQ(fields["motor_power"], "0");
  const int battery = std::stoi(fields["battery"]);
  EXPECT_GT(battery, 7800);
  EXPECT_LE(battery, 7900);
  for (const auto *key : {"sensor", "mic", "mic_analog"}) {
    EXPECT_FALSE(fields[key].empty()) << key;
  }

  const auto who = run_tool({"--sim", "--json", "who"});
  ASSERT_EQ(who.exit_status, 0) << who.err;
  EXPECT_EQ(json_of(who)["reply"], "WHO,TovSim,VR-0001");
}

TEST(ToolWithSim, MoveIsSeenInTheNextStatus) {
  virtual_robot robot;
  robot.start();
  const auto move = run_tool({"--port", robot.slave_path(), "--json", "move", "3", "120"});
  ASSERT_EQ(move.exit_status, 0) << move.err;
  auto fields = json_of(move);
  EXPECT_EQ(fields["ok"], "true");
  EXPECT_EQ(fields["motor"], "3");
  EXPECT_EQ(fields["angle"], "120");
  EXPECT_EQ(fields["time_ms"], "null");
  EXPECT_EQ(robot.state().positions[2], 120);

  const auto status = run_tool({"--port", robot.slave_path(), "status"});
  ASSERT_EQ(status.exit_status, 0) << status.err;
  const auto lines = status.out_lines();
  ASSERT_EQ(lines.size(), 12u) << status.out;
  // One row per value, the values right-aligned in one column.
  for (const auto &line : lines) EXPECT_EQ(line.size(), lines.front().size()) << line;
  EXPECT_TRUE(std::regex_search(status.out, std::regex{R"(\nmotor 3 position +120\n)"}))
      << status.out;
  EXPECT_TRUE(std::regex_search(status.out, std::regex{R"(\nmotor 2 position +90\n)"}))
      << status.out;
  EXPECT_EQ(robot.host_opens(), 2u);
}

TEST(ToolWithSim, ConnectFailuresAreExplained) {
  struct failure_case {
    const char *name;
    sim::fault_options faults;
    const char *code;
    const char *message;
  };
  sim::fault_options silent;
  silent.silent = true;
  sim::fault_options rejecting;
  rejecting.reject_link = true;
  const failure_case cases[] = {
      {"silent", silent, "10005",
       "failed: the adapter did not answer the reset (no CMD reply to R,1)"},
      {"link rejected", rejecting, "1008",
       "failed: the adapter refused the link (no AOK reply to E,0,...)"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    sim::robot_options options;
    options.faults = c.faults;
    virtual_robot robot{options};
    robot.start();
    const auto run = run_tool({"--json", "--port", robot.slave_path(), "status"});
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    // Even the library's time-out line stays off standard output.
    EXPECT_EQ(run.out_lines().size(), 1u) << run.out;
    auto fields = json_of(run);
    EXPECT_EQ(fields["ok"], "false");
    EXPECT_EQ(fields["code"], c.code);
    EXPECT_NE(fields["error"].find(c.message), std::string::npos);
  }

  // The system's reason is named, with what to do about it.
  const auto missing = run_tool({"--port", "/nonexistent/tty", "who"});
  EXPECT_EQ(missing.exit_status, 1);
  EXPECT_NE(missing.err.find("tovlink: connect to /nonexistent/tty failed: could not open the "
                             "serial port: No such file or directory (missing: "),
            std::string::npos)
      << missing.err;
  EXPECT_EQ(missing.out, "");
}

TEST(ToolWithSim, DemoRunsWithNothingAttached) {
  const auto run = run_tool({"--sim", "demo"});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  for (const auto *step : {"- power the motors", "- wave an arm", "- speak", "battery",
                           "- power the motors off", "demo finished"}) {
    EXPECT_NE(run.out.find(step), std::string::npos) << step << "\n" << run.out;
  }
}

TEST(ToolWithSim, MonitorPrintsOneLinePerSampleWhenPiped) {
  const auto run = run_tool({"--sim", "monitor", "--rate", "20", "--count", "3"});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(run.out.find('\r'), std::string::npos) << "redrawn in place although piped";
  const auto lines = run.out_lines();
  ASSERT_EQ(lines.size(), 3u) << run.out;
  const std::regex sample{
      R"( *\d+\.\d s  sensor +\d+  mic +\d+  analog +\d+  battery +\d+  power +\d+  motors( 90){7})"};
  for (const auto &line : lines) EXPECT_TRUE(std::regex_match(line, sample)) << line;
}

TEST(ToolWithSim, PoseOfSevenAnglesOnThePortFromTheEnvironment) {
  logged_robot sim;
  run_options options;
  options.environment = {{"TOVLINK_PORT", sim.port()}};
  const auto run = run_tool({"pose", "90", "90", "90", "150", "90", "90", "90"}, options);
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(run.out, "pose 90 90 90 150 90 90 90\n");
  EXPECT_NE(sim.log().find(R"(rx "#136,090,090,090,150,090,090,090\r\r")"), std::string::npos)
      << sim.log();
  EXPECT_EQ(sim.robot().state().targets[3], 150);
}

// Every robot command once, through one connection: what the tool printed
// and the line that reached the robot.
TEST(ToolWithSim, ShellRunsEveryCommandOnOneConnection) {
  struct step {
    const char *line;     // typed into the shell
    const char *printed;  // a line of its output ("" when it prints none)
    const char *wire;     // what reached the robot, as the log quotes it ("" for none)
  };
  const step steps[] = {
      {"status", "motor 7 position       90", R"(rx "#140\r")"},
      {"who", "WHO,TovSim,VR-0001", R"(rx "#800\r")"},
      {"info", "INFO,1.0.0,", R"(rx "#805\r")"},
      {"init", "INIT,0,0,0,0,0,0,0,V,100", R"(rx "#804\r")"},
      {"mic-range", "MIC,0,100", R"(rx "#806\r")"},
      {"power-limit", "PL,0", R"(rx "#807\r")"},
      {"motor-power", "MP,0,", R"(rx "#802\r")"},
      {"position", "POS,90,90,90,90,90,90,90", R"(rx "#142\r")"},
      {"move 2 10", "motor 2 to 55 (asked 10; motor 2 takes 55-125)", R"(rx "#132,1,055\r\r")"},
      {"move 1 120 --time 300", "motor 1 to 120 over 300 ms", R"(rx "#150,0,120,0300\r\r")"},
      {"move all 45 --time 200",
       "all motors to 45 over 200 ms (clamped: motor 2 asked 45, takes 55-125; motor 3",
       R"(rx "#151,045,055,055,045,055,055,045,0200\r\r")"},
      {"move all 20", "all motors to 20 (clamped: motor 2 asked 20, takes 55-125; motor 3",
       R"(rx "#136,020,055,055,020,055,055,020\r\r")"},
      {"pose 10 20 30 40 50 60 70 --time 100",
       "pose 10 55 55 40 55 60 70 over 100 ms (clamped: motor 2 asked 20, takes 55-125; motor 3 "
       "asked 30, takes 55-125; motor 5 asked 50, takes 55-125)",
       R"(rx "#151,010,055,055,040,055,060,070,0100\r\r")"},
      {"power on 600", "motor power on (600)", R"(rx "#133,9,0600\r")"},
      {"power off", "motor power off", R"(rx "#131\r")"},
      {"led on 3", "led 3 on", R"(rx "#100,3\r")"},
      {"led off 6", "led 6 off", R"(rx "#101,6\r")"},
      {"sound 440 100", "sound 440 100", R"(rx "#110,00440,0100\r")"},
      {"say 'hello, robot'", "said \"hello, robot\"", R"(rx "#121,hello, robot\r")"},
      {"speed 150", "speech speed 150", R"(rx "#120,150\r")"},
      {"devices", "  ready", ""},
      {"version", "tovlink 1.0.0.3, library 1.0.0.3", ""},
      {"monitor --count 2 --rate 20", "  sensor ", ""},
      // Refused before anything is sent; the shell goes on.
      {"frobnicate", "", ""},
      {"led on 7", "", ""},
      {"# a comment, and a blank line", "", ""},
      {"", "", ""},
      {"speed 120", "speech speed 120", R"(rx "#120,120\r")"},
  };
  std::string script;
  for (const auto &s : steps) script += std::string{s.line} + "\n";
  logged_robot sim;
  run_options options;
  options.input = script;
  const auto run = run_tool({"--port", sim.port(), "shell"}, options);
  // The last failing line's status: an argument the library refused counts
  // as a bad command line.
  EXPECT_EQ(run.exit_status, 2) << run.err;
  const auto log = sim.log();
  for (const auto &s : steps) {
    SCOPED_TRACE(s.line);
    EXPECT_NE(run.out.find(s.printed), std::string::npos) << run.out;
    EXPECT_NE(log.find(s.wire), std::string::npos) << log;
  }
  EXPECT_EQ(sim.robot().host_opens(), 1u);  // one connection for all of it
  EXPECT_NE(run.err.find("tovlink: led 7 on: LED 7 does not exist (LEDs are 1-6) (nothing reached "
                         "the robot)"),
            std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find("unknown command 'frobnicate'"), std::string::npos) << run.err;
  EXPECT_EQ(log.find("#100,7"), std::string::npos) << log;
  const auto state = sim.robot().state();
  EXPECT_EQ(state.leds_on, (std::vector<int>{3}));
  EXPECT_EQ(state.voice_speed, 120);
}

TEST(ToolWithSim, MonitorFitsItsTerminalAndKeepsItsRate) {
  run_options options;
  options.terminal_columns = 60;
  const auto run = run_tool({"--sim", "monitor", "--rate", "10", "--count", "10"}, options);
  ASSERT_EQ(run.exit_status, 0) << run.err;
  // Redrawn in place: each sample after a carriage return, none wider than
  // the terminal (or the redraw would turn into scrolling).
  std::vector<std::string> samples;
  std::size_t at = 0;
  while ((at = run.out.find('\r', at)) != std::string::npos) {
    const auto end = run.out.find_first_of("\r\n", at + 1);
    samples.push_back(run.out.substr(at + 1, end - at - 1));
    at = end;
  }
  ASSERT_EQ(samples.size(), 10u) << run.out;
  for (const auto &sample : samples) {
    EXPECT_LT(sample.size(), 60u) << sample;
    EXPECT_NE(sample.find("s | 90 90 90 90 90 90 90 | sen "), std::string::npos) << sample;
  }
  // Ten samples at 10 Hz on a fixed schedule: the last is due at 0.9 s, not
  // 0.9 s plus ten exchanges.
  const double last = std::stod(samples.back());
  EXPECT_GE(last, 0.85);
  EXPECT_LE(last, 1.0);
}

TEST(ToolWithSim, MonitorSaysDisconnectedWhenTheRobotIsUnplugged) {
  sim::robot_options unplugging;
  unplugging.faults.unplug_after = std::chrono::seconds{5};  // after the 3.5 s connect
  logged_robot sim{unplugging};
  const auto run = run_tool({"--port", sim.port(), "--json", "monitor", "--rate", "5"});
  EXPECT_EQ(run.exit_status, 3) << run.err;
  EXPECT_NE(run.err.find("tovlink: disconnected: " + sim.port() + " is gone"), std::string::npos)
      << run.err;
  auto fields = json_of(run);
  EXPECT_EQ(fields["ok"], "false");
  EXPECT_EQ(fields["name"], "link_lost");
  EXPECT_GE(run.out_lines().size(), 3u) << run.out;  // samples came before
}

}  // namespace
}  // namespace tovlink::tool::test

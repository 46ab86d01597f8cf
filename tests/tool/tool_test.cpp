// The tovlink program end to end: its command line, its exit statuses, its
// JSON, and real sessions with the virtual robot.  Every run is a separate
// process; a run that connects costs at least 3.5 s, so the cases that
// connect are few.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "flat_json.hpp"
#include "tool_process.hpp"
#include "tovlink_sim/virtual_robot.hpp"

namespace tovlink::tool::test {
namespace {

using sim::virtual_robot;

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
      {{"--port", "x", "move", "9", "100"}, "MOTOR: motor must be 1–7 or all (got '9')"},
      {{"--port", "x", "move", "1", "200"}, "ANGLE: angle must be 0–180 (got '200')"},
      {{"--port", "x", "move", "1", "90", "--time", "-5"}, "time must be 0–9999 (got '-5')"},
      {{"--port", "x", "pose", "1", "2", "3"}, "ANGLES"},
      {{"--port", "x", "pose", "1", "2", "3", "4", "5", "6", "181"}, "angle must be 0–180"},
      {{"--port", "x", "speed", "20"}, "speed must be 50–300 (got '20')"},
      {{"--port", "x", "power", "on", "100"}, "power value must be at least 500"},
      {{"--port", "x", "led", "on"}, "N"},
      {{"--port", "x", "power"}, "'power' needs on or off"},
      {{"--port", "x", "sound", "1", "10000"}, "B must be 0–9999"},
      {{"--port", "x", "say", "this text is a good deal longer than the robot takes"},
       "text must be at most 39 bytes"},
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
  const usage_case cases[] = {
      {{"--help"}, "--port NAME"},     {{"move", "--help"}, "MOTOR"},
      {{"pose", "--help"}, "ANGLES"},  {{"power", "on", "--help"}, "VALUE"},
      {{"led", "off", "--help"}, "N"}, {{"monitor", "--help"}, "--rate"},
      {{"say", "--help"}, "TEXT"},     {{"demo", "--help"}, "wave"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const auto run = run_tool(c.args);
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_NE(run.out.find("Usage:"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find(c.message), std::string::npos) << run.out;
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
      {"silent", silent, "10005", "the adapter did not answer the reset (no CMD reply to R,1)"},
      {"link rejected", rejecting, "1008",
       "the adapter refused the link (no AOK reply to E,0,...)"},
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

  const auto missing = run_tool({"--port", "/nonexistent/tty", "who"});
  EXPECT_EQ(missing.exit_status, 1);
  EXPECT_NE(missing.err.find("could not open the serial port '/nonexistent/tty'"),
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

}  // namespace
}  // namespace tovlink::tool::test

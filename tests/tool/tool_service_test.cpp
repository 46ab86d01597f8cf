// The tovlink tool with the robot service: a daemon of three robots (two of
// its own virtual robots and one on a link this test holds), the history a
// monitor starts with, the messages for a missing robot name, a missing port
// and a port the daemon holds, and the shell and monitor on a real
// pseudo-terminal (Tab completion, comments, a window resized).
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "child_process.hpp"
#include "clients.hpp"
#include "tool_process.hpp"
#include "tovlink_sim/virtual_robot.hpp"

namespace tovlink::tool::test {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using std::chrono::seconds;
using tovlink::service::testing::child_process;
using tovlink::service::testing::line_client;

struct service_fixture {
  fs::path dir;
  std::string socket_path;
  std::unique_ptr<sim::virtual_robot> gamma;  // on a link the daemon opens
  std::unique_ptr<child_process> broker;      // where mosquitto is installed
  std::unique_ptr<child_process> daemon;
};

#ifdef MOSQUITTO_PATH
// The daemon's options for a site on a broker of this test's own.
std::vector<std::string> start_broker(service_fixture &f) {
  const auto port = std::to_string(tovlink::service::testing::free_port());
  std::ofstream(f.dir / "mosquitto.conf")
      << "listener " << port << " 127.0.0.1\nallow_anonymous true\n";
  f.broker = std::make_unique<child_process>(
      std::vector<std::string>{MOSQUITTO_PATH, "-c", (f.dir / "mosquitto.conf").string()});
  return {"--mqtt", "127.0.0.1:" + port, "--site", "lab"};
}
#endif

service_fixture *fixture = nullptr;

int robots_ready() {
  line_client client(fixture->socket_path);
  if (!client.connected() || !client.read_line()) return 0;
  client.send_line(R"({"cmd":"devices"})");
  const auto reply = client.read_line(seconds{2});
  int ready = 0;
  for (auto at = reply ? reply->find("\"ready\"") : std::string::npos; at != std::string::npos;
       at = reply->find("\"ready\"", at + 1)) {
    ++ready;
  }
  return ready;
}

class service_environment : public ::testing::Environment {
 public:
  void SetUp() override {
    fixture = new service_fixture;
    char pattern[] = "/tmp/tovlink-tool-service-XXXXXX";
    fixture->dir = ::mkdtemp(pattern);
    fixture->socket_path = (fixture->dir / "d.sock").string();
    sim::robot_options options;
    options.link_path = (fixture->dir / "gamma").string();
    fixture->gamma = std::make_unique<sim::virtual_robot>(options);
    fixture->gamma->start();
    std::vector<std::string> daemon{TOVLINKD_PATH,
                                    "--sim",
                                    "alpha",
                                    "--sim",
                                    "beta",
                                    "--robot",
                                    "gamma=" + fixture->gamma->slave_path(),
                                    "--socket",
                                    fixture->socket_path,
                                    "--history",
                                    "60"};
#ifdef MOSQUITTO_PATH
    const auto site = start_broker(*fixture);
    daemon.insert(daemon.end(), site.begin(), site.end());
#endif
    fixture->daemon = std::make_unique<child_process>(daemon);
    const auto deadline = std::chrono::steady_clock::now() + seconds{30};
    while (robots_ready() < 3 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(milliseconds{200});
    }
    ASSERT_EQ(robots_ready(), 3) << "the daemon's robots never became ready";
  }
  void TearDown() override {
    if (fixture == nullptr) return;
    fixture->daemon.reset();
    fixture->broker.reset();
    fixture->gamma.reset();
    std::error_code ignored;
    fs::remove_all(fixture->dir, ignored);
    delete fixture;
    fixture = nullptr;
  }
};

const auto *const environment = ::testing::AddGlobalTestEnvironment(new service_environment);

int count_of(const std::string &text, const std::string &part) {
  int count = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

std::vector<std::string> daemon_args(std::vector<std::string> rest) {
  rest.insert(rest.begin(), {"--daemon", fixture->socket_path});
  return rest;
}

TEST(ToolWithService, RobotNamesAreAskedForAndTheHistoryComesFirst) {
  // Three robots and none named: their names, and how to pick one.
  const auto unnamed = run_tool(daemon_args({"status"}));
  EXPECT_EQ(unnamed.exit_status, 2);
  EXPECT_NE(
      unnamed.err.find(
          "has 3 robots (gamma, alpha, beta): choose one with --robot NAME, e.g. --robot gamma\n"),
      std::string::npos)
      << unnamed.err;

  // The readings the daemon kept, oldest first and timed before now, then
  // the live samples.
  std::this_thread::sleep_for(seconds{2});
  const auto monitor =
      run_tool(daemon_args({"--robot", "alpha", "monitor", "--since", "60s", "--count", "2"}));
  ASSERT_EQ(monitor.exit_status, 0) << monitor.err;
  const auto lines = monitor.out_lines();
  ASSERT_GE(lines.size(), 4U) << monitor.out;
  // A reading kept from the last tenth of a second shows as 0.0 s.
  const std::regex before{R"( *(-\d+\.\d|0\.0) s  sensor +\d+ .*motors( 90){7})"};
  const std::regex live{R"( *\d+\.\d s  sensor +\d+ .*motors( 90){7})"};
  double previous = -1e9;
  for (std::size_t i = 0; i + 2 < lines.size(); ++i) {
    EXPECT_TRUE(std::regex_match(lines[i], before)) << lines[i];
    const double seconds_before = std::stod(lines[i]);
    EXPECT_GE(seconds_before, -60.0);
    EXPECT_GT(seconds_before, previous) << "history out of order";
    previous = seconds_before;
  }
  for (std::size_t i = lines.size() - 2; i < lines.size(); ++i) {
    EXPECT_TRUE(std::regex_match(lines[i], live)) << lines[i];
  }

  // Directly, there is no history to ask.
  const auto direct = run_tool({"--sim", "monitor", "--since", "10s", "--count", "1"});
  EXPECT_EQ(direct.exit_status, 1);
  EXPECT_NE(direct.err.find("only the robot service (tovlinkd) has this"), std::string::npos)
      << direct.err;
  const auto bad_span = run_tool({"--sim", "monitor", "--since", "a while"});
  EXPECT_EQ(bad_span.exit_status, 2);
}

TEST(ToolWithService, PortMistakesSayWhatToDo) {
  const auto no_port = run_tool({"--direct", "status"});
  EXPECT_EQ(no_port.exit_status, 2);
  EXPECT_NE(no_port.err.find("--direct needs the robot's port: give --port NAME or set "
                             "TOVLINK_PORT"),
            std::string::npos)
      << no_port.err;

  // gamma's port is the daemon's: the tool names it, and the way round it.
  const auto busy = run_tool({"--port", fixture->gamma->slave_path(), "status"});
  EXPECT_EQ(busy.exit_status, 1);
  EXPECT_NE(busy.err.find("tovlinkd (pid " + std::to_string(fixture->daemon->pid()) +
                          ") holds it; go through the service"),
            std::string::npos)
      << busy.err;

  // A daemon without an MQTT bridge has no fleet; the tool says how to have one.
  const std::string lone_socket = (fixture->dir / "lone.sock").string();
  child_process lone{{TOVLINKD_PATH, "--sim", "lone", "--socket", lone_socket}};
  ASSERT_TRUE(lone.wait_for_line("connecting", seconds{10}));
  const auto fleet = run_tool({"--daemon", lone_socket, "fleet"});
  EXPECT_EQ(fleet.exit_status, 1);
  EXPECT_NE(fleet.err.find("the service has no fleet: start tovlinkd with --mqtt"),
            std::string::npos)
      << fleet.err;
  const auto not_for_all = run_tool(daemon_args({"fleet", "monitor"}));
  EXPECT_EQ(not_for_all.exit_status, 2);
  EXPECT_NE(not_for_all.err.find("'monitor' cannot be sent to every robot"), std::string::npos)
      << not_for_all.err;
}

#ifdef MOSQUITTO_PATH
TEST(ToolWithService, FleetListsTheSiteAndSendsACommandToAllOfIt) {
  // The bridge publishes each robot's status once it is connected.
  tool_run listed;
  const auto deadline = std::chrono::steady_clock::now() + seconds{15};
  do {
    listed = run_tool(daemon_args({"fleet"}));
  } while (listed.out.find("gamma  online") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline);
  ASSERT_EQ(listed.exit_status, 0) << listed.err;
  EXPECT_NE(listed.out.find("site lab on 127.0.0.1:"), std::string::npos) << listed.out;
  for (const char *robot : {"alpha  online", "beta  online", "gamma  online"}) {
    EXPECT_NE(listed.out.find(robot), std::string::npos) << listed.out;
  }

  const auto sent = run_tool(daemon_args({"fleet", "move", "1", "120", "--time", "200"}));
  ASSERT_EQ(sent.exit_status, 0) << sent.err;
  EXPECT_EQ(sent.out,
            "sent 'move' to every robot of the site (tovlink/lab/all/cmd); 'tovlink fleet' "
            "shows their replies\n");
  // Every robot of the site moved, the one on this test's link too.
  const auto moved = std::chrono::steady_clock::now() + seconds{5};
  while (fixture->gamma->state().targets[0] != 120 && std::chrono::steady_clock::now() < moved) {
    std::this_thread::sleep_for(milliseconds{50});
  }
  EXPECT_EQ(fixture->gamma->state().targets[0], 120);
  // Their replies come back through the broker, one per robot.
  tool_run replies;
  const auto answered = std::chrono::steady_clock::now() + seconds{5};
  do {
    replies = run_tool(daemon_args({"fleet"}));
  } while (count_of(replies.out, "last reply: move ok") < 3 &&
           std::chrono::steady_clock::now() < answered);
  for (const char *robot : {"alpha", "beta", "gamma"}) {
    EXPECT_NE(replies.out.find(std::string{robot} + "  online  battery "), std::string::npos)
        << replies.out;
  }
  EXPECT_EQ(count_of(replies.out, "last reply: move ok"), 3) << replies.out;
}
#endif

TEST(ToolWithService, ShellCompletesWithTabAndSkipsComments) {
  terminal_session shell{daemon_args({"--robot", "alpha", "shell"}), 100};
  ASSERT_TRUE(shell.started());
  ASSERT_TRUE(shell.wait_for("tovlink> ", seconds{10})) << shell.since_mark();
  // A command completed from its start, then run ("wh" alone is none).
  shell.type("wh\t");
  shell.read_for(milliseconds{300});
  shell.type("\r");
  EXPECT_TRUE(shell.wait_for("WHO,TovSim,VR-0001", seconds{5})) << shell.since_mark();
  // A group's word, and a robot's name after --robot: this line goes to beta.
  shell.type("led o\t");
  shell.read_for(milliseconds{300});
  shell.type("n 2 --robot be\t");
  shell.read_for(milliseconds{300});
  shell.type("\r");
  EXPECT_TRUE(shell.wait_for("led 2 on", seconds{5})) << shell.since_mark();
  // A comment after the words is no argument.
  shell.type("move 1 100 # raise the arm\r");
  EXPECT_TRUE(shell.wait_for("motor 1 to 100", seconds{5})) << shell.since_mark();
  shell.type("exit\r");
  EXPECT_EQ(shell.stop(0, seconds{5}), 0);

  // What the lines did, as the daemon saw it: beta's LED, alpha's motor.
  line_client client(fixture->socket_path);
  ASSERT_TRUE(client.read_line());
  client.send_line(R"({"cmd":"poll","robot":"beta"})");
  const auto beta = client.read_line(seconds{2});
  ASSERT_TRUE(beta);
  EXPECT_NE(beta->find(R"("leds":[null,true,null,null,null,null])"), std::string::npos) << *beta;
  client.send_line(R"({"cmd":"poll","robot":"alpha"})");
  const auto alpha = client.read_line(seconds{2});
  ASSERT_TRUE(alpha);
  EXPECT_NE(alpha->find(R"("leds":[null,null,null,null,null,null])"), std::string::npos) << *alpha;
}

TEST(ToolWithService, MonitorRefitsWhenTheTerminalNarrows) {
  terminal_session monitor{daemon_args({"--robot", "alpha", "monitor", "--rate", "10"}), 120};
  ASSERT_TRUE(monitor.started());
  ASSERT_TRUE(monitor.wait_for("sensor", seconds{10})) << monitor.since_mark();
  monitor.read_for(milliseconds{500});
  monitor.resize(50);
  monitor.read_for(milliseconds{300});  // a sample drawn before the signal may still come
  monitor.set_mark();
  monitor.read_for(milliseconds{1500});
  const std::string after = monitor.since_mark();
  EXPECT_EQ(monitor.stop(SIGINT, seconds{5}), 0);
  // Each redraw starts with a carriage return; none is wider than 50 now.
  std::size_t samples = 0;
  for (std::size_t at = after.find('\r'); at != std::string::npos; at = after.find('\r', at + 1)) {
    const auto end = after.find_first_of("\r\n", at + 1);
    const auto line = after.substr(at + 1, end == std::string::npos ? end : end - at - 1);
    if (line.find(" | ") == std::string::npos) continue;  // the short form of a sample
    ++samples;
    EXPECT_LT(line.size(), 50U) << line;
  }
  EXPECT_GE(samples, 5U) << after;
}

}  // namespace
}  // namespace tovlink::tool::test

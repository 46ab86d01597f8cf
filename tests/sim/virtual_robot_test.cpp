// The running virtual robot on a real pseudo-terminal, driven from the
// host's side of the port: replies, host comings and goings, fault options,
// the link and the wire log.
#include "tovlink_sim/virtual_robot.hpp"

#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <regex>
#include <thread>

#include "host_port.hpp"
#include "sim_options.hpp"

namespace tovlink::sim {
namespace {

using namespace std::chrono_literals;
using test::faults;
using test::host_port;
using test::with_faults;
using test::with_link;
using steady = std::chrono::steady_clock;

std::filesystem::path scratch_path(const std::string &name) {
  return std::filesystem::temp_directory_path() /
         ("tovlink-sim-test-" + std::to_string(::getpid()) + "-" + name);
}

TEST(VirtualRobot, AnswersTheDialogueAndEachCommandOnce) {
  virtual_robot robot;
  robot.start();
  host_port host{robot.slave_path()};
  ASSERT_TRUE(host.is_open());
  EXPECT_EQ(host.exchange("R,1\r"), "CMD\r\n");
  EXPECT_EQ(host.exchange("GDH\r"), "001EC0ABCDEF\r\n");
  EXPECT_EQ(host.exchange("E,0,001EC0ABCDEF\r\n\r"), "AOK\r\n");
  EXPECT_EQ(host.exchange("I\r"), "MLDP\r\n");
  EXPECT_EQ(host.exchange("#132,1,120\r\r"), "OK\r\n");
  EXPECT_EQ(host.exchange("#150,255,045,0100\r\r"), "OK\r\n");
  // The empty lines between get no reply of their own.
  EXPECT_EQ(host.read_for(150ms), "");
  EXPECT_EQ(robot.lines_handled(), 6u);
  const auto state = robot.state();
  EXPECT_EQ(state.positions, (std::array<int, motor_count>{45, 45, 45, 45, 45, 45, 45}));
  EXPECT_EQ(host.exchange("#142\r"), "POS,45,45,45,45,45,45,45\r\n");
}

TEST(VirtualRobot, ServesHostAfterHostAndLiftsTheirExclusiveLock) {
  virtual_robot robot;
  robot.start();
  {
    host_port first{robot.slave_path()};
    ASSERT_TRUE(first.is_open());
    ASSERT_EQ(::ioctl(first.fd(), TIOCEXCL), 0);
    EXPECT_EQ(first.exchange("R,1\r"), "CMD\r\n");
    // Leaves with a reply it never read.
    first.send("#800\r");
    std::this_thread::sleep_for(100ms);
  }
  // The exclusive flag would otherwise outlive the first host, because the
  // robot keeps the slave open; the robot clears it once the host has gone.
  const auto until = steady::now() + 3s;
  int exclusive = 1;
  while (exclusive != 0 && steady::now() < until) {
    std::this_thread::sleep_for(20ms);
    host_port probe{robot.slave_path()};
    ASSERT_TRUE(probe.is_open());
    ASSERT_EQ(::ioctl(probe.fd(), TIOCGEXCL, &exclusive), 0);
  }
  EXPECT_EQ(exclusive, 0);

  host_port second{robot.slave_path()};
  ASSERT_TRUE(second.is_open());
  EXPECT_EQ(second.read_for(100ms), "") << "the first host's unread reply was kept";
  EXPECT_EQ(second.exchange("R,1\r"), "CMD\r\n");
  EXPECT_GE(robot.host_opens(), 3u);
}

TEST(VirtualRobot, AHostThatReopensAtOnceIsAnsweredFromItsFirstLine) {
  // A host that closes the port and opens it again straight away (a connect
  // right after an end) must not lose its first reply to the clean-up after
  // the previous host's departure.
  virtual_robot robot;
  robot.start();
  int unanswered = 0;
  for (int cycle = 0; cycle < 200 && unanswered < 5; ++cycle) {
    host_port host{robot.slave_path()};
    ASSERT_TRUE(host.is_open());
    host.send("R,1\r");
    if (host.read_line(500ms) != "CMD\r\n") ++unanswered;
  }
  EXPECT_EQ(unanswered, 0);
}

TEST(VirtualRobot, ALineRateCarriesRequestAndReplyAtTheWiresPace) {
  // 1,200 baud: 8.3 ms a byte, so "R,1\r" and "CMD\r\n" take 75 ms on the
  // wire, and the reply's five bytes come apart, not in one piece.
  tovlink::sim::robot_options options;
  options.line_rate_baud = 1200;
  virtual_robot robot(options);
  robot.start();
  host_port host{robot.slave_path()};
  ASSERT_TRUE(host.is_open());
  const auto sent = steady::now();
  host.send("R,1\r");
  const std::string first = host.read_for(50ms);
  const std::string rest = host.read_line(2000ms);
  const auto took = steady::now() - sent;
  EXPECT_EQ(first + rest, "CMD\r\n");
  EXPECT_LT(first.size(), 5U) << "the whole reply came at once";
  EXPECT_GE(took, 74ms);
  EXPECT_LT(took, 2000ms);
}

struct fault_case {
  const char *name;
  fault_options faults;
  std::function<void(host_port &, virtual_robot &)> check;
};

TEST(VirtualRobot, FaultOptions) {
  const fault_case cases[] = {
      {"silent", faults([](fault_options &f) { f.silent = true; }),
       [](host_port &host, virtual_robot &robot) {
         host.send("R,1\r");
         EXPECT_EQ(host.read_for(300ms), "");
         EXPECT_EQ(robot.lines_handled(), 1u);
       }},
      {"no MLDP", faults([](fault_options &f) { f.no_mldp = true; }),
       [](host_port &host, virtual_robot &) { EXPECT_EQ(host.exchange("I\r"), "ERR,MODE\r\n"); }},
      {"link rejected", faults([](fault_options &f) { f.reject_link = true; }),
       [](host_port &host, virtual_robot &) {
         EXPECT_EQ(host.exchange("E,0,001EC0ABCDEF\r\n\r"), "ERR,LINK\r\n");
       }},
      {"every second reply dropped", faults([](fault_options &f) { f.drop_every = 2; }),
       [](host_port &host, virtual_robot &) {
         for (const auto *expected : {"CMD\r\n", "", "CMD\r\n", ""}) {
           host.send("R,1\r");
           EXPECT_EQ(host.read_line(300ms), expected);
         }
       }},
      {"latency", faults([](fault_options &f) { f.latency = 150ms; }),
       [](host_port &host, virtual_robot &) {
         const auto sent = steady::now();
         EXPECT_EQ(host.exchange("R,1\r"), "CMD\r\n");
         const auto waited = steady::now() - sent;
         EXPECT_GE(waited, 150ms);
         EXPECT_LT(waited, 2s);
       }},
      {"garbage before each reply", faults([](fault_options &f) { f.garbage = true; }),
       [](host_port &host, virtual_robot &) {
         for (int i = 0; i < 5; ++i) {
           const auto reply = host.exchange("R,1\r");
           ASSERT_TRUE(reply.ends_with("CMD\r\n")) << reply;
           const auto noise = reply.substr(0, reply.size() - 5);
           EXPECT_GE(noise.size(), 1u);
           EXPECT_LE(noise.size(), 8u);
           for (const char c : noise) {
             const auto byte = static_cast<unsigned char>(c);
             EXPECT_TRUE(byte < 0x20 || byte >= 0x7f) << "printable noise byte " << int{byte};
             EXPECT_NE(c, '\r');
             EXPECT_NE(c, '\n');
           }
         }
       }},
      {"split replies", faults([](fault_options &f) { f.split = true; }),
       [](host_port &host, virtual_robot &) {
         const auto sent = steady::now();
         host.send("GDH\r");
         const auto first = host.read_for(1ms + split_chunk_gap / 2);
         const auto rest = host.read_line();
         EXPECT_EQ(first + rest, "001EC0ABCDEF\r\n");
         // 14 bytes in 3-byte chunks: four gaps between five chunks.
         EXPECT_GE(steady::now() - sent, 4 * split_chunk_gap);
       }},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    virtual_robot robot{with_faults(c.faults)};
    robot.start();
    host_port host{robot.slave_path()};
    ASSERT_TRUE(host.is_open());
    c.check(host, robot);
  }
}

TEST(VirtualRobot, UnplugClosesThePortForGood) {
  const auto link = scratch_path("unplug");
  virtual_robot robot{with_link(link, faults([](fault_options &f) { f.unplug_after = 300ms; }))};
  robot.start();
  host_port host{link.string()};
  ASSERT_TRUE(host.is_open());
  EXPECT_EQ(host.exchange("R,1\r"), "CMD\r\n");
  const auto until = steady::now() + 3s;
  while (robot.serving() && steady::now() < until) std::this_thread::sleep_for(10ms);
  EXPECT_FALSE(robot.serving());
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
  // The host's port has hung up.
  host.send("R,1\r");
  char byte = 0;
  EXPECT_LE(::read(host.fd(), &byte, 1), 0);
}

TEST(VirtualRobot, LinkIsMadeReplacedAndRemoved) {
  namespace fs = std::filesystem;
  const auto link = scratch_path("link");
  fs::remove(link);
  fs::create_symlink("/nonexistent/left-behind", link);
  {
    virtual_robot robot{with_link(link)};
    robot.start();
    EXPECT_EQ(fs::read_symlink(link), fs::path{robot.slave_path()});
    host_port host{link.string()};
    EXPECT_EQ(host.exchange("R,1\r"), "CMD\r\n");
    robot.stop();
    EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
  }
  // A file that is not a link is never the robot's to replace.
  std::ofstream{link} << "keep me";
  virtual_robot robot{with_link(link)};
  EXPECT_THROW(robot.start(), std::system_error);
  EXPECT_TRUE(fs::is_regular_file(link));
  fs::remove(link);
}

TEST(VirtualRobot, WireLogShowsEachLineWithVisibleLineEnds) {
  std::mutex mutex;
  std::vector<std::string> log;
  robot_options options;
  options.log = [&](const std::string &line) {
    const std::scoped_lock lock{mutex};
    log.push_back(line);
  };
  virtual_robot robot{options};
  robot.start();
  {
    host_port host{robot.slave_path()};
    EXPECT_EQ(host.exchange("#132,1,090\r\r"), "OK\r\n");
    EXPECT_EQ(host.exchange("#999\r"), "ERR,UNKNOWN\r\n");
  }
  robot.stop();
  const std::scoped_lock lock{mutex};
  const std::regex stamp{R"(\d\d:\d\d:\d\d\.\d{3} .*)"};
  for (const auto &line : log) EXPECT_TRUE(std::regex_match(line, stamp)) << line;
  auto logged = [&](const std::string &entry) {
    return std::any_of(log.begin(), log.end(),
                       [&](const std::string &line) { return line.ends_with(entry); });
  };
  EXPECT_TRUE(logged(" -- host opened the port"));
  EXPECT_TRUE(logged(R"( rx "#132,1,090\r\r")"));
  EXPECT_TRUE(logged(R"( tx "OK\r\n")"));
  EXPECT_TRUE(logged(R"( rx "#999\r")"));
  EXPECT_TRUE(logged(R"( tx "ERR,UNKNOWN\r\n")"));
}

TEST(VirtualRobot, StateCanBeReadWhileServing) {
  virtual_robot robot;
  robot.start();
  std::atomic<bool> done{false};
  std::thread reader{[&] {
    while (!done) {
      const auto state = robot.state();
      for (const auto p : state.positions) ASSERT_LE(p, max_angle);
    }
  }};
  host_port host{robot.slave_path()};
  for (int angle = 0; angle <= 180; angle += 10) {
    EXPECT_EQ(host.exchange("#132,6," + std::to_string(angle) + "\r\r"), "OK\r\n");
  }
  done = true;
  reader.join();
  EXPECT_EQ(robot.state().positions[6], 180);
}

}  // namespace
}  // namespace tovlink::sim

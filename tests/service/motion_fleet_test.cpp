// A fleet starts a motion together: two daemons on one real broker
// (mosquitto on a loopback port), each with a virtual robot in this process
// (their wire logs are read), and a play sent to the whole site through
// one daemon's fleet_all.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "daemon_client.hpp"
#include "logged_robot.hpp"
#include "mqtt_client.hpp"

namespace {

namespace fs = std::filesystem;
using namespace tovlink::service::testing;
using std::chrono::milliseconds;
using std::chrono::seconds;

long long unix_ms_now() {
  return std::chrono::duration_cast<milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

class MotionFleet : public ::testing::Test {
 protected:
  void SetUp() override {
    mosquitto_lib_init();
    dir_ = fs::temp_directory_path() / ("tovlinkd-fleet-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
    port_ = tovlink::service::testing::free_port();
    std::ofstream(dir_ / "mosquitto.conf")
        << "listener " << port_ << " 127.0.0.1\nallow_anonymous true\npersistence false\n";
    broker_ = std::make_unique<child_process>(
        std::vector<std::string>{MOSQUITTO_PATH, "-c", (dir_ / "mosquitto.conf").string()});
    for (int i = 0; i < 100 && !port_open(port_); ++i) {
      std::this_thread::sleep_for(milliseconds{50});
    }
    for (const char *name : {"r1", "r2"}) {
      robots_.push_back(std::make_unique<logged_robot>((dir_ / name).string()));
      daemons_.push_back(std::make_unique<child_process>(std::vector<std::string>{
          TOVLINKD_PATH, "--config", "", "--robot",
          std::string{name} + "=" + (dir_ / name).string(), "--socket",
          (dir_ / (std::string{name} + ".sock")).string(), "--motions-dir",
          (dir_ / "motions").string(), "--mqtt", "127.0.0.1:" + std::to_string(port_), "--site",
          "lab", "--mqtt-client-id", std::string{"tovlinkd-"} + name}));
    }
    site_ = std::make_unique<site_client>(port_);
  }
  void TearDown() override {
    site_.reset();
    daemons_.clear();
    robots_.clear();
    broker_.reset();
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
    mosquitto_lib_cleanup();
  }

  fs::path dir_;
  unsigned short port_ = 0;
  std::unique_ptr<child_process> broker_;
  std::vector<std::unique_ptr<logged_robot>> robots_;
  std::vector<std::unique_ptr<child_process>> daemons_;
  std::unique_ptr<site_client> site_;
};

TEST_F(MotionFleet, APlayForTheWholeSiteStartsEveryRobotAtItsStartTime) {
  for (const char *name : {"r1", "r2"}) {
    ASSERT_TRUE(site_->wait_status(name, "online")) << name << " never came online";
  }
  for (const char *name : {"r1", "r2"}) {
    line_client client((dir_ / (std::string{name} + ".sock")).string());
    client.read_line();  // the version banner
    bool ready = false;
    for (int i = 0; i < 200 && !ready; ++i) {
      ready = ask(client, {{"cmd", "devices"}})["result"]["robots"][0]["state"] == "ready";
      if (!ready) std::this_thread::sleep_for(milliseconds{100});
    }
    ASSERT_TRUE(ready) << name << " never ready";
  }
  line_client daemon((dir_ / "r1.sock").string());
  ASSERT_TRUE(daemon.connected());
  daemon.read_line();  // the version banner

  // Without a start time, fleet_all gives the play one a second ahead.
  const auto from = site_->count();
  const long long asked_at = unix_ms_now();
  const json sent = ask(daemon, {{"cmd", "fleet_all"},
                                 {"request", {{"cmd", "play"}, {"name", "nod"}, {"id", "n1"}}}});
  ASSERT_EQ(sent["ok"], true) << sent.dump();
  const long long start_at = sent["result"]["start_at_ms"].get<long long>();
  EXPECT_GE(start_at, asked_at + 1000);
  EXPECT_LE(start_at, unix_ms_now() + 1000);
  for (const char *name : {"r1", "r2"}) {
    const auto reply = site_->wait_for_reply(name, "n1", from);
    ASSERT_TRUE(reply) << name << " did not answer the play";
    EXPECT_EQ(reply->body()["ok"], true) << reply->payload;
  }
  std::this_thread::sleep_for(milliseconds{start_at - unix_ms_now() + 300});

  // Each robot's first keyframe went out at the start time, not when the
  // play reached it (most of a second earlier); so the two together.
  // Loose bounds, for loaded and sanitized runs: the benchmark measures the
  // spread.
  std::vector<long long> first;
  for (auto &robot : robots_) {
    const auto moves = robot->moves();
    ASSERT_FALSE(moves.empty()) << "a robot got no keyframe";
    first.push_back(moves.front().stamp_ms);
    const long long after_start = moves.front().stamp_ms - local_day_ms(start_at);
    EXPECT_GE(after_start, -5) << "a robot started before the start time";
    EXPECT_LT(after_start, 400);
  }
  EXPECT_LT(std::llabs(first[0] - first[1]), 200);

  // A start time given by the sender is kept as it is.
  const long long later = unix_ms_now() + 1500;
  const json kept =
      ask(daemon, {{"cmd", "fleet_all"},
                   {"request", {{"cmd", "play"}, {"name", "nod"}, {"start_at_ms", later}}}});
  ASSERT_EQ(kept["ok"], true) << kept.dump();
  EXPECT_EQ(kept["result"]["start_at_ms"], later);
}

}  // namespace

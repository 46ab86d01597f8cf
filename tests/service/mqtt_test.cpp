// tovlinkd's MQTT bridge end to end: a real broker (mosquitto on a loopback
// port), the daemon as a process with two virtual robots, and this program
// as an MQTT client of its own.  One daemon serves every case (a robot's
// connect costs about 3.5 s); the cases run in the order written and the
// last one kills the daemon.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "child_process.hpp"
#include "clients.hpp"
#include "mqtt_client.hpp"

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using std::chrono::milliseconds;
using std::chrono::seconds;
using namespace tovlink::service::testing;

struct fleet_fixture {
  fs::path dir;
  unsigned short port = 0;
  std::unique_ptr<child_process> broker;
  std::unique_ptr<child_process> daemon;
  std::unique_ptr<site_client> client;

  void start_broker() {
    broker = std::make_unique<child_process>(
        std::vector<std::string>{MOSQUITTO_PATH, "-c", (dir / "mosquitto.conf").string()});
    for (int i = 0; i < 100 && !port_open(port); ++i) std::this_thread::sleep_for(milliseconds{50});
  }
};

fleet_fixture *fixture = nullptr;

class Environment : public ::testing::Environment {
 public:
  void SetUp() override {
    mosquitto_lib_init();
    fixture = new fleet_fixture;
    fixture->dir = fs::temp_directory_path() / ("tovlinkd-mqtt-" + std::to_string(::getpid()));
    fs::create_directories(fixture->dir);
    fixture->port = tovlink::service::testing::free_port();
    std::ofstream(fixture->dir / "mosquitto.conf")
        << "listener " << fixture->port << " 127.0.0.1\nallow_anonymous true\n"
        << "persistence false\n";
    fixture->start_broker();
    fixture->client = std::make_unique<site_client>(fixture->port);
    fixture->daemon = std::make_unique<child_process>(std::vector<std::string>{
        TOVLINKD_PATH, "--sim", "a", "--sim", "b", "--socket", (fixture->dir / "d.sock").string(),
        "--mqtt", "127.0.0.1:" + std::to_string(fixture->port), "--site", "lab", "--mqtt-hz", "5"});
  }
  void TearDown() override {
    const fs::path dir = fixture->dir;
    delete fixture;
    fixture = nullptr;
    fs::remove_all(dir);
    mosquitto_lib_cleanup();
  }
};

const auto *const environment = ::testing::AddGlobalTestEnvironment(new Environment);

TEST(Mqtt, StatusAndStateReachTheBroker) {
  auto &client = *fixture->client;
  ASSERT_TRUE(client.wait_status("a", "online")) << "robot a never came online";
  ASSERT_TRUE(client.wait_status("b", "online"));
  // Two state messages in a row: telemetry fields, counted in sequence.
  const auto first = client.wait_for("tovlink/lab/a/state", [](const message &) { return true; });
  ASSERT_TRUE(first);
  const json state = first->body();
  EXPECT_EQ(state["class"], "telemetry");
  EXPECT_EQ(state["robot"], "a");
  EXPECT_EQ(state["positions"].size(), 7u);
  EXPECT_GT(state["battery"].get<int>(), 0);
  EXPECT_GT(state["time_ms"].get<long long>(), 0);
  EXPECT_EQ(state["leds"], json::parse("[null,null,null,null,null,null]"));
  const auto next = client.wait_for("tovlink/lab/a/state", [&](const message &m) {
    return m.body()["seq"] == state["seq"].get<int>() + 1;
  });
  EXPECT_TRUE(next) << "no state message after seq " << state["seq"];
}

TEST(Mqtt, CommandMovesTheRobotAndTheReplyEchoesItsId) {
  auto &client = *fixture->client;
  const auto from = client.count();
  ASSERT_TRUE(
      client.publish("tovlink/lab/a/cmd", R"({"cmd":"move","motor":2,"angle":80,"id":{"n":41}})"));
  const auto reply = client.wait_for_reply("a", json{{"n", 41}}, from);
  ASSERT_TRUE(reply) << "no reply on tovlink/lab/a/reply";
  const json body = reply->body();
  EXPECT_TRUE(body["ok"]) << body;
  EXPECT_EQ(body["robot"], "a");
  EXPECT_EQ(body["result"]["angle"], 80);
  // The robot really moved: its state says so, and b's did not.
  EXPECT_TRUE(client.wait_for(
      "tovlink/lab/a/state", [](const message &m) { return m.body()["positions"][1] == 80; },
      from));
  const auto b_state = client.wait_for(
      "tovlink/lab/b/state", [](const message &) { return true; }, client.count());
  ASSERT_TRUE(b_state);
  EXPECT_EQ(b_state->body()["positions"][1], 90);
}

TEST(Mqtt, AllCmdAndTheFleetCommandsReachEveryRobot) {
  auto &client = *fixture->client;
  auto from = client.count();
  ASSERT_TRUE(client.publish("tovlink/lab/all/cmd", R"({"cmd":"query","query":"who","id":"w1"})"));
  for (const char *robot : {"a", "b"}) {
    const auto reply = client.wait_for_reply(robot, "w1", from);
    ASSERT_TRUE(reply) << "robot " << robot << " did not answer all/cmd";
    EXPECT_TRUE(reply->body()["ok"]);
    EXPECT_EQ(reply->body()["robot"], robot);
  }

  // The daemon's own view of the site, and a command to all from its protocol.
  line_client daemon((fixture->dir / "d.sock").string());
  ASSERT_TRUE(daemon.connected());
  daemon.read_line();  // the version banner
  ASSERT_TRUE(daemon.send_line(R"({"cmd":"fleet","id":1})"));
  const json fleet = json::parse(daemon.read_line().value_or("null"), nullptr, false);
  ASSERT_TRUE(fleet.value("ok", false)) << fleet;
  EXPECT_EQ(fleet["result"]["site"], "lab");
  EXPECT_TRUE(fleet["result"]["connected"]);
  std::vector<std::string> listed;
  for (const auto &robot : fleet["result"]["robots"]) {
    listed.push_back(robot["name"]);
    EXPECT_EQ(robot["status"], "online");
    EXPECT_GT(robot["telemetry"]["battery"].get<int>(), 0);
  }
  EXPECT_EQ(listed, (std::vector<std::string>{"a", "b"}));

  from = client.count();
  ASSERT_TRUE(daemon.send_line(
      R"({"cmd":"fleet_all","id":2,"request":{"cmd":"led","led":3,"on":true,"robot":"zz"}})"));
  const json sent = json::parse(daemon.read_line().value_or("null"), nullptr, false);
  ASSERT_TRUE(sent.value("ok", false)) << sent;
  EXPECT_EQ(sent["result"]["topic"], "tovlink/lab/all/cmd");
  for (const char *robot : {"a", "b"}) {
    const auto reply = client.wait_for_reply(robot, sent["result"]["id"], from);
    ASSERT_TRUE(reply) << robot;
    EXPECT_TRUE(reply->body()["ok"]) << reply->payload;
  }
  // A fleet command may not go round the site again.
  ASSERT_TRUE(daemon.send_line(R"({"cmd":"fleet_all","id":3,"request":{"cmd":"fleet_all"}})"));
  const json refused = json::parse(daemon.read_line().value_or("null"), nullptr, false);
  EXPECT_EQ(refused["error"]["code"], 400) << refused;
}

TEST(Mqtt, BadRequestsGetErrorRepliesAndNoHarm) {
  auto &client = *fixture->client;
  const auto from = client.count();
  ASSERT_TRUE(client.publish("tovlink/lab/a/cmd", "{not json"));
  const auto bad = client.wait_for(
      "tovlink/lab/a/reply", [](const message &m) { return !m.body().value("ok", true); }, from);
  ASSERT_TRUE(bad);
  EXPECT_EQ(bad->body()["error"]["code"], 400);
  EXPECT_EQ(bad->body()["robot"], "a");

  ASSERT_TRUE(client.publish("tovlink/lab/a/cmd", R"({"cmd":"watch","id":"w"})"));
  const auto watch = client.wait_for_reply("a", "w", from);
  ASSERT_TRUE(watch);
  EXPECT_EQ(watch->body()["error"]["code"], 400);

  ASSERT_TRUE(client.publish("tovlink/lab/b/cmd", std::string(70 * 1024, ' ')));
  EXPECT_TRUE(client.wait_for(
      "tovlink/lab/b/reply", [](const message &m) { return m.body()["error"]["code"] == 413; },
      from));

  ASSERT_TRUE(
      client.publish("tovlink/lab/a/cmd", R"({"cmd":"led","led":99,"on":true,"id":"range"})"));
  const auto range = client.wait_for_reply("a", "range", from);
  ASSERT_TRUE(range);
  // The library refuses it, and over MQTT too the reply says nothing was sent.
  EXPECT_EQ(range->body()["error"]["name"], "invalid_argument");
  EXPECT_EQ(range->body()["error"]["sent"], false);

  ASSERT_TRUE(
      client.publish("tovlink/lab/a/cmd", R"({"cmd":"led","led":1,"on":true,"id":"after"})"));
  const auto after = client.wait_for_reply("a", "after", from);
  ASSERT_TRUE(after) << "the daemon stopped answering";
  EXPECT_TRUE(after->body()["ok"]);
}

// 300 commands back to back on one robot: every one gets its reply, either
// its result or busy (the robot's queue, or the bridge's own bound), and
// every reply, refusals included, names the robot.
TEST(Mqtt, AFloodOfCommandsGetsEveryReply) {
  auto &client = *fixture->client;
  const auto from = client.count();
  constexpr int commands = 300;
  for (int i = 0; i < commands; ++i) {
    const json request = {{"cmd", "move"}, {"motor", 3}, {"angle", 60 + i % 40}, {"id", i}};
    ASSERT_TRUE(client.publish("tovlink/lab/a/cmd", request.dump()));
  }
  std::set<int> answered;
  int done = 0;
  int busy = 0;
  const auto deadline = std::chrono::steady_clock::now() + seconds{60};
  while (answered.size() < commands && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(milliseconds{200});
    const auto messages = client.messages();
    for (std::size_t i = from; i < messages.size(); ++i) {
      if (messages[i].topic != "tovlink/lab/a/reply") continue;
      const json reply = messages[i].body();
      if (!reply["id"].is_number_integer() || !answered.insert(reply["id"].get<int>()).second) {
        continue;
      }
      EXPECT_EQ(reply["robot"], "a") << reply;
      if (reply.value("ok", false)) {
        ++done;
      } else {
        EXPECT_EQ(reply["error"]["name"], "busy") << reply;
        ++busy;
      }
    }
  }
  EXPECT_EQ(answered.size(), static_cast<std::size_t>(commands))
      << done << " done, " << busy << " busy";
  EXPECT_GT(done, 0);
}

TEST(Mqtt, ErrorRepliesNameTheRobotAndTheLimitIsWhatTheClientSent) {
  auto &client = *fixture->client;
  const auto from = client.count();
  auto reply_to = [&](const std::string &payload, const json &id) -> json {
    EXPECT_TRUE(client.publish("tovlink/lab/b/cmd", payload));
    const auto reply = client.wait_for_reply("b", id, from);
    return reply ? reply->body() : json{};
  };
  const json no_cmd = reply_to(R"({"cmd":17,"id":"e1"})", "e1");
  EXPECT_EQ(no_cmd["error"]["code"], 400);
  EXPECT_EQ(no_cmd["robot"], "b") << no_cmd;
  const json nul = reply_to(std::string{R"({"cmd":"poll","id":"e2"})"} + '\0' + "x", json{});
  EXPECT_EQ(nul["error"]["name"], "bad_request") << nul;
  EXPECT_EQ(nul["robot"], "b");

  // Exactly 65,536 bytes as sent is within the limit; one more is not.
  std::string request = R"({"cmd":"led","led":1,"on":true,"id":"full","pad":")";
  request += std::string(65536 - request.size() - 2, 'p') + "\"}";
  ASSERT_EQ(request.size(), 65536U);
  const json full = reply_to(request, "full");
  EXPECT_TRUE(full.value("ok", false)) << full.dump().substr(0, 300);
  // Appended, not inserted: GCC 12 at -O3 takes an insert for an overlapping copy.
  std::string over = request.substr(0, request.size() - 2);
  over.append("p\"}");
  ASSERT_TRUE(client.publish("tovlink/lab/b/cmd", over));
  const auto refused = client.wait_for(
      "tovlink/lab/b/reply", [](const message &m) { return m.body()["error"]["code"] == 413; },
      from);
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->body()["robot"], "b");
}

// 50 MB on all/cmd: the broker keeps it from the robots' connections
// (their maximum packet size), so it costs the daemon next to nothing, and
// the robots go on answering.
TEST(Mqtt, AHugePayloadCostsTheDaemonLittle) {
  auto &client = *fixture->client;
  const long before = memory_kib(fixture->daemon->pid(), "VmHWM");
  ASSERT_GT(before, 0);
  ASSERT_TRUE(client.publish("tovlink/lab/all/cmd", std::string(50'000'000, ' ')));
  ASSERT_TRUE(client.publish("tovlink/lab/a/cmd", std::string(300'000, ' ')));
  const auto from = client.count();
  ASSERT_TRUE(
      client.publish("tovlink/lab/all/cmd", R"({"cmd":"query","query":"who","id":"after"})"));
  for (const char *robot : {"a", "b"}) {
    const auto reply = client.wait_for_reply(robot, "after", from);
    ASSERT_TRUE(reply) << robot;
    EXPECT_TRUE(reply->body()["ok"]);
  }
  const long grown = memory_kib(fixture->daemon->pid(), "VmHWM") - before;
  EXPECT_LT(grown, 10 * 1024) << "the daemon's peak memory grew by " << grown << " KiB";
}

TEST(Mqtt, ABrokerRestartIsSurvived) {
  auto &client = *fixture->client;
  ASSERT_EQ(fixture->broker->stop(SIGTERM, seconds{5}), 0);
  fixture->broker.reset();
  std::this_thread::sleep_for(seconds{2});  // the bridge notices and backs off
  // Without a broker the robots keep their pace: fresh readings, commands
  // from other clients answered.
  line_client daemon((fixture->dir / "d.sock").string());
  ASSERT_TRUE(daemon.connected());
  daemon.read_line();  // the version banner
  ASSERT_TRUE(daemon.send_line(R"({"cmd":"poll","robot":"a"})"));
  const json poll = json::parse(daemon.read_line().value_or("null"), nullptr, false);
  ASSERT_TRUE(poll.value("ok", false)) << poll;
  EXPECT_LT(poll["result"]["age_ms"].get<int>(), 500);
  ASSERT_TRUE(daemon.send_line(R"({"cmd":"led","robot":"b","led":2,"on":true})"));
  const json led = json::parse(daemon.read_line().value_or("null"), nullptr, false);
  EXPECT_TRUE(led.value("ok", false)) << led;
  const auto from = client.count();
  fixture->start_broker();  // no persistence: the retained statuses are gone
  ASSERT_TRUE(client.wait_status("a", "online", from)) << "status not republished";
  ASSERT_TRUE(client.wait_status("b", "online", from));
  ASSERT_TRUE(client.publish("tovlink/lab/b/cmd", R"({"cmd":"query","query":"who","id":"again"})"));
  const auto reply = client.wait_for_reply("b", "again", from);
  ASSERT_TRUE(reply);
  EXPECT_TRUE(reply->body()["ok"]);
}

TEST(Mqtt, ADeadDaemonLeavesItsRobotsOffline) {
  auto &client = *fixture->client;
  const auto from = client.count();
  ::kill(fixture->daemon->pid(), SIGKILL);
  EXPECT_TRUE(client.wait_status("a", "offline", from));
  EXPECT_TRUE(client.wait_status("b", "offline", from));
  fixture->daemon.reset();
}

}  // namespace

// tovlinkd end to end.  One daemon serves the whole program: robots a and b
// are virtual robots in this process (so each case can look at what the
// robot did), s is the daemon's own virtual robot (--sim), and t starts with
// nothing on its link so it can be lost and found again.  The cases run in
// the order written; the last one stops the daemon.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "daemon_client.hpp"
#include "logged_robot.hpp"
#include "tovlink_sim/virtual_robot.hpp"

namespace {

namespace fs = std::filesystem;
using namespace tovlink::service::testing;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr int max_clients = 64;
const std::string token = "s3cret-token";

struct daemon_fixture {
  fs::path dir;
  std::string socket_path;
  unsigned short port = 0;
  std::unique_ptr<logged_robot> a;
  std::unique_ptr<logged_robot> b;
  std::unique_ptr<child_process> daemon;
  std::unique_ptr<child_process> t_robot;  // the external robot on t's link, when there is one
};

daemon_fixture *fixture = nullptr;

line_client open_client() {
  return open_daemon_client(fixture->socket_path);
}

std::string state_of(line_client &client, const std::string &robot) {
  const json reply = ask(client, {{"cmd", "devices"}});
  for (const auto &entry : reply["result"]["robots"]) {
    if (entry["name"] == robot) return entry["state"];
  }
  return "";
}

bool wait_state(const std::string &robot, const std::string &state, milliseconds limit) {
  auto client = open_client();
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (state_of(client, robot) == state) return true;
    std::this_thread::sleep_for(milliseconds{100});
  }
  return false;
}

std::string authority() {
  return "127.0.0.1:" + std::to_string(fixture->port);
}
std::string own_origin() {
  return "http://" + authority();
}

std::unique_ptr<websocket_client> open_websocket(const std::string &target) {
  auto client =
      std::make_unique<websocket_client>(fixture->port, target, authority(), own_origin());
  EXPECT_EQ(client->status(), 101);
  const json banner = parse_line(client->read_message());
  EXPECT_EQ(banner.value("class", ""), "version");
  return client;
}

class daemon_environment : public ::testing::Environment {
 public:
  void SetUp() override {
    auto *f = new daemon_fixture;
    fixture = f;
    char pattern[] = "/tmp/tovlinkd-test-XXXXXX";
    f->dir = ::mkdtemp(pattern);
    f->socket_path = (f->dir / "d.sock").string();
    std::ofstream(f->dir / "token") << token << "\n";
    f->a = std::make_unique<logged_robot>((f->dir / "a").string());
    f->b = std::make_unique<logged_robot>((f->dir / "b").string());
    f->daemon = std::make_unique<child_process>(std::vector<std::string>{
        TOVLINKD_PATH, "--robot", "a=" + (f->dir / "a").string(), "--robot",
        "b=" + (f->dir / "b").string(), "--sim", "s", "--robot", "t=" + (f->dir / "t").string(),
        "--socket", f->socket_path, "--listen", "127.0.0.1:0", "--token-file",
        (f->dir / "token").string(), "--max-clients", std::to_string(max_clients)});
    const auto listening = f->daemon->wait_for_line("listening on http://", seconds{10});
    ASSERT_TRUE(listening) << "the daemon did not start";
    f->port = static_cast<unsigned short>(std::stoi(listening->substr(listening->rfind(':') + 1)));
    for (const char *robot : {"a", "b", "s"}) {
      ASSERT_TRUE(wait_state(robot, "ready", seconds{20})) << "robot " << robot << " never ready";
    }
  }
  void TearDown() override {
    if (!fixture) return;
    fixture->daemon.reset();
    fixture->t_robot.reset();
    fixture->a.reset();
    fixture->b.reset();
    std::error_code ignored;
    fs::remove_all(fixture->dir, ignored);
    delete fixture;
    fixture = nullptr;
  }
};

const auto *const environment = ::testing::AddGlobalTestEnvironment(new daemon_environment);

TEST(Service, ARobotNobodyWatchesIsReadOnceASecondAndAWatchedOneAtThePollRate) {
  // Robot b: nobody has watched it or asked for its reading yet.
  const auto idle_before = fixture->b->robot->lines_handled();
  std::this_thread::sleep_for(seconds{3});
  const auto idle_lines = fixture->b->robot->lines_handled() - idle_before;
  EXPECT_GE(idle_lines, 1U) << "an unwatched robot must still be checked";
  EXPECT_LE(idle_lines, 6U) << "an unwatched robot was read at the full rate";

  auto watcher = open_client();
  watcher.send_line(R"({"cmd":"watch","robot":"b"})");
  ASSERT_TRUE(watcher.read_line(seconds{2}));
  const auto watched_before = fixture->b->robot->lines_handled();
  std::this_thread::sleep_for(seconds{2});
  const auto watched_lines = fixture->b->robot->lines_handled() - watched_before;
  // 10 Hz for 2 s; a loaded machine polls late, so only well above idle.
  EXPECT_GE(watched_lines, 8U);
}

TEST(Service, BannerDevicesAndPollFromTheCache) {
  line_client client(fixture->socket_path);
  ASSERT_TRUE(client.connected());
  const json banner = parse_line(client.read_line());
  EXPECT_EQ(banner, json::parse(R"({"class":"version","release":"1.0.0.3",)"
                                R"("proto":{"major":1,"minor":2}})"));

  const json devices = ask(client, {{"cmd", "devices"}, {"id", 1}});
  ASSERT_TRUE(devices["ok"].get<bool>()) << devices;
  EXPECT_EQ(devices["id"], 1);
  std::map<std::string, json> by_name;
  for (const auto &robot : devices["result"]["robots"]) by_name[robot["name"]] = robot;
  ASSERT_EQ(by_name.size(), 4U);
  EXPECT_EQ(by_name["a"]["port"], (fixture->dir / "a").string());
  EXPECT_EQ(by_name["a"]["state"], "ready");
  EXPECT_EQ(by_name["a"]["sim"], false);
  EXPECT_EQ(by_name["s"]["sim"], true);
  EXPECT_TRUE(by_name["s"]["port"].get<std::string>().starts_with("/dev/pts/"));
  EXPECT_EQ(by_name["t"]["state"], "lost");  // nothing on its link yet

  // Polls are answered from the cache: the robot's wire sees the daemon's
  // steady polls, not one more per request.
  const auto lines_before = fixture->a->robot->lines_handled();
  json poll;
  for (int i = 0; i < 50; ++i) poll = ask(client, {{"cmd", "poll"}, {"robot", "a"}});
  const auto lines_after = fixture->a->robot->lines_handled();
  EXPECT_LT(lines_after - lines_before, 15U) << "50 polls went to the wire";
  ASSERT_TRUE(poll["ok"].get<bool>()) << poll;
  const auto &result = poll["result"];
  EXPECT_EQ(poll["robot"], "a");
  EXPECT_EQ(result["state"], "ready");
  EXPECT_LE(result["age_ms"].get<int>(), 300);
  const auto model = fixture->a->robot->state();
  EXPECT_EQ(result["positions"].size(), 7U);
  EXPECT_NEAR(result["battery"].get<int>(), model.battery_mv, 20);
  for (const char *field : {"sensor", "mic", "mic_analog", "motor_power"}) {
    EXPECT_TRUE(result[field].is_number_integer()) << field;
  }
}

TEST(Service, EveryCommandReachesTheRobot) {
  auto client = open_client();
  auto &robot = *fixture->a->robot;
  auto run = [&](json request) {
    request["robot"] = "a";
    request["id"] = json{{"n", request["cmd"]}};
    const json reply = ask(client, request);
    EXPECT_TRUE(reply.value("ok", false)) << request << " -> " << reply;
    EXPECT_EQ(reply["id"], request["id"]);
    EXPECT_EQ(reply["robot"], "a");
    EXPECT_EQ(reply["cmd"], request["cmd"]);
    return reply["result"];
  };

  json result = run({{"cmd", "move"}, {"motor", 2}, {"angle", 10}});
  EXPECT_EQ(result, json::parse(R"({"motor":2,"angle":55,"requested":10,"clamped":true,)"
                                R"("range":[55,125]})"));
  EXPECT_EQ(robot.state().targets[1], 55);
  run({{"cmd", "move"}, {"motor", 255}, {"angle", 100}, {"time_ms", 300}});
  EXPECT_EQ(robot.state().targets, (std::array<int, 7>{100, 100, 100, 100, 100, 100, 100}));
  result = run({{"cmd", "pose"}, {"angles", {10, 60, 70, 80, 130, 120, 170}}});
  EXPECT_EQ(result["angles"], json::parse("[10,60,70,80,125,120,170]"));
  EXPECT_EQ(result["clamped"], json::parse("[false,false,false,false,true,false,false]"));
  EXPECT_EQ(robot.state().targets, (std::array<int, 7>{10, 60, 70, 80, 125, 120, 170}));
  run({{"cmd", "pose"}, {"angles", {90, 90, 90, 90, 90, 90, 90}}, {"time_ms", 200}});
  EXPECT_EQ(robot.state().targets[0], 90);
  run({{"cmd", "move_relative"}, {"motor", 4}});
  EXPECT_TRUE(robot.state().released[3]);
  run({{"cmd", "adjust"}, {"motor", 3}, {"offset", -12}});
  EXPECT_EQ(robot.state().adjustments[2], -12);
  EXPECT_EQ(run({{"cmd", "power"}, {"on", true}, {"value", 640}})["on"], true);
  EXPECT_TRUE(robot.state().motor_power);
  EXPECT_EQ(robot.state().power_value, 640);
  run({{"cmd", "power"}, {"on", false}});
  EXPECT_FALSE(robot.state().motor_power);
  run({{"cmd", "start"}});
  EXPECT_TRUE(robot.state().started);
  EXPECT_EQ(run({{"cmd", "led"}, {"led", 3}, {"on", true}}), json::parse(R"({"led":3,"on":true})"));
  EXPECT_EQ(robot.state().leds_on, std::vector<int>{3});
  run({{"cmd", "led"}, {"led", 3}, {"on", false}});
  EXPECT_TRUE(robot.state().leds_on.empty());
  run({{"cmd", "tone"}, {"first", 440}, {"second", 120}});
  ASSERT_TRUE(robot.state().last_tone.has_value());
  EXPECT_EQ(robot.state().last_tone->frequency_hz, 440);
  EXPECT_EQ(run({{"cmd", "speed"}, {"speed", 120}})["speed"], 120);
  EXPECT_EQ(robot.state().voice_speed, 120);
  EXPECT_EQ(run({{"cmd", "say"}, {"text", "hello there"}})["text"], "hello there");
  EXPECT_EQ(robot.state().last_speech, "hello there");
  result = run({{"cmd", "query"}, {"query", "who"}});
  EXPECT_EQ(result, json::parse(R"({"query":"who","text":"WHO,TovSim,VR-0001"})"));
  result = run({{"cmd", "query"}, {"query", "init"}});
  EXPECT_EQ(result["text"], "INIT,0,0,-12,0,0,0,0,V,120");
  EXPECT_TRUE(fixture->a->logged(R"(rx "#810,2,-012\r\r")")) << "adjust's line on the wire";
}

// Several clients at once on both robots: each gets its own replies, in the
// order it asked, and each robot does what it was told.
TEST(Service, SeveralClientsOnTwoRobots) {
  constexpr int clients = 6;
  constexpr int requests = 12;
  std::vector<std::thread> threads;
  std::vector<int> failures(clients, 0);
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([c, &failures] {
      auto client = open_client();
      const std::string robot = c % 2 == 0 ? "a" : "b";
      // All requests first, then the replies: they must come back in order.
      for (int i = 0; i < requests; ++i) {
        const json request =
            i % 3 == 2
                ? json{{"cmd", "poll"}, {"robot", robot}, {"id", i}}
                : json{{"cmd", "speed"}, {"robot", robot}, {"speed", 100 + c * 10 + i}, {"id", i}};
        client.send_line(request.dump());
      }
      for (int i = 0; i < requests; ++i) {
        const json reply = parse_line(client.read_line(seconds{10}));
        if (reply["id"] != i || !reply.value("ok", false) || reply["robot"] != robot)
          ++failures[static_cast<std::size_t>(c)];
      }
    });
  }
  for (auto &thread : threads) thread.join();
  EXPECT_EQ(failures, std::vector<int>(clients, 0));
  // The last speed each robot got came from one of its own clients.
  EXPECT_EQ(fixture->a->robot->state().voice_speed % 10, (requests - 2) % 10);
  EXPECT_EQ(fixture->b->robot->state().voice_speed % 10, (requests - 2) % 10);
}

TEST(Service, WatchersGetTelemetryAtTheirRate) {
  auto fast = open_websocket("/ws?token=" + token);
  auto slow = open_client();
  fast->send_text(R"({"cmd":"watch","robot":"a","id":"w"})");
  slow.send_line(R"({"cmd":"watch","robot":"b","rate_hz":2})");
  std::map<std::string, int> fast_counts;
  int slow_count = 0;
  json fast_reply;
  const auto until = std::chrono::steady_clock::now() + seconds{2};
  while (std::chrono::steady_clock::now() < until) {
    while (auto message = fast->read_message(milliseconds{5})) {
      const json object = json::parse(*message);
      const std::string kind = object["class"];
      ++fast_counts[kind];
      if (kind == "reply") fast_reply = object;
      if (kind == "telemetry") {
        EXPECT_EQ(object["robot"], "a");
        EXPECT_EQ(object["positions"].size(), 7U);
      }
    }
    while (auto line = slow.read_line(milliseconds{5})) {
      const json object = json::parse(*line);
      if (object["class"] == "telemetry") ++slow_count;
    }
  }
  EXPECT_EQ(fast_reply["result"], json::parse(R"({"enable":true,"rate_hz":10})"));
  EXPECT_EQ(fast_counts["state"], 1);  // the robot's state when the watch began
  // 10 Hz and 2 Hz over 2 s.  A loaded machine polls the robots late, so
  // the lower bounds only ask that pushes come; the upper bounds are the
  // rate limits, which no load can raise.
  EXPECT_GE(fast_counts["telemetry"], 4);
  EXPECT_LE(fast_counts["telemetry"], 22);
  EXPECT_GE(slow_count, 1);
  EXPECT_LE(slow_count, 5);

  fast->send_text(R"({"cmd":"watch","enable":false})");
  std::this_thread::sleep_for(milliseconds{300});
  while (fast->read_message(milliseconds{50})) {
  }
  EXPECT_FALSE(fast->read_message(milliseconds{400})) << "telemetry after the watch ended";
}

TEST(Service, BadInputGetsAnErrorAndTheConnectionStays) {
  auto client = open_client();
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"{not json", "bad_request"},
      {"[1,2,3]", "bad_request"},
      {R"({"id":5})", "bad_request"},
      {R"({"cmd":17})", "bad_request"},
      {R"({"cmd":"fly","robot":"a"})", "unknown_command"},
      {R"({"cmd":"poll","robot":"zz"})", "unknown_robot"},
      {R"({"cmd":"poll"})", "bad_request"},  // four robots: which one?
      {R"({"cmd":"poll","robot":5})", "bad_request"},
      // The robot's limits: refused by the library, as every interface refuses them.
      {R"({"cmd":"move","robot":"a","motor":8,"angle":90})", "invalid_argument"},
      {R"({"cmd":"move","robot":"a","motor":255,"angle":90})", "invalid_argument"},
      {R"({"cmd":"move","robot":"a","motor":"2","angle":90})", "bad_request"},
      {R"({"cmd":"move","robot":"a","motor":2.5,"angle":90})", "bad_request"},
      {R"({"cmd":"move","robot":"a","motor":2,"angle":90,"time_ms":10000})", "invalid_argument"},
      {R"({"cmd":"move","robot":"a","motor":2,"angle":2147483648})", "bad_request"},
      {R"({"cmd":"move","robot":"a","motor":18446744073709551615,"angle":1})", "bad_request"},
      {R"({"cmd":"pose","robot":"a","angles":[1,2,3]})", "bad_request"},
      {R"({"cmd":"pose","robot":"a","angles":[1,2,3,4,5,6,"7"]})", "bad_request"},
      {R"({"cmd":"power","robot":"a","on":"yes"})", "bad_request"},
      {R"({"cmd":"power","robot":"a","on":true,"value":499})", "invalid_argument"},
      {R"({"cmd":"led","robot":"a","led":7,"on":true})", "invalid_argument"},
      {R"({"cmd":"tone","robot":"a","first":-1,"second":5})", "invalid_argument"},
      {R"({"cmd":"say","robot":"a","text":"0123456789012345678901234567890123456789"})",
       "invalid_argument"},
      {R"({"cmd":"say","robot":"a","text":"two\rlines"})", "invalid_argument"},
      {R"({"cmd":"speed","robot":"a","speed":49})", "invalid_argument"},
      {R"({"cmd":"query","robot":"a","query":"where"})", "bad_request"},
      {R"({"cmd":"watch","rate_hz":0})", "bad_request"},
      {R"({"cmd":"watch","rate_hz":51})", "bad_request"},
      {R"({"cmd":"move","robot":"t","motor":1,"angle":90})", "robot_not_ready"},
      {R"({"cmd":"devices","id":)" + std::string(40, '[') + std::string(40, ']') + "}",
       "bad_request"},
  };
  for (const auto &[request, name] : cases) {
    ASSERT_TRUE(client.send_line(request));
    const json reply = parse_line(client.read_line());
    ASSERT_TRUE(reply.is_object()) << request;
    EXPECT_EQ(reply["class"], "reply") << request;
    EXPECT_EQ(reply["ok"], false) << request;
    EXPECT_EQ(reply["error"]["name"], name) << request << " -> " << reply;
    EXPECT_TRUE(reply["error"]["message"].is_string());
    EXPECT_TRUE(reply["error"]["code"].is_number_integer());
    EXPECT_EQ(reply["error"]["sent"], false) << request;  // refused before reaching the robot
  }
  EXPECT_EQ(ask(client, {{"cmd", "move"}, {"robot", "a"}, {"motor", 2}, {"angle", 90}})["ok"],
            true);
  // Non-UTF-8 bytes inside a JSON string are malformed JSON, not a crash.
  ASSERT_TRUE(client.send_line("{\"cmd\":\"say\",\"robot\":\"a\",\"text\":\"\xff\xfe\"}"));
  EXPECT_EQ(parse_line(client.read_line())["error"]["code"], 400);

  // A line over 64 KiB: an error reply, then the daemon closes the connection.
  ASSERT_TRUE(client.send_raw(std::string(70 * 1024, 'x')));
  const json too_long = parse_line(client.read_line());
  EXPECT_EQ(too_long["error"]["code"], 413) << too_long;
  EXPECT_TRUE(client.wait_closed(seconds{5}));

  // The same over WebSocket.
  auto ws = open_websocket("/ws?token=" + token);
  ws->send_text("{]");
  EXPECT_EQ(parse_line(ws->read_message())["error"]["name"], "bad_request");
  ws->send_text(R"({"cmd":"poll","robot":"b","id":[1]})");
  const json poll = parse_line(ws->read_message());
  EXPECT_EQ(poll["ok"], true);
  EXPECT_EQ(poll["id"], json::parse("[1]"));
  ws->send_text(std::string(70 * 1024, ' '));
  EXPECT_EQ(parse_line(ws->read_message())["error"]["name"], "too_large");
  EXPECT_TRUE(ws->wait_closed(seconds{5}));
}

TEST(Service, HttpRefusesOtherHostsOriginsAndMissingTokens) {
  const std::string ws_target = "/ws?token=" + token;
  auto status = [](const std::string &target, const std::string &host, const std::string &origin) {
    return websocket_client(fixture->port, target, host, origin).status();
  };
  EXPECT_EQ(status(ws_target, authority(), own_origin()), 101);
  EXPECT_EQ(status(ws_target, "localhost:" + std::to_string(fixture->port),
                   "http://localhost:" + std::to_string(fixture->port)),
            101);
  EXPECT_EQ(status("/ws?token=s3cret%2Dtoken", authority(), own_origin()), 101);
  // DNS rebinding: another name that resolves here.
  EXPECT_EQ(status(ws_target, "evil.example:" + std::to_string(fixture->port), own_origin()), 421);
  EXPECT_EQ(status(ws_target, "127.0.0.1:1", own_origin()), 421);
  // Another page, or no page at all.
  EXPECT_EQ(status(ws_target, authority(), "http://evil.example"), 403);
  EXPECT_EQ(status(ws_target, authority(), "http://127.0.0.1:1"), 403);
  EXPECT_EQ(status(ws_target, authority(), "https://" + authority()), 403);
  EXPECT_EQ(status(ws_target, authority(), ""), 403);
  // The token: missing, wrong, a prefix of the right one.
  EXPECT_EQ(status("/ws", authority(), own_origin()), 401);
  EXPECT_EQ(status("/ws?token=wrong", authority(), own_origin()), 401);
  EXPECT_EQ(status("/ws?token=s3cret", authority(), own_origin()), 401);
  EXPECT_EQ(status("/other?token=" + token, authority(), own_origin()), 404);

  const auto page = http_exchange(
      fixture->port, "GET / HTTP/1.1\r\nHost: " + authority() + "\r\nConnection: close\r\n\r\n");
  EXPECT_TRUE(page.status == 200 || page.status == 404) << page.head;
  const auto missing =
      http_exchange(fixture->port, "GET /no/such/file HTTP/1.1\r\nHost: " + authority() +
                                       "\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(missing.status, 404);
  const auto rebound = http_exchange(
      fixture->port, "GET / HTTP/1.1\r\nHost: attacker.example\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(rebound.status, 421);
  const auto post =
      http_exchange(fixture->port, "POST / HTTP/1.1\r\nHost: " + authority() +
                                       "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(post.status, 405);
  const auto huge =
      http_exchange(fixture->port, "GET / HTTP/1.1\r\nHost: " + authority() +
                                       "\r\nX-Pad: " + std::string(20000, 'p') + "\r\n\r\n");
  EXPECT_EQ(huge.status, 413);

  // Off loopback only with a token: refused before anything is bound.
  child_process open_daemon({TOVLINKD_PATH, "--sim", "x", "--socket",
                             (fixture->dir / "x.sock").string(), "--listen", "0.0.0.0:0"});
  EXPECT_EQ(open_daemon.wait(seconds{10}), 2);
  EXPECT_TRUE(open_daemon.wait_for_line("needs --token-file", seconds{2}));
  EXPECT_FALSE(fs::exists(fixture->dir / "x.sock"));
}

// A client that never reads is dropped; the others are not slowed down.
TEST(Service, ClientThatStopsReadingIsDropped) {
  line_client stalled(fixture->socket_path);
  ASSERT_TRUE(stalled.connected());
  std::string requests;
  for (int i = 0; i < 4000; ++i)
    requests += R"({"cmd":"devices"})"
                "\n";
  std::thread writer([&] {
    for (int round = 0; round < 5; ++round) {
      if (!stalled.send_raw(requests)) break;
    }
  });
  auto other = open_client();
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(ask(other, {{"cmd", "poll"}, {"robot", "b"}}, seconds{2})["ok"], true);
  }
  writer.join();
  EXPECT_TRUE(stalled.wait_closed(seconds{10})) << "the stalled client was never dropped";
  EXPECT_TRUE(fixture->daemon->wait_for_line("stopped reading", seconds{1}));
}

TEST(Service, ThousandConnectsAndTheClientLimit) {
  for (int i = 0; i < 1000; ++i) {
    line_client client(fixture->socket_path);
    ASSERT_TRUE(client.connected()) << "connect " << i;
    ASSERT_TRUE(client.read_line()) << "banner " << i;
  }
  // Over the limit: the extra clients hear why and are closed.
  std::vector<std::unique_ptr<line_client>> crowd;
  int refused = 0;
  for (int i = 0; i < max_clients + 6; ++i) {
    crowd.push_back(std::make_unique<line_client>(fixture->socket_path));
    const json first = parse_line(crowd.back()->read_line());
    if (first["class"] == "reply" && first["error"]["name"] == "busy") ++refused;
  }
  EXPECT_GE(refused, 6);
  crowd.clear();
  std::this_thread::sleep_for(milliseconds{200});
  auto client = open_client();
  EXPECT_EQ(ask(client, {{"cmd", "devices"}})["ok"], true);
}

TEST(Service, LostRobotIsReportedAndReconnected) {
  const std::string link = (fixture->dir / "t").string();
  auto watcher = open_client();
  watcher.send_line(R"({"cmd":"watch","robot":"t"})");
  auto next_state = [&](milliseconds limit) -> std::string {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      const json object = parse_line(watcher.read_line(milliseconds{100}));
      if (object.is_object() && object.value("class", "") == "state") return object["state"];
    }
    return "";
  };
  EXPECT_EQ(next_state(seconds{2}), "lost");  // the state when the watch began

  // A robot appears on the link and unplugs itself a few seconds later.
  auto first = std::make_unique<child_process>(
      std::vector<std::string>{TOVLINK_SIM_PATH, "--link", link, "--unplug-after", "9"});
  ASSERT_EQ(next_state(seconds{10}), "ready");
  EXPECT_EQ(ask(watcher, {{"cmd", "led"}, {"robot", "t"}, {"led", 1}, {"on", true}})["ok"], true);
  // The daemon remembers the LED it switched: in polls and pushed telemetry.
  const json remembered = json::parse(R"([true,null,null,null,null,null])");
  EXPECT_EQ(ask(watcher, {{"cmd", "poll"}, {"robot", "t"}})["result"]["leds"], remembered);
  const auto telemetry_deadline = std::chrono::steady_clock::now() + seconds{3};
  json pushed;
  while (std::chrono::steady_clock::now() < telemetry_deadline && !pushed.is_object()) {
    const json object = parse_line(watcher.read_line(milliseconds{200}));
    if (object.is_object() && object.value("class", "") == "telemetry") pushed = object;
  }
  ASSERT_TRUE(pushed.is_object()) << "no telemetry pushed";
  EXPECT_EQ(pushed["leds"], remembered);
  EXPECT_NEAR(static_cast<double>(pushed["time_ms"].get<long long>()),
              static_cast<double>(std::chrono::duration_cast<milliseconds>(
                                      std::chrono::system_clock::now().time_since_epoch())
                                      .count()),
              2000.0);
  EXPECT_EQ(next_state(seconds{10}), "lost");
  // The sim ends right after unplugging; the daemon saw it within a poll period.
  EXPECT_EQ(first->wait(seconds{5}), 0);
  EXPECT_EQ(state_of(watcher, "t"), "lost");
  const json refused = ask(watcher, {{"cmd", "start"}, {"robot", "t"}});
  EXPECT_EQ(refused["error"]["code"], 409);

  // A new robot on the same link is found on a later attempt.
  fixture->t_robot = std::make_unique<child_process>(
      std::vector<std::string>{TOVLINK_SIM_PATH, "--link", link, "--log"});
  EXPECT_EQ(next_state(seconds{10}), "ready");
  EXPECT_EQ(ask(watcher, {{"cmd", "query"}, {"robot", "t"}, {"query", "who"}})["ok"], true);
  // A robot found again may have been switched off: its LEDs are forgotten.
  EXPECT_EQ(ask(watcher, {{"cmd", "poll"}, {"robot", "t"}})["result"]["leds"],
            json::parse("[null,null,null,null,null,null]"));
}

// The readings of the last minutes, oldest first: all of them, the last
// second's, a thinned few; and a daemon told to keep none.
TEST(Service, HistoryOfTheRecentReadings) {
  auto client = open_client();
  const json all = ask(client, {{"cmd", "history"}, {"robot", "a"}});
  ASSERT_EQ(all["ok"], true) << all;
  const auto &result = all["result"];
  EXPECT_EQ(result["robot"], "a");
  EXPECT_EQ(result["history_s"], 300);
  const auto &samples = result["samples"];
  ASSERT_GE(samples.size(), 5U) << "the robot has been read for a minute";
  const long long now = result["now_ms"];
  for (std::size_t i = 0; i < samples.size(); ++i) {
    EXPECT_EQ(samples[i]["positions"].size(), 7U);
    EXPECT_LE(samples[i]["time_ms"].get<long long>(), now);
    if (i > 0) {
      EXPECT_LT(samples[i - 1]["time_ms"], samples[i]["time_ms"]);
    }
  }
  ASSERT_EQ(ask(client, {{"cmd", "watch"}, {"robot", "a"}, {"rate_hz", 10}})["ok"], true);
  std::this_thread::sleep_for(milliseconds{1500});
  const json recent = ask(client, {{"cmd", "history"}, {"robot", "a"}, {"since_ms", 1000}});
  const auto &last_second = recent["result"]["samples"];
  EXPECT_GE(last_second.size(), 3U) << recent;
  EXPECT_LE(last_second.size(), 11U) << "more than one reading per poll";
  for (const auto &sample : last_second) {
    EXPECT_GE(sample["time_ms"].get<long long>(),
              recent["result"]["now_ms"].get<long long>() - 1000);
  }
  const json few = ask(client, {{"cmd", "history"}, {"robot", "a"}, {"max_samples", 3}});
  EXPECT_EQ(few["result"]["samples"].size(), 3U) << few;
  EXPECT_EQ(ask(client, {{"cmd", "history"}, {"robot", "a"}, {"since_ms", -1}})["error"]["code"],
            400);

  // --history 0: nothing kept, however long the robot has been read.
  const std::string quiet_socket = (fixture->dir / "quiet.sock").string();
  child_process quiet{{TOVLINKD_PATH, "--sim", "q", "--history", "0", "--socket", quiet_socket}};
  ASSERT_TRUE(quiet.wait_for_line("robot q: ready", seconds{15}));
  line_client other(quiet_socket);
  ASSERT_TRUE(other.read_line());
  // Ready comes just before the first reading.
  const auto read_deadline = std::chrono::steady_clock::now() + seconds{3};
  while (ask(other, {{"cmd", "poll"}})["ok"] != true &&
         std::chrono::steady_clock::now() < read_deadline) {
    std::this_thread::sleep_for(milliseconds{100});
  }
  ASSERT_EQ(ask(other, {{"cmd", "poll"}})["ok"], true);
  const json none = ask(other, {{"cmd", "history"}});
  EXPECT_EQ(none["result"]["history_s"], 0);
  EXPECT_TRUE(none["result"]["samples"].empty()) << none;
}

// Last: SIGTERM ends every robot's link the normal way and removes the socket.
TEST(Service, CleanShutdown) {
  ASSERT_TRUE(fs::exists(fixture->socket_path));
  auto client = open_client();
  EXPECT_FALSE(fixture->a->logged("host closed the port"));
  EXPECT_EQ(fixture->daemon->stop(SIGTERM, seconds{10}), 0);
  EXPECT_FALSE(fs::exists(fixture->socket_path));
  EXPECT_TRUE(client.wait_closed(seconds{2}));
  EXPECT_TRUE(fixture->a->logged("host closed the port"));
  EXPECT_TRUE(fixture->b->logged("host closed the port"));
  if (fixture->t_robot) {
    EXPECT_TRUE(fixture->t_robot->wait_for_line("host closed the port", seconds{2}));
  }
}

}  // namespace

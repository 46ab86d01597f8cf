// tovlinkd's motions end to end: one daemon with three virtual robots in
// this process (so each case can read the robot's time-stamped wire log,
// move it by hand, or unplug it), talked to over its Unix socket.  The
// cases run in the order written and share the daemon.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <signal.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "daemon_client.hpp"
#include "logged_robot.hpp"

namespace {

namespace fs = std::filesystem;
using namespace tovlink::service::testing;
using std::chrono::milliseconds;
using std::chrono::seconds;

struct daemon_fixture {
  fs::path dir;
  std::string socket_path;
  std::unique_ptr<logged_robot> a;
  std::unique_ptr<logged_robot> b;
  std::unique_ptr<logged_robot> c;  // unplugged by a case
  std::unique_ptr<child_process> daemon;
};

daemon_fixture *fixture = nullptr;

line_client open_client() {
  return open_daemon_client(fixture->socket_path);
}

// The next pushed motion object for `robot` whose state is `state`, within
// `limit`; every motion object read on the way is appended to `seen`.
json next_motion(line_client &client, const std::string &state, milliseconds limit,
                 std::vector<json> *seen = nullptr) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    const auto left =
        std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
    const json message = parse_line(client.read_line(std::max(left, milliseconds{1})));
    if (!message.is_object()) continue;
    if (message.value("class", "") != "motion") continue;
    if (seen) seen->push_back(message);
    if (message.value("state", "") == state) return message;
  }
  return json{};
}

bool wait_ready(line_client &client, const std::string &robot, milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    const json reply = ask(client, {{"cmd", "devices"}});
    for (const auto &entry : reply["result"]["robots"]) {
      if (entry["name"] == robot && entry["state"] == "ready") return true;
    }
    std::this_thread::sleep_for(milliseconds{100});
  }
  return false;
}

std::string error_name(const json &reply) {
  return reply.value("error", json::object()).value("name", "");
}

class daemon_environment : public ::testing::Environment {
 public:
  void SetUp() override {
    auto *f = new daemon_fixture;
    fixture = f;
    char pattern[] = "/tmp/tovlinkd-motion-XXXXXX";
    f->dir = ::mkdtemp(pattern);
    f->socket_path = (f->dir / "d.sock").string();
    f->a = std::make_unique<logged_robot>((f->dir / "a").string());
    f->b = std::make_unique<logged_robot>((f->dir / "b").string());
    f->c = std::make_unique<logged_robot>((f->dir / "c").string());
    f->daemon = std::make_unique<child_process>(std::vector<std::string>{
        TOVLINKD_PATH, "--config", "", "--robot", "a=" + (f->dir / "a").string(), "--robot",
        "b=" + (f->dir / "b").string(), "--robot", "c=" + (f->dir / "c").string(), "--socket",
        f->socket_path, "--motions-dir", (f->dir / "motions").string()});
    ASSERT_TRUE(f->daemon->wait_for_line("listening on", seconds{10}))
        << "the daemon did not start";
    auto client = open_client();
    for (const char *robot : {"a", "b", "c"}) {
      ASSERT_TRUE(wait_ready(client, robot, seconds{20})) << "robot " << robot << " never ready";
    }
  }
  void TearDown() override {
    if (!fixture) return;
    fixture->daemon.reset();
    fixture->a.reset();
    fixture->b.reset();
    fixture->c.reset();
    std::error_code ignored;
    fs::remove_all(fixture->dir, ignored);
    delete fixture;
    fixture = nullptr;
  }
};

const auto *const environment = ::testing::AddGlobalTestEnvironment(new daemon_environment);

// Each keyframe's move reaches the wire in order, when the move towards it
// must begin (at the previous keyframe's time; the first at once), timed
// to arrive at its keyframe.  Loose bounds: this is about correctness, the
// benchmark measures timing.
void expect_on_time(const std::vector<wire_move> &moves, const std::vector<long long> &due_ms) {
  ASSERT_EQ(moves.size(), due_ms.size());
  for (std::size_t k = 1; k < moves.size(); ++k) {
    const long long at = moves[k].stamp_ms - moves[0].stamp_ms;
    EXPECT_NEAR(static_cast<double>(at), static_cast<double>(due_ms[k - 1] - due_ms[0]), 150.0)
        << "keyframe " << k;
    EXPECT_EQ(moves[k].time_ms, due_ms[k] - due_ms[k - 1]) << "keyframe " << k;
  }
}

TEST(MotionService, PlaysAShippedMotionByNameAndAnInlineOneOnTheWireInOrder) {
  auto watcher = open_client();
  ASSERT_EQ(ask(watcher, {{"cmd", "watch"}, {"robot", "a"}, {"rate_hz", 1}})["ok"], true);
  auto client = open_client();

  // The shipped motions are listed, read-only, without any saved.
  const json list = ask(client, {{"cmd", "motions"}, {"action", "list"}});
  std::vector<std::string> names;
  for (const auto &entry : list["result"]["motions"]) {
    names.push_back(entry["name"]);
    EXPECT_TRUE(entry["shipped"].get<bool>());
  }
  EXPECT_EQ(names, (std::vector<std::string>{"bow", "nod", "wave"}));

  const json nod = ask(client, {{"cmd", "motions"}, {"action", "get"}, {"name", "nod"}});
  ASSERT_EQ(nod["ok"], true) << nod.dump();
  std::vector<long long> nod_times;
  for (const auto &keyframe : nod["result"]["motion"]["keyframes"]) {
    nod_times.push_back(keyframe["time_ms"]);
  }

  auto from = fixture->a->lines();
  const json played = ask(client, {{"cmd", "play"}, {"robot", "a"}, {"name", "nod"}});
  ASSERT_EQ(played["ok"], true) << played.dump();
  EXPECT_EQ(played["robot"], "a");
  EXPECT_EQ(played["result"]["motion"], "nod");
  EXPECT_EQ(played["result"]["keyframes"], nod_times.size());
  std::vector<json> progress;
  const json finished = next_motion(watcher, "finished", seconds{10}, &progress);
  ASSERT_TRUE(finished.is_object()) << "no finished progress pushed";
  EXPECT_EQ(finished["robot"], "a");
  EXPECT_EQ(finished["motion"], "nod");
  EXPECT_EQ(finished["keyframes"], nod_times.size());
  // One push for each keyframe sent, then the end.
  EXPECT_EQ(progress.size(), nod_times.size() + 1);
  expect_on_time(fixture->a->moves(from), nod_times);

  // Inline, at twice the speed, with an angle out of motor 1's range.
  const json inline_motion = {{"format", 1},
                              {"name", "three"},
                              {"keyframes",
                               {{{"time_ms", 0}, {"angles", {90, 90, 90, 90, 90, 90, 90}}},
                                {{"time_ms", 600}, {"angles", {500, 100, 90, 90, 90, 90, 90}}},
                                {{"time_ms", 1200}, {"angles", {80, 120, 90, 90, 90, 90, 90}}}}},
                              {"events",
                               {{{"time_ms", 0}, {"led", 5}, {"on", true}},
                                {{"time_ms", 1200}, {"led", 6}, {"on", true}}}}};
  from = fixture->a->lines();
  const json fast =
      ask(client, {{"cmd", "play"}, {"robot", "a"}, {"motion", inline_motion}, {"speed", 2}});
  ASSERT_EQ(fast["ok"], true) << fast.dump();
  EXPECT_EQ(fast["result"]["duration_ms"], 1200);
  ASSERT_EQ(fast["result"]["clamped"].size(), 1u);
  EXPECT_EQ(fast["result"]["clamped"][0]["keyframe"], 1);
  EXPECT_EQ(fast["result"]["clamped"][0]["motor"], 1);
  EXPECT_EQ(fast["result"]["clamped"][0]["requested"], 500);
  ASSERT_TRUE(next_motion(watcher, "finished", seconds{10}).is_object());
  const auto moves = fixture->a->moves(from);
  expect_on_time(moves, {0, 300, 600});
  ASSERT_EQ(moves.size(), 3u);
  EXPECT_EQ(moves[1].angles[0], fast["result"]["clamped"][0]["sent"].get<int>());
  EXPECT_EQ(moves[1].angles[1], 100);
  EXPECT_EQ(moves[2].angles[1], 120);
  EXPECT_EQ(moves[2].time_ms, 300);  // the robot moves between keyframes in the scaled time
  // The LEDs the motion switched are remembered as a client's would be.
  const json leds = ask(client, {{"cmd", "poll"}, {"robot", "a"}})["result"]["leds"];
  EXPECT_EQ(leds[4], true) << leds.dump();
  EXPECT_EQ(leds[5], true) << leds.dump();

  // Refusals before anything is sent.
  json bad = inline_motion;
  bad["keyframes"][1]["angles"][4] = "x";
  const json refused = ask(client, {{"cmd", "play"}, {"robot", "a"}, {"motion", bad}});
  EXPECT_EQ(error_name(refused), "bad_motion");
  EXPECT_NE(refused["error"]["message"].get<std::string>().find("keyframes[1].angles[4]"),
            std::string::npos)
      << refused.dump();
  EXPECT_EQ(error_name(ask(client, {{"cmd", "play"}, {"robot", "a"}, {"name", "nothing"}})),
            "unknown_motion");
  // The limits describe gives clients are the ones play and record hold to.
  const json limits = ask(client, {{"cmd", "describe"}})["result"]["motion"];
  ASSERT_TRUE(limits.is_object()) << "describe has no motion section";
  const double fastest = limits["speed"][1];
  const long long shortest_interval = limits["interval_ms"][0];
  auto play_nod = [&](const std::string &field, const json &value) {
    return error_name(
        ask(client, {{"cmd", "play"}, {"robot", "a"}, {"name", "nod"}, {field, value}}));
  };
  EXPECT_EQ(play_nod("speed", fastest * 1.01), "bad_request");
  EXPECT_EQ(play_nod("loops", limits["loops_min"].get<int>() - 1), "bad_request");
  EXPECT_EQ(error_name(ask(client, {{"cmd", "record"},
                                    {"robot", "a"},
                                    {"action", "start"},
                                    {"interval_ms", shortest_interval - 1}})),
            "bad_request");
  const json fastest_play =
      ask(client, {{"cmd", "play"}, {"robot", "a"}, {"name", "nod"}, {"speed", fastest}});
  EXPECT_EQ(fastest_play["ok"], true) << fastest_play.dump();
  EXPECT_TRUE(next_motion(watcher, "finished", seconds{10}).is_object());
}

TEST(MotionService, WhileAMotionPlaysMotorsAreHeldAndASecondClientPausesResumesAndStopsIt) {
  auto player = open_client();
  auto other = open_client();
  const auto from = fixture->a->lines();
  const json played = ask(player, {{"cmd", "play"}, {"robot", "a"}, {"name", "wave"}});
  ASSERT_EQ(played["ok"], true) << played.dump();

  const json move = ask(other, {{"cmd", "move"}, {"robot", "a"}, {"motor", 1}, {"angle", 80}});
  EXPECT_EQ(error_name(move), "motion_playing");
  EXPECT_EQ(move["error"]["code"], 409);
  EXPECT_EQ(move["error"]["sent"], false);
  EXPECT_EQ(move["error"]["message"],
            "move: the robot is playing the motion \"wave\" (stop it first)");
  EXPECT_EQ(error_name(ask(other, {{"cmd", "power"}, {"robot", "a"}, {"on", false}})),
            "motion_playing");
  EXPECT_EQ(ask(other, {{"cmd", "led"}, {"robot", "a"}, {"led", 3}, {"on", true}})["ok"], true);
  EXPECT_EQ(error_name(ask(other, {{"cmd", "play"}, {"robot", "a"}, {"name", "nod"}})),
            "motion_playing");
  // Another robot is free.
  EXPECT_EQ(ask(other, {{"cmd", "move"}, {"robot", "b"}, {"motor", 1}, {"angle", 80}})["ok"], true);

  const json paused = ask(other, {{"cmd", "pause"}, {"robot", "a"}});
  ASSERT_EQ(paused["ok"], true) << paused.dump();
  EXPECT_EQ(paused["result"]["state"], "paused");
  EXPECT_EQ(paused["result"]["motion"], "wave");
  const auto moves_when_paused = fixture->a->moves(from).size();
  std::this_thread::sleep_for(milliseconds{900});  // two keyframes' worth of wave
  EXPECT_EQ(fixture->a->moves(from).size(), moves_when_paused) << "moves sent while paused";
  EXPECT_EQ(
      error_name(
          ask(other, {{"cmd", "pose"}, {"robot", "a"}, {"angles", {90, 90, 90, 90, 90, 90, 90}}})),
      "motion_playing");
  EXPECT_EQ(ask(other, {{"cmd", "resume"}, {"robot", "a"}})["result"]["state"], "playing");
  // The rest of the schedule moved by the pause: wave's third move is due
  // at 800 ms of motion time.
  std::this_thread::sleep_for(milliseconds{1100});
  EXPECT_GT(fixture->a->moves(from).size(), moves_when_paused) << "nothing sent after resume";

  const auto lines_before_stop = fixture->a->moves(from).size();
  const json stopped = ask(other, {{"cmd", "stop"}, {"robot", "a"}});
  ASSERT_EQ(stopped["ok"], true) << stopped.dump();
  EXPECT_EQ(stopped["result"]["state"], "stopped");
  EXPECT_LT(stopped["result"]["keyframe"].get<int>(), 7);
  // Stop sends nothing, and nothing follows it.
  std::this_thread::sleep_for(milliseconds{600});
  EXPECT_EQ(fixture->a->moves(from).size(), lines_before_stop);
  EXPECT_EQ(error_name(ask(other, {{"cmd", "stop"}, {"robot", "a"}})), "no_motion");
  EXPECT_EQ(error_name(ask(other, {{"cmd", "resume"}, {"robot", "a"}})), "no_motion");
  EXPECT_EQ(ask(other, {{"cmd", "move"}, {"robot", "a"}, {"motor", 1}, {"angle", 80}})["ok"], true);
}

TEST(MotionService, TeachingByHandRecordsKeyframesThatFollowTheArm) {
  auto client = open_client();
  ASSERT_EQ(ask(client, {{"cmd", "power"}, {"robot", "b"}, {"on", false}})["ok"], true);
  EXPECT_EQ(error_name(ask(client, {{"cmd", "record"}, {"robot", "b"}, {"action", "stop"}})),
            "no_recording");
  const json started =
      ask(client, {{"cmd", "record"}, {"robot", "b"}, {"action", "start"}, {"interval_ms", 20}});
  ASSERT_EQ(started["ok"], true) << started.dump();
  EXPECT_EQ(started["result"], (json{{"recording", true}, {"interval_ms", 20}}));
  EXPECT_EQ(error_name(ask(client, {{"cmd", "record"}, {"robot", "b"}, {"action", "start"}})),
            "recording");

  // Motor 7 up from 90 to 150 and back down to 110, a step every 40 ms.
  for (int angle = 90; angle <= 150; angle += 5) {
    fixture->b->robot->move_by_hand(7, angle);
    std::this_thread::sleep_for(milliseconds{40});
  }
  for (int angle = 150; angle >= 110; angle -= 5) {
    fixture->b->robot->move_by_hand(7, angle);
    std::this_thread::sleep_for(milliseconds{40});
  }
  std::this_thread::sleep_for(milliseconds{200});
  const json stopped = ask(client, {{"cmd", "record"},
                                    {"robot", "b"},
                                    {"action", "stop"},
                                    {"tolerance", 3},
                                    {"name", "taught"}});
  ASSERT_EQ(stopped["ok"], true) << stopped.dump();
  const auto &result = stopped["result"];
  EXPECT_GT(result["samples"].get<int>(), 20);
  const auto &keyframes = result["motion"]["keyframes"];
  EXPECT_EQ(result["keyframes"], keyframes.size());
  ASSERT_GE(keyframes.size(), 3u);
  EXPECT_LT(keyframes.size(), 12u);  // reduced, not every sample
  EXPECT_EQ(result["motion"]["name"], "taught");
  int highest = 0;
  for (const auto &keyframe : keyframes)
    highest = std::max(highest, keyframe["angles"][6].get<int>());
  EXPECT_NEAR(highest, 150, 3);
  EXPECT_NEAR(keyframes.front()["angles"][6].get<int>(), 90, 3);
  EXPECT_NEAR(keyframes.back()["angles"][6].get<int>(), 110, 3);
  EXPECT_EQ(error_name(ask(client, {{"cmd", "record"}, {"robot", "b"}, {"action", "stop"}})),
            "no_recording");

  // Saved under its name, it is listed, read back and played by name.
  const json saved =
      ask(client, {{"cmd", "motions"}, {"action", "save"}, {"motion", result["motion"]}});
  ASSERT_EQ(saved["ok"], true) << saved.dump();
  EXPECT_EQ(saved["result"]["name"], "taught");
  EXPECT_TRUE(fs::exists(fixture->dir / "motions" / "taught.json"));
  EXPECT_EQ(fs::status(fixture->dir / "motions").permissions() & fs::perms::others_all,
            fs::perms::none);
  const json got = ask(client, {{"cmd", "motions"}, {"action", "get"}, {"name", "taught"}});
  EXPECT_EQ(got["result"]["motion"]["keyframes"], keyframes);
  ASSERT_EQ(ask(client, {{"cmd", "power"}, {"robot", "b"}, {"on", true}})["ok"], true);
  const auto from = fixture->b->lines();
  ASSERT_EQ(ask(client, {{"cmd", "play"}, {"robot", "b"}, {"name", "taught"}})["ok"], true);
  const auto duration = keyframes.back()["time_ms"].get<int>();
  std::this_thread::sleep_for(milliseconds{duration + 300});
  EXPECT_EQ(fixture->b->moves(from).size(), keyframes.size());
}

TEST(MotionService, TheMotionsFolderSavesShadowsAndDeletesButKeepsShippedMotions) {
  auto client = open_client();
  const auto list_of = [&] {
    std::map<std::string, bool> shipped;
    const json reply = ask(client, {{"cmd", "motions"}, {"action", "list"}});
    for (const auto &entry : reply["result"]["motions"]) {
      shipped[entry["name"].get<std::string>()] = entry["shipped"].get<bool>();
    }
    return shipped;
  };
  json nod =
      ask(client, {{"cmd", "motions"}, {"action", "get"}, {"name", "nod"}})["result"]["motion"];
  nod["keyframes"].erase(nod["keyframes"].size() - 1);
  ASSERT_EQ(ask(client, {{"cmd", "motions"}, {"action", "save"}, {"motion", nod}})["ok"], true);
  ASSERT_EQ(list_of().count("nod"), 1u);
  EXPECT_FALSE(list_of().at("nod"));  // the user's nod shadows the shipped one
  EXPECT_EQ(
      ask(client,
          {{"cmd", "motions"}, {"action", "get"}, {"name", "nod"}})["result"]["motion"]["keyframes"]
          .size(),
      nod["keyframes"].size());
  EXPECT_EQ(ask(client, {{"cmd", "motions"}, {"action", "delete"}, {"name", "nod"}})["result"],
            (json{{"name", "nod"}}));
  EXPECT_TRUE(list_of().at("nod"));  // the shipped one again
  const json shipped = ask(client, {{"cmd", "motions"}, {"action", "delete"}, {"name", "nod"}});
  EXPECT_EQ(error_name(shipped), "shipped_motion");
  EXPECT_EQ(shipped["error"]["code"], 409);
  EXPECT_EQ(error_name(ask(client, {{"cmd", "motions"}, {"action", "delete"}, {"name", "taught"}})),
            "");
  EXPECT_EQ(list_of().count("taught"), 0u);
  EXPECT_EQ(error_name(ask(client, {{"cmd", "motions"}, {"action", "delete"}, {"name", "taught"}})),
            "unknown_motion");

  for (const char *name : {"../escape", ".hidden", "a/b", ""}) {
    json named = nod;
    named["name"] = name;
    EXPECT_EQ(error_name(ask(client, {{"cmd", "motions"}, {"action", "save"}, {"motion", named}})),
              "bad_motion")
        << name;
    EXPECT_EQ(error_name(ask(client, {{"cmd", "motions"}, {"action", "get"}, {"name", name}})),
              "bad_motion")
        << name;
  }
  EXPECT_FALSE(fs::exists(fixture->dir / "escape.json"));
  EXPECT_EQ(error_name(ask(client, {{"cmd", "motions"}, {"action", "save"}, {"motion", "nod"}})),
            "bad_request");
  EXPECT_EQ(error_name(ask(client, {{"cmd", "motions"}, {"action", "rename"}})), "bad_request");
}

TEST(MotionService, ARobotLostMidMotionEndsThePlayFailedWithLinkLost) {
  auto watcher = open_client();
  ASSERT_EQ(ask(watcher, {{"cmd", "watch"}, {"robot", "c"}, {"rate_hz", 1}})["ok"], true);
  auto client = open_client();
  ASSERT_EQ(ask(client, {{"cmd", "play"}, {"robot", "c"}, {"name", "wave"}, {"loops", 0}})["ok"],
            true);
  ASSERT_TRUE(next_motion(watcher, "playing", seconds{3}).is_object());
  fixture->c->robot->stop();  // unplugged
  const json failed = next_motion(watcher, "failed", seconds{10});
  ASSERT_TRUE(failed.is_object()) << "no failed progress after the robot was lost";
  EXPECT_EQ(failed["motion"], "wave");
  EXPECT_EQ(failed["error"]["name"], "link_lost");
  // Nothing plays any more (the robot may not even count as lost yet: the
  // player can meet the failed port before the robot's poll does).
  const std::string after = error_name(ask(client, {{"cmd", "stop"}, {"robot", "c"}}));
  EXPECT_TRUE(after == "no_motion" || after == "robot_not_ready") << after;
}

TEST(MotionService, TheDaemonStopsCleanlyWhileMotionsPlayAndRecordingsRun) {
  auto watcher = open_client();
  ASSERT_EQ(ask(watcher, {{"cmd", "watch"}, {"robot", "a"}, {"rate_hz", 1}})["ok"], true);
  ASSERT_EQ(ask(watcher, {{"cmd", "play"}, {"robot", "a"}, {"name", "wave"}, {"loops", 0}})["ok"],
            true);
  ASSERT_EQ(ask(watcher, {{"cmd", "record"}, {"robot", "b"}, {"action", "start"}})["ok"], true);
  ASSERT_TRUE(next_motion(watcher, "playing", seconds{3}).is_object());
  // Each robot's thread ends its play and its recording before the robot's
  // connection goes, the normal way; nothing is left running.
  EXPECT_EQ(fixture->daemon->stop(SIGTERM, seconds{10}), 0);
  EXPECT_TRUE(fixture->daemon->has_line("stopped"));
  EXPECT_FALSE(fixture->daemon->has_line("internal error"));
  // The robot saw its link end the normal way.
  std::lock_guard lock(fixture->a->mutex);
  EXPECT_TRUE(std::any_of(fixture->a->log.begin(), fixture->a->log.end(), [](const auto &line) {
    return line.find("host closed the port") != std::string::npos;
  }));
}

}  // namespace

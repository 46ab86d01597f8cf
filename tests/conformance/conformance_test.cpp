// The contract's table of cases (cases.json) against the C++ API, the C
// interface of sessions, the 34-function C API and the service's socket
// protocol, each driving virtual robots whose wire
// logs show what reached them.  The tool and the Python package run the same
// table from their own tests.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "child_process.hpp"
#include "clients.hpp"
#include "conformance_support.hpp"
#include "tovlink.h"
#include "tovlink/robot.hpp"
#include "tovlink/session.h"
#include "tovlink_sim/virtual_robot.hpp"

namespace {

using namespace tovlink::conformance;

// An interface under test: runs a case's operation on the robot for `peer`,
// then the marker query ("info"), whose line ends the case's wire bytes.
struct interface_runner {
  std::function<outcome(const json &test)> run;
  std::function<void(const std::string &peer)> marker;
};

// The robots every runner drives: a well-behaved one and one per peer fault.
class robots {
 public:
  explicit robots(const fs::path &dir) : dir_(dir) {
    for (const std::string peer : {"", "ignore_who"}) {
      by_peer_.emplace(peer, std::make_unique<logged_robot>(link(peer), peer));
    }
  }
  std::string link(const std::string &peer) const {
    return (dir_ / (peer.empty() ? "plain" : peer)).string();
  }
  logged_robot &at(const std::string &peer) { return *by_peer_.at(peer); }

  void run_table(
      const json &cases, interface_runner &runner, reports tells,
      const std::function<json(const json &)> &adapt = [](const json &t) { return t; }) {
    for (const auto &original : cases) {
      const json test = adapt(original);
      const std::string peer = test.value("peer", "");
      auto &robot = at(peer);
      const auto from = robot.mark();
      const outcome got = runner.run(test);
      runner.marker(peer);
      check_case(test, got, robot.received_until(from, marker_line), tells);
    }
  }

 private:
  fs::path dir_;
  std::map<std::string, std::unique_ptr<logged_robot>> by_peer_;
};

std::array<int, tovlink::motor_count> seven(const json &angles) {
  std::array<int, tovlink::motor_count> out{};
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = angles.at(i).get<int>();
  return out;
}

// --- The C++ API ------------------------------------------------------------

json run_on_robot(tovlink::Robot &robot, const std::string &op, const json &args) {
  using std::chrono::milliseconds;
  const auto time = [&]() -> std::optional<milliseconds> {
    if (!args.contains("time_ms")) return std::nullopt;
    return milliseconds{args.at("time_ms").get<int>()};
  }();
  if (op == "move") {
    const int motor = args.at("motor");
    const int angle = args.at("angle");
    if (motor == tovlink::all_motors && time) {
      return {{"angles", robot.move_all(angle, *time)}};
    }
    const int sent = time ? robot.move(motor, angle, *time) : robot.move(motor, angle);
    const auto range = tovlink::angle_range(motor);
    return {{"angle", sent}, {"range", {range.low, range.high}}};
  }
  if (op == "pose") {
    const auto angles = seven(args.at("angles"));
    return {{"angles", time ? robot.pose(angles, *time) : robot.pose(angles)}};
  }
  if (op == "move_relative") {
    time ? robot.move_relative(args.at("motor"), *time) : robot.move_relative(args.at("motor"));
  } else if (op == "adjust") {
    robot.adjust(args.at("motor"), args.at("offset"));
  } else if (op == "power") {
    if (args.at("on").get<bool>()) {
      robot.power_on(args.value("value", tovlink::default_power_value));
    } else {
      robot.power_off();
    }
  } else if (op == "led") {
    args.at("on").get<bool>() ? robot.led_on(args.at("led")) : robot.led_off(args.at("led"));
  } else if (op == "tone") {
    robot.tone(args.at("first"), args.at("second"));
  } else if (op == "say") {
    robot.say(args.at("text").get<std::string>());
  } else if (op == "speed") {
    robot.speech_speed(args.at("speed"));
  } else if (op == "query") {
    tovlink::Query query{};
    EXPECT_TRUE(tovlink::query_from_name(args.at("query").get<std::string>(), query));
    return {{"text", robot.query(query)}};
  } else {
    ADD_FAILURE() << "no C++ mapping for " << op;
  }
  return json::object();
}

TEST(Conformance, CxxApi) {
  const json cases = load_cases();
  temporary_dir dir;
  robots peers(dir.path());
  std::map<std::string, tovlink::Robot> connected;
  for (const std::string peer : {"", "ignore_who"}) {
    connected.emplace(peer, tovlink::Robot{peers.link(peer)});
  }
  interface_runner runner{
      [&](const json &test) {
        outcome got;
        try {
          got.result =
              run_on_robot(connected.at(test.value("peer", "")), test.at("op"), test.at("args"));
        } catch (const tovlink::Error &error) {
          got.error = std::string(tovlink::error_name(error.value()));
          got.message = error.what();
          got.sent = error.sent();
        }
        return got;
      },
      [&](const std::string &peer) { connected.at(peer).query(tovlink::Query::info); }};
  peers.run_table(cases, runner, {});
}

// --- The C interface of sessions ----------------------------------------------

json run_on_session(tovlink_session *session, const std::string &op, const json &args,
                    int32_t &code) {
  const auto has_time = args.contains("time_ms");
  const int32_t time = args.value("time_ms", 0);
  json result = json::object();
  if (op == "move") {
    const int32_t motor = args.at("motor");
    const int32_t angle = args.at("angle");
    if (motor == TOVLINK_SESSION_ALL_MOTORS && has_time) {
      int32_t sent[TOVLINK_SESSION_MOTORS] = {};
      code = tovlink_session_move_all(session, angle, time, sent);
      result["angles"] = sent;
    } else {
      int32_t sent = 0;
      code = has_time ? tovlink_session_move_timed(session, motor, angle, time, &sent)
                      : tovlink_session_move(session, motor, angle, &sent);
      int64_t low = 0;
      int64_t high = 0;
      if (tovlink_contract_range(TOVLINK_LIMIT_MOTOR_ANGLE, motor, &low, &high) == 0) {
        result["range"] = {low, high};
      }
      result["angle"] = sent;
    }
  } else if (op == "pose") {
    const auto angles = seven(args.at("angles"));
    std::array<int32_t, TOVLINK_SESSION_MOTORS> wide{};
    std::copy(angles.begin(), angles.end(), wide.begin());
    int32_t sent[TOVLINK_SESSION_MOTORS] = {};
    code = has_time ? tovlink_session_pose_timed(session, wide.data(), time, sent)
                    : tovlink_session_pose(session, wide.data(), sent);
    result["angles"] = sent;
  } else if (op == "move_relative") {
    code = has_time ? tovlink_session_move_relative_timed(session, args.at("motor"), time)
                    : tovlink_session_move_relative(session, args.at("motor"));
  } else if (op == "adjust") {
    code = tovlink_session_adjust(session, args.at("motor"), args.at("offset"));
  } else if (op == "power") {
    code = tovlink_session_power_on(session,
                                    args.value("value", tovlink_contract_default_power_value()));
  } else if (op == "led") {
    code = args.at("on").get<bool>() ? tovlink_session_led_on(session, args.at("led"))
                                     : tovlink_session_led_off(session, args.at("led"));
  } else if (op == "tone") {
    code = tovlink_session_tone(session, args.at("first"), args.at("second"));
  } else if (op == "say") {
    code = tovlink_session_say(session, args.at("text").get<std::string>().c_str());
  } else if (op == "speed") {
    code = tovlink_session_speech_speed(session, args.at("speed"));
  } else if (op == "query") {
    char reply[128] = {};
    int32_t query = 0;
    while (query < TOVLINK_QUERY_COUNT && args.at("query") != tovlink_query_name(query)) ++query;
    code = tovlink_session_query(session, query, reply, sizeof reply, nullptr);
    result["text"] = reply;
  } else {
    ADD_FAILURE() << "no session mapping for " << op;
  }
  return result;
}

TEST(Conformance, SessionApi) {
  const json cases = load_cases();
  temporary_dir dir;
  robots peers(dir.path());
  std::map<std::string, tovlink_session *> opened;
  for (const std::string peer : {"", "ignore_who"}) {
    tovlink_session *session = nullptr;
    ASSERT_EQ(tovlink_session_open(peers.link(peer).c_str(), nullptr, &session), 0);
    opened[peer] = session;
  }
  interface_runner runner{[&](const json &test) {
                            outcome got;
                            tovlink_session *session = opened.at(test.value("peer", ""));
                            int32_t code = 0;
                            got.result =
                                run_on_session(session, test.at("op"), test.at("args"), code);
                            tovlink_error error{};
                            EXPECT_EQ(tovlink_session_last_error(session, &error), code);
                            if (code != 0) {
                              got.error = error.name;
                              got.message = error.message;
                              got.sent = error.sent != 0;
                            }
                            return got;
                          },
                          [&](const std::string &peer) {
                            char reply[128];
                            EXPECT_EQ(tovlink_session_query(opened.at(peer), TOVLINK_QUERY_INFO,
                                                            reply, sizeof reply, nullptr),
                                      0);
                          }};
  peers.run_table(cases, runner, {});
  // The contract as the session interface tells it is the library's.
  std::string json_text(tovlink_contract_json(nullptr, 0), '\0');
  tovlink_contract_json(json_text.data(), json_text.size() + 1);
  EXPECT_EQ(json::parse(json_text), json::parse(tovlink::contract_json()));
  for (auto &[peer, session] : opened) tovlink_session_close(session);
}

// --- The 34-function C API ----------------------------------------------------

std::uint32_t run_on_c_api(std::uint32_t *handle, const std::string &op, const json &args) {
  const auto angle_list = [&](std::size_t i) { return args.at("angles").at(i).get<int32_t>(); };
  if (op == "move") {
    if (args.contains("time_ms")) {
      return tovlink_motor_angle_time(handle, args.at("motor"), args.at("angle"),
                                      args.at("time_ms"));
    }
    return tovlink_motor_set_pos(handle, args.at("motor"), args.at("angle"));
  }
  if (op == "pose") {
    return tovlink_motor_pos_all(handle, angle_list(0), angle_list(1), angle_list(2), angle_list(3),
                                 angle_list(4), angle_list(5), angle_list(6));
  }
  if (op == "move_relative") {
    return tovlink_motor_angle_time_rel(handle, args.at("motor"), 0, args.at("time_ms"));
  }
  if (op == "adjust") return tovlink_motor_adjust(handle, args.at("motor"), args.at("offset"));
  if (op == "power") {
    return tovlink_motor_power_on(handle, args.value("value", tovlink::default_power_value));
  }
  if (op == "led") {
    return args.at("on").get<bool>() ? tovlink_led_on(handle, args.at("led"))
                                     : tovlink_led_off(handle, args.at("led"));
  }
  if (op == "tone") return tovlink_sound(handle, args.at("first"), args.at("second"));
  if (op == "say") return tovlink_voice(handle, args.at("text").get<std::string>().c_str());
  if (op == "speed") return tovlink_voice_speed(handle, args.at("speed"));
  if (op == "query") {
    char reply[128] = {};
    return tovlink_who(handle, reply, sizeof reply - 1);
  }
  ADD_FAILURE() << "no C mapping for " << op;
  return TOVLINK_ERR_INVALID_ARGUMENT;
}

// The C API checks less and has no names: its row is the case with the
// "c_api" differences laid over, and its codes named as the contract names them.
json as_c_api_case(const json &test) {
  json adapted = test;
  if (const auto c = test.find("c_api"); c != test.end()) {
    if (c->contains("wire") && !c->contains("error")) {
      adapted.erase("error");
      adapted.erase("result");
    }
    adapted.update(*c);
  }
  adapted.erase("result");  // the C functions report no values
  return adapted;
}

TEST(Conformance, CApi) {
  const json cases = load_cases();
  temporary_dir dir;
  robots peers(dir.path());
  // One connection per process: the rows of each peer run together.
  for (const std::string peer : {"", "ignore_who"}) {
    json rows = json::array();
    for (const auto &test : cases) {
      if (test.value("peer", "") == peer) rows.push_back(test);
    }
    std::uint32_t *handle = tovlink_connect(peers.link(peer).c_str(), 115200);
    ASSERT_NE(handle, nullptr);
    interface_runner runner{
        [&](const json &test) {
          outcome got;
          const std::uint32_t code = run_on_c_api(handle, test.at("op"), test.at("args"));
          if (code != TOVLINK_OK) {
            got.error = std::string(
                tovlink::error_name(static_cast<tovlink::errc>(static_cast<int32_t>(code))));
          }
          return got;
        },
        [&](const std::string &) {
          char reply[128] = {};
          EXPECT_EQ(tovlink_get_info(handle, reply, sizeof reply - 1), TOVLINK_OK);
        }};
    // Its result codes carry no message and no "sent".
    peers.run_table(rows, runner, {false, false}, as_c_api_case);
    tovlink_end(handle);
  }
}

// --- The service's socket protocol --------------------------------------------

TEST(Conformance, ServiceProtocol) {
  using tovlink::service::testing::child_process;
  using tovlink::service::testing::line_client;
  const json cases = load_cases();
  temporary_dir dir;
  robots peers(dir.path());
  const std::string socket = (dir.path() / "tovlinkd.sock").string();
  child_process daemon({TOVLINKD_PATH, "--socket", socket, "--robot", "plain=" + peers.link(""),
                        "--robot", "ignore_who=" + peers.link("ignore_who")});
  std::optional<line_client> client;
  for (int attempt = 0; attempt < 100 && !(client && client->connected()); ++attempt) {
    std::this_thread::sleep_for(100ms);
    client.emplace(socket);
  }
  ASSERT_TRUE(client && client->connected());
  ASSERT_TRUE(client->read_line());  // the version banner
  int next_id = 0;
  // Sends one request and returns its reply, skipping anything pushed.
  const auto call = [&](json request) -> json {
    const int id = ++next_id;
    request["id"] = id;
    EXPECT_TRUE(client->send_line(request.dump()));
    for (auto line = client->read_line(5s); line; line = client->read_line(5s)) {
      const json reply = json::parse(*line, nullptr, false);
      if (reply.value("class", "") == "reply" && reply.value("id", 0) == id) return reply;
    }
    return json{{"ok", false}, {"error", {{"name", "no reply"}}}};
  };
  // Both robots connected (each takes about 3.5 s) before the table runs.
  for (const std::string robot : {"plain", "ignore_who"}) {
    json reply;
    for (int attempt = 0; attempt < 100; ++attempt) {
      reply = call({{"cmd", "query"}, {"robot", robot}, {"query", "info"}});
      if (reply.value("ok", false)) break;
      std::this_thread::sleep_for(100ms);
    }
    ASSERT_TRUE(reply.value("ok", false)) << reply.dump();
  }
  interface_runner runner{
      [&](const json &test) {
        const std::string peer = test.value("peer", "");
        json request = test.at("args");
        request["cmd"] = test.at("op");
        request["robot"] = peer.empty() ? "plain" : peer;
        const json reply = call(request);
        outcome got;
        if (reply.value("ok", false)) {
          got.result = reply.at("result");
        } else {
          const json &error = reply.at("error");
          got.error = error.value("name", "");
          got.message = error.value("message", "");
          got.sent = error.value("sent", !test.value("sent", false));  // missing: a mismatch
        }
        return got;
      },
      [&](const std::string &peer) {
        call({{"cmd", "query"}, {"robot", peer.empty() ? "plain" : peer}, {"query", "info"}});
      }};
  peers.run_table(cases, runner, {});

  const json described = call({{"cmd", "describe"}});
  ASSERT_TRUE(described.value("ok", false)) << described.dump();
  // The robot's contract is the library's; the daemon adds only what its
  // motions take.
  json robot_part = described.at("result");
  EXPECT_EQ(robot_part.erase("motion"), 1u);
  EXPECT_EQ(robot_part, json::parse(tovlink::contract_json()));
  EXPECT_EQ(described.at("result").at("leds").size(), 6u);
}

}  // namespace

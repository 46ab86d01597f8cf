// The contract's table of cases (tests/conformance/cases.json) through the
// tovlink tool: directly on the robots' ports, and through the service
// tovlinkd.  Each robot gets one `shell` (a connect costs about 3.5 s) fed
// every row of its peer; the tool's --json objects give the error's name,
// message and sent flag or the result, the virtual robots' wire logs the
// bytes each row put on the wire.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "child_process.hpp"
#include "conformance_support.hpp"
#include "tool_process.hpp"
#include "tovlink/contract.hpp"

namespace tovlink::tool::test {
namespace {

using namespace tovlink::conformance;

// The table's operations the tool has no command for.
const std::set<std::string> not_in_the_tool{"move_relative", "adjust"};

// The text as one word of a shell line.  A line end cannot be typed into
// the shell at all.
std::string quoted(const std::string &text) {
  EXPECT_EQ(text.find('\n'), std::string::npos) << "a shell line cannot carry an LF";
  if (text.find('\'') == std::string::npos) return "'" + text + "'";
  std::string word = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') word += '\\';
    word += c;
  }
  return word + "\"";
}

// The case as the line typed into the tool's shell.
std::string shell_line(const json &test) {
  const std::string op = test.at("op");
  const json &args = test.at("args");
  const auto number = [&](const char *key) {
    return std::to_string(args.at(key).get<long long>());
  };
  if (op == "move") {
    const bool all = args.at("motor").get<int>() == tovlink::all_motors;
    std::string line =
        "move " + (all ? std::string{"all"} : number("motor")) + " " + number("angle");
    if (args.contains("time_ms")) line += " --time " + number("time_ms");
    return line;
  }
  if (op == "pose") {
    std::string line = "pose";
    for (const auto &angle : args.at("angles")) line += " " + std::to_string(angle.get<int>());
    return line;
  }
  if (op == "power") {
    if (!args.at("on").get<bool>()) return "power off";
    return args.contains("value") ? "power on " + number("value") : "power on";
  }
  if (op == "led") {
    return std::string{"led "} + (args.at("on").get<bool>() ? "on " : "off ") + number("led");
  }
  if (op == "tone") return "sound " + number("first") + " " + number("second");
  if (op == "say") return "say " + quoted(args.at("text").get<std::string>());
  if (op == "speed") return "speed " + number("speed");
  if (op == "query") return args.at("query").get<std::string>();  // the contract's names
  ADD_FAILURE() << "no tool command for '" << op
                << "': map it here, or list it with the operations the tool lacks";
  return "version";
}

// The tool's --json object for a case, in the table's terms.  A missing
// "sent" must not pass for the expected one.
outcome outcome_of(const std::string &line, const json &test) {
  outcome got;
  const json reply = json::parse(line, nullptr, false);
  if (!reply.is_object()) {
    got.error = "(not a JSON object) " + line;
    return got;
  }
  if (reply.value("ok", false)) {
    got.result = reply;
    // The tool calls a query's reply "reply"; the table, as the service, "text".
    if (reply.contains("reply")) got.result["text"] = reply.at("reply");
    return got;
  }
  got.error = reply.value("name", "(no name) " + reply.value("error", std::string{}));
  got.message = reply.value("message", std::string{});
  got.sent = reply.contains("sent") ? reply.at("sent").get<bool>() : !test.value("sent", false);
  return got;
}

// The bytes of each row from the robot's log.  The shell sent the marker
// query before the first row and after each one, so the log's last rows + 1
// markers bound the rows, whatever the connect sent before.
std::vector<std::string> wire_by_row(logged_robot &robot, std::size_t rows) {
  std::vector<std::string> lines;
  std::vector<std::size_t> markers;
  for (int attempt = 0; attempt < 200 && markers.size() < rows + 1; ++attempt) {
    if (attempt > 0) std::this_thread::sleep_for(10ms);
    lines = robot.received();
    markers.clear();
    for (std::size_t i = 0; i < lines.size(); ++i) {
      if (lines[i] == marker_line) markers.push_back(i);
    }
  }
  std::vector<std::string> wire(rows, "(no marker)");
  if (markers.size() < rows + 1) return wire;
  const auto first = markers.size() - rows - 1;
  for (std::size_t row = 0; row < rows; ++row) {
    wire[row].clear();
    for (auto i = markers[first + row] + 1; i < markers[first + row + 1]; ++i) {
      if (lines[i] != "#140\r") wire[row] += lines[i];
    }
  }
  return wire;
}

enum class path { direct, service };

void PrintTo(path way, std::ostream *out) {
  *out << (way == path::direct ? "direct" : "through the service");
}

class ToolConformance : public ::testing::TestWithParam<path> {};

TEST_P(ToolConformance, EveryCaseOfTheTable) {
  const json cases = load_cases();
  temporary_dir dir;
  const std::vector<std::string> peers{"", "ignore_who"};
  const auto link = [&](const std::string &peer) {
    return (dir.path() / (peer.empty() ? "plain" : peer)).string();
  };
  std::map<std::string, std::unique_ptr<logged_robot>> robots;
  std::map<std::string, std::vector<json>> rows;
  for (const auto &peer : peers)
    robots.emplace(peer, std::make_unique<logged_robot>(link(peer), peer));
  for (const auto &test : cases) {
    if (not_in_the_tool.contains(test.at("op").get<std::string>())) continue;
    ASSERT_EQ(test.at("wire").get<std::string>().find(marker_line), std::string::npos)
        << test.at("name") << ": its wire holds the marker the rows are split by";
    rows[test.value("peer", "")].push_back(test);
  }

  const std::string socket = (dir.path() / "tovlinkd.sock").string();
  const auto robot_name = [](const std::string &peer) { return peer.empty() ? "plain" : peer; };
  std::optional<tovlink::service::testing::child_process> daemon;
  if (GetParam() == path::service) {
    std::vector<std::string> command{TOVLINKD_PATH, "--socket", socket};
    for (const auto &peer : peers) {
      command.insert(command.end(), {"--robot", robot_name(peer) + "=" + link(peer)});
    }
    daemon.emplace(command);
    // The rows wait until the service has connected both robots.
    bool ready = false;
    for (int attempt = 0; attempt < 150 && !ready; ++attempt) {
      if (attempt > 0) std::this_thread::sleep_for(100ms);
      const auto listed = json::parse(
          run_tool({"--daemon", socket, "--json", "devices"}).last_out_line(), nullptr, false);
      const auto list = listed.is_object() ? listed.value("robots", json::array()) : json::array();
      ready = list.size() == peers.size() &&
              std::all_of(list.begin(), list.end(),
                          [](const json &robot) { return robot.value("state", "") == "ready"; });
    }
    ASSERT_TRUE(ready) << "the service did not connect its robots";
  }

  // One shell per robot, at the same time.
  std::map<std::string, tool_run> runs;
  std::vector<std::thread> shells;
  for (const auto &peer : peers) runs.emplace(peer, tool_run{});
  for (const auto &peer : peers) {
    std::vector<std::string> args{"--port", link(peer)};
    if (GetParam() == path::service) args = {"--daemon", socket, "--robot", robot_name(peer)};
    args.insert(args.end(), {"--json", "shell"});
    run_options options;
    options.input = "info\n";
    for (const auto &test : rows[peer]) options.input += shell_line(test) + "\ninfo\n";
    shells.emplace_back([&runs, peer, args, options] { runs.at(peer) = run_tool(args, options); });
  }
  for (auto &shell : shells) shell.join();

  for (const auto &peer : peers) {
    SCOPED_TRACE("robot " + robot_name(peer));
    const auto &run = runs.at(peer);
    const auto &list = rows[peer];
    // One object per line typed: the first marker, then each row and its marker.
    const auto lines = run.out_lines();
    ASSERT_EQ(lines.size(), 1 + 2 * list.size()) << run.out << run.err;
    // The shell ends with the last failing row's status: 2 for an argument
    // the library refused, 1 for any other failure.
    int status = 0;
    for (const auto &test : list) {
      if (test.contains("error")) status = test.at("error") == "invalid_argument" ? 2 : 1;
    }
    EXPECT_EQ(run.exit_status, status) << run.err;
    const auto wire = wire_by_row(*robots.at(peer), list.size());
    for (std::size_t row = 0; row < list.size(); ++row) {
      SCOPED_TRACE(shell_line(list[row]));
      check_case(list[row], outcome_of(lines[1 + 2 * row], list[row]), wire[row], {});
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Paths, ToolConformance, ::testing::Values(path::direct, path::service),
                         [](const ::testing::TestParamInfo<path> &instance) {
                           return instance.param == path::direct ? "Direct" : "ThroughTheService";
                         });

}  // namespace
}  // namespace tovlink::tool::test

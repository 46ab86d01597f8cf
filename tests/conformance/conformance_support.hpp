// What every runner of the contract's table of cases (cases.json) shares:
// the table, a virtual robot whose wire log shows what reached it, and the
// check of one case's outcome.  Used by tests/conformance and by the tool's
// runner in tests/tool; TOVLINK_CONFORMANCE_CASES names the table's file.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "tovlink_sim/virtual_robot.hpp"

namespace tovlink::conformance {

namespace fs = std::filesystem;
using json = nlohmann::json;
using namespace std::chrono_literals;

inline json load_cases() {
  std::ifstream file(TOVLINK_CONFORMANCE_CASES);
  return json::parse(file).at("cases");
}

// What a run of one case came to, in the table's terms.
struct outcome {
  std::optional<std::string> error;  // the error's name; empty on success
  std::string message;
  bool sent = false;
  json result = json::object();
};

// "\r" and friends as the wire log writes them, back to bytes.
inline std::string unescape(std::string_view text) {
  std::string bytes;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 >= text.size()) {
      bytes += text[i];
      continue;
    }
    const char code = text[++i];
    switch (code) {
      case 'r':
        bytes += '\r';
        break;
      case 'n':
        bytes += '\n';
        break;
      case 't':
        bytes += '\t';
        break;
      case 'x':
        bytes += static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
        i += 2;
        break;
      default:
        bytes += code;
    }
  }
  return bytes;
}

// A virtual robot in this process on a stable link, keeping every line it
// received.  The peer's fault comes from the case's "peer" name.
class logged_robot {
 public:
  logged_robot(const std::string &link, const std::string &peer) {
    tovlink::sim::robot_options options;
    options.link_path = link;
    if (peer == "ignore_who") options.faults.ignore_prefix = "#800";
    options.log = [this](const std::string &line) { note(line); };
    robot_ = std::make_unique<tovlink::sim::virtual_robot>(options);
    robot_->start();
  }

  std::size_t mark() {
    std::lock_guard lock(mutex_);
    return received_.size();
  }

  // Every line received so far.
  std::vector<std::string> received() {
    std::lock_guard lock(mutex_);
    return received_;
  }

  // The bytes received since `from`, up to the marker line (which the
  // runner sends after each case), without the service's telemetry polls.
  std::string received_until(std::size_t from, const std::string &marker) {
    for (int attempt = 0; attempt < 200; ++attempt) {
      {
        std::lock_guard lock(mutex_);
        const auto begin = received_.begin() + static_cast<std::ptrdiff_t>(from);
        const auto end = std::find(begin, received_.end(), marker);
        if (end != received_.end()) {
          std::string bytes;
          for (auto line = begin; line != end; ++line) {
            if (*line != "#140\r") bytes += *line;
          }
          return bytes;
        }
      }
      std::this_thread::sleep_for(10ms);
    }
    return "(no marker " + marker + ")";
  }

 private:
  // "HH:MM:SS.mmm rx \"#132,1,125\\r\"": the quoted bytes of every rx line.
  void note(const std::string &line) {
    const auto rx = line.find(" rx \"");
    if (rx == std::string::npos) return;
    const auto quoted = std::string_view(line).substr(rx + 5);
    std::lock_guard lock(mutex_);
    received_.push_back(unescape(quoted.substr(0, quoted.rfind('"'))));
  }

  std::mutex mutex_;
  std::vector<std::string> received_;
  std::unique_ptr<tovlink::sim::virtual_robot> robot_;
};

inline constexpr const char *marker_line = "#805\r";

// What an interface can tell besides the error's name.
struct reports {
  bool message = true;
  bool sent = true;
};

inline void check_case(const json &test, const outcome &got, const std::string &wire,
                       reports tells) {
  SCOPED_TRACE(test.at("name").get<std::string>());
  EXPECT_EQ(wire, test.at("wire").get<std::string>());
  if (test.contains("error")) {
    EXPECT_EQ(got.error.value_or("(success)"), test.at("error").get<std::string>());
    if (tells.sent) {
      EXPECT_EQ(got.sent, test.value("sent", false));
    }
    if (tells.message) {
      EXPECT_EQ(got.message, test.value("message", std::string{}));
    }
  } else {
    EXPECT_EQ(got.error.value_or(""), "") << got.message;
    const json expected = test.value("result", json::object());
    for (const auto &[key, value] : expected.items()) {
      EXPECT_EQ(got.result.value(key, json{}), value) << key;
    }
  }
}

class temporary_dir {
 public:
  temporary_dir() {
    char pattern[] = "/tmp/tovlink-conformance-XXXXXX";
    path_ = ::mkdtemp(pattern);
  }
  ~temporary_dir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const fs::path &path() const { return path_; }

 private:
  fs::path path_;
};

}  // namespace tovlink::conformance

// What every daemon test does on the daemon's Unix socket: open a client
// past the version banner, send one request and read its reply, pushed
// objects aside.
#pragma once

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "child_process.hpp"
#include "clients.hpp"

namespace tovlink::service::testing {

using json = nlohmann::json;

// One line as JSON: null when there was no line or it is not JSON.
inline json parse_line(const std::optional<std::string> &line) {
  if (!line) return json{};
  return json::parse(*line, nullptr, false);
}

// A client on the daemon's socket that has read the daemon's greeting.
inline line_client open_daemon_client(const std::string &socket_path) {
  line_client client(socket_path);
  EXPECT_TRUE(client.connected()) << socket_path;
  EXPECT_EQ(parse_line(client.read_line()).value("class", ""), "version");
  return client;
}

// Sends one request and returns its reply, or null when none came within
// `limit`.  Pushed objects met on the way are kept in `pushed` when given.
inline json ask(line_client &client, const json &request, std::vector<json> *pushed,
                std::chrono::milliseconds limit = std::chrono::seconds{5}) {
  if (!client.send_line(request.dump())) {
    ADD_FAILURE() << "could not send " << request.dump();
    return json{};
  }
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    const json message = parse_line(client.read_line(limit));
    if (!message.is_object()) break;
    if (message.value("class", "") == "reply") return message;
    if (pushed) pushed->push_back(message);
  }
  return json{};
}

inline json ask(line_client &client, const json &request,
                std::chrono::milliseconds limit = std::chrono::seconds{5}) {
  return ask(client, request, nullptr, limit);
}

}  // namespace tovlink::service::testing

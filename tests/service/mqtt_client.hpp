// What the MQTT bridge's tests share: loopback ports for a broker of their
// own, and an MQTT client (libmosquitto) that watches one site of the
// broker and keeps everything it receives.
#pragma once

#include <mosquitto.h>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "clients.hpp"

namespace tovlink::service::testing {

inline bool port_open(unsigned short port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool open = ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0;
  ::close(fd);
  return open;
}

struct message {
  std::string topic;
  std::string payload;
  nlohmann::json body() const { return nlohmann::json::parse(payload, nullptr, false); }
};

struct site_client_options {
  std::string site = "lab";  // subscribes to tovlink/<site>/#; "+" for every site
  std::string cafile;        // TLS when set
  std::string user;
  std::string password;
};

// An MQTT client on libmosquitto's own thread, subscribed to a site (again
// after every reconnect), keeping every message it gets.
class site_client {
 public:
  using milliseconds = std::chrono::milliseconds;

  explicit site_client(unsigned short port, site_client_options options = {})
      : options_(std::move(options)) {
    client_ = mosquitto_new(nullptr, true, this);
    mosquitto_reconnect_delay_set(client_, 1, 1, false);
    if (!options_.cafile.empty()) {
      mosquitto_tls_set(client_, options_.cafile.c_str(), nullptr, nullptr, nullptr, nullptr);
    }
    if (!options_.user.empty()) {
      mosquitto_username_pw_set(client_, options_.user.c_str(), options_.password.c_str());
    }
    mosquitto_connect_callback_set(client_, [](mosquitto *client, void *self, int rc) {
      if (rc != 0) return;
      const std::string pattern =
          "tovlink/" + static_cast<site_client *>(self)->options_.site + "/#";
      mosquitto_subscribe(client, nullptr, pattern.c_str(), 1);
    });
    mosquitto_message_callback_set(
        client_, [](mosquitto *, void *self, const mosquitto_message *received) {
          auto &me = *static_cast<site_client *>(self);
          std::lock_guard lock(me.mutex_);
          me.messages_.push_back(
              {received->topic, std::string(static_cast<const char *>(received->payload),
                                            static_cast<std::size_t>(received->payloadlen))});
          me.changed_.notify_all();
        });
    mosquitto_connect(client_, "127.0.0.1", port, 10);
    mosquitto_loop_start(client_);
  }
  ~site_client() {
    mosquitto_disconnect(client_);
    mosquitto_loop_stop(client_, false);
    mosquitto_destroy(client_);
  }
  site_client(const site_client &) = delete;
  site_client &operator=(const site_client &) = delete;

  // Publishes at QoS 1; false when libmosquitto refused the message.
  bool publish(const std::string &topic, const std::string &payload) {
    return mosquitto_publish(client_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                             payload.data(), 1, false) == MOSQ_ERR_SUCCESS;
  }

  // The first message since `from` (an index into everything received) on
  // `topic` that satisfies `wanted`.
  std::optional<message> wait_for(const std::string &topic,
                                  const std::function<bool(const message &)> &wanted,
                                  std::size_t from = 0, milliseconds limit = milliseconds{8000}) {
    std::unique_lock lock(mutex_);
    std::optional<message> found;
    changed_.wait_for(lock, limit, [&] {
      for (std::size_t i = from; i < messages_.size(); ++i) {
        if (messages_[i].topic == topic && wanted(messages_[i])) {
          found = messages_[i];
          return true;
        }
      }
      return false;
    });
    return found;
  }
  std::optional<message> wait_for_reply(const std::string &robot, const nlohmann::json &id,
                                        std::size_t from = 0) {
    return wait_for(
        "tovlink/" + options_.site + "/" + robot + "/reply",
        [&](const message &m) { return m.body().value("id", nlohmann::json{}) == id; }, from);
  }
  bool wait_status(const std::string &robot, const std::string &status, std::size_t from = 0) {
    return wait_for(
               "tovlink/" + options_.site + "/" + robot + "/status",
               [&](const message &m) { return m.payload == status; }, from, milliseconds{15000})
        .has_value();
  }
  std::size_t count() const {
    std::lock_guard lock(mutex_);
    return messages_.size();
  }
  std::vector<message> messages() const {
    std::lock_guard lock(mutex_);
    return messages_;
  }

 private:
  site_client_options options_;
  mosquitto *client_ = nullptr;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<message> messages_;
};

}  // namespace tovlink::service::testing

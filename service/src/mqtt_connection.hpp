// One MQTT connection of the bridge and the thread that runs its network
// loop (the broker side of mqtt_bridge), and the bridge thread's alarm clock.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>

#include "mqtt_bridge.hpp"

struct mosquitto;
struct mosquitto_message;

namespace tovlink::service {

inline constexpr int at_most_once = 0;
inline constexpr int at_least_once = 1;

// The largest packet the broker may send to one of the bridge's
// connections (MQTT 5 "maximum packet size"): it drops anything bigger
// instead of sending it, so a huge payload costs the daemon nothing.
// Payloads between the request limit and this get a too_large reply.
inline constexpr std::size_t max_incoming_packet = 4 * max_request_bytes;

// The bridge thread's alarm clock: anything with data for the broker rings it.
struct wakeup {
  std::mutex mutex;
  std::condition_variable_any changed;
  bool pending = false;

  void ring() {
    {
      std::lock_guard lock(mutex);
      pending = true;
    }
    changed.notify_one();
  }
};

// The loop is this class's own, not libmosquitto's (mosquitto_loop_start):
// that one ends for good on some failures, TLS ones above all (a broker
// that vanishes without closing its TLS session, a certificate not
// trusted), and its asynchronous first connect over TLS to a broker that is
// not up yet spins until the keep-alive runs out.  Here each connect is a
// blocking one on this thread, as libmosquitto's own reconnects are, and
// every failure is retried with the same back-off.  `connected` runs after
// every accepted (re)connect, `message` for every message received, both on
// that thread; whatever they throw is logged there and the loop goes on.
class mqtt_connection {
 public:
  struct events {
    std::function<void()> connected;
    std::function<void(std::string_view topic, std::string_view payload)> message;
  };

  mqtt_connection(const mqtt_config &config, std::string client_id, const std::string &will_topic,
                  events handlers);
  ~mqtt_connection();
  mqtt_connection(const mqtt_connection &) = delete;
  mqtt_connection &operator=(const mqtt_connection &) = delete;

  void start();
  // Disconnects cleanly (no last will) and joins the network thread.  A
  // connect under way is waited for, as libmosquitto's loop_stop would.
  void stop();

  bool connected() const { return connected_; }
  int unsent() const { return unsent_; }
  // Whether another message may be handed over now.
  bool can_take() const { return connected_ && unsent_ < config_.max_unsent; }

  // Hands a message to libmosquitto, which writes it from the network
  // thread; false when not connected or refused.
  bool publish(const std::string &topic, std::string_view payload, int qos, bool retain);
  void subscribe(const std::string &pattern, int qos);

  const std::string &client_id() const { return client_id_; }
  void log(const std::string &line) const;

 private:
  static constexpr std::chrono::seconds first_retry_delay{1};
  static constexpr std::chrono::seconds max_retry_delay{30};
  // How often the loop looks at a stop request when nothing else wakes it.
  static constexpr int loop_wait_ms = 100;
  // How long a clean end waits for DISCONNECT to go out.
  static constexpr std::chrono::milliseconds disconnect_limit{1000};

  void run(const std::stop_token &stop);
  void disconnect();

  static void on_connect(mosquitto *, void *self, int rc);
  static void on_disconnect(mosquitto *, void *self, int rc);
  static void on_publish(mosquitto *, void *self, int mid);
  static void on_message(mosquitto *, void *self, const mosquitto_message *message);
  static void on_log(mosquitto *, void *self, int level, const char *line);
  // A C callback's body: nothing may unwind into libmosquitto.
  template <typename Body>
  static void guarded(void *self, const char *what, Body &&body) noexcept;

  void clear_failure();
  std::string failure(int rc);
  void note_down(const std::string &why);
  void check(int rc, const char *what) const;

  const mqtt_config &config_;
  std::string client_id_;
  events events_;
  mosquitto *client_ = nullptr;
  std::atomic<bool> connected_{false};
  std::atomic<bool> accepted_{false};
  std::atomic<bool> down_{false};
  std::atomic<int> unsent_{0};
  std::mutex failure_mutex_;
  std::string failure_detail_;
  // Last member: the thread goes before anything it uses.
  std::optional<std::jthread> network_;
};

}  // namespace tovlink::service

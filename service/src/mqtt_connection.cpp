#include "mqtt_connection.hpp"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <algorithm>
#include <stdexcept>

namespace tovlink::service {
namespace {

using std::chrono::milliseconds;

// libmosquitto sets OpenSSL up lazily, inside the first TLS connect, and
// not thread-safely: two connections making their first connect at once
// both set it up (a data race, and one set-up is leaked).  So TLS connects
// take turns until one of them has got through; after that they run freely.
class tls_set_up_once {
 public:
  template <typename Connect>
  int connect(bool tls, Connect &&attempt) {
    if (!tls || done_.load()) return attempt();
    std::lock_guard lock(mutex_);
    const int rc = attempt();
    if (rc == MOSQ_ERR_SUCCESS) done_ = true;
    return rc;
  }

 private:
  std::mutex mutex_;
  std::atomic<bool> done_{false};
};

tls_set_up_once tls_set_up;

// The CONNECT properties of every connection: the largest packet the
// broker may send it.
class connect_properties {
 public:
  connect_properties() {
    if (mosquitto_property_add_int32(&list_, MQTT_PROP_MAXIMUM_PACKET_SIZE,
                                     static_cast<std::uint32_t>(max_incoming_packet)) !=
        MOSQ_ERR_SUCCESS) {
      throw std::runtime_error("mqtt: cannot set the maximum packet size");
    }
  }
  ~connect_properties() { mosquitto_property_free_all(&list_); }
  connect_properties(const connect_properties &) = delete;
  connect_properties &operator=(const connect_properties &) = delete;
  const mosquitto_property *get() const { return list_; }

 private:
  mosquitto_property *list_ = nullptr;
};

}  // namespace

mqtt_connection::mqtt_connection(const mqtt_config &config, std::string client_id,
                                 const std::string &will_topic, events handlers)
    : config_(config), client_id_(std::move(client_id)), events_(std::move(handlers)) {
  client_ = mosquitto_new(client_id_.c_str(), true, this);
  if (client_ == nullptr) throw std::runtime_error("mqtt: cannot create a client");
  // MQTT 5 for its maximum packet size (see max_incoming_packet).
  mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
  // Other threads publish: libmosquitto then only queues, and wakes the loop.
  mosquitto_threaded_set(client_, true);
  if (!will_topic.empty()) {
    constexpr std::string_view offline = "offline";
    check(mosquitto_will_set(client_, will_topic.c_str(), static_cast<int>(offline.size()),
                             offline.data(), at_least_once, true),
          "last will");
  }
  if (config.username) {
    check(mosquitto_username_pw_set(client_, config.username->c_str(),
                                    config.password ? config.password->c_str() : nullptr),
          "user name and password");
  }
  if (!config.cafile.empty()) {
    check(mosquitto_tls_set(client_, config.cafile.c_str(), nullptr,
                            config.certfile.empty() ? nullptr : config.certfile.c_str(),
                            config.keyfile.empty() ? nullptr : config.keyfile.c_str(), nullptr),
          "TLS files");
  }
  mosquitto_connect_callback_set(client_, &mqtt_connection::on_connect);
  mosquitto_disconnect_callback_set(client_, &mqtt_connection::on_disconnect);
  mosquitto_publish_callback_set(client_, &mqtt_connection::on_publish);
  mosquitto_message_callback_set(client_, &mqtt_connection::on_message);
  mosquitto_log_callback_set(client_, &mqtt_connection::on_log);
}

mqtt_connection::~mqtt_connection() {
  stop();
  mosquitto_destroy(client_);
}

void mqtt_connection::start() {
  // Built in place: GCC 12 at -Os takes a moved-from temporary jthread's
  // stop_source for uninitialised memory (-Wmaybe-uninitialized).
  if (network_) return;
  network_.emplace([this](std::stop_token stop) {
    // The thread entry: an exception that escapes the loop (memory) is
    // logged, and the loop starts over after a pause.
    while (!stop.stop_requested()) {
      try {
        run(stop);
        return;
      } catch (const std::exception &error) {
        guarded(this, "network thread",
                [&] { log(std::string{"internal error: "} + error.what()); });
      } catch (...) {
        guarded(this, "network thread", [&] { log("internal error (unknown exception)"); });
      }
      connected_ = false;
      std::mutex mutex;
      std::condition_variable_any wake;
      std::unique_lock lock(mutex);
      wake.wait_for(lock, stop, first_retry_delay, [] { return false; });
    }
  });
}

void mqtt_connection::stop() {
  if (!network_) return;
  network_->request_stop();
  network_->join();
  network_.reset();
  connected_ = false;
}

bool mqtt_connection::publish(const std::string &topic, std::string_view payload, int qos,
                              bool retain) {
  if (!connected_) return false;
  const int rc = mosquitto_publish(client_, nullptr, topic.c_str(),
                                   static_cast<int>(payload.size()), payload.data(), qos, retain);
  if (rc != MOSQ_ERR_SUCCESS) return false;
  ++unsent_;
  return true;
}

void mqtt_connection::subscribe(const std::string &pattern, int qos) {
  const int rc = mosquitto_subscribe(client_, nullptr, pattern.c_str(), qos);
  if (rc != MOSQ_ERR_SUCCESS) {
    log(std::string{"cannot subscribe to "} + pattern + " (" + mosquitto_strerror(rc) + ")");
  }
}

void mqtt_connection::run(const std::stop_token &stop) {
  static const connect_properties properties;
  std::chrono::seconds delay = first_retry_delay;
  while (!stop.stop_requested()) {
    clear_failure();
    const int rc = tls_set_up.connect(!config_.cafile.empty(), [this] {
      return mosquitto_connect_bind_v5(client_, config_.host.c_str(), config_.port,
                                       config_.keepalive_s, nullptr, properties.get());
    });
    if (rc != MOSQ_ERR_SUCCESS) {
      note_down("broker not reachable (" + failure(rc) + "); retrying with back-off");
    } else {
      // CONNACK, messages, keep-alive: until the connection fails or a stop.
      int loop_rc = MOSQ_ERR_SUCCESS;
      while (!stop.stop_requested() && loop_rc == MOSQ_ERR_SUCCESS) {
        loop_rc = mosquitto_loop(client_, loop_wait_ms, 1);
      }
      if (stop.stop_requested()) {
        disconnect();
        return;
      }
      connected_ = false;
      if (accepted_.exchange(false)) {
        delay = first_retry_delay;
        note_down("lost the broker (" + failure(loop_rc) + "); reconnecting with back-off");
      } else {
        // The TLS handshake failed, or CONNACK refused us (told already).
        note_down("broker not reachable (" + failure(loop_rc) + "); retrying with back-off");
      }
    }
    std::mutex mutex;
    std::condition_variable_any wake;
    std::unique_lock lock(mutex);
    wake.wait_for(lock, stop, delay, [] { return false; });
    delay = std::min(delay * 2, max_retry_delay);
  }
}

// A clean end: DISCONNECT goes out, so the broker keeps the last will to itself.
void mqtt_connection::disconnect() {
  if (mosquitto_disconnect(client_) == MOSQ_ERR_SUCCESS) {
    const auto deadline = steady_clock::now() + disconnect_limit;
    while (steady_clock::now() < deadline &&
           mosquitto_loop(client_, loop_wait_ms, 1) == MOSQ_ERR_SUCCESS) {
    }
  }
  connected_ = false;
}

template <typename Body>
void mqtt_connection::guarded(void *self, const char *what, Body &&body) noexcept {
  const auto report = [&](const char *why) noexcept {
    try {
      static_cast<mqtt_connection *>(self)->log(std::string{"internal error in "} + what + ": " +
                                                why);
    } catch (...) {  // no memory even for the line: nothing more to do
    }
  };
  try {
    body();
  } catch (const std::exception &error) {
    report(error.what());
  } catch (...) {
    report("unknown exception");
  }
}

void mqtt_connection::on_connect(mosquitto *, void *self, int rc) {
  guarded(self, "connect callback", [&] {
    auto &me = *static_cast<mqtt_connection *>(self);
    if (rc != 0) {
      me.note_down(std::string{"broker refused the connection ("} + mosquitto_reason_string(rc) +
                   ")");
      return;
    }
    // Whatever was unsent went with the old connection.
    me.unsent_ = 0;
    me.connected_ = true;
    me.accepted_ = true;
    if (me.down_) me.log("connected to the broker again");
    me.down_ = false;
    if (me.events_.connected) me.events_.connected();
  });
}

void mqtt_connection::on_disconnect(mosquitto *, void *self, int) {
  static_cast<mqtt_connection *>(self)->connected_ = false;
}

void mqtt_connection::on_publish(mosquitto *, void *self, int) {
  auto &me = *static_cast<mqtt_connection *>(self);
  // A message resent after a reconnect may be counted down twice.
  int count = me.unsent_.load();
  while (count > 0 && !me.unsent_.compare_exchange_weak(count, count - 1)) {
  }
}

void mqtt_connection::on_message(mosquitto *, void *self, const mosquitto_message *message) {
  guarded(self, "message callback", [&] {
    auto &me = *static_cast<mqtt_connection *>(self);
    if (!me.events_.message || message == nullptr || message->topic == nullptr) return;
    const std::string_view payload{static_cast<const char *>(message->payload),
                                   static_cast<std::size_t>(std::max(message->payloadlen, 0))};
    me.events_.message(message->topic, message->payloadlen > 0 ? payload : std::string_view{});
  });
}

// libmosquitto's error lines say what its codes do not: which TLS check
// failed ("certificate verify failed"), for one.  The first since the last
// connect is kept for the report of a failure.
void mqtt_connection::on_log(mosquitto *, void *self, int level, const char *line) {
  if (level != MOSQ_LOG_ERR || line == nullptr) return;
  guarded(self, "log callback", [&] {
    auto &me = *static_cast<mqtt_connection *>(self);
    std::lock_guard lock(me.failure_mutex_);
    if (me.failure_detail_.empty()) me.failure_detail_ = std::string{line}.substr(0, 200);
  });
}

void mqtt_connection::clear_failure() {
  std::lock_guard lock(failure_mutex_);
  failure_detail_.clear();
}

// What went wrong, for the log.  Right after the failing call: a code of
// MOSQ_ERR_ERRNO reads errno.
std::string mqtt_connection::failure(int rc) {
  std::string text = rc == MOSQ_ERR_SUCCESS ? "closed" : mosquitto_strerror(rc);
  while (!text.empty() && text.back() == '.') text.pop_back();
  std::lock_guard lock(failure_mutex_);
  if (!failure_detail_.empty()) text += ": " + failure_detail_;
  return text;
}

// Only the first of a run of failures is worth a line.
void mqtt_connection::note_down(const std::string &why) {
  if (!down_.exchange(true)) log(why);
}

void mqtt_connection::log(const std::string &line) const {
  if (config_.log) config_.log("mqtt " + client_id_ + ": " + line);
}

void mqtt_connection::check(int rc, const char *what) const {
  if (rc != MOSQ_ERR_SUCCESS) {
    throw std::runtime_error("mqtt " + client_id_ + ": " + what + ": " + mosquitto_strerror(rc));
  }
}

}  // namespace tovlink::service

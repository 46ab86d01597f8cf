#include "mqtt_bridge.hpp"

#include <mosquitto.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <thread>
#include <utility>
#include <vector>

namespace tovlink::service {
namespace {

using std::chrono::milliseconds;

constexpr int at_most_once = 0;
constexpr int at_least_once = 1;
// Nesting deeper than the request parser allows is left for it to refuse.
constexpr int max_nesting = 32;
// How long a clean stop waits for the robots' "offline" to reach the broker.
constexpr milliseconds offline_flush_limit{2000};
// Commands that make no sense over MQTT: telemetry has its own topic, and a
// fleet command arriving on all/cmd would send itself round again.
constexpr std::string_view local_only_commands[] = {"watch", "fleet", "fleet_all"};

std::string dump(const json &value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

long long age_ms(steady_clock::time_point since) {
  return std::chrono::duration_cast<milliseconds>(steady_clock::now() - since).count();
}

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

// One MQTT connection and the thread that runs its network loop.  The loop
// is this class's own, not libmosquitto's (mosquitto_loop_start): that one
// ends for good on some failures, TLS ones above all (a broker that vanishes
// without closing its TLS session, a certificate not trusted), and its
// asynchronous first connect over TLS to a broker that is not up yet spins
// until the keep-alive runs out.  Here each connect is a blocking one on
// this thread, as libmosquitto's own reconnects are, and every failure is
// retried with the same back-off.  `connected` runs after every accepted
// (re)connect, `message` for every message received, both on that thread.
class connection {
 public:
  struct events {
    std::function<void()> connected;
    std::function<void(std::string_view topic, std::string_view payload)> message;
  };

  connection(const mqtt_config &config, std::string client_id, const std::string &will_topic,
             events handlers)
      : config_(config), client_id_(std::move(client_id)), events_(std::move(handlers)) {
    client_ = mosquitto_new(client_id_.c_str(), true, this);
    if (client_ == nullptr) throw std::runtime_error("mqtt: cannot create a client");
    mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
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
    mosquitto_connect_callback_set(client_, &connection::on_connect);
    mosquitto_disconnect_callback_set(client_, &connection::on_disconnect);
    mosquitto_publish_callback_set(client_, &connection::on_publish);
    mosquitto_message_callback_set(client_, &connection::on_message);
    mosquitto_log_callback_set(client_, &connection::on_log);
  }

  ~connection() {
    stop();
    mosquitto_destroy(client_);
  }
  connection(const connection &) = delete;
  connection &operator=(const connection &) = delete;

  void start() {
    // Built in place: GCC 12 at -Os takes a moved-from temporary jthread's
    // stop_source for uninitialised memory (-Wmaybe-uninitialized).
    if (!network_) network_.emplace([this](std::stop_token stop) { run(stop); });
  }

  // Disconnects cleanly (no last will) and joins the network thread.  A
  // connect under way is waited for, as libmosquitto's loop_stop would.
  void stop() {
    if (!network_) return;
    network_->request_stop();
    network_->join();
    network_.reset();
    connected_ = false;
  }

  bool connected() const { return connected_; }
  int unsent() const { return unsent_; }
  // Whether another message may be handed over now.
  bool can_take() const { return connected_ && unsent_ < config_.max_unsent; }

  bool publish(const std::string &topic, std::string_view payload, int qos, bool retain) {
    if (!connected_) return false;
    const int rc = mosquitto_publish(client_, nullptr, topic.c_str(),
                                     static_cast<int>(payload.size()), payload.data(), qos, retain);
    if (rc != MOSQ_ERR_SUCCESS) return false;
    ++unsent_;
    return true;
  }

  void subscribe(const std::string &pattern, int qos) {
    const int rc = mosquitto_subscribe(client_, nullptr, pattern.c_str(), qos);
    if (rc != MOSQ_ERR_SUCCESS) {
      log(std::string{"cannot subscribe to "} + pattern + " (" + mosquitto_strerror(rc) + ")");
    }
  }

  const std::string &client_id() const { return client_id_; }

 private:
  static constexpr std::chrono::seconds first_retry_delay{1};
  static constexpr std::chrono::seconds max_retry_delay{30};
  // How often the loop looks at a stop request when nothing else wakes it.
  static constexpr int loop_wait_ms = 100;
  // How long a clean end waits for DISCONNECT to go out.
  static constexpr milliseconds disconnect_limit{1000};

  void run(const std::stop_token &stop) {
    std::chrono::seconds delay = first_retry_delay;
    while (!stop.stop_requested()) {
      clear_failure();
      const int rc = tls_set_up.connect(!config_.cafile.empty(), [this] {
        return mosquitto_connect(client_, config_.host.c_str(), config_.port, config_.keepalive_s);
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
  void disconnect() {
    if (mosquitto_disconnect(client_) == MOSQ_ERR_SUCCESS) {
      const auto deadline = steady_clock::now() + disconnect_limit;
      while (steady_clock::now() < deadline &&
             mosquitto_loop(client_, loop_wait_ms, 1) == MOSQ_ERR_SUCCESS) {
      }
    }
    connected_ = false;
  }

  static void on_connect(mosquitto *, void *self, int rc) {
    auto &me = *static_cast<connection *>(self);
    if (rc != 0) {
      me.note_down(std::string{"broker refused the connection ("} + mosquitto_connack_string(rc) +
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
  }

  static void on_disconnect(mosquitto *, void *self, int) {
    static_cast<connection *>(self)->connected_ = false;
  }

  static void on_publish(mosquitto *, void *self, int) {
    auto &me = *static_cast<connection *>(self);
    // A message resent after a reconnect may be counted down twice.
    int count = me.unsent_.load();
    while (count > 0 && !me.unsent_.compare_exchange_weak(count, count - 1)) {
    }
  }

  static void on_message(mosquitto *, void *self, const mosquitto_message *message) {
    auto &me = *static_cast<connection *>(self);
    if (!me.events_.message || message == nullptr || message->topic == nullptr) return;
    const std::string_view payload{static_cast<const char *>(message->payload),
                                   static_cast<std::size_t>(std::max(message->payloadlen, 0))};
    me.events_.message(message->topic, message->payloadlen > 0 ? payload : std::string_view{});
  }

  // libmosquitto's error lines say what its codes do not: which TLS check
  // failed ("certificate verify failed"), for one.  The first since the
  // last connect is kept for the report of a failure.
  static void on_log(mosquitto *, void *self, int level, const char *line) {
    if (level != MOSQ_LOG_ERR || line == nullptr) return;
    auto &me = *static_cast<connection *>(self);
    std::lock_guard lock(me.failure_mutex_);
    if (me.failure_detail_.empty()) me.failure_detail_ = std::string{line}.substr(0, 200);
  }

  void clear_failure() {
    std::lock_guard lock(failure_mutex_);
    failure_detail_.clear();
  }

  // What went wrong, for the log.  Right after the failing call: a code of
  // MOSQ_ERR_ERRNO reads errno.
  std::string failure(int rc) {
    std::string text = rc == MOSQ_ERR_SUCCESS ? "closed" : mosquitto_strerror(rc);
    while (!text.empty() && text.back() == '.') text.pop_back();
    std::lock_guard lock(failure_mutex_);
    if (!failure_detail_.empty()) text += ": " + failure_detail_;
    return text;
  }

  // Only the first of a run of failures is worth a line.
  void note_down(const std::string &why) {
    if (!down_.exchange(true)) log(why);
  }

  void log(const std::string &line) const {
    if (config_.log) config_.log("mqtt " + client_id_ + ": " + line);
  }

  void check(int rc, const char *what) const {
    if (rc != MOSQ_ERR_SUCCESS) {
      throw std::runtime_error("mqtt " + client_id_ + ": " + what + ": " + mosquitto_strerror(rc));
    }
  }

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

// What a robot has for the broker.  Robot threads and the network threads
// fill it; the bridge thread empties it.
struct outgoing {
  std::mutex mutex;
  std::deque<std::string> replies;
  std::optional<tovlink::Telemetry> telemetry;
  steady_clock::time_point taken_at{};
  std::uint64_t reading = 0;  // counts snapshots, so a new one is told from the last
  robot_state state = robot_state::connecting;
  bool state_known = false;
  bool status_due = true;
};

// Called from any thread; past `limit` the oldest reply gives way.
void push_reply(outgoing &out, wakeup &alarm, std::size_t limit, std::string text) {
  {
    std::lock_guard lock(out.mutex);
    if (out.replies.size() >= limit) out.replies.pop_front();
    out.replies.push_back(std::move(text));
  }
  alarm.ring();
}

struct robot_link {
  robot_worker *robot = nullptr;
  std::string name;
  std::string topic;  // tovlink/<site>/<robot>
  std::shared_ptr<outgoing> out = std::make_shared<outgoing>();
  std::unique_ptr<client_session> session;
  std::unique_ptr<connection> link;
  std::uint64_t listener = 0;
  // The bridge thread only.
  steady_clock::time_point next_state{};
  std::uint64_t published_reading = 0;
  std::uint64_t sequence = 0;
};

struct fleet_entry {
  std::string status;
  json telemetry;  // the fields the fleet page shows, from the last state message
  steady_clock::time_point state_at{};
  json reply;  // a digest of the last reply
};

}  // namespace

std::pair<std::string, int> parse_mqtt_address(const std::string &text, int default_port) {
  std::string host = text;
  std::string port;
  if (!text.empty() && text.front() == '[') {
    const auto close = text.find(']');
    if (close == std::string::npos) throw std::invalid_argument("no ']' in '" + text + "'");
    host = text.substr(1, close - 1);
    const std::string rest = text.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') throw std::invalid_argument("expected ':PORT' after ']'");
      port = rest.substr(1);
    }
  } else if (const auto colon = text.rfind(':'); colon != std::string::npos) {
    if (text.find(':') != colon) {
      throw std::invalid_argument("an IPv6 address goes in brackets: [ADDR]:PORT");
    }
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
    if (port.empty()) throw std::invalid_argument("no port after ':' in '" + text + "'");
  }
  if (host.empty()) throw std::invalid_argument("no host in '" + text + "'");
  if (port.empty()) return {host, default_port};
  if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
      std::stoi(port) < 1 || std::stoi(port) > 65535) {
    throw std::invalid_argument("port must be 1-65535, got '" + port + "'");
  }
  return {host, std::stoi(port)};
}

std::string_view mqtt_status(robot_state state) noexcept {
  // A robot still connecting cannot take commands yet, just like a lost one;
  // "offline" is kept for a robot whose daemon is gone.
  return state == robot_state::ready ? "online" : "lost";
}

struct mqtt_bridge::impl {
  mqtt_config config;
  const request_handler &handler;
  std::string site_topic;  // tovlink/<site>
  std::shared_ptr<wakeup> alarm = std::make_shared<wakeup>();
  std::vector<std::unique_ptr<robot_link>> robots;
  std::unique_ptr<connection> fleet_link;
  std::jthread pump;
  bool running = false;

  mutable std::mutex fleet_mutex;
  std::map<std::string, fleet_entry, std::less<>> fleet;
  std::uint64_t fleet_ignored = 0;
  std::atomic<std::uint64_t> fleet_requests{0};

  impl(mqtt_config settings, const request_handler &requests)
      : config(std::move(settings)), handler(requests), site_topic("tovlink/" + config.site) {}

  void log(const std::string &line) const {
    if (config.log) config.log(line);
  }

  // --- Robots: commands in, replies, status and state out ---------------------

  void add_robot(robot_worker *robot) {
    auto entry = std::make_unique<robot_link>();
    robot_link &link = *entry;
    link.robot = robot;
    link.name = robot->config().name;
    link.topic = site_topic + "/" + link.name;
    link.session = handler.open_session(
        [out = link.out, alarm = alarm, limit = config.reply_backlog](std::string text) {
          push_reply(*out, *alarm, limit, std::move(text));
        });
    connection::events events;
    events.connected = [this, &link] {
      link.link->subscribe(link.topic + "/cmd", at_least_once);
      link.link->subscribe(site_topic + "/all/cmd", at_least_once);
      {
        // The broker may have lost its retained messages (a restart without
        // persistence): say it again.
        std::lock_guard lock(link.out->mutex);
        link.out->status_due = true;
      }
      alarm->ring();
    };
    events.message = [this, &link](std::string_view topic, std::string_view payload) {
      if (topic == link.topic + "/cmd" || topic == site_topic + "/all/cmd") {
        command_arrived(link, payload);
      }
    };
    link.link = std::make_unique<connection>(config, config.client_id + "-" + link.name,
                                             link.topic + "/status", std::move(events));
    robots.push_back(std::move(entry));
  }

  void queue_reply(robot_link &link, std::string text) {
    push_reply(*link.out, *alarm, config.reply_backlog, std::move(text));
  }

  // On the robot's network thread.  The topic names the robot: a "robot" in
  // the request is replaced by it.
  void command_arrived(robot_link &link, std::string_view payload) {
    if (payload.size() > max_request_bytes) {
      queue_reply(link,
                  error_reply_text(std::nullopt, std::nullopt, link.name,
                                   make_error(daemon_error::too_large,
                                              "request: longer than " +
                                                  std::to_string(max_request_bytes) + " bytes")));
      return;
    }
    bool too_deep = false;
    json::parser_callback_t limit_depth = [&too_deep](int depth, json::parse_event_t, json &) {
      if (depth > max_nesting) too_deep = true;
      return !too_deep;
    };
    json request = json::parse(payload.begin(), payload.end(), limit_depth, false);
    if (too_deep || request.is_discarded() || !request.is_object()) {
      // Not a request object: the request parser says what is wrong.
      auto rejected = std::get<rejected_request>(parse_request(payload));
      rejected.robot = link.name;
      queue_reply(link, error_reply_text(rejected));
      return;
    }
    const auto cmd = request.find("cmd");
    if (cmd != request.end() && cmd->is_string()) {
      const auto &name = cmd->get_ref<const std::string &>();
      if (std::find(std::begin(local_only_commands), std::end(local_only_commands), name) !=
          std::end(local_only_commands)) {
        std::optional<json> id;
        if (request.contains("id")) id = request["id"];
        queue_reply(
            link, error_reply_text(name, id, link.name,
                                   make_error(daemon_error::bad_request,
                                              name +
                                                  ": not available over MQTT (state messages come "
                                                  "on " +
                                                  link.topic + "/state)")));
        return;
      }
    }
    request["robot"] = link.name;
    link.session->handle(dump(request));
  }

  void watch_robot(robot_link &link) {
    robot_listener listener;
    listener.telemetry = [out = link.out](const tovlink::Telemetry &telemetry,
                                          steady_clock::time_point taken_at) {
      std::lock_guard lock(out->mutex);
      out->telemetry = telemetry;
      out->taken_at = taken_at;
      ++out->reading;
    };
    listener.state = [out = link.out, alarm = alarm](robot_state state) {
      {
        std::lock_guard lock(out->mutex);
        out->state = state;
        out->state_known = true;
        out->status_due = true;
      }
      alarm->ring();
    };
    link.listener = link.robot->subscribe(std::move(listener));
    // Read after subscribing, so no change falls in between; a change that
    // came meanwhile is newer than this read.
    const robot_state now = link.robot->state();
    std::lock_guard lock(link.out->mutex);
    if (!link.out->state_known) link.out->state = now;
  }

  // --- The bridge thread ------------------------------------------------------

  void run(const std::stop_token &stop) {
    const auto period = std::chrono::duration_cast<steady_clock::duration>(
        std::chrono::duration<double>(1.0 / config.state_hz));
    while (!stop.stop_requested()) {
      const auto now = steady_clock::now();
      auto wake_at = now + std::chrono::seconds{1};
      for (auto &link : robots) {
        serve(*link, now, period);
        wake_at = std::min(wake_at, link->next_state);
      }
      std::unique_lock lock(alarm->mutex);
      alarm->changed.wait_until(lock, stop, wake_at, [this] { return alarm->pending; });
      alarm->pending = false;
    }
  }

  void serve(robot_link &link, steady_clock::time_point now, steady_clock::duration period) {
    if (link.next_state == steady_clock::time_point{}) link.next_state = now;
    // Fixed rate on a grid; a slot missed is skipped, not made up.  The grid
    // moves on while the broker is away too: the next slot is when this
    // thread wakes next.
    const bool state_due = now >= link.next_state;
    while (link.next_state <= now) link.next_state += period;
    connection &mqtt = *link.link;
    if (!mqtt.connected()) return;
    std::optional<std::string> status;
    {
      std::lock_guard lock(link.out->mutex);
      if (link.out->status_due) {
        status = std::string{mqtt_status(link.out->state)};
        link.out->status_due = false;
      }
    }
    if (status && !mqtt.publish(link.topic + "/status", *status, at_least_once, true)) {
      std::lock_guard lock(link.out->mutex);
      link.out->status_due = true;
    }
    while (mqtt.can_take()) {
      std::string reply;
      {
        std::lock_guard lock(link.out->mutex);
        if (link.out->replies.empty()) break;
        reply = std::move(link.out->replies.front());
        link.out->replies.pop_front();
      }
      if (!mqtt.publish(link.topic + "/reply", reply, at_least_once, false)) break;
    }
    if (!state_due) return;
    if (!mqtt.can_take()) return;  // the broker is slow: this snapshot waits for a newer one
    json message;
    {
      std::lock_guard lock(link.out->mutex);
      if (!link.out->telemetry || link.out->reading == link.published_reading) return;
      link.published_reading = link.out->reading;
      message = {{"class", "telemetry"},
                 {"robot", link.name},
                 {"age_ms", age_ms(link.out->taken_at)},
                 {"seq", ++link.sequence}};
      put_telemetry(message, *link.out->telemetry);
    }
    mqtt.publish(link.topic + "/state", dump(message), at_most_once, false);
  }

  // --- The site: the fleet table and commands to all ---------------------------

  void start_fleet_link() {
    connection::events events;
    events.connected = [this] {
      for (const char *kind : {"status", "state", "reply"}) {
        fleet_link->subscribe(site_topic + "/+/" + kind, at_most_once);
      }
    };
    events.message = [this](std::string_view topic, std::string_view payload) {
      fleet_message(topic, payload);
    };
    fleet_link = std::make_unique<connection>(config, config.client_id + "-fleet", std::string{},
                                              std::move(events));
  }

  void fleet_message(std::string_view topic, std::string_view payload) {
    // tovlink/<site>/<robot>/<kind>
    if (topic.size() <= site_topic.size() + 1 || !topic.starts_with(site_topic)) return;
    topic.remove_prefix(site_topic.size() + 1);
    const auto slash = topic.find('/');
    if (slash == std::string_view::npos || slash == 0 || slash > 64) return;
    const std::string_view robot = topic.substr(0, slash);
    const std::string_view kind = topic.substr(slash + 1);
    if (robot == "all" || payload.size() > max_request_bytes) return;

    std::lock_guard lock(fleet_mutex);
    if (kind == "status" && payload.empty()) {  // a retained status cleared
      if (const auto gone = fleet.find(robot); gone != fleet.end()) fleet.erase(gone);
      return;
    }
    auto found = fleet.find(robot);
    if (found == fleet.end()) {
      if (fleet.size() >= config.fleet_limit) {
        ++fleet_ignored;
        return;
      }
      found = fleet.emplace(std::string{robot}, fleet_entry{}).first;
    }
    fleet_entry &entry = found->second;
    if (kind == "status") {
      entry.status = std::string{payload.substr(0, 16)};
      return;
    }
    const json message = json::parse(payload, nullptr, false);
    if (!message.is_object()) return;
    if (kind == "state") {
      entry.telemetry = json::object();
      for (const char *field : {"battery", "motor_power", "sensor", "mic"}) {
        const auto value = message.find(field);
        if (value != message.end() && value->is_number()) entry.telemetry[field] = *value;
      }
      entry.state_at = steady_clock::now();
    } else if (kind == "reply") {
      json digest = {{"cmd", message.value("cmd", "")}, {"ok", message.value("ok", false)}};
      if (const auto id = message.find("id"); id != message.end() && id->dump().size() <= 128) {
        digest["id"] = *id;
      }
      if (const auto error = message.find("error"); error != message.end() && error->is_object()) {
        std::string text = error->value("message", "");
        if (text.size() > 200) text.resize(200);
        digest["error"] = text;
      }
      entry.reply = std::move(digest);
    }
  }

  json fleet_table() const {
    json list = json::array();
    std::lock_guard lock(fleet_mutex);
    for (const auto &[name, entry] : fleet) {
      json robot = {{"name", name}, {"status", entry.status.empty() ? "unknown" : entry.status}};
      if (entry.state_at != steady_clock::time_point{}) {
        robot["telemetry"] = entry.telemetry;
        robot["state_age_ms"] = age_ms(entry.state_at);
      }
      if (!entry.reply.is_null()) robot["reply"] = entry.reply;
      list.push_back(std::move(robot));
    }
    return json{{"site", config.site},
                {"broker", config.host + ":" + std::to_string(config.port)},
                {"connected", fleet_link && fleet_link->connected()},
                {"robots", std::move(list)},
                {"limit", config.fleet_limit},
                {"not_listed", fleet_ignored}};
  }
};

mqtt_bridge::mqtt_bridge(mqtt_config config, const request_handler &handler)
    : impl_(std::make_unique<impl>(std::move(config), handler)) {
  mosquitto_lib_init();
  if (!(impl_->config.state_hz > 0.0)) throw std::invalid_argument("mqtt: state rate must be > 0");
  for (auto *robot : handler.robots()) {
    if (robot->config().name == "all") {
      throw std::invalid_argument("mqtt: a robot named 'all' would clash with the site's all/cmd");
    }
    impl_->add_robot(robot);
  }
  impl_->start_fleet_link();
}

mqtt_bridge::~mqtt_bridge() {
  stop();
  impl_->robots.clear();
  impl_->fleet_link.reset();
  mosquitto_lib_cleanup();
}

void mqtt_bridge::start() {
  if (impl_->running) return;
  impl_->running = true;
  for (auto &link : impl_->robots) impl_->watch_robot(*link);
  impl_->fleet_link->start();
  for (auto &link : impl_->robots) link->link->start();
  impl_->pump = std::jthread([this](std::stop_token stop) { impl_->run(stop); });
  impl_->log("mqtt: site " + impl_->config.site + " on " + impl_->config.host + ":" +
             std::to_string(impl_->config.port) + ", " + std::to_string(impl_->robots.size()) +
             " robot(s)");
}

void mqtt_bridge::stop() {
  if (!impl_->running) return;
  impl_->running = false;
  for (auto &link : impl_->robots) link->robot->unsubscribe(link->listener);
  impl_->pump.request_stop();
  impl_->pump.join();
  // A clean end is no death: the last will does not fire, so say it here.
  for (auto &link : impl_->robots) {
    link->link->publish(link->topic + "/status", "offline", at_least_once, true);
  }
  const auto deadline = steady_clock::now() + offline_flush_limit;
  for (auto &link : impl_->robots) {
    while (link->link->connected() && link->link->unsent() > 0 && steady_clock::now() < deadline) {
      std::this_thread::sleep_for(milliseconds{5});
    }
  }
  for (auto &link : impl_->robots) link->link->stop();
  impl_->fleet_link->stop();
  // The network threads are gone: nothing can reach a session any more.
  for (auto &link : impl_->robots) link->session.reset();
}

action_outcome mqtt_bridge::fleet() const {
  return impl_->fleet_table();
}

action_outcome mqtt_bridge::fleet_all(const json &daemon_request) {
  static const json none;
  const auto inner = daemon_request.find("request");
  const json &request = inner == daemon_request.end() ? none : *inner;
  const auto cmd = request.is_object() ? request.find("cmd") : request.end();
  if (!request.is_object() || cmd == request.end() || !cmd->is_string()) {
    return make_error(daemon_error::bad_request,
                      "fleet_all: \"request\" must be a request object with a \"cmd\"");
  }
  const auto &name = cmd->get_ref<const std::string &>();
  if (std::find(std::begin(local_only_commands), std::end(local_only_commands), name) !=
      std::end(local_only_commands)) {
    return make_error(daemon_error::bad_request, "fleet_all: " + name + " cannot go to the fleet");
  }
  json message = request;
  message.erase("robot");
  if (!message.contains("id")) {
    message["id"] = impl_->config.client_id + "-" + std::to_string(++impl_->fleet_requests);
  }
  const std::string text = dump(message);
  if (text.size() > max_request_bytes) {
    return make_error(daemon_error::too_large, "fleet_all: the request is too long");
  }
  const std::string topic = impl_->site_topic + "/all/cmd";
  if (!impl_->fleet_link->publish(topic, text, at_least_once, false)) {
    return make_error(daemon_error::busy, "fleet_all: not connected to the broker");
  }
  return json{{"topic", topic}, {"id", message["id"]}};
}

}  // namespace tovlink::service

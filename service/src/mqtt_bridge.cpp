#include "mqtt_bridge.hpp"

#include <mosquitto.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <stop_token>
#include <thread>
#include <utility>
#include <vector>

#include "mqtt_connection.hpp"
#include "mqtt_fleet.hpp"
#include "mqtt_robot_link.hpp"

namespace tovlink::service {
namespace {

using std::chrono::milliseconds;

// How long a clean stop waits for the robots' "offline" to reach the broker.
constexpr milliseconds offline_flush_limit{2000};
// A play sent to the whole site without a start time starts this long after
// it was sent.
constexpr milliseconds fleet_play_delay{1000};

std::string dump(const json &value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace

bool is_panel_url(std::string_view text) noexcept {
  const bool web = text.starts_with("http://") || text.starts_with("https://");
  const auto host_at = text.find("://") + 3;
  if (!web || text.size() <= host_at || text.size() > max_panel_url_bytes) return false;
  return std::none_of(text.begin(), text.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte <= ' ' || byte >= 0x7f || c == '"' || c == '\'' || c == '<' || c == '>' ||
           c == '\\' || c == '`';
  });
}

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
  std::vector<std::unique_ptr<mqtt_robot_link>> robots;
  mqtt_fleet_table fleet;
  std::unique_ptr<mqtt_connection> fleet_link;
  std::jthread pump;
  bool running = false;
  std::atomic<std::uint64_t> fleet_requests{0};

  impl(mqtt_config settings, const request_handler &requests)
      : config(std::move(settings)),
        handler(requests),
        site_topic("tovlink/" + config.site),
        fleet(site_topic, config.fleet_limit) {}

  void log(const std::string &line) const {
    if (config.log) config.log(line);
  }

  // --- The bridge thread ------------------------------------------------------

  // The thread entry: whatever escapes a round is logged, and the next one
  // starts after a pause (robots keep their pace meanwhile).
  void run_guarded(const std::stop_token &stop) {
    while (!stop.stop_requested()) {
      try {
        run(stop);
        return;
      } catch (const std::exception &error) {
        log(std::string{"mqtt: internal error in the bridge thread: "} + error.what());
      } catch (...) {
        log("mqtt: internal error in the bridge thread (unknown exception)");
      }
      std::unique_lock lock(alarm->mutex);
      alarm->changed.wait_for(lock, stop, std::chrono::seconds{1}, [] { return false; });
    }
  }

  void run(const std::stop_token &stop) {
    const auto period = std::chrono::duration_cast<steady_clock::duration>(
        std::chrono::duration<double>(1.0 / config.state_hz));
    while (!stop.stop_requested()) {
      const auto now = steady_clock::now();
      auto wake_at = now + std::chrono::seconds{1};
      for (auto &link : robots) {
        if (link->next_state == steady_clock::time_point{}) link->next_state = now;
        // Fixed rate on a grid; a slot missed is skipped, not made up.  The
        // grid moves on while the broker is away too: the next slot is when
        // this thread wakes next.
        const bool state_due = now >= link->next_state;
        while (link->next_state <= now) link->next_state += period;
        link->publish(state_due);
        wake_at = std::min(wake_at, link->next_state);
      }
      std::unique_lock lock(alarm->mutex);
      alarm->changed.wait_until(lock, stop, wake_at, [this] { return alarm->pending; });
      alarm->pending = false;
    }
  }

  // --- The site: the fleet table and commands to all ---------------------------

  void start_fleet_link() {
    mqtt_connection::events events;
    events.connected = [this] {
      for (const char *kind : {"status", "state", "reply"}) {
        fleet_link->subscribe(site_topic + "/+/" + kind, at_most_once);
      }
    };
    events.message = [this](std::string_view topic, std::string_view payload) {
      fleet.message(topic, payload);
    };
    fleet_link = std::make_unique<mqtt_connection>(config, config.client_id + "-fleet",
                                                   std::string{}, std::move(events));
  }

  json fleet_table() const {
    json table = fleet.robots();
    table["site"] = config.site;
    table["broker"] = config.host + ":" + std::to_string(config.port);
    table["connected"] = fleet_link && fleet_link->connected();
    return table;
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
    impl_->robots.push_back(std::make_unique<mqtt_robot_link>(impl_->config, handler, *robot,
                                                              impl_->site_topic, impl_->alarm));
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
  impl_->fleet_link->start();
  for (auto &link : impl_->robots) link->start();
  impl_->pump = std::jthread([this](std::stop_token stop) { impl_->run_guarded(stop); });
  impl_->log("mqtt: site " + impl_->config.site + " on " + impl_->config.host + ":" +
             std::to_string(impl_->config.port) + ", " + std::to_string(impl_->robots.size()) +
             " robot(s)");
}

void mqtt_bridge::stop() {
  if (!impl_->running) return;
  impl_->running = false;
  for (auto &link : impl_->robots) link->stop_listening();
  impl_->pump.request_stop();
  impl_->pump.join();
  for (auto &link : impl_->robots) link->publish_offline();
  const auto deadline = steady_clock::now() + offline_flush_limit;
  for (auto &link : impl_->robots) {
    while (link->flushing() && steady_clock::now() < deadline) {
      std::this_thread::sleep_for(milliseconds{5});
    }
  }
  for (auto &link : impl_->robots) link->disconnect();
  impl_->fleet_link->stop();
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
  if (name == "watch" || name == "fleet" || name == "fleet_all") {
    return make_error(daemon_error::bad_request, "fleet_all: " + name + " cannot go to the fleet");
  }
  json message = request;
  message.erase("robot");
  // Every robot of the site starts a play at the same wall-clock time: one
  // second from now leaves room for the broker and the daemons to pass it on.
  if (name == "play" && !message.contains("start_at_ms")) {
    message["start_at_ms"] = std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count() +
                             fleet_play_delay.count();
  }
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
  json result = {{"topic", topic}, {"id", message["id"]}};
  if (message.contains("start_at_ms")) result["start_at_ms"] = message["start_at_ms"];
  return result;
}

}  // namespace tovlink::service

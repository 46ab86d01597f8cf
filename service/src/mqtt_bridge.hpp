// The daemon's robots on an MQTT broker, for fleets of robots spread over
// many machines (docs/protocol.md, "MQTT").  Each robot has a connection of
// its own, so the broker's last will can mark exactly that robot offline
// when the daemon dies; one more connection watches the whole site for the
// fleet table and sends commands to every robot of it.
//
// The bridge is one more client of the robot threads: commands go through a
// client_session, snapshots and state changes through robot_worker::subscribe.
// Robot threads only ever drop data into small slots and bounded queues; a
// thread of the bridge hands it to the MQTT connections, each of which runs
// its network loop (and reconnects with back-off) on a thread of its own.  A
// broker that is down or slow therefore never slows a robot.
//
// The parts: mqtt_connection (one broker connection and its thread),
// mqtt_robot_link (a robot's commands, replies, status and state),
// mqtt_fleet_table (the site's robots as seen on the broker).
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "protocol.hpp"
#include "request_handler.hpp"

namespace tovlink::service {

struct mqtt_config {
  std::string host = "127.0.0.1";
  int port = 1883;
  std::string site;
  // Each connection's client id is this plus "-<robot>" or "-fleet".
  std::string client_id;
  // TLS, when cafile is set; cert and key for a client certificate.
  std::string cafile;
  std::string certfile;
  std::string keyfile;
  std::optional<std::string> username;
  std::optional<std::string> password;
  double state_hz = 2.0;  // state messages per second, per robot
  // Sent as "panel" in each state message when set (see is_panel_url).
  std::string panel_url;
  int keepalive_s = 15;
  // Robots the fleet table keeps; robots seen beyond that are not listed.
  std::size_t fleet_limit = 1024;
  // Commands per robot let in and not yet answered on the broker (their
  // replies wait while the broker is away); more are answered busy at once,
  // so no reply is ever dropped.
  std::size_t reply_backlog = 64;
  // Messages handed to a connection and not yet written out; past this the
  // bridge holds back (state messages are then replaced by newer ones).
  int max_unsent = 100;
  std::function<void(std::string_view line)> log;
};

// "HOST[:PORT]" or "[V6ADDR]:PORT"; the port is `default_port` when absent.
// Throws std::invalid_argument naming the problem.
std::pair<std::string, int> parse_mqtt_address(const std::string &text, int default_port);

// A panel address a daemon may publish and a fleet page may link to: http://
// or https://, at most max_panel_url_bytes, no spaces, quotes, angle
// brackets, backslashes or control bytes.  Read from the broker too, where
// anyone may publish: a javascript: or data: link never gets through.
inline constexpr std::size_t max_panel_url_bytes = 200;
bool is_panel_url(std::string_view text) noexcept;

// The status a robot's state is published as: online, lost or offline.
std::string_view mqtt_status(robot_state state) noexcept;

class mqtt_bridge {
 public:
  // `handler`'s robots must outlive the bridge.  Nothing connects before
  // start().
  mqtt_bridge(mqtt_config config, const request_handler &handler);
  // Stops the bridge if it still runs.
  ~mqtt_bridge();
  mqtt_bridge(const mqtt_bridge &) = delete;
  mqtt_bridge &operator=(const mqtt_bridge &) = delete;

  void start();
  // Publishes every robot as offline (retained), then disconnects cleanly.
  void stop();

  // The daemon's "fleet" command: every robot of the site seen on the broker.
  action_outcome fleet() const;
  // The daemon's "fleet_all" command: the request object in its "request"
  // goes to every robot of the site on tovlink/<site>/all/cmd.
  action_outcome fleet_all(const json &daemon_request);

 private:
  struct impl;
  std::unique_ptr<impl> impl_;
};

}  // namespace tovlink::service

// tovlinkd's command-line options for the MQTT bridge, and the bridge's
// settings made from them.
#pragma once

#include <CLI/CLI.hpp>

#include <string>

#include "mqtt_bridge.hpp"

namespace tovlink::service {

struct mqtt_options {
  std::string broker;  // HOST[:PORT]; empty: no bridge
  std::string site;
  std::string client_id;
  std::string cafile;
  std::string certfile;
  std::string keyfile;
  std::string user;
  std::string password_file;
  double state_hz = 2.0;
  std::string panel_url;  // where this daemon's panel is reached, for fleet pages elsewhere
};

void add_mqtt_options(CLI::App &app, mqtt_options &options);

// Throws CLI::ValidationError for a bad option, std::runtime_error for a
// password file that cannot be read.
mqtt_config make_mqtt_config(const mqtt_options &options,
                             std::function<void(std::string_view)> log);

}  // namespace tovlink::service

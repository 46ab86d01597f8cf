#include "mqtt_options.hpp"

#include <unistd.h>

#include <array>
#include <cctype>
#include <fstream>
#include <regex>
#include <stdexcept>

namespace tovlink::service {
namespace {

constexpr int mqtt_port = 1883;
constexpr int mqtt_tls_port = 8883;

std::string first_line(const std::string &path) {
  std::ifstream file(path);
  if (!file) throw std::runtime_error("cannot read the MQTT password file " + path);
  std::string line;
  std::getline(file, line);
  while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.pop_back();
  return line;
}

std::string host_name() {
  std::array<char, 256> name{};
  if (::gethostname(name.data(), name.size() - 1) != 0) return "host";
  std::string text{name.data()};
  // Topic and client-id friendly.
  for (char &c : text) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') c = '_';
  }
  return text.empty() ? "host" : text;
}

}  // namespace

void add_mqtt_options(CLI::App &app, mqtt_options &options) {
  auto *broker = app.add_option("--mqtt", options.broker,
                                "Bridge the robots to the MQTT broker at HOST[:PORT] (port 1883, "
                                "8883 with --mqtt-cafile)")
                     ->type_name("HOST[:PORT]");
  app.add_option("--site", options.site,
                 "The site's name in the MQTT topics (tovlink/SITE/ROBOT/...); needed with --mqtt")
      ->type_name("NAME");
  app.add_option("--mqtt-client-id", options.client_id,
                 "Client id prefix (default tovlinkd-SITE-HOSTNAME-PID); each robot's connection "
                 "adds -ROBOT")
      ->type_name("ID")
      ->needs(broker);
  app.add_option("--mqtt-cafile", options.cafile, "Use TLS, trusting this CA certificate")
      ->type_name("PATH")
      ->needs(broker);
  app.add_option("--mqtt-cert", options.certfile, "TLS client certificate (with --mqtt-key)")
      ->type_name("PATH")
      ->needs(broker);
  app.add_option("--mqtt-key", options.keyfile, "TLS client key (with --mqtt-cert)")
      ->type_name("PATH")
      ->needs(broker);
  app.add_option("--mqtt-user", options.user, "User name at the broker")
      ->type_name("NAME")
      ->needs(broker);
  app.add_option("--mqtt-password-file", options.password_file,
                 "File whose first line is the broker password")
      ->type_name("PATH")
      ->needs(broker);
  app.add_option("--mqtt-hz", options.state_hz, "State messages per second, per robot, over MQTT")
      ->capture_default_str()
      ->check(CLI::Range(0.1, 50.0))
      ->needs(broker);
  app.add_option("--panel-url", options.panel_url,
                 "The address people open this daemon's panel at (http://lab3.local:8080/), "
                 "sent with each state message so fleet pages on other daemons link to its robots")
      ->type_name("URL")
      ->needs(broker);
}

mqtt_config make_mqtt_config(const mqtt_options &options,
                             std::function<void(std::string_view)> log) {
  static const std::regex name_pattern{"[A-Za-z0-9_-]{1,32}"};
  if (options.site.empty()) throw CLI::ValidationError("--site", "--mqtt needs --site NAME");
  if (!std::regex_match(options.site, name_pattern)) {
    throw CLI::ValidationError("--site", "must be 1-32 letters, digits, '_' or '-'");
  }
  if (options.certfile.empty() != options.keyfile.empty()) {
    throw CLI::ValidationError("--mqtt-cert", "--mqtt-cert and --mqtt-key go together");
  }
  if (!options.certfile.empty() && options.cafile.empty()) {
    throw CLI::ValidationError("--mqtt-cert", "a client certificate needs --mqtt-cafile");
  }
  if (!options.password_file.empty() && options.user.empty()) {
    throw CLI::ValidationError("--mqtt-password-file", "a password needs --mqtt-user");
  }
  mqtt_config config;
  try {
    std::tie(config.host, config.port) =
        parse_mqtt_address(options.broker, options.cafile.empty() ? mqtt_port : mqtt_tls_port);
  } catch (const std::invalid_argument &problem) {
    throw CLI::ValidationError("--mqtt", problem.what());
  }
  config.site = options.site;
  config.client_id = options.client_id.empty() ? "tovlinkd-" + options.site + "-" + host_name() +
                                                     "-" + std::to_string(::getpid())
                                               : options.client_id;
  config.cafile = options.cafile;
  config.certfile = options.certfile;
  config.keyfile = options.keyfile;
  if (!options.user.empty()) config.username = options.user;
  if (!options.password_file.empty()) config.password = first_line(options.password_file);
  config.state_hz = options.state_hz;
  if (!options.panel_url.empty() && !is_panel_url(options.panel_url)) {
    throw CLI::ValidationError("--panel-url", "must be an http:// or https:// address of at most " +
                                                  std::to_string(max_panel_url_bytes) +
                                                  " bytes, without spaces or quotes");
  }
  config.panel_url = options.panel_url;
  config.log = std::move(log);
  return config;
}

}  // namespace tovlink::service

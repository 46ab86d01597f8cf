// tovlinkd: the robot service.  It owns the robots (one thread each), keeps
// them connected, polls their telemetry, and serves one JSON protocol on a
// Unix socket and, when asked, over WebSocket.
#include <CLI/CLI.hpp>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "config_file.hpp"
#include "motion_service.hpp"
#include "motion_store.hpp"
#include "mqtt_options.hpp"
#include "network.hpp"
#include "request_handler.hpp"
#include "robot_worker.hpp"
#include "tovlink_sim/virtual_robot.hpp"

#ifndef TOVLINKD_VERSION
#define TOVLINKD_VERSION "0"
#endif
#ifndef TOVLINKD_SHIPPED_MOTIONS
#define TOVLINKD_SHIPPED_MOTIONS "../share/tovlink/motions"
#endif
#ifndef TOVLINKD_CONFIG_FILE
#define TOVLINKD_CONFIG_FILE "/etc/tovlink/tovlinkd.conf"
#endif

namespace {

using namespace tovlink::service;

constexpr int exit_usage = 2;
constexpr int exit_failure = 1;

std::mutex log_mutex;

// Whether standard error is journald's stream (JOURNAL_STREAM names it):
// the journal stamps each line itself and reads the level from a "<N>"
// prefix; anywhere else the line carries its own time and level.
bool logging_to_journal() {
  static const bool journal = [] {
    const char *stream = std::getenv("JOURNAL_STREAM");
    struct stat status {};
    if (stream == nullptr || ::fstat(STDERR_FILENO, &status) != 0) return false;
    unsigned long long device = 0;
    unsigned long long inode = 0;
    if (std::sscanf(stream, "%llu:%llu", &device, &inode) != 2) return false;
    return device == status.st_dev && inode == status.st_ino;
  }();
  return journal;
}

enum class log_level { error = 3, info = 6 };

void log_at(log_level level, std::string_view line) {
  std::lock_guard lock(log_mutex);
  if (logging_to_journal()) {
    std::fprintf(stderr, "<%d>tovlinkd: %.*s\n", static_cast<int>(level),
                 static_cast<int>(line.size()), line.data());
  } else {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    tm utc{};
    ::gmtime_r(&now.tv_sec, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof(stamp), "%Y-%m-%dT%H:%M:%S", &utc);
    std::fprintf(stderr, "%s.%03ldZ %s tovlinkd: %.*s\n", stamp, now.tv_nsec / 1000000,
                 level == log_level::error ? "error" : "info", static_cast<int>(line.size()),
                 line.data());
  }
  std::fflush(stderr);
}

void log_line(std::string_view line) {
  log_at(log_level::info, line);
}

void log_error(std::string_view line) {
  log_at(log_level::error, line);
}

struct settings {
  std::vector<std::string> robots;
  std::vector<std::string> sims;
  double poll_hz = 10.0;
  int history_s = 300;
  std::string socket_path;
  std::string listen;
  std::string token_file;
  bool create_token = false;
  std::vector<std::string> allowed_hosts;
  std::size_t max_clients = 128;
  bool verbose = false;
  std::string motions_dir;
  mqtt_options mqtt;
};

bool valid_name(const std::string &name) {
  static const std::regex pattern{"[A-Za-z0-9_-]{1,32}"};
  return std::regex_match(name, pattern);
}

// NAME=PORT[:BAUD]
robot_config parse_robot(const std::string &text) {
  const auto equals = text.find('=');
  if (equals == std::string::npos)
    throw CLI::ValidationError("--robot", "expected NAME=PORT[:BAUD], got '" + text + "'");
  robot_config config;
  config.name = text.substr(0, equals);
  config.port = text.substr(equals + 1);
  const auto colon = config.port.rfind(':');
  if (colon != std::string::npos) {
    const std::string baud = config.port.substr(colon + 1);
    if (baud.empty() || baud.find_first_not_of("0123456789") != std::string::npos ||
        baud.size() > 9) {
      throw CLI::ValidationError("--robot", "baud rate must be a whole number, got '" + baud + "'");
    }
    config.baud = std::stoi(baud);
    config.port.resize(colon);
    if (config.baud <= 0) throw CLI::ValidationError("--robot", "baud rate must be positive");
  }
  if (config.port.empty()) throw CLI::ValidationError("--robot", "no port in '" + text + "'");
  return config;
}

http_listen parse_listen(const std::string &text) {
  const auto colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) {
    throw CLI::ValidationError("--listen", "expected HOST:PORT, got '" + text + "'");
  }
  http_listen listen;
  listen.host = text.substr(0, colon);
  const std::string port = text.substr(colon + 1);
  if (port.empty() || port.size() > 5 ||
      port.find_first_not_of("0123456789") != std::string::npos || std::stoi(port) > 65535) {
    throw CLI::ValidationError("--listen", "port must be 0-65535, got '" + port + "'");
  }
  listen.port = static_cast<unsigned short>(std::stoi(port));
  return listen;
}

std::string read_token(const std::string &path) {
  std::ifstream file(path);
  if (!file) throw std::runtime_error("cannot read the token file " + path);
  std::string token;
  std::getline(file, token);
  while (!token.empty() && std::isspace(static_cast<unsigned char>(token.back()))) token.pop_back();
  if (token.empty()) throw std::runtime_error("the token file " + path + " is empty");
  return token;
}

// Makes a token file that does not exist yet: 32 random bytes as hex (safe
// in a URL as it is), mode 0600 from the start.
void create_token_file(const std::string &path) {
  std::ifstream random("/dev/urandom", std::ios::binary);
  unsigned char bytes[32];
  if (!random.read(reinterpret_cast<char *>(bytes), sizeof(bytes))) {
    throw std::runtime_error("cannot read /dev/urandom for a token");
  }
  std::string token;
  constexpr char digits[] = "0123456789abcdef";
  for (const unsigned char byte : bytes) {
    token.push_back(digits[byte >> 4]);
    token.push_back(digits[byte & 15]);
  }
  token.push_back('\n');
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    if (errno == EEXIST) return;  // kept: the token clients already have
    throw std::runtime_error("cannot create the token file " + path + ": " + std::strerror(errno));
  }
  const bool written =
      ::write(fd, token.data(), token.size()) == static_cast<ssize_t>(token.size());
  ::close(fd);
  if (!written) {
    ::unlink(path.c_str());
    throw std::runtime_error("cannot write the token file " + path);
  }
  log_line("created the token file " + path + " (mode 0600)");
}

std::string default_socket_path() {
  if (::geteuid() == 0) return "/run/tovlink/tovlinkd.sock";
  const char *runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime == nullptr || *runtime == '\0') {
    throw std::runtime_error("XDG_RUNTIME_DIR is not set: give the socket's path with --socket");
  }
  return std::string{runtime} + "/tovlink/tovlinkd.sock";
}

// Socket activation: the service manager passes the listening Unix socket as
// descriptor 3 and names this process in LISTEN_PID.
int inherited_socket() {
  const char *pid = std::getenv("LISTEN_PID");
  const char *fds = std::getenv("LISTEN_FDS");
  if (pid == nullptr || fds == nullptr) return -1;
  const bool ours = std::strtol(pid, nullptr, 10) == static_cast<long>(::getpid());
  const long count = std::strtol(fds, nullptr, 10);
  ::unsetenv("LISTEN_PID");
  ::unsetenv("LISTEN_FDS");
  ::unsetenv("LISTEN_FDNAMES");
  if (!ours || count < 1) return -1;
  constexpr int first = 3;
  struct stat status {};
  if (::fstat(first, &status) != 0 || !S_ISSOCK(status.st_mode)) {
    throw std::runtime_error("descriptor 3 from the service manager is not a socket");
  }
  for (int fd = first + 1; fd < first + count; ++fd) ::close(fd);  // only the first is used
  return first;
}

// Tells the service manager the daemon is ready (Type=notify), when it asks.
void notify_ready() {
  const char *path = std::getenv("NOTIFY_SOCKET");
  if (path == nullptr || (path[0] != '/' && path[0] != '@')) return;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::size_t length = std::strlen(path);
  if (length >= sizeof(address.sun_path)) return;
  std::memcpy(address.sun_path, path, length);
  if (address.sun_path[0] == '@') address.sun_path[0] = '\0';
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  constexpr std::string_view message = "READY=1";
  ::sendto(fd, message.data(), message.size(), MSG_NOSIGNAL,
           reinterpret_cast<const sockaddr *>(&address),
           static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length));
  ::close(fd);
}

// What the settings decide, all of it worked out and checked before anything
// starts, so a bad setting leaves nothing half-started.
struct startup {
  std::vector<robot_config> robots;
  std::filesystem::path motions_dir;
  std::filesystem::path shipped_motions_dir;
  network_config net;
  std::optional<mqtt_config> mqtt;
};

// Where the shipped motions are: beside the running program's own file
// (none when the system cannot say where that is).
std::filesystem::path find_shipped_motions() {
  std::error_code error;
  const auto program = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return {};
  return shipped_motions_dir(program, TOVLINKD_SHIPPED_MOTIONS);
}

startup plan_startup(const settings &options) {
  if (options.robots.empty() && options.sims.empty()) {
    throw CLI::ValidationError("--robot", "no robots: give --robot NAME=PORT or --sim NAME");
  }
  startup plan;
  std::set<std::string> names;
  const auto add = [&](robot_config config, const std::string &option) {
    if (!valid_name(config.name)) {
      throw CLI::ValidationError(
          option, "robot name '" + config.name + "' must be 1-32 letters, digits, '_' or '-'");
    }
    if (!names.insert(config.name).second) {
      throw CLI::ValidationError(option, "robot name '" + config.name + "' given twice");
    }
    plan.robots.push_back(std::move(config));
  };
  for (const auto &text : options.robots) add(parse_robot(text), "--robot");
  for (const auto &name : options.sims) {
    robot_config config;
    config.name = name;
    config.simulated = true;
    add(std::move(config), "--sim");
  }

  network_config &net = plan.net;
  net.release = TOVLINKD_VERSION;
  net.max_clients = options.max_clients;
  net.log = log_line;
  if (options.create_token && options.token_file.empty()) {
    throw CLI::ValidationError("--create-token",
                               "--create-token needs --token-file: the file to create");
  }
  if (!options.listen.empty()) {
    net.http = parse_listen(options.listen);
    if (options.create_token && !options.token_file.empty()) create_token_file(options.token_file);
    if (!options.token_file.empty()) net.token = read_token(options.token_file);
    if (!options.allowed_hosts.empty() && !net.token) {
      throw CLI::ValidationError(
          "--allowed-host",
          "--allowed-host needs --token-file: without a token only loopback names are served");
    }
    net.allowed_hosts = options.allowed_hosts;
    if (!net.token && !is_loopback_host(net.http->host)) {
      throw CLI::ValidationError("--listen", "--listen on " + net.http->host +
                                                 " (not a loopback address) needs --token-file: "
                                                 "clients must present a token");
    }
  }
  if (!options.mqtt.broker.empty()) plan.mqtt = make_mqtt_config(options.mqtt, log_line);
  plan.motions_dir = options.motions_dir.empty() ? default_motions_dir()
                                                 : std::filesystem::path{options.motions_dir};
  plan.shipped_motions_dir = find_shipped_motions();
  return plan;
}

// Where clients will find the daemon: the socket the service manager passed,
// or the path to make.  Only a daemon that serves takes the former.
void choose_socket(const settings &options, network_config &net) {
  net.inherited_socket = inherited_socket();
  if (net.inherited_socket < 0) {
    net.socket_path = options.socket_path.empty() ? default_socket_path() : options.socket_path;
  }
}

std::string summary(const startup &plan) {
  std::string text = "robots:";
  for (const auto &robot : plan.robots) {
    text += " " + robot.name + (robot.simulated ? " (virtual)" : " (" + robot.port + ")");
  }
  if (plan.net.http) {
    text += "; listen " + plan.net.http->host + ":" + std::to_string(plan.net.http->port);
  }
  if (plan.mqtt) text += "; MQTT " + plan.mqtt->host + ":" + std::to_string(plan.mqtt->port);
  return text;
}

int serve(startup plan, const settings &options) {
  std::vector<robot_config> &configs = plan.robots;
  network_config &net = plan.net;
  choose_socket(options, net);

  // Virtual robots first: their ports are the robots' ports.
  std::vector<std::unique_ptr<tovlink::sim::virtual_robot>> sims;
  for (auto &config : configs) {
    if (!config.simulated) continue;
    auto robot = std::make_unique<tovlink::sim::virtual_robot>();
    robot->start();
    config.port = robot->slave_path();
    sims.push_back(std::move(robot));
  }

  worker_timing timing;
  timing.poll_period = std::chrono::milliseconds{static_cast<long>(1000.0 / options.poll_hz)};
  timing.history = std::chrono::seconds{options.history_s};
  std::vector<std::unique_ptr<robot_worker>> workers;
  std::vector<robot_worker *> robots;
  for (const auto &config : configs) {
    workers.push_back(std::make_unique<robot_worker>(config, timing, log_line, options.verbose));
    robots.push_back(workers.back().get());
  }
  request_handler handler(robots, options.poll_hz);
  // Before the robots' threads start (it hooks into them), gone after they
  // stopped.
  motion_store motions(plan.motions_dir, plan.shipped_motions_dir);
  motion_service motion_commands(robots, motions);
  handler.set_extension(&motion_commands);
  // Whichever way serve() ends, the robots' threads (which release plays
  // through the motion service) stop before the service goes.
  struct workers_stopper {
    std::vector<std::unique_ptr<robot_worker>> &workers;
    ~workers_stopper() {
      for (auto &worker : workers) worker->stop();
    }
  } stop_workers_first{workers};
  std::unique_ptr<mqtt_bridge> bridge;
  if (plan.mqtt) {
    bridge = std::make_unique<mqtt_bridge>(std::move(*plan.mqtt), handler);
    handler.add_command("fleet", [&bridge](const json &) { return bridge->fleet(); });
    handler.add_command("fleet_all",
                        [&bridge](const json &request) { return bridge->fleet_all(request); });
  }

  // Binding (and the signal handlers) come before the robots' threads, so a
  // bad address fails at once and a signal during connect ends cleanly.
  auto server = std::make_unique<network>(std::move(net), handler);
  for (auto &worker : workers) {
    log_line("robot " + worker->config().name + ": connecting on " + worker->config().port);
    worker->start();
  }
  if (bridge) bridge->start();
  log_line("motions: " +
           (plan.motions_dir.empty() ? std::string{"none saved (no home: give --motions-dir)"}
                                     : plan.motions_dir.string()) +
           " (shipped: " + plan.shipped_motions_dir.string() + ")");
  notify_ready();
  server->run();
  bridge.reset();  // publishes every robot as offline
  // Each robot sees the normal end of its link, then the clients go.
  for (auto &worker : workers) worker->stop();
  server.reset();
  workers.clear();
  for (auto &sim : sims) sim->stop();
  log_line("stopped");
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  std::signal(SIGPIPE, SIG_IGN);
  settings options;
  CLI::App app{
      "tovlinkd: the robot service. Owns the robots, keeps them connected, polls their\n"
      "telemetry, and serves clients on a Unix socket and, with --listen, over WebSocket."};
  app.set_version_flag("--version", std::string{"tovlinkd "} + TOVLINKD_VERSION);
  app.add_option("--robot", options.robots, "A robot on a serial port (repeatable)")
      ->type_name("NAME=PORT[:BAUD]");
  app.add_option("--sim", options.sims, "A virtual robot run in this process (repeatable)")
      ->type_name("NAME");
  app.add_option("--poll-hz", options.poll_hz, "Telemetry polls per second, per robot")
      ->capture_default_str()
      ->check(CLI::Range(1.0, 50.0));
  app.add_option("--history", options.history_s,
                 "Keep each robot's telemetry of the last SECONDS in memory for clients that "
                 "ask (0-3600; 0 keeps none)")
      ->type_name("SECONDS")
      ->capture_default_str()
      ->check(CLI::Range(0, 3600));
  app.add_option("--socket", options.socket_path,
                 "Unix socket to listen on (default $XDG_RUNTIME_DIR/tovlink/tovlinkd.sock, "
                 "/run/tovlink/tovlinkd.sock for root)")
      ->type_name("PATH");
  app.add_option("--listen", options.listen,
                 "Also serve HTTP (web panel) and WebSocket (/ws) on HOST:PORT; loopback "
                 "unless --token-file is given")
      ->type_name("HOST:PORT");
  app.add_option("--token-file", options.token_file,
                 "File whose first line is the token WebSocket clients must present "
                 "(?token=...)")
      ->type_name("PATH");
  app.add_flag("--create-token", options.create_token,
               "Create the --token-file (mode 0600, a random token) if it does not exist");
  app.add_option("--allowed-host", options.allowed_hosts,
                 "Another name (or address) the HTTP side answers to, besides the machine's "
                 "own; needs --token-file (repeatable)")
      ->type_name("NAME");
  app.add_option("--max-clients", options.max_clients,
                 "Most clients at once on the Unix socket, and most WebSocket clients (a "
                 "budget each)")
      ->capture_default_str()
      ->check(CLI::Range(1, 10000));
  app.add_option("--motions-dir", options.motions_dir,
                 "Folder of the saved motions (made when a motion is first saved; default "
                 "$XDG_DATA_HOME/tovlink/motions, /var/lib/tovlink/motions for root or the "
                 "service's state directory)")
      ->type_name("DIR");
  app.add_flag("-v,--verbose", options.verbose, "Log the library's diagnostic lines too");
  add_mqtt_options(app, options.mqtt);
  // The configuration file holds the same options, `key = value` with the
  // long option's name as key; the command line wins over it.
  auto config_file = std::make_shared<located_config>();
  app.config_formatter(config_file);
  app.allow_config_extras(CLI::config_extras_mode::error);
  app.set_config("--config", TOVLINKD_CONFIG_FILE,
                 "Read options from this file, one `name = value` line per long option; the "
                 "command line wins over it (read when present; --config '' reads none)")
      ->type_name("PATH");
  bool check_only = false;
  app.add_flag("--check-config", check_only,
               "Check the options and the configuration file, print the robots, and exit")
      ->configurable(false);
  app.footer(
      "Signals: SIGTERM and SIGINT end every robot's connection cleanly and remove the\n"
      "socket. Protocol: docs/protocol.md. Exit status: 0 after a signal, 1 failure, 2 bad "
      "usage.");
  const auto given = long_options_in(argc, argv);
  const auto on_command_line = [&given](const std::string &key) {
    return std::find(given.begin(), given.end(), key) != given.end();
  };
  // An error about a key of the configuration file names the file and the
  // key's line.
  const auto report_in_file = [&](const std::exception &error) {
    if (!config_file->read()) return false;
    const int line = config_file->line_named_in(error.what(), on_command_line);
    if (line == 0) return false;
    const auto *option = app.get_config_ptr();
    const std::string path =
        option->count() > 0 ? option->as<std::string>() : std::string{TOVLINKD_CONFIG_FILE};
    std::fprintf(stderr, "tovlinkd: %s:%d: %s\n", path.c_str(), line,
                 file_error_reason(error.what()).c_str());
    return true;
  };
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError &error) {
    if (error.get_exit_code() == 0) return app.exit(error);  // --help, --version
    if (!report_in_file(error)) app.exit(error);
    return exit_usage;
  }
  try {
    startup plan = plan_startup(options);
    if (check_only) {
      std::printf("tovlinkd: the configuration is usable; %s\n", summary(plan).c_str());
      return 0;
    }
    return serve(std::move(plan), options);
  } catch (const CLI::ValidationError &error) {
    if (!report_in_file(error)) log_error(error.what());
    return exit_usage;
  } catch (const std::exception &error) {
    log_error(error.what());
    return exit_failure;
  }
}

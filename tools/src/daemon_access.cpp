// Daemon access: the robot service tovlinkd over its Unix socket, one JSON
// object per line each way (docs/protocol.md).  Plain POSIX sockets: the tool
// sends one request at a time and waits for its reply, skipping the objects
// the service pushes meanwhile.
#include <cstdlib>

#include "access.hpp"

#ifndef _WIN32
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <nlohmann/json.hpp>
#endif

namespace tovlink::tool {

#ifdef _WIN32

bool daemon_client_available() {
  return false;
}
std::string default_daemon_socket() {
  return {};
}
std::unique_ptr<robot_access> open_daemon(const std::string &, const std::string &, bool) {
  throw failure("this build of tovlink has no client for the service", 0, "unsupported",
                reached::nothing);
}

#else

namespace {

using nlohmann::json;
using steady = std::chrono::steady_clock;

constexpr int supported_major = 1;
// A reply is far smaller; anything longer is not the service.
constexpr std::size_t max_line_bytes = 1 << 20;
// The service answers once the robot has (1.5 s at most per exchange).
constexpr std::chrono::seconds reply_wait{10};
constexpr std::chrono::seconds greeting_wait{2};

failure service_failure(const std::string &message) {
  return failure{message, 0, "service", reached::maybe};
}

class socket_line_channel {
 public:
  explicit socket_line_channel(int fd) : fd_(fd) {}
  ~socket_line_channel() { ::close(fd_); }
  socket_line_channel(const socket_line_channel &) = delete;
  socket_line_channel &operator=(const socket_line_channel &) = delete;

  void send_line(const std::string &line) {
    std::string_view rest = line;
    while (!rest.empty()) {
      const auto written = ::send(fd_, rest.data(), rest.size(), MSG_NOSIGNAL);
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) {
        throw service_failure(std::string{"the service's socket failed: "} + std::strerror(errno));
      }
      rest.remove_prefix(static_cast<std::size_t>(written));
    }
  }

  // The next line, or nullopt when `until` passes first.  Throws when the
  // service closes the connection.
  std::optional<std::string> read_line(steady::time_point until) {
    while (true) {
      if (const auto end = buffer_.find('\n'); end != std::string::npos) {
        auto line = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        return line;
      }
      if (buffer_.size() > max_line_bytes)
        throw service_failure("the service sent an overlong line");
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - steady::now()).count();
      if (left <= 0) return std::nullopt;
      pollfd ready{fd_, POLLIN, 0};
      const int polled = ::poll(&ready, 1, static_cast<int>(left));
      if (polled < 0 && errno != EINTR) {
        throw service_failure(std::string{"the service's socket failed: "} + std::strerror(errno));
      }
      if (polled <= 0) continue;
      char chunk[4096];
      const auto count = ::recv(fd_, chunk, sizeof chunk, 0);
      if (count < 0 && errno == EINTR) continue;
      if (count <= 0) throw service_failure("the service closed the connection");
      buffer_.append(chunk, static_cast<std::size_t>(count));
    }
  }

 private:
  int fd_;
  std::string buffer_;
};

// Connects to the socket; -1 with errno set when nothing listens there.
int connect_unix(const std::string &path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) {
    errno = ENAMETOOLONG;
    return -1;
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
    const int error = errno;
    ::close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

// Whether a failed command can have reached the robot, as the service
// reports it.  A service too old to say leaves it open: it may have.
reached reached_from(const json &error) {
  const auto sent = error.find("sent");
  if (sent != error.end() && sent->is_boolean() && !sent->get<bool>()) return reached::nothing;
  return reached::maybe;
}

// Reads the service's greeting; throws unless it speaks our protocol.
void expect_greeting(socket_line_channel &channel, const std::string &socket_path) {
  const auto greeting = channel.read_line(steady::now() + greeting_wait);
  const auto version = greeting ? json::parse(*greeting, nullptr, false) : json{};
  if (!version.is_object() || version.value("class", "") != "version") {
    throw service_failure("no greeting from the service at " + socket_path);
  }
  const auto major = version.contains("proto") ? version["proto"].value("major", 0) : 0;
  if (major != supported_major) {
    throw service_failure("the service at " + socket_path + " speaks protocol " +
                          std::to_string(major) + ", this tool " + std::to_string(supported_major));
  }
}

failure failure_of(const std::string &command, const json &error) {
  const auto name = error.value("name", std::string{"error"});
  auto message = error.value("message", command + ": " + name);
  const bool lost = name == "link_lost" ||
                    (name == "robot_not_ready" && message.find("lost") != std::string::npos);
  return failure{message, error.value("code", 0LL), name, reached_from(error), lost};
}

play_progress progress_from(const json &object) {
  play_progress p;
  p.motion = object.value("motion", "");
  p.state = object.value("state", "");
  p.loop = object.value("loop", 0);
  p.keyframe = object.value("keyframe", 0LL);
  p.keyframes = object.value("keyframes", 0LL);
  p.position_ms = object.value("position_ms", 0LL);
  p.duration_ms = object.value("duration_ms", 0LL);
  return p;
}

class daemon_robot;

// A play of the service's: its progress comes pushed on a connection of its
// own, which watches the robot (telemetry once a second, the least the
// service sends, is skipped).
class daemon_play final : public motion_play {
 public:
  daemon_play(daemon_robot &owner, int fd, const std::string &socket_path, std::string robot)
      : owner_(owner), watch_(fd), robot_(std::move(robot)) {
    expect_greeting(watch_, socket_path);
    json request{{"cmd", "watch"}, {"id", "motion"}, {"enable", true}, {"rate_hz", 1}};
    if (!robot_.empty()) request["robot"] = robot_;
    watch_.send_line(request.dump() + "\n");
    const auto until = steady::now() + reply_wait;
    while (true) {
      const auto line = watch_.read_line(until);
      if (!line) throw service_failure("watch: no reply from the service");
      const auto reply = json::parse(*line, nullptr, false);
      if (!reply.is_object() || reply.value("class", "") != "reply") continue;
      if (!reply.value("ok", false))
        throw failure_of("watch", reply.value("error", json::object()));
      break;
    }
  }

  void start(const play_request &request);
  const json &report() const override { return report_; }
  std::optional<play_progress> next(std::chrono::milliseconds wait) override {
    const auto until = steady::now() + wait;
    while (true) {
      const auto line = watch_.read_line(until);
      if (!line) return std::nullopt;
      const auto message = json::parse(*line, nullptr, false);
      if (!message.is_object()) continue;
      if (!robot_.empty() && message.value("robot", robot_) != robot_) continue;
      const auto kind = message.value("class", "");
      if (kind == "state" && message.value("state", "") == "lost") {
        throw failure("play: the service lost the robot", 20001, "link_lost", reached::maybe, true);
      }
      if (kind != "motion") continue;
      auto progress = progress_from(message);
      if (progress.state == "failed") {
        throw failure_of("play", message.value("error", json::object()));
      }
      return progress;
    }
  }
  void stop() override;

 private:
  daemon_robot &owner_;
  socket_line_channel watch_;
  std::string robot_;
  json report_;
};

class daemon_recording final : public motion_recording {
 public:
  explicit daemon_recording(daemon_robot &owner) : owner_(owner) {}
  json stop(double tolerance, const std::string &name) override;

 private:
  daemon_robot &owner_;
};

class daemon_robot final : public robot_access {
 public:
  daemon_robot(int fd, std::string socket_path, std::string robot)
      : channel_(fd), socket_path_(std::move(socket_path)), robot_(std::move(robot)) {
    expect_greeting(channel_, socket_path_);
  }

  std::string where() const override {
    return (robot_.empty() ? std::string{"the robot"} : "robot " + robot_) + " of the service at " +
           socket_path_;
  }
  bool through_service() const override { return true; }

  tovlink::Telemetry telemetry() override {
    const auto result = call("poll", json::object());
    if (result.value("state", "ready") == "lost") {
      throw failure("telemetry: the service lost the robot", 20001, "link_lost", reached::nothing,
                    true);
    }
    return telemetry_of(result);
  }

  move_report move(int motor, int angle, std::optional<int> time_ms) override {
    json args{{"motor", motor}, {"angle", angle}};
    if (time_ms) args["time_ms"] = *time_ms;
    const auto result = call("move", args);
    move_report report;
    report.motor = motor;
    report.requested = angle;
    report.angle = result.value("angle", angle);
    report.range = tovlink::angle_range(motor);
    if (const auto range = result.value("range", std::vector<int>{}); range.size() == 2) {
      report.range = {range[0], range[1]};
    }
    return report;
  }

  pose_report move_all(int angle, int time_ms) override {
    const auto result =
        call("move", {{"motor", all_motors}, {"angle", angle}, {"time_ms", time_ms}});
    pose_report report;
    report.requested.fill(angle);
    // A service from before the seven-angle move sent the one angle to every motor.
    report.angles.fill(result.value("angle", angle));
    const auto sent = result.value("angles", std::vector<int>{});
    for (std::size_t i = 0; i < report.angles.size() && i < sent.size(); ++i) {
      report.angles[i] = sent[i];
    }
    return report;
  }

  pose_report pose(const std::array<int, motor_count> &angles,
                   std::optional<int> time_ms) override {
    json args{{"angles", angles}};
    if (time_ms) args["time_ms"] = *time_ms;
    const auto result = call("pose", args);
    pose_report report;
    report.requested = angles;
    report.angles = angles;
    const auto sent = result.value("angles", std::vector<int>{});
    for (std::size_t i = 0; i < report.angles.size() && i < sent.size(); ++i) {
      report.angles[i] = sent[i];
    }
    return report;
  }

  void power(bool on, int value) override {
    json args{{"on", on}};
    if (on) args["value"] = value;
    call("power", args);
  }
  void led(int led, bool on) override { call("led", {{"led", led}, {"on", on}}); }
  void tone(int first, int second) override {
    call("tone", {{"first", first}, {"second", second}});
  }
  void say(const std::string &text) override { call("say", {{"text", text}}); }
  void speech_speed(int speed) override { call("speed", {{"speed", speed}}); }
  std::string query(tovlink::Query query) override {
    return call("query", {{"query", std::string{tovlink::query_name(query)}}}).value("text", "");
  }
  std::vector<history_point> history(std::chrono::milliseconds since,
                                     std::int64_t &now_ms) override {
    const auto result = call("history", {{"since_ms", since.count()}});
    now_ms = result.value("now_ms", std::int64_t{0});
    std::vector<history_point> points;
    for (const auto &sample : result.value("samples", json::array())) {
      history_point point;
      point.time_ms = sample.value("time_ms", std::int64_t{0});
      point.telemetry = telemetry_of(sample);
      points.push_back(point);
    }
    return points;
  }
  json service_command(const std::string &command, const json &args) override {
    return call(command, args, false);
  }
  void select_robot(const std::string &name) override {
    robot_ = name;
    robot_checked_ = false;
  }
  std::string selected_robot() const override { return robot_; }
  std::unique_ptr<motion_play> play(const play_request &request) override {
    const int fd = connect_unix(socket_path_);
    if (fd < 0) {
      throw service_failure("cannot reach the service at " + socket_path_ + ": " +
                            std::strerror(errno));
    }
    auto started = std::make_unique<daemon_play>(*this, fd, socket_path_, robot_);
    started->start(request);
    return started;
  }
  std::unique_ptr<motion_recording> record(int interval_ms) override {
    call("record", {{"action", "start"}, {"interval_ms", interval_ms}});
    return std::make_unique<daemon_recording>(*this);
  }
  json motions(const json &request) override { return call("motions", request, false); }

  // One request and its reply; pushed objects in between are skipped.
  json call(const std::string &command, json args, bool addressed = true) {
    if (addressed) check_robot_named();
    const auto id = ++last_id_;
    args["cmd"] = command;
    args["id"] = id;
    if (addressed && !robot_.empty()) args["robot"] = robot_;
    channel_.send_line(args.dump() + "\n");
    const auto until = steady::now() + reply_wait;
    while (true) {
      const auto line = channel_.read_line(until);
      if (!line) {
        throw failure(command + ": no reply from the service within " +
                          std::to_string(reply_wait.count()) + " s",
                      -1, "service_timeout", reached::maybe);
      }
      const auto reply = json::parse(*line, nullptr, false);
      if (!reply.is_object() || reply.value("class", "") != "reply") continue;
      if (reply.contains("id") && reply["id"] != id) continue;
      if (reply.value("ok", false)) return reply.value("result", json::object());
      throw failure_of(command, reply.value("error", json::object()));
    }
  }

  std::vector<robot_entry> devices() override {
    std::vector<robot_entry> robots;
    for (const auto &robot :
         call("devices", json::object(), false).value("robots", json::array())) {
      robots.push_back(robot_entry{robot.value("name", ""), robot.value("port", ""),
                                   robot.value("state", ""), robot.value("sim", false)});
    }
    return robots;
  }

 private:
  static tovlink::Telemetry telemetry_of(const json &reading) {
    tovlink::Telemetry t;
    t.sensor = reading.value("sensor", 0);
    t.mic = reading.value("mic", 0);
    t.mic_analog = reading.value("mic_analog", 0);
    t.battery = reading.value("battery", 0);
    t.motor_power = reading.value("motor_power", 0);
    const auto positions = reading.value("positions", std::vector<int>{});
    for (std::size_t i = 0; i < t.positions.size() && i < positions.size(); ++i) {
      t.positions[i] = positions[i];
    }
    return t;
  }

  // With no robot named, a service of several robots cannot tell which one
  // is meant: say which there are, and how to pick one.  A service of one
  // robot needs no name.
  void check_robot_named() {
    if (robot_checked_ || !robot_.empty()) return;
    const auto robots = devices();
    robot_checked_ = robots.size() <= 1;
    if (robot_checked_) return;
    std::string names;
    for (const auto &robot : robots) names += (names.empty() ? "" : ", ") + robot.name;
    throw usage_failure("the service at " + socket_path_ + " has " + std::to_string(robots.size()) +
                        " robots (" + names + "): choose one with --robot NAME, e.g. --robot " +
                        robots.front().name);
  }

  socket_line_channel channel_;
  std::string socket_path_;
  std::string robot_;
  bool robot_checked_ = false;
  long long last_id_ = 0;
};

void daemon_play::start(const play_request &request) {
  json args{
      {"speed", request.speed}, {"loops", request.loops}, {"soft_start_ms", request.soft_start_ms}};
  if (request.motion) {
    args["motion"] = *request.motion;
  } else {
    args["name"] = request.name;
  }
  report_ = owner_.call("play", args);
}

void daemon_play::stop() {
  try {
    owner_.call("stop", json::object());
  } catch (const failure &error) {
    // Over already: nothing left to stop.
    if (error.name() != "no_motion") throw;
  }
}

json daemon_recording::stop(double tolerance, const std::string &name) {
  return owner_.call("record", {{"action", "stop"}, {"tolerance", tolerance}, {"name", name}});
}

}  // namespace

bool daemon_client_available() {
  return true;
}

std::string default_daemon_socket() {
  if (::geteuid() == 0) return "/run/tovlink/tovlinkd.sock";
  const char *runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime == nullptr || *runtime == '\0') return {};
  return std::string{runtime} + "/tovlink/tovlinkd.sock";
}

std::unique_ptr<robot_access> open_daemon(const std::string &socket_path, const std::string &robot,
                                          bool quiet_if_absent) {
  const int fd = connect_unix(socket_path);
  if (fd < 0) {
    const int error = errno;
    if (quiet_if_absent && (error == ENOENT || error == ECONNREFUSED || error == ENOTDIR)) {
      return nullptr;
    }
    throw failure("cannot reach the service at " + socket_path + ": " + std::strerror(error) +
                      (error == ENOENT || error == ECONNREFUSED ? " (is tovlinkd running?)" : ""),
                  0, "service", reached::nothing);
  }
  return std::make_unique<daemon_robot>(fd, socket_path, robot);
}

#endif

std::unique_ptr<robot_access> open_robot(const connection_options &options, log_sink log,
                                         std::stop_token stop) {
  if (options.simulated || options.direct) return open_direct(options, std::move(log), stop);
  if (!options.daemon.empty() || !options.robot.empty()) {
    const auto path = options.daemon.empty() ? default_daemon_socket() : options.daemon;
    if (path.empty()) {
      throw failure("no service socket known: use --daemon PATH or set TOVLINK_DAEMON", 0,
                    "service", reached::nothing);
    }
    return open_daemon(path, options.robot, false);
  }
  if (!options.port.empty()) return open_direct(options, std::move(log), stop);
  if (const auto path = default_daemon_socket(); !path.empty() && daemon_client_available()) {
    if (auto service = open_daemon(path, options.robot, true)) return service;
  }
  // Nothing named a robot and no service runs.
  if (options.env_port.empty()) return nullptr;
  return open_direct(options, std::move(log), stop);
}

}  // namespace tovlink::tool

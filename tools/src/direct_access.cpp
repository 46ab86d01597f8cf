// Direct access: the library's C++ API on a port this process opens itself,
// optionally to a virtual robot run in this process (--sim).
#include <cerrno>
#include <utility>

#include "access.hpp"
#include "messages.hpp"

#ifdef TOVLINK_TOOL_WITH_SIM
#include "tovlink_sim/virtual_robot.hpp"
#endif

namespace tovlink::tool {
namespace {

using std::chrono::milliseconds;

class direct_robot final : public robot_access {
 public:
  direct_robot(const connection_options &options, log_sink log, std::stop_token stop) {
    std::string port = options.port.empty() ? options.env_port : options.port;
    if (options.simulated) port = start_virtual_robot();
    tovlink::Options settings;
    settings.baud = options.baud;
    settings.log = std::move(log);
    settings.stop = std::move(stop);
    try {
      robot_.emplace(port, std::move(settings));
    } catch (const tovlink::Error &error) {
      const int number = error.system_error_number();
      const bool busy = error.value() == tovlink::errc::port_open &&
                        (number == EBUSY || number == EAGAIN || number == EWOULDBLOCK);
      throw failure_from(error, "connect to " + port, busy ? port_holder(port) : std::string{});
    }
  }
  ~direct_robot() override {
    // The connection ends before the robot it talks to stops.
    robot_.reset();
#ifdef TOVLINK_TOOL_WITH_SIM
    if (sim_) sim_->stop();
#endif
  }

  // Runs an operation of the C++ API, turning its error into a failure.  A
  // port that failed during the operation makes it a lost link, whatever
  // the operation saw first (a time-out, typically).
  template <typename Operation>
  auto guarded(Operation operation) -> decltype(operation()) {
    try {
      return operation();
    } catch (const tovlink::Error &error) {
      auto reported = failure_from(error);
      if (!reported.link_lost() && !robot_->link_alive()) {
        throw failure{reported.what(), static_cast<int>(tovlink::errc::link_lost), "link_lost",
                      reported.sent(), true};
      }
      throw reported;
    }
  }

  std::string where() const override {
    return robot_->port();
  }
  bool through_service() const override {
    return false;
  }

  tovlink::Telemetry telemetry() override {
    return guarded([&] { return robot_->telemetry(); });
  }

  move_report move(int motor, int angle, std::optional<int> time_ms) override {
    move_report report;
    report.motor = motor;
    report.requested = angle;
    report.range = tovlink::angle_range(motor);
    report.angle = guarded([&] {
      return time_ms ? robot_->move(motor, angle, milliseconds{*time_ms})
                     : robot_->move(motor, angle);
    });
    return report;
  }

  pose_report move_all(int angle, int time_ms) override {
    pose_report report;
    report.requested.fill(angle);
    report.angles = guarded([&] { return robot_->move_all(angle, milliseconds{time_ms}); });
    return report;
  }

  pose_report pose(const std::array<int, motor_count> &angles,
                   std::optional<int> time_ms) override {
    pose_report report;
    report.requested = angles;
    report.angles = guarded([&] {
      return time_ms ? robot_->pose(angles, milliseconds{*time_ms}) : robot_->pose(angles);
    });
    return report;
  }

  void power(bool on, int value) override {
    guarded([&] { on ? robot_->power_on(value) : robot_->power_off(); });
  }
  void led(int led, bool on) override {
    guarded([&] { on ? robot_->led_on(led) : robot_->led_off(led); });
  }
  void tone(int first, int second) override {
    guarded([&] { robot_->tone(first, second); });
  }
  void say(const std::string &text) override {
    guarded([&] { robot_->say(text); });
  }
  void speech_speed(int speed) override {
    guarded([&] { robot_->speech_speed(speed); });
  }
  std::string query(tovlink::Query query) override {
    return guarded([&] { return robot_->query(query); });
  }
  std::vector<robot_entry> devices() override {
    return {robot_entry{"", robot_->port(), robot_->link_alive() ? "ready" : "lost", sim_active()}};
  }

 private:
  std::string start_virtual_robot() {
#ifdef TOVLINK_TOOL_WITH_SIM
    sim_ = std::make_unique<sim::virtual_robot>();
    try {
      sim_->start();
    } catch (const std::system_error &error) {
      throw failure("cannot start the virtual robot: " + std::string{error.what()},
                    static_cast<int>(tovlink::errc::port_open), "port_open", reached::nothing);
    }
    return sim_->slave_path();
#else
    throw failure("this build of tovlink has no virtual robot (--sim)",
                  static_cast<int>(tovlink::errc::port_open), "port_open", reached::nothing);
#endif
  }
  bool sim_active() const {
#ifdef TOVLINK_TOOL_WITH_SIM
    return sim_ != nullptr;
#else
    return false;
#endif
  }

#ifdef TOVLINK_TOOL_WITH_SIM
  std::unique_ptr<sim::virtual_robot> sim_;
#endif
  std::optional<tovlink::Robot> robot_;
};

}  // namespace

namespace {

failure needs_service(const std::string &what) {
  return failure{what + ": only the robot service (tovlinkd) has this; the robot is open directly",
                 0, "unsupported", reached::nothing};
}

}  // namespace

std::vector<history_point> robot_access::history(std::chrono::milliseconds, std::int64_t &) {
  throw needs_service("history (--since)");
}

nlohmann::json robot_access::service_command(const std::string &command, const nlohmann::json &) {
  throw needs_service(command);
}

void robot_access::select_robot(const std::string &) {
  throw needs_service("--robot");
}

bool virtual_robot_available() {
#ifdef TOVLINK_TOOL_WITH_SIM
  return true;
#else
  return false;
#endif
}

std::unique_ptr<robot_access> open_direct(const connection_options &options, log_sink log,
                                          std::stop_token stop) {
  if (!options.simulated && options.port.empty() && options.env_port.empty()) {
    throw usage_failure("--direct needs the robot's port: give --port NAME or set TOVLINK_PORT");
  }
  return std::make_unique<direct_robot>(options, std::move(log), std::move(stop));
}

}  // namespace tovlink::tool

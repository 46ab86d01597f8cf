// Direct access: the library's C++ API on a port this process opens itself,
// optionally to a virtual robot run in this process (--sim).
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <utility>

#include "access.hpp"
#include "messages.hpp"

#ifdef TOVLINK_TOOL_WITH_MOTION
#include "tovlink/motion/motion.hpp"
#include "tovlink/motion/player.hpp"
#include "tovlink/motion/recorder.hpp"
#endif

#ifdef TOVLINK_TOOL_WITH_SIM
#include "tovlink_sim/virtual_robot.hpp"
#endif

namespace tovlink::tool {
namespace {

using std::chrono::milliseconds;

#ifndef TOVLINK_TOOL_WITH_MOTION
failure no_motions_here(const std::string &operation) {
  return failure{operation + ": this build of tovlink has no motion library", 0, "unsupported",
                 reached::nothing};
}
#else
namespace motion = tovlink::motion;

play_progress progress_of(const std::string &name, const motion::Progress &p) {
  return play_progress{name,
                       motion::state_name(p.state),
                       p.loop,
                       static_cast<long long>(p.keyframe),
                       static_cast<long long>(p.keyframes),
                       p.position.count(),
                       p.duration.count()};
}

// The motion library's player on our own Robot; its progress is handed
// from the player's thread to the command's through a queue.
class direct_play final : public motion_play {
 public:
  direct_play(tovlink::Robot &robot, motion::Loaded loaded, motion::PlayOptions options)
      : name_(loaded.motion.name) {
    report_ = {{"motion", loaded.motion.name},
               {"keyframes", loaded.motion.keyframes.size()},
               {"duration_ms", loaded.motion.duration().count()},
               {"loops", options.loops},
               {"speed", options.speed},
               {"clamped", motion::to_json(loaded.clamped)}};
    options.on_progress = [this](const motion::Progress &progress) {
      {
        std::lock_guard guard(mutex_);
        updates_.push_back(progress_of(name_, progress));
      }
      changed_.notify_all();
    };
    player_ = std::make_unique<motion::Player>(robot, std::move(loaded.motion), std::move(options));
  }
  ~direct_play() override { player_.reset(); }

  const nlohmann::json &report() const override { return report_; }
  std::optional<play_progress> next(std::chrono::milliseconds wait) override {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, wait, [&] { return !updates_.empty(); })) return std::nullopt;
    auto progress = updates_.front();
    updates_.pop_front();
    lock.unlock();
    if (progress.state == "failed") {
      if (const auto error = player_->error()) throw failure_from(*error);
    }
    return progress;
  }
  void stop() override { player_->stop(); }

 private:
  std::string name_;
  nlohmann::json report_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<play_progress> updates_;
  std::unique_ptr<motion::Player> player_;  // last: stops before the queue goes
};

class direct_recording final : public motion_recording {
 public:
  direct_recording(tovlink::Robot &robot, int interval_ms)
      : recorder_(robot, std::chrono::milliseconds{interval_ms}) {}
  nlohmann::json stop(double tolerance, const std::string &name) override {
    if (const auto refusal = motion::name_refusal(name); !refusal.empty()) {
      throw failure{"record: name: " + refusal, 3, "invalid_argument", reached::nothing};
    }
    auto taken = recorder_.stop();
    if (taken.error) throw failure_from(*taken.error);
    if (taken.samples.empty()) {
      throw failure{"record: no sample was taken", 3, "invalid_argument", reached::nothing};
    }
    const auto reduced = motion::motion_from(taken.samples, tolerance, name);
    return {{"motion", motion::to_json(reduced)},
            {"samples", taken.samples.size()},
            {"keyframes", reduced.keyframes.size()}};
  }

 private:
  motion::Recorder recorder_;
};
#endif

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

  std::unique_ptr<motion_play> play(const play_request &request) override {
#ifdef TOVLINK_TOOL_WITH_MOTION
    if (!request.motion) {
      throw failure{"play: \"" + request.name +
                        "\" names a motion of the service's; give a motion file instead",
                    3, "invalid_argument", reached::nothing};
    }
    motion::Loaded loaded;
    try {
      loaded = motion::parse_motion_json(*request.motion);
    } catch (const motion::FormatError &refused) {
      throw failure{std::string{"play: "} + refused.what(), 3, "bad_motion", reached::nothing};
    }
    motion::PlayOptions options;
    options.speed = request.speed;
    options.loops = request.loops;
    options.soft_start = std::chrono::milliseconds{request.soft_start_ms};
    if (const auto refusal = motion::options_refusal(options); !refusal.empty()) {
      throw failure{"play: " + refusal, 3, "invalid_argument", reached::nothing};
    }
    try {
      return std::make_unique<direct_play>(*robot_, std::move(loaded), std::move(options));
    } catch (const std::invalid_argument &refused) {
      throw failure{std::string{"play: "} + refused.what(), 3, "invalid_argument",
                    reached::nothing};
    }
#else
    (void)request;
    throw no_motions_here("play");
#endif
  }

  std::unique_ptr<motion_recording> record(int interval_ms) override {
#ifdef TOVLINK_TOOL_WITH_MOTION
    try {
      return std::make_unique<direct_recording>(*robot_, interval_ms);
    } catch (const std::invalid_argument &refused) {
      throw failure{std::string{"record: "} + refused.what(), 3, "invalid_argument",
                    reached::nothing};
    }
#else
    (void)interval_ms;
    throw no_motions_here("record");
#endif
  }

  nlohmann::json motions(const nlohmann::json &) override {
    throw failure{
        "motions: the motions folder is the service's (start tovlinkd, or leave out "
        "--direct, --port and --sim)",
        0, "unsupported", reached::nothing};
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

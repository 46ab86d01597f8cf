// The C++ interface: one session per Robot, no process-wide state, calls on
// one Robot serialised by its lock.
#include "tovlink/robot.hpp"

#include <cstring>
#include <mutex>
#include <stop_token>
#include <string>

#include "api/operations.h"
#include "connection/connect.h"
#include "frame/library_state.h"
#include "protocol/status_line.h"
#include "transport/platform.h"
#include "transport/serial.h"

namespace tovlink {
namespace {

class tovlink_category : public std::error_category {
 public:
  const char *name() const noexcept override { return "tovlink"; }
  std::string message(int value) const override;
};

std::string tovlink_category::message(int value) const {
  for (const ErrorInfo &entry : errors) {
    if (static_cast<int>(entry.code) == value) return std::string(entry.message);
  }
  return "result code " + std::to_string(value);
}

[[noreturn]] void reject(const std::string &operation, const std::string &why) {
  throw Error(errc::invalid_argument, operation + ": " + why);
}

// Throws the contract's refusal, if there is one.
void refuse_if(const std::string &why, const std::string &operation) {
  if (!why.empty()) reject(operation, why);
}

int checked_time(std::chrono::milliseconds time, const std::string &operation) {
  refuse_if(time_refusal(time.count()), operation);
  return static_cast<int>(time.count());
}

}  // namespace

const std::error_category &category() noexcept {
  static const tovlink_category instance;
  return instance;
}

Error::Error(errc code, const std::string &what, bool sent, int system_error_number)
    : std::system_error(make_error_code(code), what),
      message_(std::make_shared<const std::string>(what)),
      sent_(sent),
      system_error_(system_error_number) {}

const char *Error::what() const noexcept {
  return message_->c_str();
}

std::string library_version() {
  uint16_t parts[4] = {};
  if (!platform::read_library_version(parts)) {
    throw Error(errc::exchange_failed, "library version: the version information cannot be read");
  }
  return std::to_string(parts[0]) + "." + std::to_string(parts[1]) + "." +
         std::to_string(parts[2]) + "." + std::to_string(parts[3]);
}

struct Robot::Impl {
  std::string port;
  Options options;
  std::mutex lock;
  session s;

  Impl(const std::string &port_name, Options &&given) : port(port_name), options(std::move(given)) {
    s.sink = {&Impl::forward_line, this, true};
    s.fail_fast_on_lost_link = true;
    s.event_driven = true;
    if (options.stop.stop_possible()) {
      s.cancel_requested = [](void *context) {
        return static_cast<Impl *>(context)->options.stop.stop_requested();
      };
      s.cancel_context = this;
    }
  }

  // Diagnostic lines go to the log callback without their line feed; a
  // callback that throws loses its line, never the operation.
  static void forward_line(void *context, log_stream, std::string_view line) {
    auto *self = static_cast<Impl *>(context);
    if (!self->options.log) return;
    if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
    try {
      self->options.log(line);
    } catch (...) {
    }
  }

  void connect();
  [[noreturn]] void fail_connect();
  [[noreturn]] void fail(const std::string &operation);
  void check(uint32_t result, const std::string &operation) {
    if (result != TOVLINK_OK) fail(operation);
  }
  static void check_motor(int motor, const std::string &operation, bool all_allowed = false) {
    refuse_if(motor_refusal(motor, all_allowed), operation);
  }
};

void Robot::Impl::connect() {
  bool connected = false;
  {
    // Wakes a wait of the dialogue at once when the stop is requested.
    std::stop_callback wake_on_stop(options.stop, [this] { s.wake.raise(); });
    connected = connect_session(s, port.c_str(), options.baud);
  }
  // The stop token only governs the connect.
  s.cancel_requested = nullptr;
  s.cancel_context = nullptr;
  if (!connected) fail_connect();
}

void Robot::Impl::fail_connect() {
  const std::string operation = "connect " + port;
  if (s.last_error == k_code_cancelled || options.stop.stop_requested()) {
    throw Error(errc::cancelled, operation + ": cancelled");
  }
  switch (s.last_error) {
    case TOVLINK_ERR_PORT_OPEN: {
      int system_error = static_cast<int>(s.open_system_error);
      std::string why = system_error != 0 ? std::system_category().message(system_error)
                                          : "not a usable serial port (or its name is too long)";
      throw Error(errc::port_open, operation + ": cannot open the port: " + why, false,
                  system_error);
    }
    case TOVLINK_ERR_RECEIVE:
      throw Error(errc::receive_timeout,
                  operation +
                      ": the adapter did not answer (no \"CMD\" after \"R,1\"): is a link "
                      "adapter on this port?",
                  true);
    default: {
      auto code = static_cast<errc>(s.last_error);
      throw Error(code, operation + ": " + category().message(static_cast<int>(code)), true);
    }
  }
}

void Robot::Impl::fail(const std::string &operation) {
  uint32_t code = s.last_error;
  if (code == TOVLINK_ERR_EXCHANGE && s.exchange_failure != TOVLINK_OK) code = s.exchange_failure;
  bool sent = s.exchange_sent;
  const char *outcome = sent ? " (the command was sent and may have acted)" : " (nothing was sent)";
  switch (code) {
    case k_code_link_lost:
      throw Error(errc::link_lost,
                  operation + ": the link to the robot is lost (the port failed or was unplugged)" +
                      outcome,
                  sent);
    case TOVLINK_ERR_RECEIVE:
      throw Error(errc::receive_timeout,
                  operation + ": no complete reply from the robot within 1.5 s" + outcome, sent);
    case TOVLINK_ERR_SEND_QUEUE:
    case TOVLINK_ERR_SEND_NULL:
      throw Error(static_cast<errc>(code),
                  operation + ": the command could not be queued (nothing was sent)", false);
    default:
      throw Error(static_cast<errc>(code),
                  operation + ": " + category().message(static_cast<int>(code)), sent);
  }
}

Robot::Robot(const std::string &port, Options options)
    : impl_(std::make_unique<Impl>(port, std::move(options))) {
  impl_->connect();
}

Robot::~Robot() {
  if (impl_ == nullptr) return;
  std::lock_guard<std::mutex> guard(impl_->lock);
  if (impl_->s.serial != nullptr) end_session(impl_->s);
}

Robot::Robot(Robot &&) noexcept = default;

Robot &Robot::operator=(Robot &&other) noexcept {
  if (this != &other) {
    Robot dying(std::move(*this));
    impl_ = std::move(other.impl_);
  }
  return *this;
}

const std::string &Robot::port() const noexcept {
  static const std::string none;
  return impl_ != nullptr ? impl_->port : none;
}

bool Robot::link_alive() const noexcept {
  return impl_ != nullptr && impl_->s.serial != nullptr && serial_running(impl_->s.serial);
}

namespace {

// The Robot's state for one call: its lock held, or Error(not_connected) for
// a moved-from Robot.
template <typename Impl>
Impl &usable(const std::unique_ptr<Impl> &impl, const char *operation) {
  if (impl == nullptr) {
    throw Error(errc::not_connected, std::string(operation) + ": this Robot was moved from");
  }
  return *impl;
}

std::string motor_operation(const char *verb, int motor) {
  return std::string(verb) + " motor " + std::to_string(motor);
}

}  // namespace

Telemetry Robot::telemetry() {
  Impl &impl = usable(impl_, "telemetry");
  std::lock_guard<std::mutex> guard(impl.lock);
  char reply[k_line_buffer_size];
  impl.check(ops::read_status_line(impl.s, reply), "telemetry");
  telemetry_cache values{};
  int read = parse_status(values, reinterpret_cast<const uint8_t *>(reply), std::strlen(reply));
  if (read != k_status_value_count) {
    std::string line(reply);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    throw Error(errc::bad_reply,
                "telemetry: the reply was not a complete status line: \"" + line + "\"", true);
  }
  Telemetry snapshot;
  snapshot.sensor = values.sensor_value;
  snapshot.mic = values.mic_value;
  snapshot.mic_analog = values.mic_analog_value;
  snapshot.battery = values.battery_value;
  snapshot.motor_power = values.motor_power;
  for (std::size_t motor = 0; motor < snapshot.positions.size(); ++motor) {
    snapshot.positions[motor] = values.motor_position[motor];
  }
  return snapshot;
}

int Robot::move(int motor, int angle) {
  const std::string operation = motor_operation("move", motor);
  Impl &impl = usable(impl_, "move");
  Impl::check_motor(motor, operation);
  std::lock_guard<std::mutex> guard(impl.lock);
  impl.check(ops::motor_set_pos(impl.s, motor, angle), operation);
  return angle_range(motor).clamp(angle);
}

int Robot::move(int motor, int angle, std::chrono::milliseconds time) {
  if (motor == all_motors) {
    move_all(angle, time);
    return angle_range(all_motors).clamp(angle);
  }
  const std::string operation = motor_operation("move", motor);
  Impl &impl = usable(impl_, "move");
  Impl::check_motor(motor, operation);
  int wire_time = checked_time(time, operation);
  std::lock_guard<std::mutex> guard(impl.lock);
  impl.check(ops::motor_angle_time(impl.s, motor, angle, wire_time), operation);
  return angle_range(motor).clamp(angle);
}

namespace {

std::array<int, motor_count> clamped_pose(const std::array<int, motor_count> &angles,
                                          int32_t (&wire)[motor_count]) {
  std::array<int, motor_count> sent{};
  for (std::size_t index = 0; index < sent.size(); ++index) {
    wire[index] = angles[index];
    sent[index] = angle_range(static_cast<int>(index) + 1).clamp(angles[index]);
  }
  return sent;
}

}  // namespace

// The robot's own all-motor command would apply 0-180 to every motor; the
// seven-angle form lets each motor keep its range.
std::array<int, motor_count> Robot::move_all(int angle, std::chrono::milliseconds time) {
  std::array<int, motor_count> angles{};
  angles.fill(angle);
  Impl &impl = usable(impl_, "move all motors");
  int32_t wire[motor_count];
  auto sent = clamped_pose(angles, wire);
  int wire_time = checked_time(time, "move all motors");
  std::lock_guard<std::mutex> guard(impl.lock);
  impl.check(ops::motor_angle_multi_time(impl.s, wire, wire_time), "move all motors");
  return sent;
}

std::array<int, motor_count> Robot::pose(const std::array<int, motor_count> &angles) {
  Impl &impl = usable(impl_, "pose");
  int32_t wire[motor_count];
  auto sent = clamped_pose(angles, wire);
  std::lock_guard<std::mutex> guard(impl.lock);
  impl.check(ops::motor_pos_all(impl.s, wire), "pose");
  return sent;
}

std::array<int, motor_count> Robot::pose(const std::array<int, motor_count> &angles,
                                         std::chrono::milliseconds time) {
  Impl &impl = usable(impl_, "pose");
  int32_t wire[motor_count];
  auto sent = clamped_pose(angles, wire);
  int wire_time = checked_time(time, "pose");
  std::lock_guard<std::mutex> guard(impl.lock);
  impl.check(ops::motor_angle_multi_time(impl.s, wire, wire_time), "pose");
  return sent;
}

void Robot::move_relative(int motor) {
  const std::string operation = motor_operation("relative move of", motor);
  Impl &impl = usable(impl_, "relative move");
  Impl::check_motor(motor, operation);
  std::lock_guard<std::mutex> guard(impl.lock);
  impl.check(ops::motor_set_pos_rel(impl.s, motor), operation);
}

void Robot::move_relative(int motor, std::chrono::milliseconds time) {
  const std::string operation = motor_operation("relative move of", motor);
  Impl &impl = usable(impl_, "relative move");
  Impl::check_motor(motor, operation, true);
  int wire_time = checked_time(time, operation);
  std::lock_guard<std::mutex> guard(impl.lock);
  impl.check(ops::motor_angle_time_rel(impl.s, motor, wire_time), operation);
}

void Robot::adjust(int motor, int offset) {
  const std::string operation = motor_operation("adjust", motor);
  Impl &impl = usable(impl_, "adjust");
  Impl::check_motor(motor, operation);
  refuse_if(adjust_refusal(offset), operation);
  std::lock_guard<std::mutex> guard(impl.lock);
  impl.check(ops::motor_adjust(impl.s, motor, offset), operation);
}

void Robot::power_on(int value) {
  Impl &impl = usable(impl_, "power on");
  refuse_if(power_refusal(value), "power on");
  std::lock_guard<std::mutex> guard(impl.lock);
  impl.check(ops::motor_power_on(impl.s, value), "power on");
}

void Robot::power_off() {
  Impl &impl = usable(impl_, "power off");
  std::lock_guard<std::mutex> guard(impl.lock);
  impl.check(ops::motor_power_off(impl.s), "power off");
}

void Robot::start() {
  Impl &impl = usable(impl_, "start");
  std::lock_guard<std::mutex> guard(impl.lock);
  impl.check(ops::motor_start(impl.s), "start");
}

void Robot::led_on(int led) {
  const std::string operation = "led " + std::to_string(led) + " on";
  Impl &impl = usable(impl_, "led on");
  refuse_if(led_refusal(led), operation);
  std::lock_guard<std::mutex> guard(impl.lock);
  impl.check(ops::led_on(impl.s, led), operation);
}

void Robot::led_off(int led) {
  const std::string operation = "led " + std::to_string(led) + " off";
  Impl &impl = usable(impl_, "led off");
  refuse_if(led_refusal(led), operation);
  std::lock_guard<std::mutex> guard(impl.lock);
  impl.check(ops::led_off(impl.s, led), operation);
}

void Robot::tone(int first, int second) {
  Impl &impl = usable(impl_, "tone");
  refuse_if(tone_refusal(first, second), "tone");
  std::lock_guard<std::mutex> guard(impl.lock);
  impl.check(ops::sound(impl.s, first, second), "tone");
}

void Robot::speech_speed(int speed) {
  Impl &impl = usable(impl_, "speech speed");
  refuse_if(speech_speed_refusal(speed), "speech speed");
  std::lock_guard<std::mutex> guard(impl.lock);
  impl.check(ops::voice_speed(impl.s, speed), "speech speed");
}

void Robot::say(std::string_view text) {
  Impl &impl = usable(impl_, "say");
  refuse_if(speech_text_refusal(text), "say");
  char line[max_speech_bytes + 1] = {};
  std::memcpy(line, text.data(), text.size());
  std::lock_guard<std::mutex> guard(impl.lock);
  impl.check(ops::voice(impl.s, line), "say");
}

std::string Robot::query(Query query) {
  const std::string_view name = query_name(query);
  if (name.empty()) reject("query", "unknown query");
  const std::string operation = "query " + std::string(name);
  Impl &impl = usable(impl_, "query");
  // One byte more than the reply may fill, so the text always ends in a zero.
  char reply[k_line_buffer_size + 1] = {};
  std::lock_guard<std::mutex> guard(impl.lock);
  impl.check(ops::query(impl.s, query, reply, k_line_buffer_size), operation);
  std::string answer(reply);
  while (!answer.empty() && (answer.back() == '\n' || answer.back() == '\r')) answer.pop_back();
  return answer;
}

}  // namespace tovlink

// tovlink/robot.hpp - the C++ interface of TovLinkLib.
//
// tovlink::Robot is one connection to one robot.  Unlike the flat C API it
// keeps nothing process-wide: a program may hold several robots at once,
// each with its own I/O thread, and may call one robot from several threads
// (calls on one Robot are serialised inside it).  It prints nothing: the
// library's diagnostic lines go to the log callback of Options, as UTF-8
// text, or nowhere.
//
// Errors are thrown as tovlink::Error (a std::system_error) whose code is in
// tovlink::category(): its value is the library's result code (the
// TOVLINK_ERR_* values of tovlink.h, -1 for a failed exchange) or one of the
// codes that only this interface reports (link lost, cancelled, bad reply).
// Its what() names the operation and what happened.
//
// Wire: every operation sends exactly the line the C function of the same
// purpose sends (listed per member), and waits at most 1.5 s for the reply.
// Before sending, an operation discards whatever the robot sent since the
// previous exchange ended, so a reply that arrives after its own exchange
// timed out is never taken for the next one.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <stop_token>
#include <string>
#include <string_view>
#include <system_error>

#include "tovlink/contract.hpp"

namespace tovlink {

// ---------------------------------------------------------------------------
// Errors
// ---------------------------------------------------------------------------

// The error category of errc: name "tovlink", messages in plain English.
TOVLINK_CXX_API const std::error_category &category() noexcept;

inline std::error_code make_error_code(errc code) noexcept {
  return {static_cast<int>(code), category()};
}

// What every member throws.  what() reads "<operation>: <what happened>",
// for example "move motor 2: no reply from the robot within 1.5 s (the
// command was sent and may have acted)".
class TOVLINK_CXX_API Error : public std::system_error {
 public:
  Error(errc code, const std::string &what, bool sent = false, int system_error_number = 0);

  // "<operation>: <what happened>".
  const char *what() const noexcept override;
  errc value() const noexcept { return static_cast<errc>(code().value()); }
  // True when the command line was handed to the port before the failure:
  // the robot may have received it and acted on it.
  bool sent() const noexcept { return sent_; }
  // For errc::port_open: the operating system's error number (errno on
  // POSIX, GetLastError on Windows), 0 when there was none.
  int system_error_number() const noexcept { return system_error_; }

 private:
  std::shared_ptr<const std::string> message_;  // shared: copying an exception must not throw
  bool sent_;
  int system_error_;
};

// ---------------------------------------------------------------------------
// Values
// ---------------------------------------------------------------------------

// One reading of the robot's status line, all taken from one reply.
struct Telemetry {
  int sensor = 0;
  int mic = 0;
  int mic_analog = 0;
  int battery = 0;
  int motor_power = 0;
  std::array<int, motor_count> positions{};  // motors 1-7

  friend bool operator==(const Telemetry &, const Telemetry &) = default;
};

// The library's version, "1.0.0.3" for this release.
TOVLINK_CXX_API std::string library_version();

// ---------------------------------------------------------------------------
// Robot
// ---------------------------------------------------------------------------

struct Options {
  // Line speed of the port; non-standard rates are set where the system allows.
  int baud = 115200;
  // Receives each diagnostic line the library would print through the C API
  // (without its line feed, Japanese lines as UTF-8).  Called on the thread
  // that runs the operation, with the Robot's lock held: it must not call
  // back into the same Robot.  Empty: the lines go nowhere.
  std::function<void(std::string_view line)> log;
  // Cancels a connect in progress: the constructor then ends what it opened
  // and throws errc::cancelled within 50 ms of the request.
  std::stop_token stop;
};

class TOVLINK_CXX_API Robot {
 public:
  // Opens `port` (a device path, or on Linux a name under /dev/, on Windows a
  // COM name) and runs the adapter dialogue (about 3.5 s).  Throws Error:
  // port_open (with the system's reason in what()), a connect code 1001-1009,
  // receive_timeout (the adapter never answered), or cancelled.
  explicit Robot(const std::string &port, Options options = {});
  // Ends the connection: stops the I/O thread and closes the port.
  ~Robot();
  Robot(Robot &&) noexcept;
  Robot &operator=(Robot &&) noexcept;
  Robot(const Robot &) = delete;
  Robot &operator=(const Robot &) = delete;

  const std::string &port() const noexcept;
  // False once the port has failed (unplugged): every operation then throws
  // errc::link_lost at once, and the only thing left to do is to destroy the
  // Robot (and make a new one to reconnect).  Never blocks.
  bool link_alive() const noexcept;

  // Telemetry.  Wire: "#140\r"; the reply must be a complete status line
  // (else errc::bad_reply).
  Telemetry telemetry();

  // Motion.  Angles are clamped to the motor's range (angle_range); the
  // members return what was sent so callers can report it.  Motors are 1-7
  // (else errc::invalid_argument, nothing sent).  Every refusal (errc::
  // invalid_argument) is thrown before anything is sent, with the reason
  // the contract's *_refusal functions give.
  // "#132,<motor-1>,<angle %03d>\r\r"
  int move(int motor, int angle);
  // "#150,<motor-1>,<angle %03d>,<time %04d>\r\r"; time within
  // move_time_range.  motor may be all_motors: every motor then takes the
  // angle clamped to its own range, sent as the seven-angle timed move
  // "#151,...,<time>" (as move_all), and the result is the angle motors 1, 4
  // and 7 were sent.
  int move(int motor, int angle, std::chrono::milliseconds time);
  // Every motor to one angle over `time`, each clamped to its own range:
  // "#151,<a1>,...,<a7>,<time %04d>\r\r".  Returns the seven angles sent.
  std::array<int, motor_count> move_all(int angle, std::chrono::milliseconds time);
  // "#136,<a1>,...,<a7>\r\r"
  std::array<int, motor_count> pose(const std::array<int, motor_count> &angles);
  // "#151,<a1>,...,<a7>,<time %04d>\r\r"
  std::array<int, motor_count> pose(const std::array<int, motor_count> &angles,
                                    std::chrono::milliseconds time);
  // The robot's relative-move commands; they carry no amount on the wire.
  // "#137,<motor-1>,000\r\r"
  void move_relative(int motor);
  // "#152,<motor-1 or 255>,000,<time %04d>\r\r"; motor may be all_motors.
  void move_relative(int motor, std::chrono::milliseconds time);
  // Adjustment offset within adjust_offset_range.  "#810,<motor-1>,<offset %04d>\r\r"
  void adjust(int motor, int offset);
  // value within power_value_range.  "#130\r" then "#133,9,<value %04d>\r".
  void power_on(int value = default_power_value);
  // "#131\r"
  void power_off();
  // "#134\r\r"
  void start();

  // LEDs, sound and speech, checked against the contract before sending.
  void led_on(int led);              // led_range: "#100,<led>\r"
  void led_off(int led);             // led_range: "#101,<led>\r"
  void tone(int first, int second);  // tone_*_range: "#110,<first %05d>,<second %04d>\r"
  void speech_speed(int speed);      // speech_speed_range: "#120,<speed %03d>\r"
  // At most max_speech_bytes, none of speech_forbidden_bytes (a CR or LF
  // would end the line and start another command): "#121,<text>\r".  Every
  // other byte goes out as it is.
  void say(std::string_view text);

  // A text query; returns the reply line without its line end ("\r\n" or "\n").
  std::string query(Query query);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tovlink

template <>
struct std::is_error_code_enum<tovlink::errc> : std::true_type {};

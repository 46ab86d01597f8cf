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

#if defined(_WIN32)
#if defined(TOVLINK_BUILDING_CXX_LIBRARY)
#define TOVLINK_CXX_API __declspec(dllexport)
#else
#define TOVLINK_CXX_API __declspec(dllimport)
#endif
#else
#define TOVLINK_CXX_API __attribute__((visibility("default")))
#endif

namespace tovlink {

// ---------------------------------------------------------------------------
// Errors
// ---------------------------------------------------------------------------

// Result codes.  The first group is the C API's (same values); the second is
// reported only by this interface.
enum class errc : int {
  not_connected = 2,
  invalid_argument = 3,
  exchange_failed = -1,  // the line could not be queued, or no complete reply
  connect_reset_send = 1001,
  connect_peer_send = 1003,
  connect_peer_reply = 1004,
  connect_link_send = 1007,
  connect_link_reply = 1008,
  connect_info_send = 1009,
  port_open = 10001,
  send_null = 10002,
  send_queue = 10003,
  receive_timeout = 10005,
  // C++ interface only:
  link_lost = 20001,  // the port failed (unplugged, hung up); the Robot is no longer usable
  cancelled = 20002,  // a connect stopped through Options::stop
  bad_reply = 20003,  // a reply came but was not what the operation needs (telemetry)
};

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

inline constexpr int motor_count = 7;
// The robot's LEDs are numbered 1-6 (eyes 1 and 2, mouth 3, chest 4, ears 5
// and 6).  led_on/led_off send any number; the tools check against these.
inline constexpr int first_led = 1;
inline constexpr int led_count = 6;
// Motor number that addresses every motor, accepted by the timed moves only.
inline constexpr int all_motors = 255;

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

// The angles a motor takes; angles outside are clamped, never refused.
struct AngleRange {
  int low;
  int high;
  constexpr int clamp(int angle) const { return angle < low ? low : angle > high ? high : angle; }
  friend constexpr bool operator==(const AngleRange &, const AngleRange &) = default;
};

// Motors 2, 3, 5 and 6 take 55-125; motors 1, 4, 7 (and all_motors) take 0-180.
constexpr AngleRange angle_range(int motor) {
  return (motor == 2 || motor == 3 || motor == 5 || motor == 6) ? AngleRange{55, 125}
                                                                : AngleRange{0, 180};
}

// The robot's eight text queries.  Each sends one fixed line and returns the
// reply line.
enum class Query {
  who,               // "#800\r"
  motor_power,       // "#802\r"
  motor_power_set,   // "#803\r"
  init,              // "#804\r"
  info,              // "#805\r"
  init_mic_range,    // "#806\r"
  init_power_limit,  // "#807\r"
  position,          // "#142\r"
};
inline constexpr std::array<Query, 8> all_queries = {
    Query::who,  Query::motor_power,    Query::motor_power_set,  Query::init,
    Query::info, Query::init_mic_range, Query::init_power_limit, Query::position};

// The query's name as the tools spell it: "who", "motor-power", "motor-power-set",
// "init", "info", "init-mic-range", "init-power-limit", "position".
TOVLINK_CXX_API std::string_view query_name(Query query) noexcept;
// The query with that name; false when there is none.
TOVLINK_CXX_API bool query_from_name(std::string_view name, Query &query) noexcept;

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
  // (else errc::invalid_argument, nothing sent).
  // "#132,<motor-1>,<angle %03d>\r\r"
  int move(int motor, int angle);
  // "#150,<motor-1 or 255>,<angle %03d>,<time %04d>\r\r"; motor may be all_motors.
  int move(int motor, int angle, std::chrono::milliseconds time);
  // "#136,<a1>,...,<a7>\r\r"
  std::array<int, motor_count> pose(const std::array<int, motor_count> &angles);
  // "#151,<a1>,...,<a7>,<time %04d>\r\r"
  std::array<int, motor_count> pose(const std::array<int, motor_count> &angles,
                                    std::chrono::milliseconds time);
  // The robot's relative-move commands; they carry no amount on the wire.
  // "#137,<motor-1>,000\r\r"
  void move_relative(int motor);
  // "#152,<motor-1 or 255>,000,<time %04d>\r\r"
  void move_relative(int motor, std::chrono::milliseconds time);
  // Adjustment offset, unchecked.  "#810,<motor-1>,<offset %04d>\r\r"
  void adjust(int motor, int offset);
  // value >= 500 (else invalid_argument).  "#130\r" then "#133,9,<value %04d>\r".
  void power_on(int value = 500);
  // "#131\r"
  void power_off();
  // "#134\r\r"
  void start();

  // LEDs, sound and speech.  LED numbers and tone values are not checked
  // here (the robot decides); callers that know the robot check them first.
  void led_on(int led);              // "#100,<led>\r"
  void led_off(int led);             // "#101,<led>\r"
  void tone(int first, int second);  // "#110,<first %05d>,<second %04d>\r"
  void speech_speed(int speed);      // 50-300, "#120,<speed %03d>\r"
  void say(std::string_view text);   // 0-39 bytes, no zero byte: "#121,<text>\r"

  // A text query; returns the reply line without its line end ("\r\n" or "\n").
  std::string query(Query query);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tovlink

template <>
struct std::is_error_code_enum<tovlink::errc> : std::true_type {};

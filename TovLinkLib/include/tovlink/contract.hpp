// tovlink/contract.hpp - what the robot accepts, in one place.
//
// Every limit, number and name a host needs to drive the robot: the motors'
// angle ranges, the LED numbers, the rules for speech text, the value ranges
// of the other commands, the text queries and the result codes with their
// names.  The library checks its arguments against these values, the service
// serves them to its clients (contract_json(), its "describe" command), and
// the tool, the Python package and the web panel read them from there: no
// interface keeps a copy of its own.
//
// The values are constexpr; the few functions are thread-safe and never
// block.  Part of libTovLinkCxx (CMake TovLinkLib::TovLinkCxx).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

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

// A closed range of whole numbers.
struct Range {
  std::int64_t low;
  std::int64_t high;
  constexpr bool contains(std::int64_t value) const { return value >= low && value <= high; }
  constexpr int clamp(int value) const {
    return value < low ? static_cast<int>(low) : value > high ? static_cast<int>(high) : value;
  }
  friend constexpr bool operator==(const Range &, const Range &) = default;
};

// The angles a motor takes; angles outside are clamped, never refused.
using AngleRange = Range;

// ---------------------------------------------------------------------------
// Motors
// ---------------------------------------------------------------------------

inline constexpr int motor_count = 7;
// Motor number that addresses every motor, accepted by the timed moves only.
inline constexpr int all_motors = 255;

// Motors 1, 4 and 7 (the head and the shoulders' turn) take 0-180; motors 2,
// 3, 5 and 6 take 55-125.  all_motors takes 0-180: that is what the robot's
// own all-motor command applies, which is why the interfaces that report
// what they sent send a timed move of all motors as seven angles instead.
inline constexpr std::array<Range, motor_count> motor_angle_ranges = {
    Range{0, 180}, Range{55, 125}, Range{55, 125}, Range{0, 180},
    Range{55, 125}, Range{55, 125}, Range{0, 180}};

constexpr bool is_motor(int motor) {
  return motor >= 1 && motor <= motor_count;
}

constexpr Range angle_range(int motor) {
  return is_motor(motor) ? motor_angle_ranges[static_cast<std::size_t>(motor - 1)] : Range{0, 180};
}

// The time of a timed move, in milliseconds.
inline constexpr Range move_time_range{0, 9999};
// The adjustment offset of a motor: what fits the command's four characters.
inline constexpr Range adjust_offset_range{-999, 9999};
// Motor power: the value sent with "power on".  The robot takes any value
// from 500 up.
inline constexpr Range power_value_range{500, std::numeric_limits<std::int32_t>::max()};
inline constexpr int default_power_value = 500;

// ---------------------------------------------------------------------------
// LEDs, tone, speech
// ---------------------------------------------------------------------------

struct Led {
  int number;
  std::string_view name;
};
inline constexpr std::array<Led, 6> leds = {Led{1, "left eye"}, Led{2, "right eye"},
                                            Led{3, "mouth"},    Led{4, "chest"},
                                            Led{5, "left ear"}, Led{6, "right ear"}};
inline constexpr int first_led = 1;
inline constexpr int led_count = static_cast<int>(leds.size());
inline constexpr Range led_range{first_led, first_led + led_count - 1};

// The tone command's two values, as wide as their fields on the wire.
inline constexpr Range tone_first_range{0, 99999};
inline constexpr Range tone_second_range{0, 9999};

inline constexpr Range speech_speed_range{50, 300};
// Speech text goes out byte for byte inside one command line: at most this
// many bytes, and none of the bytes that would end the line (or the string).
inline constexpr std::size_t max_speech_bytes = 39;
inline constexpr std::string_view speech_forbidden_bytes{"\r\n\0", 3};

// ---------------------------------------------------------------------------
// Text queries
// ---------------------------------------------------------------------------

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

struct QueryInfo {
  Query query;
  std::string_view name;  // as every interface spells it
  std::string_view line;  // the command, without its carriage return
};
inline constexpr std::array<QueryInfo, 8> queries = {{
    {Query::who, "who", "#800"},
    {Query::motor_power, "motor-power", "#802"},
    {Query::motor_power_set, "motor-power-set", "#803"},
    {Query::init, "init", "#804"},
    {Query::info, "info", "#805"},
    {Query::init_mic_range, "init-mic-range", "#806"},
    {Query::init_power_limit, "init-power-limit", "#807"},
    {Query::position, "position", "#142"},
}};
inline constexpr std::array<Query, 8> all_queries = {
    Query::who,  Query::motor_power,    Query::motor_power_set,  Query::init,
    Query::info, Query::init_mic_range, Query::init_power_limit, Query::position};

// ---------------------------------------------------------------------------
// Result codes
// ---------------------------------------------------------------------------

// The first group is the C API's (same values); the second is reported only
// by the session interfaces.
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
  link_lost = 20001,  // the port failed (unplugged, hung up); the connection is no longer usable
  cancelled = 20002,  // a connect stopped on request
  bad_reply = 20003,  // a reply came but was not what the operation needs (telemetry)
};

struct ErrorInfo {
  errc code;
  std::string_view name;     // "invalid_argument": what the service and the tools report
  std::string_view message;  // plain English, no operation
};
inline constexpr std::array<ErrorInfo, 16> errors = {{
    {errc::not_connected, "not_connected", "not connected"},
    {errc::invalid_argument, "invalid_argument", "invalid argument"},
    {errc::exchange_failed, "exchange_failed", "the exchange with the robot failed"},
    {errc::connect_reset_send, "connect_reset_send",
     "the adapter reset line could not be queued"},
    {errc::connect_peer_send, "connect_peer_send", "the peer id request could not be queued"},
    {errc::connect_peer_reply, "connect_peer_reply", "no usable peer id from the adapter"},
    {errc::connect_link_send, "connect_link_send", "the link request could not be queued"},
    {errc::connect_link_reply, "connect_link_reply",
     "the adapter refused or did not answer the link request"},
    {errc::connect_info_send, "connect_info_send", "the link check could not be queued"},
    {errc::port_open, "port_open", "the port could not be opened"},
    {errc::send_null, "send_null", "nothing to send"},
    {errc::send_queue, "send_queue", "the command could not be queued (nothing was sent)"},
    {errc::receive_timeout, "receive_timeout", "no complete reply from the robot within 1.5 s"},
    {errc::link_lost, "link_lost", "the link to the robot is lost"},
    {errc::cancelled, "cancelled", "cancelled"},
    {errc::bad_reply, "bad_reply", "the robot's reply was not what was asked for"},
}};

// The query's name ("who", "motor-power", ...); empty for a value outside the enum.
TOVLINK_CXX_API std::string_view query_name(Query query) noexcept;
// The query with that name; false when there is none.
TOVLINK_CXX_API bool query_from_name(std::string_view name, Query &query) noexcept;
// The code's name ("receive_timeout"); "unknown_error" for a value not listed.
TOVLINK_CXX_API std::string_view error_name(errc code) noexcept;

// Why a value is refused, as every interface words it (without the
// operation), or empty when it is accepted.  Angles are never refused: they
// are clamped.
TOVLINK_CXX_API std::string motor_refusal(int motor, bool all_allowed);
TOVLINK_CXX_API std::string time_refusal(std::int64_t time_ms);
TOVLINK_CXX_API std::string power_refusal(std::int64_t value);
TOVLINK_CXX_API std::string led_refusal(std::int64_t led);
TOVLINK_CXX_API std::string tone_refusal(std::int64_t first, std::int64_t second);
TOVLINK_CXX_API std::string speech_speed_refusal(std::int64_t speed);
TOVLINK_CXX_API std::string speech_text_refusal(std::string_view text);
TOVLINK_CXX_API std::string adjust_refusal(std::int64_t offset);

// The whole contract as one JSON object (UTF-8, one line), the document the
// service's "describe" command serves.  Its fields are listed in
// docs/protocol.md.
TOVLINK_CXX_API std::string contract_json();

}  // namespace tovlink

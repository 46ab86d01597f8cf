// tovlink/motion/motion.hpp - movements as data: the motion file.
//
// A motion is a name, keyframes (a time and the seven angles; an absent
// angle holds that motor) and events (LED, tone, speech, speech speed) at
// times of their own.  Files are JSON, described by
// motion/schema/motion.schema.json and docs/motion.md:
//
//   {"format": 1, "name": "nod",
//    "keyframes": [{"time_ms": 0,   "angles": [90, null, null, 90, null, null, 90]},
//                  {"time_ms": 400, "angles": [120, null, null, 90, null, null, 90]}],
//    "events": [{"time_ms": 0, "led": 3, "on": true}, {"time_ms": 400, "say": "yes"}]}
//
// Loading checks every value against the robot's contract (tovlink/
// contract.hpp): angles outside a motor's range are clamped and each
// clamping is reported; anything else that is wrong refuses the whole file
// with a FormatError naming the keyframe or event and the field.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "tovlink/contract.hpp"

namespace tovlink::motion {

using std::chrono::milliseconds;

// The "format" a file carries; files of another format are refused.
inline constexpr int format_version = 1;

// Bounds on what a file may hold, so a careless or hostile file cannot make
// a loader or a player hold unbounded memory or run for days.
inline constexpr std::size_t max_name_bytes = 64;
inline constexpr std::size_t max_keyframes = 10'000;
inline constexpr std::size_t max_events = 10'000;
inline constexpr milliseconds max_motion_time{3'600'000};  // one hour
inline constexpr std::uintmax_t max_file_bytes = 4 * 1024 * 1024;

// One angle per motor (motor 1 first); nullopt holds the motor where it is.
using Angles = std::array<std::optional<int>, motor_count>;

struct Keyframe {
  milliseconds time{0};  // from the motion's start
  Angles angles{};
  friend bool operator==(const Keyframe &, const Keyframe &) = default;
};

// What an event does; each maps to one Robot call.
struct LedSwitch {
  int led = first_led;
  bool on = true;
  friend bool operator==(const LedSwitch &, const LedSwitch &) = default;
};
struct Tone {
  int first = 0;
  int second = 0;
  friend bool operator==(const Tone &, const Tone &) = default;
};
struct Say {
  std::string text;
  friend bool operator==(const Say &, const Say &) = default;
};
struct SpeechSpeed {
  int speed = 100;
  friend bool operator==(const SpeechSpeed &, const SpeechSpeed &) = default;
};
using Action = std::variant<LedSwitch, Tone, Say, SpeechSpeed>;

struct Event {
  milliseconds time{0};
  Action action;
  friend bool operator==(const Event &, const Event &) = default;
};

struct Motion {
  std::string name;
  std::vector<Keyframe> keyframes;  // times strictly increasing
  std::vector<Event> events;        // times non-decreasing
  friend bool operator==(const Motion &, const Motion &) = default;

  // The time of the last keyframe or event, whichever is later: one pass of
  // the motion takes this long at speed 1.
  milliseconds duration() const;
};

// One angle the loader changed to fit its motor's range.
struct Clamping {
  std::size_t keyframe = 0;  // index into Motion::keyframes
  int motor = 1;             // 1-7
  int requested = 0;
  int sent = 0;  // what the motion now holds (and the robot will be sent)
  Range range{};
  friend bool operator==(const Clamping &, const Clamping &) = default;
};

struct Loaded {
  Motion motion;
  std::vector<Clamping> clamped;  // in keyframe, then motor order
};

// A refused file.  what() reads "<where>: <what is wrong>", where <where> is
// the field's path in the file, e.g. "keyframes[2].angles[4]: must be a whole
// number or null (got \"x\")".
class FormatError : public std::runtime_error {
 public:
  FormatError(std::string path, std::optional<std::size_t> keyframe, std::string field,
              const std::string &reason);
  // The field's path in the document ("keyframes[2].angles[4]", "name", "").
  const std::string &path() const noexcept { return path_; }
  // The keyframe it is in, when it is in one.
  std::optional<std::size_t> keyframe() const noexcept { return keyframe_; }
  // The field's own name ("angles", "time_ms", "led", "format"...).
  const std::string &field() const noexcept { return field_; }

 private:
  std::string path_;
  std::optional<std::size_t> keyframe_;
  std::string field_;
};

// Why a motion name is refused, or empty when it is fine: 1-64 bytes of
// letters, digits, '_', '-' and '.', not starting with '.' (so that a name
// is always a safe file name as well).
std::string name_refusal(std::string_view name);

// Reads a motion from a JSON document (a parsed value or text).  Throws
// FormatError; the text form also for JSON that does not parse.
Loaded parse_motion_json(const nlohmann::json &document);
Loaded parse_motion(std::string_view text);
// Reads a file (at most max_file_bytes).  Throws FormatError whose path is
// empty when the file cannot be read.
Loaded load_motion(const std::filesystem::path &file);

// Writes the same format the loader reads; a motion that loads back equal.
// The motion is checked first (as parse_motion would, except that angles
// are clamped silently): throws FormatError.
nlohmann::json to_json(const Motion &motion);
std::string to_json_text(const Motion &motion);  // indented, one keyframe a line
// The clamping a load reported, as every interface reports it:
// [{"keyframe":1,"motor":2,"requested":10,"sent":55}, ...].
nlohmann::json to_json(const std::vector<Clamping> &clamped);
// Writes to a temporary file beside `file` and renames it over, so a
// reader never sees half a motion.  Throws FormatError or
// std::filesystem::filesystem_error.
void save_motion(const Motion &motion, const std::filesystem::path &file);

}  // namespace tovlink::motion

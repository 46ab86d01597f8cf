// The motion file: reading with every check and clamping, writing the same
// format back.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>
#include <sstream>
#include <system_error>

#include "tovlink/motion/motion.hpp"

namespace tovlink::motion {
namespace {

using json = nlohmann::json;

// Where the reader is in the document, for the error that names it.
struct Place {
  std::string path;
  std::optional<std::size_t> keyframe;

  Place field(const std::string &name) const {
    return {path.empty() ? name : path + "." + name, keyframe};
  }
  Place item(std::size_t index) const {
    return {path + "[" + std::to_string(index) + "]", keyframe};
  }
  [[noreturn]] void refuse(const std::string &field_name, const std::string &reason) const {
    throw FormatError(path, keyframe, field_name, reason);
  }
};

std::string shown(const json &value) {
  std::string text = value.dump();
  constexpr std::size_t longest = 40;
  if (text.size() > longest) text = text.substr(0, longest) + "...";
  return text;
}

const json &member(const json &object, const char *name, const Place &where) {
  const auto found = object.find(name);
  if (found == object.end()) where.field(name).refuse(name, "missing");
  return *found;
}

void refuse_unknown_members(const json &object, std::initializer_list<std::string_view> known,
                            const Place &where) {
  for (const auto &[key, value] : object.items()) {
    if (std::find(known.begin(), known.end(), key) == known.end()) {
      where.field(key).refuse(key, "unknown field");
    }
  }
}

std::int64_t whole_number(const json &value, const Place &where, const std::string &field_name) {
  if (!value.is_number_integer()) {
    where.refuse(field_name, "must be a whole number (got " + shown(value) + ")");
  }
  if (value.is_number_unsigned() &&
      value.get<std::uint64_t>() > static_cast<std::uint64_t>(std::numeric_limits<int>::max())) {
    where.refuse(field_name, "is too large (got " + shown(value) + ")");
  }
  const auto number = value.get<std::int64_t>();
  if (number < std::numeric_limits<int>::min() || number > std::numeric_limits<int>::max()) {
    where.refuse(field_name, "is too large (got " + shown(value) + ")");
  }
  return number;
}

// A refusal text from the contract becomes the field's error.
void check(const std::string &refusal, const Place &where, const std::string &field_name) {
  if (!refusal.empty()) where.refuse(field_name, refusal);
}

milliseconds time_of(const json &object, const Place &where) {
  const auto place = where.field("time_ms");
  const auto time = whole_number(member(object, "time_ms", where), place, "time_ms");
  if (time < 0 || time > max_motion_time.count()) {
    place.refuse("time_ms", "must be 0-" + std::to_string(max_motion_time.count()) + " ms (got " +
                                std::to_string(time) + ")");
  }
  return milliseconds{time};
}

std::string read_name(const json &document) {
  const Place where{"name", std::nullopt};
  const auto &value = member(document, "name", Place{});
  if (!value.is_string()) where.refuse("name", "must be a string (got " + shown(value) + ")");
  auto name = value.get<std::string>();
  check(name_refusal(name), where, "name");
  return name;
}

Keyframe read_keyframe(const json &value, std::size_t index, std::vector<Clamping> &clamped) {
  const Place where{"keyframes[" + std::to_string(index) + "]", index};
  if (!value.is_object()) where.refuse("", "must be an object with time_ms and angles");
  refuse_unknown_members(value, {"time_ms", "angles"}, where);
  Keyframe keyframe;
  keyframe.time = time_of(value, where);
  const auto angles_place = where.field("angles");
  const auto &angles = member(value, "angles", where);
  if (!angles.is_array() || angles.size() != motor_count) {
    angles_place.refuse("angles", "must be a list of " + std::to_string(motor_count) +
                                      " angles, null for a motor that holds (got " + shown(angles) +
                                      ")");
  }
  for (std::size_t i = 0; i < angles.size(); ++i) {
    if (angles[i].is_null()) continue;
    const int motor = static_cast<int>(i) + 1;
    const auto requested =
        static_cast<int>(whole_number(angles[i], angles_place.item(i), "angles"));
    const Range range = angle_range(motor);
    const int sent = range.clamp(requested);
    if (sent != requested) clamped.push_back({index, motor, requested, sent, range});
    keyframe.angles[i] = sent;
  }
  return keyframe;
}

Action read_action(const json &value, const Place &where) {
  constexpr std::array<const char *, 4> kinds{"led", "tone", "say", "speech_speed"};
  const auto present = std::count_if(kinds.begin(), kinds.end(),
                                     [&](const char *kind) { return value.contains(kind); });
  if (present != 1) {
    where.refuse("", "must hold exactly one of led (with on), tone, say, speech_speed");
  }
  if (value.contains("led")) {
    refuse_unknown_members(value, {"time_ms", "led", "on"}, where);
    const auto led = whole_number(value["led"], where.field("led"), "led");
    check(led_refusal(led), where.field("led"), "led");
    const auto &on = member(value, "on", where);
    if (!on.is_boolean()) where.field("on").refuse("on", "must be true or false");
    return LedSwitch{static_cast<int>(led), on.get<bool>()};
  }
  if (value.contains("tone")) {
    refuse_unknown_members(value, {"time_ms", "tone"}, where);
    const auto place = where.field("tone");
    const auto &tone = value["tone"];
    if (!tone.is_object()) place.refuse("tone", "must be an object with first and second");
    refuse_unknown_members(tone, {"first", "second"}, place);
    const auto first = whole_number(member(tone, "first", place), place.field("first"), "first");
    const auto second =
        whole_number(member(tone, "second", place), place.field("second"), "second");
    check(tone_refusal(first, second), place, "tone");
    return Tone{static_cast<int>(first), static_cast<int>(second)};
  }
  if (value.contains("say")) {
    refuse_unknown_members(value, {"time_ms", "say"}, where);
    const auto place = where.field("say");
    if (!value["say"].is_string()) place.refuse("say", "must be a string");
    auto text = value["say"].get<std::string>();
    check(speech_text_refusal(text), place, "say");
    return Say{std::move(text)};
  }
  refuse_unknown_members(value, {"time_ms", "speech_speed"}, where);
  const auto speed =
      whole_number(value["speech_speed"], where.field("speech_speed"), "speech_speed");
  check(speech_speed_refusal(speed), where.field("speech_speed"), "speech_speed");
  return SpeechSpeed{static_cast<int>(speed)};
}

Event read_event(const json &value, std::size_t index) {
  const Place where{"events[" + std::to_string(index) + "]", std::nullopt};
  if (!value.is_object()) where.refuse("", "must be an object with time_ms and one action");
  return Event{time_of(value, where), read_action(value, where)};
}

const json &list_member(const json &document, const char *name, std::size_t most) {
  const Place where{name, std::nullopt};
  const auto &list = document[name];
  if (!list.is_array()) where.refuse(name, "must be a list (got " + shown(list) + ")");
  if (list.size() > most) {
    where.refuse(name, "holds " + std::to_string(list.size()) + " items, at most " +
                           std::to_string(most) + " are allowed");
  }
  return list;
}

template <typename Json>
Json document_of(const Motion &motion) {
  Json document = Json::object();
  document["format"] = format_version;
  document["name"] = motion.name;
  Json keyframes = Json::array();
  for (const auto &keyframe : motion.keyframes) {
    Json angles = Json::array();
    for (const auto &angle : keyframe.angles)
      angles.push_back(angle ? Json(*angle) : Json(nullptr));
    Json item = Json::object();
    item["time_ms"] = keyframe.time.count();
    item["angles"] = std::move(angles);
    keyframes.push_back(std::move(item));
  }
  document["keyframes"] = std::move(keyframes);
  if (motion.events.empty()) return document;
  Json events = Json::array();
  for (const auto &event : motion.events) {
    Json item = Json::object();
    item["time_ms"] = event.time.count();
    std::visit(
        [&](const auto &action) {
          using Kind = std::decay_t<decltype(action)>;
          if constexpr (std::is_same_v<Kind, LedSwitch>) {
            item["led"] = action.led;
            item["on"] = action.on;
          } else if constexpr (std::is_same_v<Kind, Tone>) {
            item["tone"] = Json{{"first", action.first}, {"second", action.second}};
          } else if constexpr (std::is_same_v<Kind, Say>) {
            item["say"] = action.text;
          } else {
            item["speech_speed"] = action.speed;
          }
        },
        event.action);
    events.push_back(std::move(item));
  }
  document["events"] = std::move(events);
  return document;
}

// What a motion holds after a load: checked, angles clamped.
Motion checked(const Motion &motion) {
  return parse_motion_json(document_of<json>(motion)).motion;
}

}  // namespace

FormatError::FormatError(std::string path, std::optional<std::size_t> keyframe, std::string field,
                         const std::string &reason)
    : std::runtime_error(path.empty() ? reason : path + ": " + reason),
      path_(std::move(path)),
      keyframe_(keyframe),
      field_(std::move(field)) {}

milliseconds Motion::duration() const {
  milliseconds last{0};
  if (!keyframes.empty()) last = keyframes.back().time;
  for (const auto &event : events) last = std::max(last, event.time);
  return last;
}

std::string name_refusal(std::string_view name) {
  if (name.empty() || name.size() > max_name_bytes) {
    return "a name is 1-" + std::to_string(max_name_bytes) + " bytes long";
  }
  const auto allowed = [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-' || c == '.';
  };
  if (!std::all_of(name.begin(), name.end(), allowed) || name.front() == '.') {
    return "a name holds only letters, digits, '_', '-' and '.', and does not start with '.' "
           "(got \"" +
           std::string{name} + "\")";
  }
  return {};
}

Loaded parse_motion_json(const json &document) {
  const Place top{};
  if (!document.is_object()) top.refuse("", "a motion must be a JSON object");
  refuse_unknown_members(document, {"format", "name", "keyframes", "events"}, top);
  const auto &format = member(document, "format", top);
  if (!format.is_number_integer() || format.get<std::int64_t>() != format_version) {
    Place{"format", std::nullopt}.refuse("format", "this program reads format " +
                                                       std::to_string(format_version) + " (got " +
                                                       shown(format) + ")");
  }
  Loaded loaded;
  loaded.motion.name = read_name(document);
  member(document, "keyframes", top);
  const auto &keyframes = list_member(document, "keyframes", max_keyframes);
  if (keyframes.empty())
    Place{"keyframes", std::nullopt}.refuse("keyframes", "a motion needs a keyframe");
  for (std::size_t i = 0; i < keyframes.size(); ++i) {
    auto keyframe = read_keyframe(keyframes[i], i, loaded.clamped);
    if (i > 0 && keyframe.time <= loaded.motion.keyframes.back().time) {
      Place{"keyframes[" + std::to_string(i) + "].time_ms", i}.refuse(
          "time_ms", "must be later than keyframes[" + std::to_string(i - 1) + "].time_ms (" +
                         std::to_string(loaded.motion.keyframes.back().time.count()) + " ms)");
    }
    loaded.motion.keyframes.push_back(std::move(keyframe));
  }
  if (document.contains("events")) {
    const auto &events = list_member(document, "events", max_events);
    for (std::size_t i = 0; i < events.size(); ++i) {
      loaded.motion.events.push_back(read_event(events[i], i));
    }
    // Hand-edited files may list events in any order; they play by time,
    // and those at one time in the order written.
    std::stable_sort(loaded.motion.events.begin(), loaded.motion.events.end(),
                     [](const Event &a, const Event &b) { return a.time < b.time; });
  }
  return loaded;
}

Loaded parse_motion(std::string_view text) {
  if (text.size() > max_file_bytes) {
    throw FormatError("", std::nullopt, "",
                      "a motion is at most " + std::to_string(max_file_bytes) + " bytes");
  }
  json document;
  try {
    document = json::parse(text);
  } catch (const json::parse_error &error) {
    throw FormatError("", std::nullopt, "", std::string{"not JSON: "} + error.what());
  }
  return parse_motion_json(document);
}

Loaded load_motion(const std::filesystem::path &file) {
  const auto refuse = [&](const std::string &why) -> FormatError {
    return FormatError("", std::nullopt, "", "cannot read " + file.string() + ": " + why);
  };
  std::error_code error;
  const auto size = std::filesystem::file_size(file, error);
  if (error) throw refuse(error.message());
  if (size > max_file_bytes) {
    throw refuse("larger than " + std::to_string(max_file_bytes) + " bytes");
  }
  std::ifstream in{file, std::ios::binary};
  if (!in) throw refuse(std::strerror(errno));
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) throw refuse("read failed");
  try {
    return parse_motion(text.view());
  } catch (const FormatError &refused) {
    throw FormatError(refused.path(), refused.keyframe(), refused.field(),
                      file.string() + ": " + refused.what());
  }
}

json to_json(const std::vector<Clamping> &clamped) {
  json list = json::array();
  for (const auto &clamping : clamped) {
    list.push_back({{"keyframe", clamping.keyframe},
                    {"motor", clamping.motor},
                    {"requested", clamping.requested},
                    {"sent", clamping.sent}});
  }
  return list;
}

json to_json(const Motion &motion) {
  return document_of<json>(checked(motion));
}

std::string to_json_text(const Motion &motion) {
  // One keyframe or event a line: a file people read and edit, and whose
  // changes show line by line in version control.
  const auto document = document_of<nlohmann::ordered_json>(checked(motion));
  std::string text = "{\n";
  text += "  \"format\": " + document["format"].dump() + ",\n";
  text += "  \"name\": " + document["name"].dump() + ",\n";
  const auto list = [&](const char *name, bool last) {
    text += std::string{"  \""} + name + "\": [\n";
    const auto &items = document[name];
    for (std::size_t i = 0; i < items.size(); ++i) {
      text += "    " + items[i].dump() + (i + 1 < items.size() ? ",\n" : "\n");
    }
    text += last ? "  ]\n" : "  ],\n";
  };
  const bool has_events = document.contains("events");
  list("keyframes", !has_events);
  if (has_events) list("events", true);
  text += "}\n";
  return text;
}

void save_motion(const Motion &motion, const std::filesystem::path &file) {
  const auto text = to_json_text(motion);
  auto temporary = file;
  temporary += ".saving";
  {
    std::ofstream out{temporary, std::ios::binary | std::ios::trunc};
    out << text;
    out.flush();
    if (!out) {
      const std::error_code error{errno ? errno : EIO, std::generic_category()};
      std::filesystem::remove(temporary);
      throw std::filesystem::filesystem_error("save motion", temporary, error);
    }
  }
  std::filesystem::rename(temporary, file);
}

}  // namespace tovlink::motion

// The motion file: the shipped motions load and write back byte for byte,
// angles are clamped and reported, every kind of bad file is refused naming
// its place, and the shipped schema states the loader's own bounds.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "tovlink/motion/motion.hpp"
#include "tovlink/motion/recorder.hpp"

namespace tovlink::motion {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string read_text(const fs::path &file) {
  std::ifstream in{file, std::ios::binary};
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(MotionFile, ShippedMotionsLoadCleanlyAndWriteBackTheSameBytes) {
  int shipped = 0;
  for (const auto &entry : fs::directory_iterator{TOVLINK_MOTIONS_DIR}) {
    SCOPED_TRACE(entry.path().string());
    const auto loaded = load_motion(entry.path());
    EXPECT_EQ(loaded.motion.name, entry.path().stem().string())
        << "a file is named after its motion";
    EXPECT_TRUE(loaded.clamped.empty());
    EXPECT_GE(loaded.motion.keyframes.size(), 4u);
    EXPECT_EQ(to_json_text(loaded.motion), read_text(entry.path()));
    ++shipped;
  }
  EXPECT_EQ(shipped, 3);
}

TEST(MotionFile, OutOfRangeAnglesAreClampedAndEachReported) {
  const auto loaded = parse_motion(std::string_view{R"({"format":1,"name":"reach","keyframes":[
      {"time_ms":0,"angles":[-20,200,90,null,54,126,181]},
      {"time_ms":500,"angles":[180,125,55,0,null,null,null]}],
      "events":[{"time_ms":500,"say":"b"},{"time_ms":0,"say":"a"},{"time_ms":500,"say":"c"}]})"});
  const auto &first = loaded.motion.keyframes[0].angles;
  EXPECT_EQ(first, (Angles{0, 125, 90, std::nullopt, 55, 125, 180}));
  ASSERT_EQ(loaded.clamped.size(), 5u) << "motor 2 at 125 and the second keyframe are in range";
  EXPECT_EQ(loaded.clamped[0], (Clamping{0, 1, -20, 0, angle_range(1)}));
  EXPECT_EQ(loaded.clamped[1], (Clamping{0, 2, 200, 125, angle_range(2)}));
  EXPECT_EQ(loaded.clamped[4], (Clamping{0, 7, 181, 180, angle_range(7)}));
  // Events play by time, and those at one time in the order written.
  ASSERT_EQ(loaded.motion.events.size(), 3u);
  EXPECT_EQ(std::get<Say>(loaded.motion.events[0].action).text, "a");
  EXPECT_EQ(std::get<Say>(loaded.motion.events[1].action).text, "b");
  EXPECT_EQ(std::get<Say>(loaded.motion.events[2].action).text, "c");
  EXPECT_EQ(loaded.motion.duration(), 500ms);
}

TEST(MotionFile, SavedMotionLoadsBackEqual) {
  Motion motion{"taught-1", {}, {}};
  motion.keyframes.push_back({0ms, {90, 60, std::nullopt, 0, 125, 55, 180}});
  motion.keyframes.push_back({12'000ms, {std::nullopt, 70, 80, 170, 90, 90, 10}});
  motion.events = {{0ms, LedSwitch{3, true}},
                   {100ms, Tone{440, 250}},
                   {100ms, SpeechSpeed{150}},
                   {200ms, Say{"hello, world"}},
                   {12'000ms, LedSwitch{3, false}}};
  const auto file = fs::path{testing::TempDir()} / "taught-1.json";
  save_motion(motion, file);
  const auto loaded = load_motion(file);
  EXPECT_EQ(loaded.motion, motion);
  EXPECT_TRUE(loaded.clamped.empty());
  EXPECT_FALSE(fs::exists(file.string() + ".saving"));
  fs::remove(file);

  // What cannot be loaded is not written either.
  motion.events.push_back({300ms, LedSwitch{7, true}});
  EXPECT_THROW(save_motion(motion, file), FormatError);
  EXPECT_FALSE(fs::exists(file));
}

struct Refusal {
  const char *document;
  const char *path;  // FormatError::path()
  std::optional<std::size_t> keyframe;
  const char *field;
  const char *reason;  // a part of what()
};

TEST(MotionFile, BadFilesAreRefusedNamingTheKeyframeAndTheField) {
  const Refusal refusals[] = {
      {R"([1,2])", "", std::nullopt, "", "must be a JSON object"},
      {R"({"format":1,"name":"x","keyframes":[{"time_ms":0,"angles":[1,2,3,4,5,6,7]}],)", "",
       std::nullopt, "", "not JSON"},
      {R"({"name":"x","keyframes":[]})", "format", std::nullopt, "format", "missing"},
      {R"({"format":1,"name":"x","keyframes":[{"angles":[1,2,3,4,5,6,7]}]})",
       "keyframes[0].time_ms", 0, "time_ms", "missing"},
      {R"({"format":2,"name":"x","keyframes":[]})", "format", std::nullopt, "format",
       "reads format 1"},
      {R"({"format":1,"name":"../etc","keyframes":[]})", "name", std::nullopt, "name",
       "only letters"},
      {R"({"format":1,"name":"x","keyframes":[],"speed":2})", "speed", std::nullopt, "speed",
       "unknown field"},
      {R"({"format":1,"name":"x","keyframes":[]})", "keyframes", std::nullopt, "keyframes",
       "needs a keyframe"},
      {R"({"format":1,"name":"x","keyframes":[{"time_ms":0,"angles":[1,2,3,4,5,6,7]},
          {"time_ms":10,"angles":[1,2,3,"x",5,6,7]}]})",
       "keyframes[1].angles[3]", 1, "angles", "whole number"},
      {R"({"format":1,"name":"x","keyframes":[{"time_ms":0,"angles":[1,2,3,4,5,6,7]},
          {"time_ms":0,"angles":[1,2,3,4,5,6,7]}]})",
       "keyframes[1].time_ms", 1, "time_ms", "later than keyframes[0].time_ms (0 ms)"},
      {R"({"format":1,"name":"x","keyframes":[{"time_ms":0,"angles":[1,2,3,4,5,6]}]})",
       "keyframes[0].angles", 0, "angles", "list of 7 angles"},
      {R"({"format":1,"name":"x","keyframes":[{"time_ms":-1,"angles":[1,2,3,4,5,6,7]}]})",
       "keyframes[0].time_ms", 0, "time_ms", "must be 0-3600000 ms"},
      {R"({"format":1,"name":"x","keyframes":[{"time_ms":0,"angles":[1,2,3,4,5,6,1e3]}]})",
       "keyframes[0].angles[6]", 0, "angles", "whole number"},
      {R"({"format":1,"name":"x","keyframes":[{"time_ms":0,"angle":[1,2,3,4,5,6,7]}]})",
       "keyframes[0].angle", 0, "angle", "unknown field"},
      {R"({"format":1,"name":"x","keyframes":[{"time_ms":0,"angles":[1,2,3,4,5,6,7]}],
          "events":[{"time_ms":0,"led":7,"on":true}]})",
       "events[0].led", std::nullopt, "led", "LED 7 does not exist"},
      {R"({"format":1,"name":"x","keyframes":[{"time_ms":0,"angles":[1,2,3,4,5,6,7]}],
          "events":[{"time_ms":0,"say":"a\rb"}]})",
       "events[0].say", std::nullopt, "say", ""},
      {R"({"format":1,"name":"x","keyframes":[{"time_ms":0,"angles":[1,2,3,4,5,6,7]}],
          "events":[{"time_ms":0,"say":"hi","led":1,"on":true}]})",
       "events[0]", std::nullopt, "", "exactly one of"},
      {R"({"format":1,"name":"x","keyframes":[{"time_ms":0,"angles":[1,2,3,4,5,6,7]}],
          "events":[{"time_ms":0,"speech_speed":20}]})",
       "events[0].speech_speed", std::nullopt, "speech_speed", ""},
  };
  for (const auto &refusal : refusals) {
    SCOPED_TRACE(refusal.document);
    try {
      parse_motion(std::string_view{refusal.document});
      ADD_FAILURE() << "accepted";
    } catch (const FormatError &error) {
      EXPECT_EQ(error.path(), refusal.path);
      EXPECT_EQ(error.keyframe(), refusal.keyframe);
      EXPECT_EQ(error.field(), refusal.field);
      EXPECT_NE(std::string{error.what()}.find(refusal.reason), std::string::npos) << error.what();
      if (!error.path().empty()) {
        EXPECT_EQ(std::string{error.what()}.rfind(error.path() + ": ", 0), 0u) << error.what();
      }
    }
  }
  // The contract's own wording reaches the file's reader.
  try {
    parse_motion(std::string_view{R"({"format":1,"name":"x","keyframes":[{"time_ms":0,
        "angles":[1,2,3,4,5,6,7]}],"events":[{"time_ms":0,"speech_speed":20}]})"});
  } catch (const FormatError &error) {
    EXPECT_EQ(std::string{error.what()}, "events[0].speech_speed: " + speech_speed_refusal(20));
  }
}

TEST(MotionFile, AFileThatCannotBeReadIsRefusedNamingIt) {
  try {
    load_motion("/nonexistent/wave.json");
    ADD_FAILURE() << "accepted";
  } catch (const FormatError &error) {
    EXPECT_NE(std::string{error.what()}.find("cannot read /nonexistent/wave.json"),
              std::string::npos);
  }
}

TEST(MotionFile, TheShippedSchemaStatesTheLoadersBounds) {
  const auto schema = nlohmann::json::parse(read_text(TOVLINK_MOTION_SCHEMA));
  const auto &properties = schema["properties"];
  EXPECT_EQ(properties["format"]["const"], format_version);
  EXPECT_EQ(properties["keyframes"]["maxItems"], max_keyframes);
  EXPECT_EQ(properties["events"]["maxItems"], max_events);
  EXPECT_EQ(schema["$defs"]["time"]["maximum"], max_motion_time.count());
  EXPECT_EQ(properties["keyframes"]["items"]["properties"]["angles"]["maxItems"], motor_count);
  const std::string pattern = properties["name"]["pattern"];
  EXPECT_NE(pattern.find("{0," + std::to_string(max_name_bytes - 1) + "}"), std::string::npos);
}

TEST(Reduce, KeepsEverySampleWithinTheToleranceWithFewKeyframes) {
  // A ramp and a hold on motor 1, then a curve on motor 3; the others hold
  // still.
  std::vector<Sample> samples;
  for (int i = 0; i <= 200; ++i) {
    Sample sample{std::chrono::milliseconds{i * 20}, {90, 90, 90, 90, 90, 90, 90}};
    sample.positions[0] = i < 50 ? 40 + i * 2 : 140;
    if (i > 100)
      sample.positions[2] = static_cast<int>(std::lround(90 + 30 * std::sin((i - 100) * 0.05)));
    samples.push_back(sample);
  }
  // The robot moving linearly between the keyframes passes every sample
  // within the tolerance.
  const auto worst_miss = [&](const std::vector<Keyframe> &keyframes) {
    double worst = 0;
    std::size_t next = 1;
    for (const auto &sample : samples) {
      while (next + 1 < keyframes.size() && keyframes[next].time < sample.time) ++next;
      const auto &a = keyframes[next - 1];
      const auto &b = keyframes[next];
      const double f = static_cast<double>((sample.time - a.time).count()) /
                       static_cast<double>((b.time - a.time).count());
      for (std::size_t m = 0; m < 7; ++m) {
        const double on_line = *a.angles[m] + (*b.angles[m] - *a.angles[m]) * f;
        worst = std::max(worst, std::abs(sample.positions[m] - on_line));
      }
    }
    return worst;
  };
  const auto keyframes = reduce(samples, 2.0);
  EXPECT_GE(keyframes.size(), 3u);
  EXPECT_LT(keyframes.size(), 30u);
  EXPECT_EQ(keyframes.front().time, 0ms);
  EXPECT_EQ(keyframes.back().time, samples.back().time);
  EXPECT_LE(worst_miss(keyframes), 2.0);
  // At 0 degrees the curve is kept exactly; the samples on a straight line
  // go: the ramp's (1-49) and the hold's (51-99) inner ones.
  const auto exact = reduce(samples, 0.0);
  EXPECT_EQ(worst_miss(exact), 0.0);
  EXPECT_LE(exact.size(), samples.size() - 2 * 49);
  EXPECT_THROW(reduce({samples[1], samples[0]}, 1.0), std::invalid_argument);
}

}  // namespace
}  // namespace tovlink::motion

// The C face of the motion library: thin wrappers over the Player and the
// Recorder on the Robot a session wraps (tovlink/session.hpp), so that the
// Python package and other C callers play and record with the same code as
// the service and the tool.
#include "tovlink/motion.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "tovlink/motion/motion.hpp"
#include "tovlink/motion/player.hpp"
#include "tovlink/motion/recorder.hpp"
#include "tovlink/session.hpp"

namespace motion = tovlink::motion;
using nlohmann::json;
using std::chrono::milliseconds;

static_assert(TOVLINK_MOTION_PLAYING == static_cast<int>(motion::PlayState::playing));
static_assert(TOVLINK_MOTION_PAUSED == static_cast<int>(motion::PlayState::paused));
static_assert(TOVLINK_MOTION_FINISHED == static_cast<int>(motion::PlayState::finished));
static_assert(TOVLINK_MOTION_STOPPED == static_cast<int>(motion::PlayState::stopped));
static_assert(TOVLINK_MOTION_FAILED == static_cast<int>(motion::PlayState::failed));

struct tovlink_motion_play {
  std::unique_ptr<motion::Player> player;
};

struct tovlink_motion_recording {
  mutable std::mutex lock;
  std::unique_ptr<motion::Recorder> recorder;
};

namespace {

void copy_text(std::string_view text, char *buffer, std::size_t size) {
  const auto length = std::min(text.size(), size - 1);
  std::memcpy(buffer, text.data(), length);
  buffer[length] = '\0';
}

int32_t fail(tovlink_error *error, tovlink::errc code, const std::string &message, bool sent) {
  if (error != nullptr) {
    *error = tovlink_error{};
    error->code = static_cast<int32_t>(code);
    error->sent = sent ? 1 : 0;
    copy_text(tovlink::error_name(code), error->name, sizeof error->name);
    copy_text(message, error->message, sizeof error->message);
  }
  return static_cast<int32_t>(code);
}

int32_t refuse(tovlink_error *error, const std::string &operation, const std::string &reason) {
  return fail(error, tovlink::errc::invalid_argument, operation + ": " + reason, false);
}

int32_t fail_with(tovlink_error *error, const tovlink::Error &cause) {
  if (error != nullptr) {
    fail(error, cause.value(), cause.what(), cause.sent());
    error->system_error = cause.system_error_number();
  }
  return static_cast<int32_t>(cause.value());
}

void succeed(tovlink_error *error) {
  if (error != nullptr) *error = tovlink_error{};
}

// A text for the caller, released with tovlink_motion_free_text.
char *handed_out(const std::string &text) {
  auto *copy = static_cast<char *>(std::malloc(text.size() + 1));
  if (copy == nullptr) throw std::bad_alloc();
  std::memcpy(copy, text.c_str(), text.size() + 1);
  return copy;
}

std::string json_text(const json &value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

tovlink_motion_progress progress_of(const motion::Progress &p) {
  tovlink_motion_progress out{};
  out.state = static_cast<int32_t>(p.state);
  out.loop = p.loop;
  out.keyframe = static_cast<int32_t>(p.keyframe);
  out.keyframes = static_cast<int32_t>(p.keyframes);
  out.position_ms = p.position.count();
  out.duration_ms = p.duration.count();
  return out;
}

// Reads a motion for `operation`; a refusal names the field at fault.
std::optional<motion::Loaded> read_motion(const char *text, const std::string &operation,
                                          tovlink_error *error) {
  if (text == nullptr) {
    refuse(error, operation, "no motion given");
    return std::nullopt;
  }
  try {
    return motion::parse_motion(text);
  } catch (const motion::FormatError &refused) {
    refuse(error, operation, refused.what());
    return std::nullopt;
  }
}

std::optional<motion::PlayOptions> play_options(const tovlink_motion_play_options *given,
                                                tovlink_error *error) {
  tovlink_motion_play_options c;
  tovlink_motion_play_options_init(&c);
  if (given != nullptr) c = *given;
  motion::PlayOptions options;
  options.speed = c.speed;
  options.loops = c.loops;
  options.soft_start = milliseconds{c.soft_start_ms};
  if (c.start_at_ms < 0) {
    refuse(error, "play", "the start time must be a Unix time in ms, or 0 for at once");
    return std::nullopt;
  }
  if (c.start_at_ms > 0) {
    options.start_at = std::chrono::system_clock::time_point{milliseconds{c.start_at_ms}};
  }
  if (c.on_progress != nullptr) {
    options.on_progress = [callback = c.on_progress,
                           context = c.progress_context](const motion::Progress &p) {
      const auto progress = progress_of(p);
      callback(context, &progress);
    };
  }
  if (const auto refusal = motion::options_refusal(options); !refusal.empty()) {
    refuse(error, "play", refusal);
    return std::nullopt;
  }
  return options;
}

// Runs a body, turning what it throws into a result code.
template <typename Body>
int32_t guarded(const std::string &operation, tovlink_error *error, Body body) {
  try {
    return body();
  } catch (const tovlink::Error &cause) {
    return fail_with(error, cause);
  } catch (const motion::FormatError &refused) {
    return refuse(error, operation, refused.what());
  } catch (const std::invalid_argument &refused) {
    return refuse(error, operation, refused.what());
  } catch (const std::bad_alloc &) {
    return fail(error, tovlink::errc::exchange_failed, operation + ": out of memory", false);
  } catch (const std::exception &other) {
    return fail(error, tovlink::errc::exchange_failed, operation + ": " + other.what(), false);
  }
}

}  // namespace

extern "C" {

void tovlink_motion_free_text(char *text) {
  std::free(text);
}

int32_t tovlink_motion_check(const char *motion_json, char **result, tovlink_error *error) {
  return guarded("check motion", error, [&]() -> int32_t {
    if (result == nullptr) return refuse(error, "check motion", "no place for the result");
    *result = nullptr;
    const auto loaded = read_motion(motion_json, "check motion", error);
    if (!loaded) return static_cast<int32_t>(tovlink::errc::invalid_argument);
    const json report{{"motion", motion::to_json(loaded->motion)},
                      {"keyframes", loaded->motion.keyframes.size()},
                      {"duration_ms", loaded->motion.duration().count()},
                      {"clamped", motion::to_json(loaded->clamped)}};
    *result = handed_out(json_text(report));
    succeed(error);
    return TOVLINK_SESSION_OK;
  });
}

void tovlink_motion_play_options_init(tovlink_motion_play_options *options) {
  if (options == nullptr) return;
  *options = tovlink_motion_play_options{};
  options->speed = 1.0;
  options->loops = 1;
}

int32_t tovlink_motion_play_start(tovlink_session *session, const char *motion_json,
                                  const tovlink_motion_play_options *options,
                                  tovlink_motion_play **play, char **report, tovlink_error *error) {
  return guarded("play", error, [&]() -> int32_t {
    if (play == nullptr) return refuse(error, "play", "no place for the play");
    *play = nullptr;
    if (report != nullptr) *report = nullptr;
    if (session == nullptr) return refuse(error, "play", "no session");
    auto loaded = read_motion(motion_json, "play", error);
    if (!loaded) return static_cast<int32_t>(tovlink::errc::invalid_argument);
    auto chosen = play_options(options, error);
    if (!chosen) return static_cast<int32_t>(tovlink::errc::invalid_argument);
    // Built before the play starts, so a report that cannot be made sends nothing.
    std::string report_text;
    if (report != nullptr) {
      report_text = json_text({{"motion", loaded->motion.name},
                               {"keyframes", loaded->motion.keyframes.size()},
                               {"duration_ms", loaded->motion.duration().count()},
                               {"loops", chosen->loops},
                               {"speed", chosen->speed},
                               {"clamped", motion::to_json(loaded->clamped)}});
    }
    auto *text = report != nullptr ? handed_out(report_text) : nullptr;
    auto started = std::make_unique<tovlink_motion_play>();
    try {
      started->player = std::make_unique<motion::Player>(
          tovlink::session_robot(*session), std::move(loaded->motion), std::move(*chosen));
    } catch (...) {
      std::free(text);
      throw;
    }
    if (report != nullptr) *report = text;
    *play = started.release();
    succeed(error);
    return TOVLINK_SESSION_OK;
  });
}

void tovlink_motion_play_pause(tovlink_motion_play *play) {
  if (play != nullptr) play->player->pause();
}

void tovlink_motion_play_resume(tovlink_motion_play *play) {
  if (play != nullptr) play->player->resume();
}

void tovlink_motion_play_stop(tovlink_motion_play *play) {
  if (play != nullptr) play->player->stop();
}

void tovlink_motion_play_progress(const tovlink_motion_play *play,
                                  tovlink_motion_progress *progress) {
  if (play == nullptr || progress == nullptr) return;
  *progress = progress_of(play->player->progress());
}

int32_t tovlink_motion_play_wait(tovlink_motion_play *play, int32_t timeout_ms,
                                 tovlink_motion_progress *progress) {
  if (play == nullptr) return static_cast<int32_t>(tovlink::errc::invalid_argument);
  std::optional<motion::Progress> last;
  if (timeout_ms < 0) {
    last = play->player->wait();
  } else {
    last = play->player->wait_for(milliseconds{timeout_ms});
  }
  if (!last) return TOVLINK_MOTION_STILL_PLAYING;
  if (progress != nullptr) *progress = progress_of(*last);
  return TOVLINK_SESSION_OK;
}

int32_t tovlink_motion_play_error(const tovlink_motion_play *play, tovlink_error *error) {
  succeed(error);
  if (play == nullptr) return TOVLINK_SESSION_OK;
  const auto cause = play->player->error();
  if (!cause) return TOVLINK_SESSION_OK;
  return fail_with(error, *cause);
}

void tovlink_motion_play_free(tovlink_motion_play *play) {
  delete play;
}

int32_t tovlink_motion_record_start(tovlink_session *session, int32_t interval_ms,
                                    tovlink_motion_recording **recording, tovlink_error *error) {
  return guarded("record", error, [&]() -> int32_t {
    if (recording == nullptr) return refuse(error, "record", "no place for the recording");
    *recording = nullptr;
    if (session == nullptr) return refuse(error, "record", "no session");
    auto started = std::make_unique<tovlink_motion_recording>();
    started->recorder = std::make_unique<motion::Recorder>(tovlink::session_robot(*session),
                                                           milliseconds{interval_ms});
    *recording = started.release();
    succeed(error);
    return TOVLINK_SESSION_OK;
  });
}

int32_t tovlink_motion_record_stop(tovlink_motion_recording *recording, double tolerance,
                                   const char *name, char **result, tovlink_error *error) {
  return guarded("record", error, [&]() -> int32_t {
    if (result == nullptr) return refuse(error, "record", "no place for the result");
    *result = nullptr;
    if (recording == nullptr) return refuse(error, "record", "no recording");
    const std::string motion_name = name == nullptr ? "recording" : name;
    if (const auto refusal = motion::name_refusal(motion_name); !refusal.empty()) {
      return refuse(error, "record", "name: " + refusal);
    }
    // Checked before the recorder stops, so a mistake here loses no samples.
    if (!std::isfinite(tolerance) || tolerance < 0) {
      return refuse(error, "record", "the tolerance must be 0 degrees or more");
    }
    std::unique_ptr<motion::Recorder> recorder;
    {
      std::lock_guard guard(recording->lock);
      recorder = std::move(recording->recorder);
    }
    if (!recorder) return refuse(error, "record", "the recording was already stopped");
    auto taken = recorder->stop();
    if (taken.error) return fail_with(error, *taken.error);
    if (taken.samples.empty()) return refuse(error, "record", "no sample was taken");
    const auto reduced = motion::motion_from(taken.samples, tolerance, motion_name);
    const json report{{"motion", motion::to_json(reduced)},
                      {"samples", taken.samples.size()},
                      {"keyframes", reduced.keyframes.size()}};
    *result = handed_out(json_text(report));
    succeed(error);
    return TOVLINK_SESSION_OK;
  });
}

int64_t tovlink_motion_record_samples(const tovlink_motion_recording *recording) {
  if (recording == nullptr) return 0;
  std::lock_guard guard(recording->lock);
  return recording->recorder ? static_cast<int64_t>(recording->recorder->sample_count()) : 0;
}

void tovlink_motion_record_free(tovlink_motion_recording *recording) {
  delete recording;
}

}  // extern "C"

// The C interface of sessions: each tovlink_session is a tovlink::Robot, so
// both faces share one session code, one set of checks and one wording of
// every failure.  Nothing here is process-wide but the calling thread's last
// failed open.
#include "tovlink/session.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>

#include "tovlink/robot.hpp"
#include "tovlink/session.hpp"

static_assert(TOVLINK_SESSION_MOTORS == tovlink::motor_count);
static_assert(TOVLINK_SESSION_ALL_MOTORS == tovlink::all_motors);
static_assert(TOVLINK_QUERY_COUNT == tovlink::queries.size());

struct tovlink_cancel {
  std::stop_source source;
};

struct tovlink_session {
  tovlink::Robot robot;
  // Each thread's last failure on this session; a success removes the
  // thread's entry, so the map holds at most one entry per thread.
  mutable std::mutex errors_lock;
  std::unordered_map<std::thread::id, tovlink_error> errors;

  explicit tovlink_session(tovlink::Robot &&connected) : robot(std::move(connected)) {}

  void record(const tovlink_error &error) {
    std::lock_guard guard(errors_lock);
    errors[std::this_thread::get_id()] = error;
  }
  void clear() {
    std::lock_guard guard(errors_lock);
    errors.erase(std::this_thread::get_id());
  }
};

namespace {

using tovlink::errc;

// Copies text into a fixed field, cut to fit and always zero-terminated.
template <std::size_t size>
void copy_text(char (&field)[size], std::string_view text) {
  const std::size_t count = std::min(text.size(), size - 1);
  std::memcpy(field, text.data(), count);
  field[count] = '\0';
}

std::size_t copy_out(char *buffer, std::size_t size, std::string_view text) {
  if (buffer != nullptr && size > 0) {
    const std::size_t count = std::min(text.size(), size - 1);
    std::memcpy(buffer, text.data(), count);
    buffer[count] = '\0';
  }
  return text.size();
}

tovlink_error error_from(errc code, std::string_view message, bool sent, int system_error = 0) {
  tovlink_error error{};
  error.code = static_cast<int32_t>(code);
  error.sent = sent ? 1 : 0;
  error.system_error = system_error;
  copy_text(error.name, tovlink::error_name(code));
  copy_text(error.message, message);
  return error;
}

tovlink_error error_from(const tovlink::Error &failure) {
  return error_from(failure.value(), failure.what(), failure.sent(), failure.system_error_number());
}

// What a failure that is not the library's own becomes: nothing was sent
// (allocation, the only other way to fail, fails before the exchange).
tovlink_error unexpected_failure(std::string_view operation, const std::exception *cause) {
  std::string message(operation);
  message += ": ";
  message += cause != nullptr ? cause->what() : "an unexpected failure";
  return error_from(errc::exchange_failed, message, false);
}

// The calling thread's last failed open, for tovlink_session_last_error(NULL).
thread_local tovlink_error t_open_error{};

// Runs one operation on a session and keeps its outcome as the thread's
// last error there.  No exception leaves.
template <typename Operation>
int32_t run(tovlink_session *session, const char *operation, Operation &&body) noexcept {
  if (session == nullptr) return static_cast<int32_t>(errc::not_connected);
  tovlink_error error{};
  try {
    body(session->robot);
    session->clear();
    return TOVLINK_SESSION_OK;
  } catch (const tovlink::Error &failure) {
    error = error_from(failure);
  } catch (const std::exception &failure) {
    error = unexpected_failure(operation, &failure);
  } catch (...) {
    error = unexpected_failure(operation, nullptr);
  }
  try {
    session->record(error);
  } catch (...) {  // no memory for the record: the code still tells
  }
  return error.code;
}

template <typename Array>
void copy_angles(const Array &angles, int32_t *out) {
  if (out == nullptr) return;
  std::copy(angles.begin(), angles.end(), out);
}

std::array<int, tovlink::motor_count> angles_from(const int32_t *angles) {
  std::array<int, tovlink::motor_count> out{};
  std::copy(angles, angles + out.size(), out.begin());
  return out;
}

[[noreturn]] void refuse(const std::string &operation, const std::string &why) {
  throw tovlink::Error(errc::invalid_argument, operation + ": " + why);
}

}  // namespace

extern "C" {

int32_t tovlink_session_last_error(const tovlink_session *session, tovlink_error *error) {
  tovlink_error found{};
  if (session == nullptr) {
    found = t_open_error;
  } else {
    std::lock_guard guard(session->errors_lock);
    if (const auto entry = session->errors.find(std::this_thread::get_id());
        entry != session->errors.end()) {
      found = entry->second;
    }
  }
  if (error != nullptr) *error = found;
  return found.code;
}

const char *tovlink_error_name(int32_t code) {
  return tovlink::error_name(static_cast<errc>(code)).data();
}

const char *tovlink_error_message(int32_t code) {
  for (const auto &entry : tovlink::errors) {
    if (static_cast<int32_t>(entry.code) == code) return entry.message.data();
  }
  return "unknown result code";
}

tovlink_cancel *tovlink_cancel_new(void) {
  return new (std::nothrow) tovlink_cancel;
}

void tovlink_cancel_request(tovlink_cancel *cancel) {
  if (cancel != nullptr) cancel->source.request_stop();
}

void tovlink_cancel_free(tovlink_cancel *cancel) {
  delete cancel;
}

int32_t tovlink_session_open(const char *port, const tovlink_session_options *options,
                             tovlink_session **session) {
  t_open_error = tovlink_error{};
  if (session == nullptr || port == nullptr) {
    t_open_error = error_from(errc::invalid_argument,
                              "open: a port name and a place for the session are needed", false);
    if (session != nullptr) *session = nullptr;
    return t_open_error.code;
  }
  *session = nullptr;
  const std::string operation = std::string("open ") + port;
  try {
    tovlink::Options robot_options;
    if (options != nullptr) {
      if (options->baud != 0) robot_options.baud = options->baud;
      if (options->log != nullptr) {
        robot_options.log = [log = options->log, context = options->log_context](
                                std::string_view line) { log(context, std::string(line).c_str()); };
      }
      if (options->cancel != nullptr) robot_options.stop = options->cancel->source.get_token();
    }
    *session = new tovlink_session(tovlink::Robot{port, std::move(robot_options)});
    return TOVLINK_SESSION_OK;
  } catch (const tovlink::Error &failure) {
    t_open_error = error_from(failure);
  } catch (const std::exception &failure) {
    t_open_error = unexpected_failure(operation, &failure);
    t_open_error.code = static_cast<int32_t>(errc::port_open);
    copy_text(t_open_error.name, tovlink::error_name(errc::port_open));
  }
  return t_open_error.code;
}

void tovlink_session_close(tovlink_session *session) {
  delete session;
}
int32_t tovlink_session_link_alive(const tovlink_session *session) {
  return session != nullptr && session->robot.link_alive() ? 1 : 0;
}

int32_t tovlink_session_telemetry(tovlink_session *session, tovlink_telemetry *telemetry) {
  return run(session, "telemetry", [&](tovlink::Robot &robot) {
    if (telemetry == nullptr) refuse("telemetry", "no place for the reading");
    const tovlink::Telemetry reading = robot.telemetry();
    telemetry->sensor = reading.sensor;
    telemetry->mic = reading.mic;
    telemetry->mic_analog = reading.mic_analog;
    telemetry->battery = reading.battery;
    telemetry->motor_power = reading.motor_power;
    copy_angles(reading.positions, telemetry->positions);
  });
}

int32_t tovlink_session_query(tovlink_session *session, int32_t query, char *reply, size_t size,
                              size_t *length) {
  return run(session, "query", [&](tovlink::Robot &robot) {
    if (query < 0 || query >= TOVLINK_QUERY_COUNT) {
      refuse("query", "no query number " + std::to_string(query));
    }
    if (reply == nullptr || size == 0) refuse("query", "no room for the reply");
    const std::string text = robot.query(tovlink::queries[static_cast<std::size_t>(query)].query);
    const std::size_t full = copy_out(reply, size, text);
    if (length != nullptr) *length = full;
  });
}

int32_t tovlink_session_move(tovlink_session *session, int32_t motor, int32_t angle,
                             int32_t *sent) {
  return run(session, "move", [&](tovlink::Robot &robot) {
    const int result = robot.move(motor, angle);
    if (sent != nullptr) *sent = result;
  });
}

int32_t tovlink_session_move_timed(tovlink_session *session, int32_t motor, int32_t angle,
                                   int32_t time_ms, int32_t *sent) {
  return run(session, "move", [&](tovlink::Robot &robot) {
    const int result = robot.move(motor, angle, std::chrono::milliseconds{time_ms});
    if (sent != nullptr) *sent = result;
  });
}

int32_t tovlink_session_move_all(tovlink_session *session, int32_t angle, int32_t time_ms,
                                 int32_t *sent) {
  return run(session, "move all motors", [&](tovlink::Robot &robot) {
    copy_angles(robot.move_all(angle, std::chrono::milliseconds{time_ms}), sent);
  });
}

int32_t tovlink_session_pose(tovlink_session *session, const int32_t *angles, int32_t *sent) {
  return run(session, "pose", [&](tovlink::Robot &robot) {
    if (angles == nullptr) refuse("pose", "no angles");
    copy_angles(robot.pose(angles_from(angles)), sent);
  });
}

int32_t tovlink_session_pose_timed(tovlink_session *session, const int32_t *angles, int32_t time_ms,
                                   int32_t *sent) {
  return run(session, "pose", [&](tovlink::Robot &robot) {
    if (angles == nullptr) refuse("pose", "no angles");
    copy_angles(robot.pose(angles_from(angles), std::chrono::milliseconds{time_ms}), sent);
  });
}

int32_t tovlink_session_move_relative(tovlink_session *session, int32_t motor) {
  return run(session, "relative move", [&](tovlink::Robot &robot) { robot.move_relative(motor); });
}

int32_t tovlink_session_move_relative_timed(tovlink_session *session, int32_t motor,
                                            int32_t time_ms) {
  return run(session, "relative move", [&](tovlink::Robot &robot) {
    robot.move_relative(motor, std::chrono::milliseconds{time_ms});
  });
}

int32_t tovlink_session_adjust(tovlink_session *session, int32_t motor, int32_t offset) {
  return run(session, "adjust", [&](tovlink::Robot &robot) { robot.adjust(motor, offset); });
}

int32_t tovlink_session_power_on(tovlink_session *session, int32_t value) {
  return run(session, "power on", [&](tovlink::Robot &robot) { robot.power_on(value); });
}

int32_t tovlink_session_power_off(tovlink_session *session) {
  return run(session, "power off", [&](tovlink::Robot &robot) { robot.power_off(); });
}

int32_t tovlink_session_start(tovlink_session *session) {
  return run(session, "start", [&](tovlink::Robot &robot) { robot.start(); });
}

int32_t tovlink_session_led_on(tovlink_session *session, int32_t led) {
  return run(session, "led on", [&](tovlink::Robot &robot) { robot.led_on(led); });
}

int32_t tovlink_session_led_off(tovlink_session *session, int32_t led) {
  return run(session, "led off", [&](tovlink::Robot &robot) { robot.led_off(led); });
}

int32_t tovlink_session_tone(tovlink_session *session, int32_t first, int32_t second) {
  return run(session, "tone", [&](tovlink::Robot &robot) { robot.tone(first, second); });
}

int32_t tovlink_session_speech_speed(tovlink_session *session, int32_t speed) {
  return run(session, "speech speed", [&](tovlink::Robot &robot) { robot.speech_speed(speed); });
}

int32_t tovlink_session_say(tovlink_session *session, const char *text) {
  return run(session, "say", [&](tovlink::Robot &robot) {
    if (text == nullptr) refuse("say", "no text");
    robot.say(std::string_view(text));
  });
}

int32_t tovlink_contract_range(int32_t limit, int32_t index, int64_t *low, int64_t *high) {
  const auto range = [&]() -> std::optional<tovlink::Range> {
    switch (limit) {
      case TOVLINK_LIMIT_MOTOR_ANGLE:
        if (tovlink::is_motor(index) || index == tovlink::all_motors) {
          return tovlink::angle_range(index);
        }
        return std::nullopt;
      case TOVLINK_LIMIT_MOVE_TIME:
        return tovlink::move_time_range;
      case TOVLINK_LIMIT_ADJUST_OFFSET:
        return tovlink::adjust_offset_range;
      case TOVLINK_LIMIT_POWER_VALUE:
        return tovlink::power_value_range;
      case TOVLINK_LIMIT_LED:
        return tovlink::led_range;
      case TOVLINK_LIMIT_TONE_FIRST:
        return tovlink::tone_first_range;
      case TOVLINK_LIMIT_TONE_SECOND:
        return tovlink::tone_second_range;
      case TOVLINK_LIMIT_SPEECH_SPEED:
        return tovlink::speech_speed_range;
      case TOVLINK_LIMIT_SPEECH_BYTES:
        return tovlink::Range{0, static_cast<std::int64_t>(tovlink::max_speech_bytes)};
      default:
        return std::nullopt;
    }
  }();
  const bool indexed = limit == TOVLINK_LIMIT_MOTOR_ANGLE;
  if (!range || (!indexed && index != 0)) return static_cast<int32_t>(errc::invalid_argument);
  if (low != nullptr) *low = range->low;
  if (high != nullptr) *high = range->high;
  return TOVLINK_SESSION_OK;
}

int32_t tovlink_contract_default_power_value(void) {
  return tovlink::default_power_value;
}

const char *tovlink_led_name(int32_t led) {
  for (const auto &entry : tovlink::leds) {
    if (entry.number == led) return entry.name.data();
  }
  return nullptr;
}

const char *tovlink_query_name(int32_t query) {
  if (query < 0 || query >= TOVLINK_QUERY_COUNT) return nullptr;
  return tovlink::queries[static_cast<std::size_t>(query)].name.data();
}

size_t tovlink_contract_json(char *buffer, size_t size) {
  try {
    return copy_out(buffer, size, tovlink::contract_json());
  } catch (...) {
    return copy_out(buffer, size, {});
  }
}

size_t tovlink_session_library_version(char *buffer, size_t size) {
  try {
    return copy_out(buffer, size, tovlink::library_version());
  } catch (...) {
    return copy_out(buffer, size, {});
  }
}

}  // extern "C"

tovlink::Robot &tovlink::session_robot(tovlink_session &session) noexcept {
  return session.robot;
}

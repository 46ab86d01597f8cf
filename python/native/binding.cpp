// The Python package's native binding (see tovlink_py.h): each function runs
// one tovlink::Robot member and turns what it throws into a code and a
// message, so no exception ever reaches ctypes.
#include "tovlink_py.h"

#include <tovlink/robot.hpp>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <exception>
#include <new>
#include <stop_token>
#include <string>
#include <utility>

struct tovlink_py_robot {
  explicit tovlink_py_robot(tovlink::Robot connected) : robot(std::move(connected)) {}
  tovlink::Robot robot;
};

struct tovlink_py_stop {
  std::stop_source source;
};

namespace {

void copy_message(tovlink_py_error &error, const char *text) {
  const std::size_t length = std::min(std::strlen(text), sizeof error.message - 1);
  std::memcpy(error.message, text, length);
  error.message[length] = '\0';
}

int32_t report(tovlink_py_error *error, tovlink::errc code, const char *message, bool sent,
               int system_error) {
  if (error != nullptr) {
    error->code = static_cast<int32_t>(code);
    error->sent = sent ? 1 : 0;
    error->system_error = system_error;
    copy_message(*error, message);
  }
  return static_cast<int32_t>(code);
}

// Runs action, returning 0 or the code of what it threw.
template <typename Action>
int32_t guarded(tovlink_py_error *error, const char *operation, Action &&action) noexcept {
  try {
    std::forward<Action>(action)();
    return 0;
  } catch (const tovlink::Error &failure) {
    return report(error, failure.value(), failure.what(), failure.sent(),
                  failure.system_error_number());
  } catch (const std::bad_alloc &) {
    const std::string message = std::string(operation) + ": out of memory";
    return report(error, tovlink::errc::exchange_failed, message.c_str(), false, 0);
  } catch (const std::exception &failure) {
    const std::string message = std::string(operation) + ": " + failure.what();
    return report(error, tovlink::errc::exchange_failed, message.c_str(), false, 0);
  } catch (...) {
    return report(error, tovlink::errc::exchange_failed, "unexpected failure", false, 0);
  }
}

int32_t no_robot(tovlink_py_error *error, const char *operation) {
  const std::string message = std::string(operation) + ": not connected";
  return report(error, tovlink::errc::not_connected, message.c_str(), false, 0);
}

// Runs action on robot, or reports that there is none.
template <typename Action>
int32_t on_robot(tovlink_py_robot *robot, tovlink_py_error *error, const char *operation,
                 Action &&action) noexcept {
  if (robot == nullptr) return no_robot(error, operation);
  return guarded(error, operation, [&] { action(robot->robot); });
}

std::array<int, tovlink::motor_count> seven(const int32_t *angles) {
  std::array<int, tovlink::motor_count> result{};
  std::copy_n(angles, tovlink::motor_count, result.begin());
  return result;
}

}  // namespace

extern "C" {

int32_t tovlink_py_contract_json(char *out, size_t size, size_t *length) {
  try {
    const std::string contract = tovlink::contract_json();
    if (length != nullptr) *length = contract.size();
    if (out == nullptr || size == 0) return 0;
    const std::size_t copied = std::min(contract.size(), size - 1);
    std::memcpy(out, contract.data(), copied);
    out[copied] = '\0';
    return 0;
  } catch (...) {
    return static_cast<int32_t>(tovlink::errc::exchange_failed);
  }
}

tovlink_py_stop *tovlink_py_stop_new(void) {
  return new (std::nothrow) tovlink_py_stop;
}

void tovlink_py_stop_request(tovlink_py_stop *stop) {
  if (stop != nullptr) stop->source.request_stop();
}

void tovlink_py_stop_free(tovlink_py_stop *stop) {
  delete stop;
}

tovlink_py_robot *tovlink_py_connect(const char *port, int32_t baud, tovlink_py_stop *stop,
                                     tovlink_py_error *error) {
  if (port == nullptr) {
    report(error, tovlink::errc::port_open, "connect: no port name", false, 0);
    return nullptr;
  }
  tovlink_py_robot *connected = nullptr;
  guarded(error, "connect", [&] {
    tovlink::Options options;
    options.baud = baud;
    if (stop != nullptr) options.stop = stop->source.get_token();
    connected = new tovlink_py_robot(tovlink::Robot(port, std::move(options)));
  });
  return connected;
}

void tovlink_py_end(tovlink_py_robot *robot) {
  delete robot;
}

int32_t tovlink_py_link_alive(const tovlink_py_robot *robot) {
  return robot != nullptr && robot->robot.link_alive() ? 1 : 0;
}

int32_t tovlink_py_telemetry(tovlink_py_robot *robot, int32_t *values, tovlink_py_error *error) {
  return on_robot(robot, error, "telemetry", [&](tovlink::Robot &r) {
    const tovlink::Telemetry reading = r.telemetry();
    const int32_t head[] = {reading.sensor, reading.mic, reading.mic_analog, reading.battery,
                            reading.motor_power};
    std::copy(std::begin(head), std::end(head), values);
    std::copy(reading.positions.begin(), reading.positions.end(), values + std::size(head));
  });
}

int32_t tovlink_py_query(tovlink_py_robot *robot, const char *name, char *reply, size_t size,
                         size_t *length, tovlink_py_error *error) {
  tovlink::Query query{};
  if (name == nullptr || !tovlink::query_from_name(name, query)) {
    return report(error, tovlink::errc::invalid_argument, "query: no such query", false, 0);
  }
  return on_robot(robot, error, "query", [&](tovlink::Robot &r) {
    const std::string line = r.query(query);
    if (length != nullptr) *length = line.size();
    if (reply == nullptr || size == 0) return;
    const std::size_t copied = std::min(line.size(), size - 1);
    std::memcpy(reply, line.data(), copied);
    reply[copied] = '\0';
  });
}

int32_t tovlink_py_move(tovlink_py_robot *robot, int32_t motor, int32_t angle,
                        const int32_t *time_ms, int32_t *sent, tovlink_py_error *error) {
  return on_robot(robot, error, "move", [&](tovlink::Robot &r) {
    if (time_ms == nullptr) {
      const int angle_sent = r.move(motor, angle);
      if (sent != nullptr) *sent = angle_sent;
    } else if (motor == tovlink::all_motors) {
      // Each motor's own clamped angle, not the one motors 1, 4 and 7 got.
      const auto angles_sent = r.move_all(angle, std::chrono::milliseconds(*time_ms));
      if (sent != nullptr) std::copy(angles_sent.begin(), angles_sent.end(), sent);
    } else {
      const int angle_sent = r.move(motor, angle, std::chrono::milliseconds(*time_ms));
      if (sent != nullptr) *sent = angle_sent;
    }
  });
}

int32_t tovlink_py_pose(tovlink_py_robot *robot, const int32_t *angles, const int32_t *time_ms,
                        int32_t *sent, tovlink_py_error *error) {
  if (angles == nullptr) {
    return report(error, tovlink::errc::invalid_argument, "pose: no angles", false, 0);
  }
  return on_robot(robot, error, "pose", [&](tovlink::Robot &r) {
    const auto requested = seven(angles);
    const auto angles_sent = time_ms == nullptr
                                 ? r.pose(requested)
                                 : r.pose(requested, std::chrono::milliseconds(*time_ms));
    if (sent != nullptr) std::copy(angles_sent.begin(), angles_sent.end(), sent);
  });
}

int32_t tovlink_py_move_relative(tovlink_py_robot *robot, int32_t motor, const int32_t *time_ms,
                                 tovlink_py_error *error) {
  return on_robot(robot, error, "move relative", [&](tovlink::Robot &r) {
    if (time_ms == nullptr) {
      r.move_relative(motor);
    } else {
      r.move_relative(motor, std::chrono::milliseconds(*time_ms));
    }
  });
}

int32_t tovlink_py_adjust(tovlink_py_robot *robot, int32_t motor, int32_t offset,
                          tovlink_py_error *error) {
  return on_robot(robot, error, "adjust", [&](tovlink::Robot &r) { r.adjust(motor, offset); });
}

int32_t tovlink_py_power_on(tovlink_py_robot *robot, int32_t value, tovlink_py_error *error) {
  return on_robot(robot, error, "power on", [&](tovlink::Robot &r) { r.power_on(value); });
}

int32_t tovlink_py_power_off(tovlink_py_robot *robot, tovlink_py_error *error) {
  return on_robot(robot, error, "power off", [](tovlink::Robot &r) { r.power_off(); });
}

int32_t tovlink_py_start(tovlink_py_robot *robot, tovlink_py_error *error) {
  return on_robot(robot, error, "start", [](tovlink::Robot &r) { r.start(); });
}

int32_t tovlink_py_led(tovlink_py_robot *robot, int32_t led, int32_t on, tovlink_py_error *error) {
  return on_robot(robot, error, on != 0 ? "led on" : "led off", [&](tovlink::Robot &r) {
    if (on != 0) {
      r.led_on(led);
    } else {
      r.led_off(led);
    }
  });
}

int32_t tovlink_py_tone(tovlink_py_robot *robot, int32_t first, int32_t second,
                        tovlink_py_error *error) {
  return on_robot(robot, error, "tone", [&](tovlink::Robot &r) { r.tone(first, second); });
}

int32_t tovlink_py_speech_speed(tovlink_py_robot *robot, int32_t speed, tovlink_py_error *error) {
  return on_robot(robot, error, "speech speed", [&](tovlink::Robot &r) { r.speech_speed(speed); });
}

int32_t tovlink_py_say(tovlink_py_robot *robot, const char *text, size_t length,
                       tovlink_py_error *error) {
  if (text == nullptr && length != 0) {
    return report(error, tovlink::errc::invalid_argument, "say: no text", false, 0);
  }
  return on_robot(robot, error, "say", [&](tovlink::Robot &r) {
    r.say(std::string_view(text == nullptr ? "" : text, length));
  });
}

}  // extern "C"

// Everything that belongs to one connection: the transport record, the
// telemetry cache, the last result code and where diagnostic lines go.  The
// line exchange, connect/end and the robot operations act on the session
// passed to them and on nothing else; which sessions exist, and for how long,
// is the business of the interfaces in api/.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string_view>

#include "tovlink/contract.hpp"

namespace tovlink {

struct serial_t;
namespace platform {
struct open_result;
}

inline constexpr int k_motor_count = motor_count;

// The robot values the status line carries.
struct telemetry_cache {
  int32_t sensor_value;
  int32_t mic_value;
  int32_t motor_position[k_motor_count];
  int32_t battery_value;
  int32_t motor_power;
  int32_t mic_analog_value;
};

enum class log_stream { standard_error, standard_output };

// Where a session's diagnostic lines go.  `write` receives each whole line,
// line feed included; null sends the lines nowhere.  `utf8` picks the UTF-8
// form of the two Japanese lines instead of their Shift-JIS bytes.
struct diagnostic_sink {
  void (*write)(void *context, log_stream stream, std::string_view line) = nullptr;
  void *context = nullptr;
  bool utf8 = false;
};

// Codes only sessions of the C++ API produce; the C API never sees them.
inline constexpr uint32_t k_code_link_lost = 20001;
inline constexpr uint32_t k_code_cancelled = 20002;

inline constexpr std::size_t k_peer_id_size = 32;

// How a host thread waiting for a reply in event mode is woken: the I/O
// worker raises it when bytes arrive or when it stops, a cancel request
// raises it at once.  A generation count rather than a flag, so a raise that
// lands between the waiter's look at the queue and its wait is not lost.
class host_wake {
 public:
  uint64_t generation() {
    std::lock_guard<std::mutex> guard(lock_);
    return generation_;
  }

  void raise() {
    {
      std::lock_guard<std::mutex> guard(lock_);
      ++generation_;
    }
    changed_.notify_all();
  }

  // Returns once the generation differs from `seen` or `deadline` passed.
  void wait_past(uint64_t seen, std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait_until(guard, deadline, [&] { return generation_ != seen; });
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  uint64_t generation_ = 0;
};

struct session {
  serial_t *serial = nullptr;
  telemetry_cache telemetry{};
  uint32_t last_error = 0;
  diagnostic_sink sink;

  // The adapter's reply to "GDH\r", kept for the "E,0,<peer id>\r" line.
  char peer_id[k_peer_id_size] = {};
  // The system's error number when the port could not be opened.
  unsigned long open_system_error = 0;

  // C API only: the handle the current call was given.  The connection check
  // compares it with the current record and reports a mismatch.
  bool check_call_handle = false;
  const uint32_t *call_handle = nullptr;

  // C++ API only: a port that failed ends a wait at once (k_code_link_lost)
  // instead of letting it run out its polls.
  bool fail_fast_on_lost_link = false;
  // C++ API only: asked between polls and during pauses; true ends the wait
  // with k_code_cancelled.
  bool (*cancel_requested)(void *context) = nullptr;
  void *cancel_context = nullptr;

  // How the last command exchange ended, for callers that explain failures:
  // the underlying code (0, 10002, 10003, 10005, k_code_link_lost) and
  // whether the line had been queued for the robot.
  uint32_t exchange_failure = 0;
  bool exchange_sent = false;

  // How this session opens its device: null for the platform's own opener.
  // In-process tests and fuzz targets hand a session a device of their own.
  platform::open_result (*open_device)(const char *path, int32_t baud) = nullptr;
  // Called with each new connection record just before its worker starts.
  void (*on_open)(serial_t *serial) = nullptr;

  // C++ API only: the I/O worker sleeps until the port has bytes or a line
  // is queued, and waits for replies end on the bytes' arrival rather than on
  // 1 ms polls; time-outs keep their lengths in milliseconds.  The C API
  // keeps its documented 1 ms pacing (false).  Read when the port is opened.
  bool event_driven = false;
  host_wake wake{};

  bool cancelled() const { return cancel_requested != nullptr && cancel_requested(cancel_context); }
};

}  // namespace tovlink

// The virtual robot: a pseudo-terminal whose far end behaves like the link
// adapter with the robot behind it.  A host opens slave_path() as if it were
// the adapter's serial port.  Serving runs on a thread of its own, so a tool
// or a test can run the robot in-process.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "tovlink_sim/line_assembler.hpp"
#include "tovlink_sim/robot_model.hpp"
#include "tovlink_sim/robot_protocol.hpp"

namespace tovlink::sim {

// Ways to misbehave, so hosts can exercise their error handling.
struct fault_options {
  bool silent = false;       // read everything, answer nothing
  bool no_mldp = false;      // answer "I" with an error instead of "MLDP"
  bool reject_link = false;  // answer every "E,0,..." with an error instead of "AOK"
  milliseconds latency{0};   // wait this long before each reply
  unsigned drop_every = 0;   // withhold every Nth reply (0: none)
  // Withhold the replies to lines that start with this text (empty: none),
  // so a host can meet a robot that takes one command and ignores it while
  // it answers everything else.
  std::string ignore_prefix;
  bool garbage = false;      // a few noise bytes (never \r or \n) right before each reply
  bool split = false;        // send replies in small chunks with short gaps
  std::optional<milliseconds> unplug_after;  // then close the port for good
};

// Split replies go out in chunks of this many bytes, this far apart.
inline constexpr std::size_t split_chunk_bytes = 3;
inline constexpr milliseconds split_chunk_gap{5};

struct robot_options {
  std::string peer_id{default_peer_id};
  fault_options faults;
  // When set, a symbolic link to the slave is made here (and removed on stop,
  // if it still leads to this robot's port).  A lock file "<link_path>.lock"
  // beside it, held while serving, keeps a second robot off a link in use:
  // start() then throws std::system_error with EBUSY.
  std::string link_path;
  // Receives each wire-log line (time stamp first, no line end) from the
  // serving thread.  Unset: no log.
  std::function<void(const std::string &)> log;
  std::uint32_t noise_seed = 1;
  // A serial line's pace (bits per second, 10 bits per byte: start, 8 data,
  // stop): each line is answered once its last byte would have arrived, and
  // reply bytes leave no faster than the line carries them.  0: at once.
  std::uint32_t line_rate_baud = 0;
};

class virtual_robot {
 public:
  explicit virtual_robot(robot_options options = {});
  ~virtual_robot();
  virtual_robot(const virtual_robot &) = delete;
  virtual_robot &operator=(const virtual_robot &) = delete;

  // Opens the pseudo-terminal and starts serving; throws std::system_error.
  void start();
  // Stops serving, closes the pseudo-terminal and removes the link.
  void stop();

  const std::string &slave_path() const { return slave_path_; }
  // False once stopped, or once the port was unplugged.
  bool serving() const { return serving_.load(); }

  // A person moving motor `motor` (1-7, as hosts number them) by hand to
  // `angle` (0-180), for teaching a motion: the host reads the new position
  // in its telemetry.  False, and nothing moves, while motor power is on or
  // for a motor or angle out of range.  Thread-safe; logged ("-- hand ...").
  bool move_by_hand(int motor, int angle);

  // Thread-safe views for tests and tools.
  robot_state state() const;
  std::size_t lines_handled() const { return lines_handled_.load(); }
  std::size_t host_opens() const { return host_opens_.load(); }

 private:
  class file_descriptor {
   public:
    file_descriptor() = default;
    explicit file_descriptor(int fd) : fd_(fd) {}
    file_descriptor(file_descriptor &&other) noexcept : fd_(other.release()) {}
    file_descriptor &operator=(file_descriptor &&other) noexcept;
    ~file_descriptor() { reset(); }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }
    void reset();

   private:
    int fd_ = -1;
  };

  void open_terminal();
  void lock_link();
  void make_link();
  void remove_link();
  void serve();
  // The port's open and close events since the last read (inotify masks).
  std::vector<uint32_t> read_port_events();
  // True when events hold the last host's close followed by a new open.
  bool departs_then_arrives(const std::vector<uint32_t> &events) const;
  void handle_port_events(const std::vector<uint32_t> &events);
  // Returns false when serving must end (stop requested).
  bool handle_bytes(std::string_view chunk);
  bool answer(const received_line &line);
  bool send(std::string_view bytes);
  bool send_reply(std::string_view reply);
  std::string noise();
  bool pause_for(milliseconds span);
  bool pause_until(std::chrono::steady_clock::time_point when);
  std::chrono::nanoseconds wire_time(std::size_t bytes) const;
  bool send_at_line_rate(std::string_view bytes);
  void unplug();
  void log(std::string_view text) const;

  robot_options options_;
  file_descriptor master_;
  file_descriptor slave_;
  file_descriptor port_watch_;
  file_descriptor wake_;
  file_descriptor link_lock_;
  std::string slave_path_;
  bool link_made_ = false;
  std::thread server_;
  std::atomic<bool> serving_{false};
  std::atomic<std::size_t> lines_handled_{0};
  std::atomic<std::size_t> host_opens_{0};
  time_point started_at_{};

  mutable std::mutex model_mutex_;
  mutable robot_model model_;

  // Owned by the serving thread.
  robot_protocol protocol_;
  line_assembler assembler_;
  std::size_t replies_ = 0;
  int hosts_open_ = 0;
  std::minstd_rand noise_bytes_;
};

}  // namespace tovlink::sim

// The far end of a serial line for tests: a pseudo-terminal whose slave is a
// real tty for the library to open, while the test plays the link adapter
// and the robot on the master side.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace tovlink::test {

// Answers one received command line (without its "\r"; empty lines from a
// doubled "\r" are passed too) with the bytes to send back, or nothing.
using responder = std::function<std::optional<std::string>(const std::string &line)>;

// One rule of a scripted device: a line beginning with `prefix` is answered
// with `reply`, sent in chunks of `chunk_size` bytes (0: all at once) with
// `chunk_delay` between them.
struct reply_rule {
  std::string prefix;
  std::string reply;
  size_t chunk_size = 0;
  std::chrono::milliseconds chunk_delay{0};
};

// A status line carrying the given values in their places.
std::string status_line(int sensor, int mic, const std::vector<int> &positions, int battery,
                        int motor_power, int mic_analog);

class pty_device {
 public:
  pty_device();
  ~pty_device();
  pty_device(const pty_device &) = delete;
  pty_device &operator=(const pty_device &) = delete;

  // Path of the slave side, for the library to open.
  const std::string &path() const { return path_; }

  // Starts answering lines: by rules (first match wins; unmatched lines get
  // no answer) or by a free responder.
  void serve(std::vector<reply_rule> rules);
  void serve(responder answer);

  // Writes bytes to the library directly, now.
  void send(const std::string &bytes);

  // Everything the library wrote so far.
  std::string received() const;
  void clear_received();
  // Waits until the received bytes contain `needle`, up to `limit`.
  bool wait_for(const std::string &needle,
                std::chrono::milliseconds limit = std::chrono::milliseconds(3000)) const;

  // Waits until the library has read every byte sent to it (none left in
  // the terminal's input, nor on its way there), up to `limit`.
  bool wait_until_taken(std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) const;

  // Closes the master: the library's device goes away as if unplugged.
  void unplug();

  // Stops reading the master (the library's writes then back up).
  void stop_reading();

  int master_fd() const { return master_; }
  int slave_fd() const { return slave_; }

 private:
  void pump();
  void handle_line(const std::string &line);
  void write_reply(const reply_rule &rule);

  int master_ = -1;
  int slave_ = -1;
  std::string path_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::string received_;
  std::string pending_line_;
  std::vector<reply_rule> rules_;
  responder answer_;
  bool stopping_ = false;
  bool reading_ = true;
  std::thread pump_;
};

// The rules of a well-behaved adapter followed by a robot that answers
// "#140" with `status` and every other command with "OK".
std::vector<reply_rule> adapter_rules(const std::string &peer_id = "0123456789AB\r\n");
std::vector<reply_rule> robot_rules(const std::string &status);

}  // namespace tovlink::test

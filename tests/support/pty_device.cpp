#include "pty_device.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <thread>

namespace tovlink::test {
namespace {

void make_raw(int fd) {
  termios settings{};
  tcgetattr(fd, &settings);
  cfmakeraw(&settings);
  tcsetattr(fd, TCSANOW, &settings);
}

void write_fully(int fd, const char *bytes, size_t count) {
  while (count > 0) {
    ssize_t n = write(fd, bytes, count);
    if (n > 0) {
      bytes += n;
      count -= static_cast<size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      pollfd ready{fd, POLLOUT, 0};
      poll(&ready, 1, 10);
    } else {
      return;
    }
  }
}

}  // namespace

std::string status_line(int sensor, int mic, const std::vector<int> &positions, int battery,
                        int motor_power, int mic_analog) {
  // Appended piece by piece: `"text" + std::string` inserts at the front of a
  // temporary, and GCC 12 at -O3 flags that insert with a false -Wrestrict
  // overlap (GCC bug 105329).
  std::string line = "S";
  const auto add = [&line](int value) {
    line += ',';
    line += std::to_string(value);
  };
  add(sensor);
  add(mic);
  line += ",M";
  for (int position : positions) add(position);
  line += ",P";
  add(battery);
  add(motor_power);
  add(mic_analog);
  line += ",E\r\n";
  return line;
}

std::vector<reply_rule> adapter_rules(const std::string &peer_id) {
  return {{"R,1", "CMD\r\n"}, {"GDH", peer_id}, {"E,0,", "AOK\r\n"}, {"I", "MLDP\r\n"}};
}

std::vector<reply_rule> robot_rules(const std::string &status) {
  std::vector<reply_rule> rules = adapter_rules();
  rules.push_back({"#140", status});
  rules.push_back({"#", "OK\r\n"});
  return rules;
}

pty_device::pty_device() {
  char name[256] = {};
  if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
    throw std::runtime_error("openpty failed");
  }
  path_ = name;
  make_raw(slave_);
  fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  pump_ = std::thread(&pty_device::pump, this);
}

pty_device::~pty_device() {
  unplug();
  if (slave_ >= 0) close(slave_);
}

void pty_device::serve(std::vector<reply_rule> rules) {
  std::lock_guard<std::mutex> guard(mutex_);
  rules_ = std::move(rules);
  answer_ = nullptr;
}

void pty_device::serve(responder answer) {
  std::lock_guard<std::mutex> guard(mutex_);
  rules_.clear();
  answer_ = std::move(answer);
}

void pty_device::send(const std::string &bytes) {
  write_fully(master_, bytes.data(), bytes.size());
}

std::string pty_device::received() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return received_;
}

void pty_device::clear_received() {
  std::lock_guard<std::mutex> guard(mutex_);
  received_.clear();
}

bool pty_device::wait_for(const std::string &needle, std::chrono::milliseconds limit) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, limit,
                           [&] { return received_.find(needle) != std::string::npos; });
}

bool pty_device::wait_until_taken(std::chrono::milliseconds limit) const {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    // A poll of the terminal first moves what is still on its way from the
    // master into the terminal's input (the kernel does that on a worker,
    // a moment after the write), so "not readable" means the library has
    // read every byte, not that some have yet to arrive.
    pollfd input{slave_, POLLIN, 0};
    const int ready = poll(&input, 1, 0);
    if (ready < 0) return false;
    if (ready == 0) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void pty_device::unplug() {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    stopping_ = true;
  }
  if (pump_.joinable()) pump_.join();
  if (master_ >= 0) close(master_);
  master_ = -1;
}

void pty_device::stop_reading() {
  std::lock_guard<std::mutex> guard(mutex_);
  reading_ = false;
}

void pty_device::pump() {
  for (;;) {
    bool reading = true;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      if (stopping_) return;
      reading = reading_;
    }
    if (!reading) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      continue;
    }
    pollfd ready{master_, POLLIN, 0};
    if (poll(&ready, 1, 5) <= 0) continue;
    char block[512];
    ssize_t n = read(master_, block, sizeof block);
    if (n <= 0) continue;
    std::vector<std::string> lines;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      received_.append(block, static_cast<size_t>(n));
      for (ssize_t i = 0; i < n; ++i) {
        if (block[i] == '\r') {
          lines.push_back(pending_line_);
          pending_line_.clear();
        } else if (block[i] != '\n') {
          pending_line_ += block[i];
        }
      }
    }
    changed_.notify_all();
    for (const std::string &line : lines) handle_line(line);
  }
}

void pty_device::handle_line(const std::string &line) {
  std::optional<reply_rule> chosen;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (answer_) {
      if (auto reply = answer_(line)) chosen = reply_rule{"", *reply};
    } else if (!line.empty()) {
      for (const reply_rule &rule : rules_) {
        if (line.compare(0, rule.prefix.size(), rule.prefix) == 0) {
          chosen = rule;
          break;
        }
      }
    }
  }
  if (chosen) write_reply(*chosen);
}

void pty_device::write_reply(const reply_rule &rule) {
  size_t step = rule.chunk_size == 0 ? rule.reply.size() : rule.chunk_size;
  for (size_t at = 0; at < rule.reply.size(); at += step) {
    if (at > 0) std::this_thread::sleep_for(rule.chunk_delay);
    size_t count = std::min(step, rule.reply.size() - at);
    write_fully(master_, rule.reply.data() + at, count);
  }
}

}  // namespace tovlink::test

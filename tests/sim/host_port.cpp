#include "host_port.hpp"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>

namespace tovlink::sim::test {
namespace {

using steady = std::chrono::steady_clock;

int remaining_ms(steady::time_point until) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - steady::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// A read that found nothing although poll said there was something.  A
// terminal's poll can say so while the robot flushes its input (the clean-up
// after the previous host left), which it does without a lock: the port is
// readable again once the robot's reply is written, so the wait goes on.
bool nothing_yet(ssize_t count) {
  return count < 0 && (errno == EAGAIN || errno == EINTR);
}

}  // namespace

host_port::host_port(const std::string &path) {
  fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd_ < 0) return;
  termios settings{};
  tcgetattr(fd_, &settings);
  cfmakeraw(&settings);
  tcsetattr(fd_, TCSANOW, &settings);
}

host_port::~host_port() {
  close();
}

void host_port::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void host_port::send(std::string_view bytes) {
  while (!bytes.empty()) {
    const auto written = ::write(fd_, bytes.data(), bytes.size());
    if (written <= 0) return;
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
}

std::string host_port::read_line(std::chrono::milliseconds limit) {
  const auto until = steady::now() + limit;
  std::string bytes;
  while (bytes.empty() || bytes.back() != '\n') {
    pollfd ready{fd_, POLLIN, 0};
    if (::poll(&ready, 1, remaining_ms(until)) <= 0) break;
    char c = 0;
    // One byte at a time, so nothing after the line feed is taken.
    const auto count = ::read(fd_, &c, 1);
    if (count == 1) {
      bytes.push_back(c);
    } else if (!nothing_yet(count)) {
      break;
    }
  }
  return bytes;
}

std::string host_port::read_for(std::chrono::milliseconds span) {
  const auto until = steady::now() + span;
  std::string bytes;
  while (true) {
    pollfd ready{fd_, POLLIN, 0};
    if (::poll(&ready, 1, remaining_ms(until)) <= 0) break;
    std::array<char, 256> chunk{};
    const auto count = ::read(fd_, chunk.data(), chunk.size());
    if (count > 0) {
      bytes.append(chunk.data(), static_cast<std::size_t>(count));
    } else if (!nothing_yet(count)) {
      break;
    }
  }
  return bytes;
}

std::string host_port::exchange(std::string_view line) {
  send(line);
  return read_line();
}

}  // namespace tovlink::sim::test

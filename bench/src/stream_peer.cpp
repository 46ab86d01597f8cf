#include "stream_peer.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <stdexcept>

namespace tovlink::bench {
namespace {

constexpr char k_peer_id_line[] = "001EC0ABCDEF\r\n";

void make_raw(int fd) {
  termios settings{};
  tcgetattr(fd, &settings);
  cfmakeraw(&settings);
  tcsetattr(fd, TCSANOW, &settings);
}

std::string stream_text(std::size_t bytes, std::size_t line_bytes) {
  std::string text;
  text.reserve(bytes);
  while (text.size() < bytes) {
    std::size_t line = std::min(line_bytes, bytes - text.size());
    for (std::size_t i = 0; i + 1 < line; ++i) text.push_back(static_cast<char>('A' + i % 26));
    text.push_back('\n');
  }
  return text;
}

}  // namespace

stream_peer::stream_peer(std::size_t stream_bytes) : stream_bytes_(stream_bytes) {
  char name[256] = {};
  if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0)
    throw std::runtime_error("stream peer: openpty failed");
  path_ = name;
  make_raw(slave_);
  make_raw(master_);
  fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  server_ = std::thread([this] { serve(); });
}

stream_peer::~stream_peer() {
  running_.store(false);
  server_.join();
  close(slave_);
  close(master_);
}

void stream_peer::serve() {
  char buffer[512];
  while (running_.load()) {
    pollfd port{master_, POLLIN, 0};
    if (written_ < pending_.size()) port.events |= POLLOUT;
    if (poll(&port, 1, 50) <= 0) continue;
    if (port.revents & POLLIN) {
      ssize_t n = read(master_, buffer, sizeof buffer);
      for (ssize_t i = 0; i < n; ++i) {
        if (buffer[i] != '\r') {
          partial_line_.push_back(buffer[i]);
          continue;
        }
        handle_line(partial_line_);
        partial_line_.clear();
      }
    }
    write_pending();
  }
}

void stream_peer::handle_line(const std::string &line) {
  std::string reply;
  if (line == "R,1") reply = "CMD\r\n";
  if (line == "GDH") reply = k_peer_id_line;
  if (line.rfind("E,0,", 0) == 0) reply = "AOK\r\n";
  if (line == "I") reply = "MLDP\r\n";
  if (line == "#800" && !streamed_) {
    streamed_ = true;
    reply = stream_text(stream_bytes_, k_line_bytes);
  }
  pending_ += reply;
}

void stream_peer::write_pending() {
  while (written_ < pending_.size()) {
    ssize_t n = write(master_, pending_.data() + written_, pending_.size() - written_);
    if (n <= 0) return;
    written_ += static_cast<std::size_t>(n);
  }
}

}  // namespace tovlink::bench

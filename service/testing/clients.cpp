#include "clients.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tovlink::service::testing {
namespace {

using clock = std::chrono::steady_clock;

int connect_tcp(unsigned short port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) != 0) {
    ::close(fd);
    return -1;
  }
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  return fd;
}

int remaining_ms(clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<milliseconds>(deadline - clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

}  // namespace

unsigned short free_port() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address));
  socklen_t length = sizeof(address);
  ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

socket_client::~socket_client() {
  close();
}

void socket_client::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool socket_client::send_raw(std::string_view bytes) {
  while (!bytes.empty()) {
    const auto sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(sent));
  }
  return true;
}

bool socket_client::pump(milliseconds limit) {
  if (fd_ < 0 || ended_) return false;
  pollfd watch{fd_, POLLIN, 0};
  const int ready = ::poll(&watch, 1, static_cast<int>(limit.count()));
  if (ready <= 0) return true;
  char chunk[16384];
  const auto got = ::recv(fd_, chunk, sizeof(chunk), MSG_DONTWAIT);
  if (got < 0 && (errno == EAGAIN || errno == EINTR)) return true;
  if (got <= 0) {
    ended_ = true;
    return false;
  }
  received_.append(chunk, static_cast<std::size_t>(got));
  return true;
}

bool socket_client::wait_closed(milliseconds limit) {
  const auto deadline = clock::now() + limit;
  while (!ended_ && clock::now() < deadline) {
    pump(milliseconds{remaining_ms(deadline)});
    discard_received();
  }
  return ended_;
}

void websocket_client::discard_received() {
  while (pop_message()) {
  }
}

line_client::line_client(const std::string &path) {
  fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  if (fd_ >= 0 &&
      ::connect(fd_, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) != 0) {
    close();
  }
}

std::optional<std::string> line_client::pop_line() {
  const auto end = received_.find('\n');
  if (end == std::string::npos) return std::nullopt;
  std::string line = received_.substr(0, end);
  received_.erase(0, end + 1);
  return line;
}

std::optional<std::string> line_client::read_line(milliseconds limit) {
  const auto deadline = clock::now() + limit;
  for (;;) {
    if (auto line = pop_line()) return line;
    if (clock::now() >= deadline) return std::nullopt;
    if (!pump(milliseconds{remaining_ms(deadline)})) return pop_line();
  }
}

http_response http_exchange(unsigned short port, const std::string &request, milliseconds limit) {
  http_response response;
  const int fd = connect_tcp(port);
  if (fd < 0) return response;
  std::string_view rest{request};
  while (!rest.empty()) {
    const auto sent = ::send(fd, rest.data(), rest.size(), MSG_NOSIGNAL);
    if (sent <= 0) break;
    rest.remove_prefix(static_cast<std::size_t>(sent));
  }
  std::string all;
  const auto deadline = clock::now() + limit;
  for (;;) {
    pollfd watch{fd, POLLIN, 0};
    if (::poll(&watch, 1, remaining_ms(deadline)) <= 0) break;
    char chunk[16384];
    const auto got = ::recv(fd, chunk, sizeof(chunk), 0);
    if (got <= 0) break;
    all.append(chunk, static_cast<std::size_t>(got));
  }
  ::close(fd);
  const auto head_end = all.find("\r\n\r\n");
  if (all.starts_with("HTTP/1.") && all.size() > 12) {
    response.status = std::atoi(all.substr(9, 3).c_str());
  }
  response.head = all.substr(0, head_end);
  if (head_end != std::string::npos) response.body = all.substr(head_end + 4);
  return response;
}

websocket_client::websocket_client(unsigned short port, const std::string &target,
                                   const std::string &host, const std::string &origin,
                                   milliseconds limit) {
  fd_ = connect_tcp(port);
  if (fd_ < 0) return;
  std::string request = "GET " + target + " HTTP/1.1\r\nHost: " + host +
                        "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                        "Sec-WebSocket-Version: 13\r\n";
  if (!origin.empty()) request += "Origin: " + origin + "\r\n";
  request += "\r\n";
  if (!send_raw(request)) return;
  const auto deadline = clock::now() + limit;
  std::size_t head_end = std::string::npos;
  while ((head_end = received_.find("\r\n\r\n")) == std::string::npos && clock::now() < deadline) {
    if (!pump(milliseconds{remaining_ms(deadline)})) break;
  }
  if (head_end == std::string::npos || !received_.starts_with("HTTP/1.1 ")) return;
  status_ = std::atoi(received_.substr(9, 3).c_str());
  received_.erase(0, head_end + 4);
}

bool websocket_client::send_text(std::string_view text) {
  std::string frame;
  frame.push_back(static_cast<char>(0x81));  // FIN, text
  const std::size_t size = text.size();
  if (size < 126) {
    frame.push_back(static_cast<char>(0x80 | size));
  } else if (size <= 0xFFFF) {
    frame.push_back(static_cast<char>(0x80 | 126));
    frame.push_back(static_cast<char>((size >> 8) & 0xFF));
    frame.push_back(static_cast<char>(size & 0xFF));
  } else {
    frame.push_back(static_cast<char>(0x80 | 127));
    for (int shift = 56; shift >= 0; shift -= 8) {
      frame.push_back(static_cast<char>((size >> shift) & 0xFF));
    }
  }
  mask_seed_ = mask_seed_ * 1103515245u + 12345u;
  const char mask[4] = {static_cast<char>(mask_seed_ >> 24), static_cast<char>(mask_seed_ >> 16),
                        static_cast<char>(mask_seed_ >> 8), static_cast<char>(mask_seed_)};
  frame.append(mask, 4);
  for (std::size_t i = 0; i < size; ++i) frame.push_back(static_cast<char>(text[i] ^ mask[i % 4]));
  return send_raw(frame);
}

std::optional<std::string> websocket_client::pop_message() {
  for (;;) {
    if (received_.size() < 2) return std::nullopt;
    const auto first = static_cast<unsigned char>(received_[0]);
    const auto second = static_cast<unsigned char>(received_[1]);
    std::size_t size = second & 0x7F;
    std::size_t offset = 2;
    if (size == 126) {
      if (received_.size() < 4) return std::nullopt;
      size = (static_cast<std::size_t>(static_cast<unsigned char>(received_[2])) << 8) |
             static_cast<unsigned char>(received_[3]);
      offset = 4;
    } else if (size == 127) {
      if (received_.size() < 10) return std::nullopt;
      size = 0;
      for (std::size_t i = 2; i < 10; ++i) {
        size = (size << 8) | static_cast<unsigned char>(received_[i]);
      }
      offset = 10;
    }
    if (received_.size() < offset + size) return std::nullopt;
    std::string payload = received_.substr(offset, size);
    received_.erase(0, offset + size);
    const unsigned opcode = first & 0x0F;
    if (opcode == 0x8) {
      // Answer the close as a client must, so the server can finish cleanly.
      if (!close_received_) {
        close_received_ = true;
        const char close_frame[6] = {static_cast<char>(0x88), static_cast<char>(0x80), 0, 0, 0, 0};
        send_raw(std::string_view{close_frame, sizeof(close_frame)});
      }
      return std::nullopt;
    }
    if (opcode == 0x1 || opcode == 0x2) return payload;
    if (opcode == 0x9 && !close_received_) {
      // Answer a ping with its payload, as a browser does: a client that
      // only listens is otherwise taken for dead once the server's idle
      // time-out has passed.  Control payloads are at most 125 bytes; the
      // mask is zero.
      std::string pong{static_cast<char>(0x8A), static_cast<char>(0x80 | payload.size())};
      pong.append(4, '\0');
      pong += payload;
      send_raw(pong);
    }
    // Pings and pongs are not messages; the daemon's pings come far apart.
  }
}

std::optional<std::string> websocket_client::read_message(milliseconds limit) {
  const auto deadline = clock::now() + limit;
  for (;;) {
    if (auto message = pop_message()) return message;
    if (close_received_ || clock::now() >= deadline) return std::nullopt;
    if (!pump(milliseconds{remaining_ms(deadline)})) return pop_message();
  }
}

}  // namespace tovlink::service::testing

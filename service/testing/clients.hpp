// Plain-socket clients of tovlinkd for its tests and benchmark: a line
// client on the Unix socket, raw HTTP requests, and a small WebSocket client
// (text frames, masked as a client must).  They depend on nothing but POSIX
// so they check the daemon from the outside.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace tovlink::service::testing {

using std::chrono::milliseconds;

// Common to both: a connected socket with a receive buffer.
// A loopback TCP port nobody listens on now (for a broker or a daemon a
// test starts).
unsigned short free_port();

class socket_client {
 public:
  socket_client() = default;
  virtual ~socket_client();
  socket_client(const socket_client &) = delete;
  socket_client &operator=(const socket_client &) = delete;
  socket_client(socket_client &&other) noexcept
      : fd_(std::exchange(other.fd_, -1)),
        received_(std::move(other.received_)),
        ended_(other.ended_) {}

  bool connected() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  // Writes everything (blocking); false when the peer is gone.
  bool send_raw(std::string_view bytes);
  // Reads what is there now, waiting at most `limit`; false on end of stream
  // or error (true on a time-out with nothing read).
  bool pump(milliseconds limit = milliseconds{0});
  // True once the peer closed and everything it sent has been read, within `limit`.
  bool wait_closed(milliseconds limit);
  void close();

 protected:
  // What wait_closed does with data that arrives meanwhile.
  virtual void discard_received() { received_.clear(); }

  int fd_ = -1;
  std::string received_;
  bool ended_ = false;
};

class line_client : public socket_client {
 public:
  // Connects to the Unix socket at `path`; connected() tells whether it worked.
  explicit line_client(const std::string &path);

  bool send_line(std::string_view line) { return send_raw(std::string{line} + "\n"); }
  // The next complete line (without "\n"), waiting at most `limit`.
  std::optional<std::string> read_line(milliseconds limit = milliseconds{5000});
  // A line already received, without waiting.
  std::optional<std::string> pop_line();
};

struct http_response {
  int status = 0;  // 0: no response
  std::string head;
  std::string body;
};

// Sends `request` (a whole HTTP request) to 127.0.0.1:port and reads the
// response until the server closes or `limit` passes.
http_response http_exchange(unsigned short port, const std::string &request,
                            milliseconds limit = milliseconds{5000});

class websocket_client : public socket_client {
 public:
  // Connects to 127.0.0.1:port and asks for an upgrade of `target` with the
  // given Host and Origin (an empty Origin is left out).
  websocket_client(unsigned short port, const std::string &target, const std::string &host,
                   const std::string &origin, milliseconds limit = milliseconds{5000});

  // The HTTP status of the handshake: 101 when the WebSocket is open.
  int status() const { return status_; }
  bool send_text(std::string_view text);
  // The next text message, waiting at most `limit`; empty on time-out or close.
  std::optional<std::string> read_message(milliseconds limit = milliseconds{5000});
  // A message already received, without waiting.
  std::optional<std::string> pop_message();
  // True once a close frame came.
  bool close_received() const { return close_received_; }

 private:
  void discard_received() override;

  int status_ = 0;
  bool close_received_ = false;
  std::uint32_t mask_seed_ = 0x1234567u;
};

}  // namespace tovlink::service::testing

// The host's end of the virtual robot's pseudo-terminal, opened the way a
// serial library opens a port, for tests that speak the wire protocol
// themselves.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace tovlink::sim::test {

class host_port {
 public:
  explicit host_port(const std::string &path);
  ~host_port();
  host_port(const host_port &) = delete;
  host_port &operator=(const host_port &) = delete;

  bool is_open() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  void send(std::string_view bytes);
  // Bytes received until a line feed arrives or `limit` passes.
  std::string read_line(std::chrono::milliseconds limit = std::chrono::milliseconds{2000});
  // Everything that arrives within `span`.
  std::string read_for(std::chrono::milliseconds span);
  // Sends one line and returns the reply line.
  std::string exchange(std::string_view line);
  void close();

 private:
  int fd_ = -1;
};

}  // namespace tovlink::sim::test

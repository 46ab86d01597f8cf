// A pseudo-terminal peer for the throughput figure: it plays the adapter's
// connect dialogue, then answers the first "#800" with a long reply stream of
// 128-byte lines.  It keeps reading while it streams, so the host's further
// requests never back up behind the stream.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>
#include <thread>

namespace tovlink::bench {

class stream_peer {
 public:
  explicit stream_peer(std::size_t stream_bytes);
  ~stream_peer();
  stream_peer(const stream_peer &) = delete;
  stream_peer &operator=(const stream_peer &) = delete;

  const std::string &port_path() const { return path_; }
  // Every stream line: 127 printable bytes, then a line feed.
  static constexpr std::size_t k_line_bytes = 128;

 private:
  void serve();
  void handle_line(const std::string &line);
  void write_pending();

  int master_ = -1;
  int slave_ = -1;
  std::string path_;
  std::size_t stream_bytes_;
  bool streamed_ = false;
  std::string pending_;  // bytes still to write to the host
  std::size_t written_ = 0;
  std::string partial_line_;
  std::atomic<bool> running_{true};
  std::thread server_;
};

}  // namespace tovlink::bench

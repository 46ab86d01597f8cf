// A serial device whose replies come from a fuzzer's bytes, for the fuzz
// targets only: it is handed to the library through the device-opener seam.
//
// Reply stream layout: the first byte is the size of the pieces the replies
// are delivered in (0 means 128); then, for every command line the library
// writes, one length byte and that many reply bytes.  What happens once the
// stream runs out is up to the target (a fixed reply, or silence).
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "transport/platform.h"

namespace tovlink::fuzz {

struct reply_script {
  std::vector<uint8_t> stream;
  // Sent for each line once the stream has run out; none: silence.
  std::optional<std::string> when_exhausted;
  // Each reply gets a line feed if it has none, so exchanges rarely wait
  // out their 1500 polls and the fuzzer stays fast.
  bool end_replies_with_line_feed = false;
};

class fuzzed_device final : public platform::serial_device {
 public:
  explicit fuzzed_device(reply_script script) : script_(std::move(script)) {
    if (!script_.stream.empty()) piece_size_ = script_.stream[0] == 0 ? 128u : script_.stream[0];
    cursor_ = script_.stream.empty() ? 0 : 1;
  }

  bool read_available(uint8_t *buffer, uint32_t capacity, uint32_t *count) override {
    uint32_t available = static_cast<uint32_t>(outgoing_.size() - sent_);
    *count = std::min({available, capacity, piece_size_});
    std::copy_n(outgoing_.begin() + static_cast<std::ptrdiff_t>(sent_), *count, buffer);
    sent_ += *count;
    return true;
  }

  bool write(const uint8_t *bytes, uint32_t count, uint32_t *written,
             const std::atomic<int32_t> &) override {
    for (uint32_t i = 0; i < count; ++i) {
      // An empty line (the second "\r" of "\r\r") gets no reply.
      if (bytes[i] == '\r' && previous_ != '\r') queue_reply();
      previous_ = bytes[i];
    }
    *written = count;
    return true;
  }

 private:
  void queue_reply() {
    std::string reply;
    if (cursor_ < script_.stream.size()) {
      std::size_t length = script_.stream[cursor_++];
      length = std::min(length, script_.stream.size() - cursor_);
      reply.assign(script_.stream.begin() + static_cast<std::ptrdiff_t>(cursor_),
                   script_.stream.begin() + static_cast<std::ptrdiff_t>(cursor_ + length));
      cursor_ += length;
    } else if (script_.when_exhausted) {
      reply = *script_.when_exhausted;
    } else {
      return;
    }
    if (script_.end_replies_with_line_feed && (reply.empty() || reply.back() != '\n')) {
      reply += '\n';
    }
    outgoing_.erase(0, sent_);
    sent_ = 0;
    outgoing_ += reply;
  }

  reply_script script_;
  std::size_t cursor_ = 0;
  uint32_t piece_size_ = 128;
  std::string outgoing_;
  std::size_t sent_ = 0;
  uint8_t previous_ = 0;
};

// The script the next opened device plays; set by the target before it
// opens a connection.
inline reply_script g_next_script;

inline platform::open_result open_fuzzed_device(const char *, int32_t) {
  platform::open_result result;
  result.device = std::make_unique<fuzzed_device>(g_next_script);
  return result;
}

}  // namespace tovlink::fuzz

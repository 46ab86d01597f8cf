// A connection's unsent messages, bounded: a client that stops reading is
// dropped once it passes the bound instead of holding memory or slowing
// anyone else down.
#pragma once

#include <cstddef>
#include <deque>
#include <string>

namespace tovlink::service {

class outbox {
 public:
  outbox(std::size_t max_bytes, std::size_t max_messages)
      : max_bytes_(max_bytes), max_messages_(max_messages) {}

  // False when the message would pass a bound (the message is not kept).
  bool push(std::string message) {
    if (messages_.size() >= max_messages_ || bytes_ + message.size() > max_bytes_) return false;
    bytes_ += message.size();
    messages_.push_back(std::move(message));
    return true;
  }
  bool empty() const { return messages_.empty(); }
  std::string &front() { return messages_.front(); }
  void pop() {
    bytes_ -= messages_.front().size();
    messages_.pop_front();
  }

 private:
  std::size_t max_bytes_;
  std::size_t max_messages_;
  std::size_t bytes_ = 0;
  std::deque<std::string> messages_;
};

}  // namespace tovlink::service

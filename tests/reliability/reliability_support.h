// Helpers shared by the reliability tests: a stopwatch for the documented
// waits and host buffers framed by guard bytes.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tovlink::test {

using steady = std::chrono::steady_clock;
using millis = std::chrono::milliseconds;

class stopwatch {
 public:
  millis elapsed() const { return std::chrono::duration_cast<millis>(steady::now() - started_); }

 private:
  steady::time_point started_ = steady::now();
};

// A host buffer of `size` bytes with guard bytes on both sides, so a write
// before or past it shows up as a changed guard.
class guarded_buffer {
 public:
  static constexpr std::size_t k_guard = 64;
  static constexpr char k_guard_byte = '\x5A';
  static constexpr char k_fill_byte = '\0';

  explicit guarded_buffer(std::size_t size)
      : bytes_(size + 2 * k_guard, k_guard_byte), size_(size) {
    for (std::size_t i = 0; i < size_; ++i) bytes_[k_guard + i] = k_fill_byte;
  }

  char *data() { return bytes_.data() + k_guard; }
  std::size_t size() const { return size_; }
  std::string contents() const { return std::string(bytes_.data() + k_guard, size_); }
  // The first `count` bytes of the buffer.
  std::string head(std::size_t count) const { return std::string(bytes_.data() + k_guard, count); }

  bool guards_intact() const {
    for (std::size_t i = 0; i < k_guard; ++i) {
      if (bytes_[i] != k_guard_byte || bytes_[k_guard + size_ + i] != k_guard_byte) return false;
    }
    return true;
  }

 private:
  std::vector<char> bytes_;
  std::size_t size_;
};

}  // namespace tovlink::test

// Fuzz target: the reply side of the line exchange.  A connection record
// without a device or worker has its receive queue filled with the fuzzer's
// bytes; recv_line then collects them into a host buffer of exactly the
// chosen size (so the address sanitizer sees any write past it), then what
// is left into a line of the size the command exchange uses.
//
// Input: [buffer size - 1][polls - 1][reply bytes...].
#include <cstddef>
#include <cstdint>
#include <memory>

#include "c_api_seams.h"
#include "frame/library_state.h"
#include "protocol/line_exchange.h"
#include "transport/serial.h"

namespace {

constexpr uint32_t k_most_polls = 3;  // each poll sleeps 1 ms

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  using namespace tovlink;
  if (size < 2) return 0;
  const std::size_t buffer_size = std::size_t{data[0]} + 1;
  const uint32_t polls = data[1] % k_most_polls + 1;
  data += 2;
  size -= 2;

  serial_t record;
  record.q_recv = queue_new();
  record.q_send = queue_new();
  if (record.q_recv == nullptr || record.q_send == nullptr) return 0;
  queue_push(record.q_recv, data,
             static_cast<uint32_t>(size > k_queue_capacity ? k_queue_capacity : size));
  g_serial_t = &record;
  auto *handle = reinterpret_cast<uint32_t *>(&record);

  auto buffer = std::make_unique<uint8_t[]>(buffer_size);
  recv_line(handle, buffer.get(), buffer_size, polls);
  auto line = std::make_unique<uint8_t[]>(k_line_buffer_size);
  recv_line(handle, line.get(), k_line_buffer_size, 1);

  g_serial_t = nullptr;
  return 0;
}

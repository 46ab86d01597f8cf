#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "transport/queue.h"

namespace tovlink {
namespace {

struct queue_deleter {
  void operator()(queue_t *queue) const { queue_delete(queue); }
};
using queue_ptr = std::unique_ptr<queue_t, queue_deleter>;

std::vector<uint8_t> bytes_of(size_t count, uint8_t first = 0) {
  std::vector<uint8_t> bytes(count);
  for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(first + i);
  return bytes;
}

TEST(Queue, NewQueueIsEmptyAndZeroed) {
  queue_ptr queue(queue_new());
  ASSERT_NE(queue, nullptr);
  EXPECT_EQ(queue->capacity, 1024u);
  EXPECT_EQ(queue->read_index, 0u);
  EXPECT_EQ(queue->write_index, 0u);
  uint8_t out[128];
  EXPECT_EQ(queue_pop(queue.get(), out, 128), 0u);
}

TEST(Queue, HoldsAtMost1023BytesAndKeepsTheirOrder) {
  queue_ptr queue(queue_new());
  auto bytes = bytes_of(1024);
  EXPECT_EQ(queue_push(queue.get(), bytes.data(), 1024), 1023u);
  EXPECT_EQ(queue_push(queue.get(), bytes.data(), 1), 0u) << "a full queue stores nothing";
  std::vector<uint8_t> out(1023);
  uint32_t taken = 0;
  while (uint32_t n = queue_pop(queue.get(), out.data() + taken, 128)) taken += n;
  EXPECT_EQ(taken, 1023u);
  EXPECT_EQ(out, std::vector<uint8_t>(bytes.begin(), bytes.begin() + 1023));
}

TEST(Queue, WrapsAroundAfterTheLastSlot) {
  queue_ptr queue(queue_new());
  auto bytes = bytes_of(1023);
  ASSERT_EQ(queue_push(queue.get(), bytes.data(), 1023), 1023u);
  std::vector<uint8_t> out(128);
  while (queue_pop(queue.get(), out.data(), 128) > 0) {
  }
  EXPECT_EQ(queue->read_index, 1023u);
  EXPECT_EQ(queue->write_index, 1023u);
  uint8_t next[2] = {0xAB, 0xCD};
  EXPECT_EQ(queue_push(queue.get(), next, 2), 2u);
  EXPECT_EQ(queue->storage[1023], 0xAB);
  EXPECT_EQ(queue->storage[0], 0xCD);
  EXPECT_EQ(queue->write_index, 1u);
  EXPECT_EQ(queue_pop(queue.get(), out.data(), 128), 2u);
  EXPECT_EQ(out[0], 0xAB);
  EXPECT_EQ(out[1], 0xCD);
}

TEST(Queue, PopTakesAtMostItsLimit) {
  queue_ptr queue(queue_new());
  auto bytes = bytes_of(200);
  queue_push(queue.get(), bytes.data(), 200);
  std::vector<uint8_t> out(200);
  EXPECT_EQ(queue_pop(queue.get(), out.data(), 128), 128u);
  EXPECT_EQ(queue_pop(queue.get(), out.data() + 128, 128), 72u);
  EXPECT_EQ(out, bytes);
}

}  // namespace
}  // namespace tovlink

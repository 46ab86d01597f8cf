// Fixed-capacity circular byte queue between the host side and the I/O
// worker.  It has no lock of its own: every access holds the connection's
// lock for that queue.
#pragma once

#include <cstdint>

namespace tovlink {

inline constexpr uint32_t k_queue_capacity = 1024;
// Most bytes one pop takes: the size of the worker's and receiver's chunks.
inline constexpr uint32_t k_chunk_size = 128;

struct queue_t {
  uint8_t storage[k_queue_capacity];
  uint32_t capacity;
  uint32_t read_index;   // oldest byte
  uint32_t write_index;  // where the next byte goes
};

// A zero-filled queue, or null when memory runs out.  Release with
// queue_delete.  One slot always stays free, so it holds at most 1023 bytes.
queue_t *queue_new();
void queue_delete(queue_t *queue);

// Stores bytes in order while the queue is not full; returns how many fit.
uint32_t queue_push(queue_t *queue, const uint8_t *bytes, uint32_t count);

// Takes bytes in order while the queue is not empty, at most `limit`;
// returns how many were taken.
uint32_t queue_pop(queue_t *queue, uint8_t *bytes, uint32_t limit);

}  // namespace tovlink

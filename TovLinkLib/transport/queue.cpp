#include "transport/queue.h"

#include <cstdlib>

namespace tovlink {

queue_t *queue_new() {
  auto *queue = static_cast<queue_t *>(std::calloc(1, sizeof(queue_t)));
  if (queue != nullptr) queue->capacity = k_queue_capacity;
  return queue;
}

void queue_delete(queue_t *queue) {
  std::free(queue);
}

uint32_t queue_push(queue_t *queue, const uint8_t *bytes, uint32_t count) {
  uint32_t stored = 0;
  uint32_t next = (queue->write_index + 1) % queue->capacity;
  while (stored < count && next != queue->read_index) {
    queue->storage[queue->write_index] = bytes[stored++];
    queue->write_index = next;
    next = (next + 1) % queue->capacity;
  }
  return stored;
}

uint32_t queue_pop(queue_t *queue, uint8_t *bytes, uint32_t limit) {
  uint32_t taken = 0;
  while (taken < limit && queue->read_index != queue->write_index) {
    bytes[taken++] = queue->storage[queue->read_index];
    queue->read_index = (queue->read_index + 1) % queue->capacity;
  }
  return taken;
}

}  // namespace tovlink

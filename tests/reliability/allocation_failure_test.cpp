// Allocation failures inside the exports: each one must come back as a
// result code, never as an exception unwinding into a C caller.  The test
// program replaces the global operator new so that the Nth allocation made
// by this thread fails; the I/O worker and the test's peer are untouched.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <string>

#include "output_capture.h"
#include "pty_device.h"
#include "tovlink.h"

namespace {

// Allocations this thread may still make before one fails; negative: none fails.
thread_local long allocations_before_failure = -1;
thread_local long allocations_counted = 0;

void *allocate(std::size_t size) {
  ++allocations_counted;
  if (allocations_before_failure == 0) {
    allocations_before_failure = -1;  // one failure per arming
    throw std::bad_alloc();
  }
  if (allocations_before_failure > 0) --allocations_before_failure;
  void *memory = std::malloc(size == 0 ? 1 : size);
  if (memory == nullptr) throw std::bad_alloc();
  return memory;
}

}  // namespace

void *operator new(std::size_t size) {
  return allocate(size);
}
void *operator new[](std::size_t size) {
  return allocate(size);
}
void *operator new(std::size_t size, const std::nothrow_t &) noexcept {
  try {
    return allocate(size);
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
}
void operator delete(void *memory) noexcept {
  std::free(memory);
}
void operator delete[](void *memory) noexcept {
  std::free(memory);
}
void operator delete(void *memory, std::size_t) noexcept {
  std::free(memory);
}
void operator delete[](void *memory, std::size_t) noexcept {
  std::free(memory);
}

namespace tovlink {
namespace {

// Every allocation a connect makes on the calling thread, failed in turn:
// each attempt returns null with TOVLINK_ERR_PORT_OPEN and leaves nothing
// current, and the port can be opened again afterwards.
TEST(AllocationFailure, EveryAllocationOfConnectFailsIntoACode) {
  test::pty_device device;  // a silent adapter: the dialogue fails after 1 s
  allocations_counted = 0;
  {
    test::output_capture quiet;
    EXPECT_EQ(tovlink_connect(device.path().c_str(), 115200), nullptr);
  }
  const long counted = allocations_counted;
  ASSERT_GT(counted, 0) << "connect allocates on the calling thread (record, device, worker)";

  for (long failing = 0; failing < counted; ++failing) {
    SCOPED_TRACE("allocation " + std::to_string(failing + 1) + " of " + std::to_string(counted));
    test::output_capture capture;
    allocations_before_failure = failing;
    uint32_t *handle = tovlink_connect(device.path().c_str(), 115200);
    bool failure_used = allocations_before_failure == -1;
    allocations_before_failure = -1;
    capture.finish();
    if (!failure_used) continue;  // this allocation happened in the earlier run only
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(tovlink_get_lasterror(), TOVLINK_ERR_PORT_OPEN);
  }
  // Nothing was left open: with no current connection, end reports it.
  test::output_capture capture;
  tovlink_end(nullptr);
  capture.finish();
  EXPECT_EQ(capture.err(), "tovlink_end\ng_serial_t=NULL\n");
}

// A diagnostic line too long for the stack buffer is built on the heap; when
// that fails, connect still returns a code.
TEST(AllocationFailure, ALongPortNameWhoseLineCannotBeBuiltStillGivesACode) {
  std::string name(2000, 'p');
  test::output_capture capture;
  allocations_before_failure = 0;
  EXPECT_EQ(tovlink_connect(name.c_str(), 9600), nullptr);
  allocations_before_failure = -1;
  capture.finish();
  EXPECT_EQ(tovlink_get_lasterror(), TOVLINK_ERR_PORT_OPEN);
}

}  // namespace
}  // namespace tovlink

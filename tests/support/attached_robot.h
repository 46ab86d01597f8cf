// A pseudo-terminal robot made the current connection without the adapter
// dialogue (which costs 3.5 s of fixed pauses), for tests of what happens
// once a connection exists.  Header-only: it uses the library's internals,
// so only test programs linked with tovlink_core include it.
#pragma once

#include <gtest/gtest.h>

#include "c_api_seams.h"
#include "frame/library_state.h"
#include "pty_device.h"
#include "transport/serial.h"

namespace tovlink::test {

class attached_robot : public ::testing::Test {
 protected:
  void SetUp() override {
    serial_ = serial_open(device_.path().c_str(), 115200);
    ASSERT_NE(serial_, nullptr);
    g_serial_t = serial_;
  }
  void TearDown() override {
    if (g_serial_t != nullptr) serial_close(g_serial_t);
    g_serial_t = nullptr;
  }

  uint32_t *handle() const { return reinterpret_cast<uint32_t *>(serial_); }
  // A handle whose low 32 bits differ from the current connection's.
  uint32_t *other_handle() const {
    return reinterpret_cast<uint32_t *>(reinterpret_cast<uintptr_t>(serial_) ^ 0x10u);
  }

  pty_device device_;
  serial_t *serial_ = nullptr;
};

}  // namespace tovlink::test

// The line exchange of an event-driven session (the C++ API's): the same
// framing, codes and time-out lengths as the C API's polling one, with waits
// that end when the bytes, a failure or a cancel request arrive.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "frame/library_state.h"
#include "protocol/line_exchange.h"
#include "pty_device.h"
#include "transport/serial.h"

namespace tovlink {
namespace {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

class EventLineExchange : public ::testing::Test {
 protected:
  void SetUp() override {
    s_.event_driven = true;
    s_.fail_fast_on_lost_link = true;
    s_.sink = {&EventLineExchange::keep_line, this, true};
    s_.serial = serial_open(s_, device_.path().c_str(), 115200);
    ASSERT_NE(s_.serial, nullptr);
  }
  void TearDown() override {
    if (s_.serial != nullptr) serial_close(s_.serial);
  }

  static void keep_line(void *context, log_stream, std::string_view line) {
    static_cast<EventLineExchange *>(context)->lines_ += line;
  }

  std::string receive(uint64_t size, uint32_t polls) {
    std::vector<uint8_t> framed(size + 32, 0xEE);
    uint32_t received = recv_line(s_, framed.data() + 16, size, polls);
    for (size_t i = 0; i < 16; ++i) {
      EXPECT_EQ(framed[i], 0xEE) << "written before the buffer";
      EXPECT_EQ(framed[16 + size + i], 0xEE) << "written past size";
    }
    return std::string(reinterpret_cast<char *>(framed.data()) + 16, received);
  }

  test::pty_device device_;
  session s_;
  std::string lines_;
};

TEST_F(EventLineExchange, AReplyInSlowChunksCompletesOnItsLineFeed) {
  device_.serve({{"R,1", "CMD\r\nre\r\n", 2, 30ms}, {"X", "AB\r\nCD\r\n", 0, 0ms}});
  ASSERT_EQ(send_line(s_, "R,1\r"), TOVLINK_OK);
  // The first line feed arrives in the middle of a chunk ("\nr"): the reply
  // stays open until a chunk ends on one, exactly as when polling.
  std::string reply = receive(128, 1500);
  EXPECT_EQ(s_.last_error, TOVLINK_OK);
  EXPECT_EQ(reply, "CMD\r\nre\r\n");

  discard_stale_input(s_);
  ASSERT_EQ(send_line(s_, "X\r"), TOVLINK_OK);
  EXPECT_EQ(receive(128, 1500), "AB\r\nCD\r\n");
  EXPECT_EQ(s_.last_error, TOVLINK_OK);
}

TEST_F(EventLineExchange, ATimeOutLastsItsPollsInMillisecondsAndKeepsThePartialReply) {
  device_.send("partial");
  auto start = steady::now();
  EXPECT_EQ(receive(128, 300), "partial");
  auto took = steady::now() - start;
  EXPECT_EQ(s_.last_error, TOVLINK_ERR_RECEIVE);
  EXPECT_GE(took, 300ms);
  EXPECT_LT(took, 1200ms);
  EXPECT_EQ(lines_, "[Err] Detect timeout.\n");
}

TEST_F(EventLineExchange, AnOverflowingChunkIsDroppedWhole) {
  device_.send("0123456789ABCDEF\r\n");
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(receive(10, 1500), "");
  EXPECT_EQ(s_.last_error, TOVLINK_ERR_RECEIVE);
}

TEST_F(EventLineExchange, ACancelRequestEndsTheWaitAtOnce) {
  std::atomic<bool> stop{false};
  s_.cancel_requested = [](void *flag) { return static_cast<std::atomic<bool> *>(flag)->load(); };
  s_.cancel_context = &stop;
  std::thread canceller([&] {
    std::this_thread::sleep_for(100ms);
    stop = true;
    s_.wake.raise();
  });
  auto start = steady::now();
  receive(128, 3000);
  auto took = steady::now() - start;
  canceller.join();
  EXPECT_EQ(s_.last_error, k_code_cancelled);
  EXPECT_LT(took, 1500ms) << "the wait ran on instead of being woken";
}

TEST_F(EventLineExchange, ALostLinkEndsAnExchangeAtOnceAsSent) {
  device_.serve({{"R,1", "", 0, 0ms}});
  std::thread unplugger([&] {
    device_.wait_for("R,1\r");
    std::this_thread::sleep_for(50ms);
    device_.unplug();
  });
  auto start = steady::now();
  EXPECT_EQ(transact(s_, "R,1"), TOVLINK_ERR_EXCHANGE);
  auto took = steady::now() - start;
  unplugger.join();
  EXPECT_EQ(s_.exchange_failure, k_code_link_lost);
  EXPECT_TRUE(s_.exchange_sent);
  EXPECT_LT(took, 1000ms) << "a 1.5 s exchange should end when the port fails";
}

TEST_F(EventLineExchange, AReplyThatMissedItsExchangeIsNotTakenForTheNext) {
  // The first command's reply comes after its 1.5 s; the second exchange
  // must get its own reply, not the late one.
  std::atomic<bool> late_sent{false};
  device_.serve([&](const std::string &line) -> std::optional<std::string> {
    if (line == "SLOW") {
      std::this_thread::sleep_for(1700ms);
      device_.send("LATE\r\n");
      late_sent = true;
      return std::nullopt;
    }
    if (line == "FAST") return "MINE\r\n";
    return std::nullopt;
  });
  EXPECT_EQ(transact(s_, "SLOW"), TOVLINK_ERR_EXCHANGE);
  EXPECT_EQ(s_.exchange_failure, TOVLINK_ERR_RECEIVE);
  // The late reply has reached the library: one still in the terminal when
  // the next command goes out would be that command's reply on any wire.
  for (int i = 0; i < 500 && !late_sent; ++i) std::this_thread::sleep_for(10ms);
  ASSERT_TRUE(late_sent);
  ASSERT_TRUE(device_.wait_until_taken());
  char reply[k_line_buffer_size] = {};
  EXPECT_EQ(transact(s_, "FAST", &reply), TOVLINK_OK);
  EXPECT_STREQ(reply, "MINE\r\n");
}

}  // namespace
}  // namespace tovlink

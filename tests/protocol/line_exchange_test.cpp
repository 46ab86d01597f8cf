#include <gtest/gtest.h>
#include <termios.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "attached_robot.h"
#include "c_api_seams.h"
#include "output_capture.h"
#include "protocol/line_exchange.h"
#include "protocol/status_line.h"

namespace tovlink {
namespace {

using namespace std::chrono_literals;
using test::output_capture;
using steady = std::chrono::steady_clock;

class LineExchange : public test::attached_robot {
 protected:
  // Receives into a buffer framed by guard bytes, so a write past `size`
  // shows up.
  std::string receive(uint64_t size, uint32_t polls, uint32_t *count = nullptr) {
    std::vector<uint8_t> framed(size + 32, 0xEE);
    uint32_t received = recv_line(handle(), framed.data() + 16, size, polls);
    if (count != nullptr) *count = received;
    for (size_t i = 0; i < 16; ++i) {
      EXPECT_EQ(framed[i], 0xEE) << "written before the buffer";
      EXPECT_EQ(framed[16 + size + i], 0xEE) << "written past size";
    }
    return std::string(reinterpret_cast<char *>(framed.data()) + 16, received);
  }
};

TEST_F(LineExchange, SendQueuesTheTextUnchanged) {
  EXPECT_EQ(send_line(handle(), "R,1\r"), TOVLINK_OK);
  EXPECT_TRUE(device_.wait_for("R,1\r"));
  EXPECT_EQ(device_.received(), "R,1\r");
}

TEST_F(LineExchange, SendRefusesNullAndOverlongTexts) {
  EXPECT_EQ(send_line(handle(), nullptr), TOVLINK_ERR_SEND_NULL);
  EXPECT_EQ(g_last_error, TOVLINK_ERR_SEND_NULL);
  std::string longest(127, 'a'), too_long(128, 'b');
  EXPECT_EQ(send_line(handle(), too_long.c_str()), TOVLINK_ERR_SEND_QUEUE);
  EXPECT_EQ(g_last_error, TOVLINK_ERR_SEND_QUEUE);
  EXPECT_EQ(send_line(handle(), longest.c_str()), TOVLINK_OK);
  EXPECT_TRUE(device_.wait_for(longest));
  EXPECT_EQ(device_.received(), longest) << "the refused text sent nothing";
}

TEST_F(LineExchange, SendIntoANearlyFullQueueKeepsThePartThatFits) {
  // Suspended output holds the worker in its write, so q_send is not drained.
  ASSERT_EQ(tcflow(device_.slave_fd(), TCOOFF), 0);
  ASSERT_EQ(send_line(handle(), std::string(100, 'p').c_str()), TOVLINK_OK);
  std::this_thread::sleep_for(20ms);
  {
    std::lock_guard<std::mutex> guard(serial_->send_lock);
    std::string filler(2000, 'f');
    queue_push(serial_->q_send, reinterpret_cast<const uint8_t *>(filler.data()), 1020);
  }
  uint32_t free_slots = 0;
  {
    std::lock_guard<std::mutex> guard(serial_->send_lock);
    free_slots = (serial_->q_send->read_index + 1023 - serial_->q_send->write_index) % 1024;
  }
  ASSERT_LT(free_slots, 8u);
  EXPECT_EQ(send_line(handle(), "ABCDEFGH"), TOVLINK_ERR_SEND_QUEUE);
  ASSERT_EQ(tcflow(device_.slave_fd(), TCOON), 0);
  EXPECT_TRUE(device_.wait_for(std::string("f") + std::string("ABCDEFGH").substr(0, free_slots)));
  EXPECT_EQ(device_.received().find("ABCDEFGH"), std::string::npos);
}

TEST_F(LineExchange, WithoutConnectionSendAndReceiveReportOne) {
  serial_close(serial_);
  g_serial_t = nullptr;
  output_capture capture;
  EXPECT_EQ(send_line(handle(), "x"), TOVLINK_ERR_NO_CONNECTION);
  uint8_t buffer[8];
  EXPECT_EQ(recv_line(handle(), buffer, sizeof buffer, 10), TOVLINK_ERR_NO_CONNECTION);
  capture.finish();
  EXPECT_EQ(capture.err(), "g_serial_t=NULL\ng_last_error=1\ng_serial_t=NULL\ng_last_error=1\n");
  EXPECT_EQ(send_line(handle(), nullptr), TOVLINK_ERR_SEND_NULL) << "null is checked first";
}

TEST_F(LineExchange, ReplyInOneChunkCompletesWithItsFourBytes) {
  device_.send("OK\r\n");
  uint32_t count = 0;
  EXPECT_EQ(receive(128, 1500, &count), "OK\r\n");
  EXPECT_EQ(count, 4u);
  EXPECT_EQ(g_last_error, TOVLINK_OK);
}

TEST_F(LineExchange, ReplyInTwoChunksCompletesOnTheSecond) {
  std::thread late([&] {
    device_.send("HALF");
    std::this_thread::sleep_for(50ms);
    device_.send("-DONE\r\n");
  });
  EXPECT_EQ(receive(128, 1500), "HALF-DONE\r\n");
  EXPECT_EQ(g_last_error, TOVLINK_OK);
  late.join();
}

TEST_F(LineExchange, BytesAfterALineFeedKeepTheReplyOpen) {
  device_.send("ONE\nTW");
  std::this_thread::sleep_for(20ms);
  std::thread late([&] {
    std::this_thread::sleep_for(50ms);
    device_.send("O\n");
  });
  EXPECT_EQ(receive(128, 1500), "ONE\nTWO\n");
  late.join();
}

TEST_F(LineExchange, TimeOutLastsItsPollsAndKeepsThePartialReply) {
  device_.send("partial");
  output_capture capture;
  auto start = steady::now();
  std::string reply = receive(128, 300);
  auto took = steady::now() - start;
  capture.finish();
  EXPECT_EQ(reply, "partial");
  EXPECT_EQ(g_last_error, TOVLINK_ERR_RECEIVE);
  EXPECT_GE(took, 300ms);
  EXPECT_LT(took, 1200ms);
  EXPECT_EQ(capture.out(), "[Err] Detect timeout.\n");
  EXPECT_EQ(capture.err(), "") << "the caller prints the code";
}

TEST_F(LineExchange, AnOverflowingChunkIsDroppedWhole) {
  device_.send("0123456789ABCDEF\r\n");
  std::this_thread::sleep_for(30ms);
  uint32_t count = 99;
  EXPECT_EQ(receive(10, 1500, &count), "");
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(g_last_error, TOVLINK_ERR_RECEIVE);
}

TEST_F(LineExchange, OnlyRepliesLongerThan22BytesAreParsed) {
  g_telemetry = {};
  device_.send("S,1,2,M,3,4,5,6,7,8,9\r\n");  // 23 bytes
  ASSERT_EQ(receive(128, 1500).size(), 23u);
  EXPECT_EQ(g_telemetry.motor_position[6], 9);

  g_telemetry = {};
  device_.send("S,1,2,M,3,4,5,6,7,8,\r\n");  // 22 bytes
  ASSERT_EQ(receive(128, 1500).size(), 22u);
  EXPECT_EQ(g_telemetry.sensor_value, 0) << "22 bytes are never scanned";
}

TEST_F(LineExchange, APartialStatusLineIsParsedEvenWhenTheWaitRunsOut) {
  g_telemetry = {};
  device_.send("S,11,22,M,33,44,55,66,77");  // 24 bytes, no line feed
  output_capture capture;
  receive(128, 200);
  capture.finish();
  EXPECT_EQ(g_last_error, TOVLINK_ERR_RECEIVE);
  EXPECT_EQ(g_telemetry.sensor_value, 11);
  EXPECT_EQ(g_telemetry.motor_position[3], 66);
}

TEST_F(LineExchange, TransactAppendsOneCarriageReturn) {
  device_.serve({{"#140", "OK\r\n"}});
  EXPECT_EQ(transact(handle(), "#140"), TOVLINK_OK);
  EXPECT_EQ(device_.received(), "#140\r");
  device_.clear_received();
  EXPECT_EQ(transact(handle(), "#140\r"), TOVLINK_OK);
  EXPECT_EQ(device_.received(), "#140\r\r");
}

TEST_F(LineExchange, TransactWithoutReplyFailsAfterItsPolls) {
  output_capture capture;
  auto start = steady::now();
  EXPECT_EQ(transact(handle(), "#140"), TOVLINK_ERR_EXCHANGE);
  auto took = steady::now() - start;
  capture.finish();
  EXPECT_GE(took, 1500ms);
  EXPECT_LT(took, 6000ms);
  EXPECT_EQ(capture.out(), "[Err] Detect timeout.\n");
  EXPECT_EQ(capture.err(), "g_last_error=10005\n");
  EXPECT_EQ(g_last_error, TOVLINK_ERR_RECEIVE);
}

TEST_F(LineExchange, TransactRefusesACommandWithNoRoomForItsCarriageReturn) {
  output_capture capture;
  EXPECT_EQ(transact(handle(), std::string(127, 'c').c_str()), TOVLINK_ERR_EXCHANGE);
  capture.finish();
  EXPECT_EQ(capture.err(), "g_last_error=10003\n");
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(device_.received(), "");
}

}  // namespace
}  // namespace tovlink

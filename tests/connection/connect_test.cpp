#include <gtest/gtest.h>
#include <termios.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "c_api_seams.h"
#include "frame/diagnostics.h"
#include "frame/library_state.h"
#include "output_capture.h"
#include "pty_device.h"
#include "transport/serial.h"

namespace tovlink {
namespace {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;
using test::output_capture;
using test::pty_device;
using test::reply_rule;

const std::string k_peer = "0123456789AB\r\n";

std::string connect_line(const std::string &port, int baud) {
  return "tovlink_connect " + port + ", " + std::to_string(baud) + "\n";
}

std::string port_failed_line(const std::string &port) {
  char line[512];
  std::snprintf(line, sizeof line, k_port_init_failed_line, port.c_str());
  return line;
}

std::string error_detected_line(int code) {
  char line[128];
  std::snprintf(line, sizeof line, k_error_detected_line, code);
  return line;
}

std::string handle_line(const uint32_t *handle) {
  char line[64];
  std::snprintf(line, sizeof line, "Handle:0x%08X\n", static_cast<unsigned>(low32(handle)));
  return line;
}

// The record of the connection being opened, handed over by the open seam.
std::atomic<serial_t *> g_opened{nullptr};

void remember_opened(serial_t *serial) {
  g_opened = serial;
}

// A real device whose reads can be made to fail, which stops the worker for
// good: from then on nothing drains q_send.
class switchable_device final : public platform::serial_device {
 public:
  switchable_device(std::unique_ptr<platform::serial_device> inner, bool failing)
      : inner_(std::move(inner)), failing_(failing) {}
  bool read_available(uint8_t *buffer, uint32_t capacity, uint32_t *count) override {
    if (failing_) return false;
    return inner_->read_available(buffer, capacity, count);
  }
  bool write(const uint8_t *bytes, uint32_t count, uint32_t *written,
             const std::atomic<int32_t> &running) override {
    return inner_->write(bytes, count, written, running);
  }
  void fail_reads() { failing_ = true; }

 private:
  std::unique_ptr<platform::serial_device> inner_;
  std::atomic<bool> failing_;
};

std::atomic<switchable_device *> g_device{nullptr};

platform::open_result open_switchable(const char *path, int32_t baud, bool failing) {
  platform::open_result result = platform::open_serial_device(path, baud);
  if (result.device) {
    auto device = std::make_unique<switchable_device>(std::move(result.device), failing);
    g_device = device.get();
    result.device = std::move(device);
  }
  return result;
}

void fill_send_queue(serial_t *serial) {
  const uint8_t filler[1024] = {};
  queue_push(serial->q_send, filler, sizeof filler);
}

// Sends `reply` while holding the send lock, so connect can take the reply
// but cannot queue its next line; then stops the worker and fills q_send, so
// that next line finds the queue full.
void reply_then_jam(pty_device &device, const std::string &reply) {
  serial_t *serial = g_opened;
  std::lock_guard<std::mutex> hold(serial->send_lock);
  device.send(reply);
  std::this_thread::sleep_for(50ms);
  g_device.load()->fail_reads();
  for (int i = 0; i < 1000 && serial->running.load() != 0; ++i) {
    std::this_thread::sleep_for(1ms);
  }
  fill_send_queue(serial);
}

class Connect : public ::testing::Test {
 protected:
  void SetUp() override {
    set_open_observer(remember_opened);
    set_device_opener(
        [](const char *path, int32_t baud) { return open_switchable(path, baud, false); });
  }
  void TearDown() override {
    if (g_serial_t != nullptr) tovlink_end(nullptr);
    set_open_observer(nullptr);
    set_device_opener(nullptr);
  }

  // Connects to the device, capturing both streams and the time it took.
  uint32_t *connect() {
    output_capture capture;
    auto start = steady::now();
    uint32_t *handle = tovlink_connect(device_.path().c_str(), 115200);
    took_ = steady::now() - start;
    capture.finish();
    out_ = capture.out();
    err_ = capture.err();
    return handle;
  }

  std::string start_line() const { return connect_line(device_.path(), 115200); }

  // Serves a dialogue in which `answer` may replace the reply to any line;
  // records when each line arrived.
  void serve(std::map<std::string, std::string> replies) {
    device_.serve([this, replies](const std::string &line) -> std::optional<std::string> {
      if (line.empty()) return std::nullopt;
      {
        std::lock_guard<std::mutex> guard(arrivals_mutex_);
        arrivals_[line.substr(0, 3)] = steady::now();
      }
      for (const auto &[prefix, reply] : replies) {
        if (line.compare(0, prefix.size(), prefix) == 0) {
          if (reply == "<jam>") {
            reply_then_jam(device_, replies.at("<after-jam>"));
            return std::nullopt;
          }
          return reply;
        }
      }
      return std::nullopt;
    });
  }

  std::map<std::string, std::string> good_adapter() const {
    return {{"R,1", "CMD\r\n"}, {"GDH", k_peer}, {"E,0,", "AOK\r\n"}, {"I", "MLDP\r\n"}};
  }

  steady::duration since(const std::string &from, const std::string &to) {
    std::lock_guard<std::mutex> guard(arrivals_mutex_);
    return arrivals_.at(to) - arrivals_.at(from);
  }

  std::string out_, err_;
  steady::duration took_{};
  std::mutex arrivals_mutex_;
  std::map<std::string, steady::time_point> arrivals_;
  // Last, so its thread, which records arrivals, stops before they go.
  pty_device device_;
};

TEST_F(Connect, SucceedsThroughTheWholeDialogueWithItsPauses) {
  // Other lines before "CMD" and "MLDP" arrive as lines of their own and are
  // skipped; the peer id comes in small pieces.
  device_.serve({{"R,1", "BANNER\r\nCMD\r\n", 8, 20ms},
                 {"GDH", k_peer, 3, 5ms},
                 {"E,0,", "AOK\r\n"},
                 {"I", "OTHER\r\nMLDP\r\n", 7, 20ms}});
  auto start = steady::now();
  uint32_t *handle = connect();
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(reinterpret_cast<serial_t *>(handle), g_serial_t);
  EXPECT_EQ(device_.received(), "R,1\rGDH\rE,0," + k_peer + "\rI\r");
  EXPECT_EQ(err_, start_line() + handle_line(handle));
  EXPECT_EQ(out_, "");
  EXPECT_EQ(tovlink_get_lasterror(), TOVLINK_OK);
  EXPECT_GE(steady::now() - start, 3500ms) << "the two fixed pauses";
  EXPECT_LT(took_, 10s);
}

TEST_F(Connect, PausesHalfASecondBeforeLinkingAndThreeAfter) {
  serve(good_adapter());
  ASSERT_NE(connect(), nullptr);
  EXPECT_GE(since("GDH", "E,0"), 500ms);
  EXPECT_GE(since("E,0", "I"), 3000ms);
  EXPECT_LT(since("E,0", "I"), 6000ms);
}

TEST_F(Connect, APortThatCannotBeOpenedLeavesTheCurrentConnection) {
  alignas(8) static char current[8];
  g_serial_t = reinterpret_cast<serial_t *>(current);
  output_capture capture;
  EXPECT_EQ(tovlink_connect("/dev/tovlink-missing", 9600), nullptr);
  capture.finish();
  EXPECT_EQ(capture.err(), connect_line("/dev/tovlink-missing", 9600) + "LastError=0x00000002\n" +
                               port_failed_line("/dev/tovlink-missing"));
  EXPECT_EQ(g_serial_t, reinterpret_cast<serial_t *>(current));
  g_serial_t = nullptr;
  output_capture code;
  EXPECT_EQ(tovlink_get_lasterror(), TOVLINK_ERR_PORT_OPEN);
}

TEST_F(Connect, NamesThatCannotBecomeAPathAreRefusedUnopened) {
  const std::string too_long(300, 'p');
  struct name_case {
    const char *name;
    std::string shown;
  } cases[] = {{nullptr, "(null)"}, {too_long.c_str(), too_long}, {"", "/dev/"}};
  for (const name_case &c : cases) {
    output_capture capture;
    EXPECT_EQ(tovlink_connect(c.name, 9600), nullptr);
    capture.finish();
    EXPECT_EQ(g_last_error, TOVLINK_ERR_PORT_OPEN);
    std::string shown = c.name == nullptr ? "(null)" : c.name;
    EXPECT_EQ(capture.err().rfind(connect_line(shown, 9600), 0), 0u);
    EXPECT_NE(capture.err().find(port_failed_line(shown)), std::string::npos);
    if (c.name != nullptr && c.name[0] != '\0') {
      EXPECT_EQ(capture.err().find("LastError"), std::string::npos) << "nothing was opened";
    }
  }
}

TEST_F(Connect, FailsWhenTheResetLineCannotBeQueued) {
  // The worker stops at its first pass, before it drains anything.
  set_device_opener(
      [](const char *path, int32_t baud) { return open_switchable(path, baud, true); });
  set_open_observer(fill_send_queue);
  EXPECT_EQ(connect(), nullptr);
  EXPECT_EQ(err_, start_line() + "g_last_error=10003\ntovlink_end\n");
  EXPECT_EQ(g_last_error, TOVLINK_ERR_CONNECT_RESET_SEND);
  EXPECT_EQ(g_serial_t, nullptr);
}

TEST_F(Connect, ASilentDeviceTimesOutWaitingForCmdAndIsReleased) {
  device_.serve(std::vector<reply_rule>{});
  EXPECT_EQ(connect(), nullptr);
  EXPECT_EQ(out_, "[Err] Detect timeout.\n");
  EXPECT_EQ(err_, start_line() + "g_last_error=10005\ng_last_error=10005\n" +
                      error_detected_line(10005) +
                      "g_last_error=10005\ng_last_error=10005\ntovlink_end\n");
  EXPECT_EQ(g_last_error, TOVLINK_ERR_RECEIVE);
  EXPECT_EQ(g_serial_t, nullptr);
  EXPECT_GE(took_, 1000ms);
  EXPECT_LT(took_, 4000ms);
  serial_t *again = serial_open(device_.path().c_str(), 9600);
  EXPECT_NE(again, nullptr) << "the failed connect released the port";
  if (again != nullptr) serial_close(again);
}

TEST_F(Connect, GivesUpOnAnAdapterThatNeverStopsTalking) {
  std::atomic<bool> chatter{true};
  std::thread talker([&] {
    while (chatter) {
      // Eight bytes a line: should the host fall behind on a busy machine,
      // its backlog is taken 128 bytes at a time, and each take still ends
      // at a line's end (a take that ended mid-line would run the reply
      // past its buffer, a different failure from the one tested here).
      device_.send("NOISE!\r\n");
      std::this_thread::sleep_for(20ms);
    }
  });
  EXPECT_EQ(connect(), nullptr);
  chatter = false;
  talker.join();
  EXPECT_EQ(g_last_error, TOVLINK_ERR_RECEIVE);
  EXPECT_EQ(out_, "[Err] Detect timeout.\n");
  EXPECT_GE(took_, 5000ms);
  EXPECT_LT(took_, 9000ms) << "documented bound: about 6.5 s per step";
}

TEST_F(Connect, FailsWhenThePeerIdRequestCannotBeQueued) {
  auto replies = good_adapter();
  replies["R,1"] = "<jam>";
  replies["<after-jam>"] = "CMD\r\n";
  serve(replies);
  EXPECT_EQ(connect(), nullptr);
  EXPECT_EQ(err_, start_line() + "g_last_error=10003\ntovlink_end\n");
  EXPECT_EQ(g_last_error, TOVLINK_ERR_CONNECT_PEER_SEND);
}

TEST_F(Connect, FailsWithoutAPeerIdReply) {
  auto replies = good_adapter();
  replies.erase("GDH");
  serve(replies);
  EXPECT_EQ(connect(), nullptr);
  EXPECT_EQ(out_, "[Err] Detect timeout.\n");
  EXPECT_EQ(err_, start_line() + "g_last_error=10005\ntovlink_end\n");
  EXPECT_EQ(g_last_error, TOVLINK_ERR_CONNECT_PEER_REPLY);
  EXPECT_GE(took_, 3000ms);
}

TEST_F(Connect, RefusesAPeerIdTooLongToKeep) {
  auto replies = good_adapter();
  replies["GDH"] = std::string(30, 'P') + "\r\n";  // 32 bytes with its line ending
  serve(replies);
  EXPECT_EQ(connect(), nullptr);
  EXPECT_EQ(err_, start_line() + "tovlink_end\n");
  EXPECT_EQ(g_last_error, TOVLINK_ERR_CONNECT_PEER_REPLY);
  EXPECT_EQ(device_.received(), "R,1\rGDH\r") << "no link line with a cut id";
}

TEST_F(Connect, FailsWhenTheLinkLineCannotBeQueued) {
  auto replies = good_adapter();
  replies["GDH"] = "<jam>";
  replies["<after-jam>"] = k_peer;
  serve(replies);
  EXPECT_EQ(connect(), nullptr);
  EXPECT_EQ(err_, start_line() + "g_last_error=10003\ntovlink_end\n");
  EXPECT_EQ(g_last_error, TOVLINK_ERR_CONNECT_LINK_SEND);
}

TEST_F(Connect, FailsWithoutALinkReply) {
  auto replies = good_adapter();
  replies.erase("E,0,");
  serve(replies);
  EXPECT_EQ(connect(), nullptr);
  EXPECT_EQ(out_, "[Err] Detect timeout.\n");
  EXPECT_EQ(err_, start_line() + "g_last_error=10005\ntovlink_end\n");
  EXPECT_EQ(g_last_error, TOVLINK_ERR_CONNECT_LINK_REPLY);
}

TEST_F(Connect, FailsWhenTheLinkIsRefused) {
  auto replies = good_adapter();
  replies["E,0,"] = "ERR\r\n";
  serve(replies);
  EXPECT_EQ(connect(), nullptr);
  EXPECT_EQ(out_, "");
  EXPECT_EQ(err_, start_line() + "tovlink_end\n");
  EXPECT_EQ(g_last_error, TOVLINK_ERR_CONNECT_LINK_REPLY);
}

TEST_F(Connect, FailsWhenTheInfoRequestCannotBeQueued) {
  auto replies = good_adapter();
  replies["E,0,"] = "<jam>";
  replies["<after-jam>"] = "AOK\r\n";
  serve(replies);
  EXPECT_EQ(connect(), nullptr);
  EXPECT_EQ(err_, start_line() + "g_last_error=10003\ntovlink_end\n");
  EXPECT_EQ(g_last_error, TOVLINK_ERR_CONNECT_INFO_SEND);
}

TEST_F(Connect, SucceedsWithoutMldpButLogsIt) {
  auto replies = good_adapter();
  replies.erase("I");
  serve(replies);
  uint32_t *handle = connect();
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(out_, "[Err] Detect timeout.\n");
  EXPECT_EQ(err_, start_line() + "g_last_error=10005\ng_last_error=10005\n" +
                      error_detected_line(10005) + handle_line(handle));
  EXPECT_EQ(g_last_error, TOVLINK_ERR_RECEIVE);
  EXPECT_EQ(reinterpret_cast<serial_t *>(handle), g_serial_t);
}

TEST_F(Connect, ASecondConnectReplacesTheFirstWithoutClosingIt) {
  serve(good_adapter());
  uint32_t *first = connect();
  ASSERT_NE(first, nullptr);
  auto *first_record = reinterpret_cast<serial_t *>(first);

  output_capture quiet;
  EXPECT_EQ(tovlink_connect("/dev/tovlink-missing", 9600), nullptr);
  EXPECT_EQ(g_serial_t, first_record) << "an unopenable port keeps the current connection";

  pty_device silent;
  EXPECT_EQ(tovlink_connect(silent.path().c_str(), 9600), nullptr);
  EXPECT_EQ(g_serial_t, nullptr) << "a failed dialogue ends the new connection";
  EXPECT_EQ(first_record->running.load(), 1) << "the first connection stays open, unreachable";

  g_serial_t = first_record;  // reach it again only to release it
  tovlink_end(first);
  quiet.finish();
  EXPECT_EQ(g_serial_t, nullptr);
}

TEST_F(Connect, EndWithoutConnectionOnlyReportsIt) {
  output_capture capture;
  tovlink_end(nullptr);
  capture.finish();
  EXPECT_EQ(capture.err(), "tovlink_end\ng_serial_t=NULL\n");
  EXPECT_EQ(g_last_error, TOVLINK_ERR_NOT_CONNECTED);
}

TEST_F(Connect, EndWithAStaleHandleClosesTheCurrentConnection) {
  serial_t *serial = serial_open(device_.path().c_str(), 9600);
  ASSERT_NE(serial, nullptr);
  g_serial_t = serial;
  auto *stale = reinterpret_cast<uint32_t *>(uintptr_t{0x1234});
  output_capture capture;
  tovlink_end(stale);
  capture.finish();
  char expected[128];
  std::snprintf(expected, sizeof expected, "tovlink_end\ng_serial_t=0x%08X, handle=0x00001234\n",
                static_cast<unsigned>(low32(serial)));
  EXPECT_EQ(capture.err(), expected);
  EXPECT_EQ(g_serial_t, nullptr);
  EXPECT_EQ(g_last_error, TOVLINK_OK);
}

}  // namespace
}  // namespace tovlink

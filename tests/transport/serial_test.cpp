#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "c_api_seams.h"
#include "output_capture.h"
#include "pty_device.h"
#include "transport/serial.h"

namespace tovlink {
namespace {

using namespace std::chrono_literals;
using test::output_capture;
using test::pty_device;

std::string all_byte_values() {
  std::string bytes;
  for (int value = 0; value < 256; ++value) bytes += static_cast<char>(value);
  return bytes;
}

void queue_for_sending(serial_t *serial, const std::string &bytes) {
  std::lock_guard<std::mutex> guard(serial->send_lock);
  ASSERT_EQ(queue_push(serial->q_send, reinterpret_cast<const uint8_t *>(bytes.data()),
                       static_cast<uint32_t>(bytes.size())),
            bytes.size());
}

// Drains q_recv until `count` bytes arrived or `limit` passed.
std::string take_received(serial_t *serial, size_t count, std::chrono::milliseconds limit) {
  std::string bytes;
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (bytes.size() < count && std::chrono::steady_clock::now() < deadline) {
    uint8_t chunk[k_chunk_size];
    uint32_t n;
    {
      std::lock_guard<std::mutex> guard(serial->recv_lock);
      n = queue_pop(serial->q_recv, chunk, k_chunk_size);
    }
    bytes.append(reinterpret_cast<char *>(chunk), n);
    if (n == 0) std::this_thread::sleep_for(1ms);
  }
  return bytes;
}

bool wait_until(const std::function<bool()> &done, std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

int waiting_in_tty(const pty_device &device) {
  int count = -1;
  ioctl(device.slave_fd(), FIONREAD, &count);
  return count;
}

int open_descriptor_count() {
  int count = 0;
  DIR *dir = opendir("/proc/self/fd");
  while (readdir(dir) != nullptr) ++count;
  closedir(dir);
  return count;
}

int thread_count() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
  }
  return -1;
}

TEST(SerialPort, EveryByteValuePassesUnchangedBothWays) {
  pty_device device;
  serial_t *serial = serial_open(device.path().c_str(), 115200);
  ASSERT_NE(serial, nullptr);
  const std::string bytes = all_byte_values();

  queue_for_sending(serial, bytes);
  EXPECT_TRUE(device.wait_for(bytes.substr(192), 3000ms));
  EXPECT_EQ(device.received(), bytes);

  device.send(bytes);
  EXPECT_EQ(take_received(serial, bytes.size(), 3000ms), bytes);
  serial_close(serial);
}

TEST(SerialPort, AppliesTheBaudRateAndRawMode) {
  pty_device device;
  serial_t *serial = serial_open(device.path().c_str(), 57600);
  ASSERT_NE(serial, nullptr);
  termios settings{};
  ASSERT_EQ(tcgetattr(device.slave_fd(), &settings), 0);
  EXPECT_EQ(cfgetospeed(&settings), static_cast<speed_t>(B57600));
  EXPECT_EQ(settings.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(settings.c_cflag & PARENB, 0u);
  EXPECT_EQ(settings.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
  EXPECT_EQ(settings.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR), 0u);
  EXPECT_EQ(settings.c_oflag & OPOST, 0u);
  serial_close(serial);
}

TEST(SerialPort, AcceptsNonStandardRatesAndRefusesNonPositiveOnes) {
  pty_device device;
  serial_t *serial = serial_open(device.path().c_str(), 250000);
  ASSERT_NE(serial, nullptr);
  serial_close(serial);
  for (int32_t baud : {0, -9600}) {
    output_capture capture;
    EXPECT_EQ(serial_open(device.path().c_str(), baud), nullptr) << baud;
    capture.finish();
    EXPECT_EQ(capture.err(), "") << "a refused setting is not an open error";
  }
}

TEST(SerialPort, APathThatNamesNoDeviceFailsWithTheSystemError) {
  output_capture capture;
  EXPECT_EQ(serial_open("/dev/tovlink-no-such-device", 9600), nullptr);
  capture.finish();
  EXPECT_EQ(capture.err(), "LastError=0x00000002\n");
}

TEST(SerialPort, ASecondOpenOfTheSameDeviceFails) {
  pty_device device;
  serial_t *first = serial_open(device.path().c_str(), 9600);
  ASSERT_NE(first, nullptr);
  output_capture capture;
  EXPECT_EQ(serial_open(device.path().c_str(), 9600), nullptr);
  capture.finish();
  EXPECT_EQ(capture.err().rfind("LastError=0x", 0), 0u) << capture.err();
  serial_close(first);
  serial_t *again = serial_open(device.path().c_str(), 9600);
  EXPECT_NE(again, nullptr) << "closing releases the exclusive hold";
  if (again != nullptr) serial_close(again);
}

TEST(SerialPort, ExcessBeyondTheReceiveQueueIsDroppedAndTheWorkerGoesOn) {
  pty_device device;
  serial_t *serial = serial_open(device.path().c_str(), 115200);
  ASSERT_NE(serial, nullptr);
  device.send(std::string(1500, 'x'));
  EXPECT_TRUE(wait_until([&] { return serial->io_fault.load() == k_fault_recv_full; }, 3000ms));
  // Once the tty holds nothing more, q_recv has kept 1023 bytes and the rest
  // was dropped.
  EXPECT_TRUE(wait_until([&] { return waiting_in_tty(device) == 0; }, 3000ms));
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(take_received(serial, 1500, 200ms).size(), 1023u);
  EXPECT_EQ(serial->running.load(), 1);
  device.send("after\n");
  EXPECT_EQ(take_received(serial, 6, 3000ms), "after\n");
  serial_close(serial);
}

TEST(SerialPort, UnpluggingEndsTheWorkerWithAReadFault) {
  pty_device device;
  serial_t *serial = serial_open(device.path().c_str(), 115200);
  ASSERT_NE(serial, nullptr);
  device.unplug();
  EXPECT_TRUE(wait_until([&] { return serial->running.load() == 0; }, 3000ms));
  EXPECT_STREQ(serial->io_fault.load(), k_fault_read);
  serial_close(serial);
}

TEST(SerialPort, CloseGivesUpOnAWriteTheDeviceHoldsBack) {
  pty_device device;
  serial_t *serial = serial_open(device.path().c_str(), 115200);
  ASSERT_NE(serial, nullptr);
  // Suspended output: the tty accepts no more bytes, as under flow control.
  ASSERT_EQ(tcflow(device.slave_fd(), TCOOFF), 0);
  for (int i = 0; i < 200 && serial->running.load() != 0; ++i) {
    std::string block(512, 'w');
    std::lock_guard<std::mutex> guard(serial->send_lock);
    queue_push(serial->q_send, reinterpret_cast<const uint8_t *>(block.data()), 512);
  }
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(device.received(), "") << "output was suspended, so every write is held back";
  auto start = std::chrono::steady_clock::now();
  serial_close(serial);
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_LT(took, 500ms) << "documented bound is about 10 ms";
}

TEST(SerialPort, OpenCloseCyclesLeaveNoDescriptorOrThreadBehind) {
  pty_device device;
  int descriptors = open_descriptor_count();
  int threads = thread_count();
  for (int cycle = 0; cycle < 100; ++cycle) {
    serial_t *serial = serial_open(device.path().c_str(), 9600);
    ASSERT_NE(serial, nullptr) << "cycle " << cycle;
    serial_close(serial);
  }
  EXPECT_EQ(open_descriptor_count(), descriptors);
  // A joined thread may stay counted for a moment while the kernel finishes
  // removing it; only a thread still there after half a second is left behind.
  for (int tries = 0; tries < 50 && thread_count() > threads; ++tries) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_EQ(thread_count(), threads);
}

// An event-driven session's port, as the C++ API opens it.  The session
// outlives the record: the worker raises the session's wake.
struct event_port {
  session s;
  serial_t *serial = nullptr;

  explicit event_port(const std::string &path,
                      platform::open_result (*opener)(const char *, int32_t) = nullptr) {
    s.event_driven = true;
    s.open_device = opener;
    serial = serial_open(s, path.c_str(), 115200);
  }
  ~event_port() {
    if (serial != nullptr) serial_close(serial);
  }
  event_port(const event_port &) = delete;
  event_port &operator=(const event_port &) = delete;
};

// The platform's device, counting how often the worker waits on it.
std::atomic<int> g_waits{0};

class counting_device final : public platform::serial_device {
 public:
  explicit counting_device(std::unique_ptr<platform::serial_device> inner)
      : inner_(std::move(inner)) {}
  bool read_available(uint8_t *buffer, uint32_t capacity, uint32_t *count) override {
    return inner_->read_available(buffer, capacity, count);
  }
  bool write(const uint8_t *bytes, uint32_t count, uint32_t *written,
             const std::atomic<int32_t> &running) override {
    return inner_->write(bytes, count, written, running);
  }
  void wait_for_input() override {
    g_waits.fetch_add(1);
    inner_->wait_for_input();
  }
  void interrupt_wait() override { inner_->interrupt_wait(); }

 private:
  std::unique_ptr<platform::serial_device> inner_;
};

platform::open_result open_counting(const char *path, int32_t baud) {
  platform::open_result result = platform::open_serial_device(path, baud);
  if (result.device != nullptr) {
    result.device = std::make_unique<counting_device>(std::move(result.device));
  }
  return result;
}

TEST(EventDrivenSerialPort, BytesPassBothWaysAndEachArrivalWakesTheHost) {
  pty_device device;
  event_port port(device.path());
  ASSERT_NE(port.serial, nullptr);
  const std::string bytes = all_byte_values();

  queue_for_sending(port.serial, bytes);
  serial_notify_queued(port.serial);
  EXPECT_TRUE(device.wait_for(bytes.substr(192), 3000ms));
  EXPECT_EQ(device.received(), bytes);

  // The host sleeps on the wake alone, with no polling of its own: the
  // worker must raise it for every arrival.
  std::string collected;
  uint64_t seen = port.s.wake.generation();
  device.send(bytes);
  const auto deadline = std::chrono::steady_clock::now() + 3000ms;
  while (collected.size() < bytes.size() && std::chrono::steady_clock::now() < deadline) {
    port.s.wake.wait_past(seen, deadline);
    seen = port.s.wake.generation();
    uint8_t chunk[k_chunk_size];
    std::lock_guard<std::mutex> guard(port.serial->recv_lock);
    while (uint32_t n = queue_pop(port.serial->q_recv, chunk, k_chunk_size)) {
      collected.append(reinterpret_cast<char *>(chunk), n);
    }
  }
  EXPECT_EQ(collected, bytes);
  EXPECT_LT(std::chrono::steady_clock::now(), deadline) << "the host was never woken";
}

TEST(EventDrivenSerialPort, AnIdleWorkerSleepsUntilALineIsQueued) {
  pty_device device;
  g_waits = 0;
  event_port port(device.path(), open_counting);
  ASSERT_NE(port.serial, nullptr);
  std::this_thread::sleep_for(300ms);
  // A paced worker would have made about 300 passes by now.
  EXPECT_LE(g_waits.load(), 3);

  const int before = g_waits.load();
  queue_for_sending(port.serial, "R,1\r");
  serial_notify_queued(port.serial);
  EXPECT_TRUE(device.wait_for("R,1\r", 3000ms));
  // The worker counts a wait as it starts one: once the line is out it goes
  // back to sleep, which shows the queued line had ended the wait before.
  EXPECT_TRUE(wait_until([&] { return g_waits.load() >= before + 1; }, 3000ms))
      << "the queued line ended a wait";
}

TEST(EventDrivenSerialPort, ExcessBeyondTheReceiveQueueIsDroppedAndTheWorkerGoesOn) {
  pty_device device;
  event_port port(device.path());
  ASSERT_NE(port.serial, nullptr);
  device.send(std::string(1500, 'x'));
  EXPECT_TRUE(
      wait_until([&] { return port.serial->io_fault.load() == k_fault_recv_full; }, 3000ms));
  EXPECT_TRUE(wait_until([&] { return waiting_in_tty(device) == 0; }, 3000ms));
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(take_received(port.serial, 1500, 200ms).size(), 1023u);
  EXPECT_EQ(port.serial->running.load(), 1);
  device.send("after\n");
  EXPECT_EQ(take_received(port.serial, 6, 3000ms), "after\n");
}

TEST(EventDrivenSerialPort, UnpluggingEndsTheWorkerAndWakesTheHostAtOnce) {
  pty_device device;
  event_port port(device.path());
  ASSERT_NE(port.serial, nullptr);
  const uint64_t seen = port.s.wake.generation();
  device.unplug();
  port.s.wake.wait_past(seen, std::chrono::steady_clock::now() + 3000ms);
  EXPECT_NE(port.s.wake.generation(), seen) << "the wait ran out instead of being woken";
  EXPECT_TRUE(wait_until([&] { return port.serial->running.load() == 0; }, 3000ms));
  EXPECT_STREQ(port.serial->io_fault.load(), k_fault_read);
}

TEST(EventDrivenSerialPort, CloseEndsBothAnIdleWaitAndAHeldBackWrite) {
  pty_device device;
  {
    event_port idle(device.path());
    ASSERT_NE(idle.serial, nullptr);
    std::this_thread::sleep_for(50ms);
    auto start = std::chrono::steady_clock::now();
    serial_close(idle.serial);
    idle.serial = nullptr;
    EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
  }
  event_port held(device.path());
  ASSERT_NE(held.serial, nullptr);
  ASSERT_EQ(tcflow(device.slave_fd(), TCOOFF), 0);
  queue_for_sending(held.serial, std::string(500, 'w'));
  serial_notify_queued(held.serial);
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(device.received(), "") << "output was suspended, so every write is held back";
  auto start = std::chrono::steady_clock::now();
  serial_close(held.serial);
  held.serial = nullptr;
  EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
}

}  // namespace
}  // namespace tovlink

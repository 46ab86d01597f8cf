// The overlapped serial device that sessions wait on, run under Wine against
// virtual robots (COM ports that Wine maps onto their pseudo-terminals):
//
//   tovlink_event_port_check IDLE_PORT SPLIT_PORT UNPLUG_PORT
//
// IDLE_PORT: a plain robot; SPLIT_PORT: one that sends replies in 3-byte
// chunks 5 ms apart (--split); UNPLUG_PORT: one that closes its end a few
// seconds after it started (--unplug-after).  Prints "ok" or "FAIL" per
// check; the exit status is the number of failed checks.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "transport/platform.h"

namespace {

using namespace std::chrono_literals;
using tovlink::platform::serial_device;
using steady = std::chrono::steady_clock;

int failures = 0;

void check(bool passed, const char *what, const std::string &detail = {}) {
  std::printf("%s %s%s%s\n", passed ? "ok  " : "FAIL", what, detail.empty() ? "" : ": ",
              detail.c_str());
  if (!passed) ++failures;
}

std::unique_ptr<serial_device> open_port(const char *name) {
  char path[tovlink::platform::k_device_path_capacity];
  if (!tovlink::platform::build_device_path(name, path)) return nullptr;
  return std::move(tovlink::platform::open_event_serial_device(path, 115200).device);
}

bool send(serial_device &port, const char *line) {
  std::atomic<int32_t> running{1};
  uint32_t written = 0;
  auto length = static_cast<uint32_t>(std::strlen(line));
  return port.write(reinterpret_cast<const uint8_t *>(line), length, &written, running) &&
         written == length;
}

struct received_line {
  std::string text;  // up to and with the first '\n'
  bool device_failed = false;
  int wakes = 0;  // waits that ended with bytes to take
};

// Waits and reads the way the session's worker does, `capacity` bytes at a
// time, until a line has ended, the device fails or `limit` has passed.  The
// limit only bounds a broken run; nothing here is timed.
received_line read_line(serial_device &port, uint32_t capacity, steady::duration limit) {
  received_line line;
  const auto give_up = steady::now() + limit;
  // A wait with nothing to end it would hang the check: a watchdog ends it
  // once the limit has passed.
  std::atomic<bool> done{false};
  std::thread watchdog([&] {
    while (!done.load() && steady::now() < give_up) std::this_thread::sleep_for(10ms);
    while (!done.load()) {
      port.interrupt_wait();
      std::this_thread::sleep_for(10ms);
    }
  });
  uint8_t buffer[128];
  while (steady::now() < give_up && line.text.find('\n') == std::string::npos) {
    uint32_t count = 0;
    if (!port.read_available(buffer, capacity, &count)) {
      line.device_failed = true;
      break;
    }
    if (count > 0) {
      ++line.wakes;
      line.text.append(reinterpret_cast<const char *>(buffer), count);
      continue;  // there may be more already
    }
    port.wait_for_input();
  }
  done.store(true);
  watchdog.join();
  return line;
}

// An idle port does not end the wait: no bytes, no wake-up, no pass.  A
// paced device would return within a millisecond.  interrupt_wait ends it.
void idle_wait_sleeps_until_interrupted(serial_device &port) {
  // The waiting thread posts the port's read; when it ends, the system
  // cancels that read, and the next wait posts a new one.
  std::atomic<bool> returned{false};
  std::thread waiter([&] {
    port.wait_for_input();
    returned.store(true);
  });
  std::this_thread::sleep_for(300ms);
  bool slept = !returned.load();
  port.interrupt_wait();
  const auto give_up = steady::now() + 5s;
  while (!returned.load() && steady::now() < give_up) std::this_thread::sleep_for(1ms);
  bool woke = returned.load();
  if (!woke) port.interrupt_wait();  // never leave the thread behind
  waiter.join();
  check(slept, "an idle port keeps the wait asleep (300 ms, no return)");
  check(woke, "interrupt_wait ends the wait");
}

void reply_arrives_whole(serial_device &port) {
  check(send(port, "#800\r"), "the request goes out (overlapped write)");
  // 7 bytes a read: the rest of the reply stays with the driver until asked.
  received_line reply = read_line(port, 7, 5s);
  check(reply.text == "WHO,TovSim,VR-0001\r\n", "the reply comes whole and in order",
        reply.device_failed ? "device failed" : reply.text);
  check(send(port, "#140\r"), "a second request");
  reply = read_line(port, 128, 5s);
  check(reply.text.rfind("S,", 0) == 0 && reply.text.size() > 20 && !reply.device_failed,
        "the telemetry reply after it", reply.text);
}

void split_reply_is_assembled(serial_device &port) {
  check(send(port, "#800\r"), "the request to the splitting robot goes out");
  received_line reply = read_line(port, 128, 5s);
  check(reply.text == "WHO,TovSim,VR-0001\r\n", "a reply sent in 3-byte chunks is assembled",
        reply.text);
  check(reply.wakes >= 3, "it arrived over several wake-ups",
        std::to_string(reply.wakes) + " wake-ups");
}

void hang_up_ends_the_wait(serial_device &port) {
  // Nothing comes until the robot closes its end: the wait ends then and the
  // read reports the device gone.
  received_line reply = read_line(port, 128, 15s);
  check(reply.device_failed, "the unplugged port ends the wait and fails the read",
        reply.device_failed ? std::string{} : "no failure within 15 s; read: " + reply.text);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s IDLE_PORT SPLIT_PORT UNPLUG_PORT\n", argv[0]);
    return 2;
  }
  auto unplugging = open_port(argv[3]);
  check(unplugging != nullptr, "the unplugging robot's port opens for overlapped I/O", argv[3]);
  {
    auto port = open_port(argv[1]);
    check(port != nullptr, "the port opens for overlapped I/O", argv[1]);
    if (port != nullptr) {
      idle_wait_sleeps_until_interrupted(*port);
      reply_arrives_whole(*port);
      // Closed with its one-byte read posted: the close cancels it.
      port->interrupt_wait();
      port->wait_for_input();
    }
    port.reset();
    check(open_port(argv[1]) != nullptr, "closed with a read posted, the port opens again");
  }
  if (auto port = open_port(argv[2])) {
    split_reply_is_assembled(*port);
  } else {
    check(false, "the splitting robot's port opens", argv[2]);
  }
  if (unplugging != nullptr) hang_up_ends_the_wait(*unplugging);
  std::printf("%d failed\n", failures);
  return failures;
}

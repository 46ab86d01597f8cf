// POSIX serial devices, sleeps and version: termios in raw mode, exclusive
// opens through TIOCEXCL plus flock (TIOCEXCL alone does not stop root).
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "transport/platform.h"
#include "transport/posix_custom_baud.h"
#include "version.h"

#if defined(__linux__)
#include <sys/eventfd.h>
#include <sys/prctl.h>
#endif

namespace tovlink::platform {
namespace {

struct standard_rate {
  int32_t baud;
  speed_t code;
};

constexpr standard_rate k_standard_rates[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},
#ifdef B460800
    {460800, B460800},   {500000, B500000},   {576000, B576000},   {921600, B921600},
    {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000},
    {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
#endif
};

bool find_standard_rate(int32_t baud, speed_t *code) {
  for (const auto &rate : k_standard_rates) {
    if (rate.baud == baud) {
      *code = rate.code;
      return true;
    }
  }
  return false;
}

// Every byte passes unchanged: no echo, no canonical input, no CR/LF
// translation, no output processing and no XON/XOFF (which would swallow
// 0x11 and 0x13).  Stop bits and hardware flow control stay as found.
void make_raw(termios &settings) {
  settings.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                             ICRNL | IXON | IXOFF | IXANY | INPCK);
  settings.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  settings.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD);
  settings.c_cflag |= static_cast<tcflag_t>(CS8 | CREAD | CLOCAL);
  settings.c_cc[VMIN] = 0;
  settings.c_cc[VTIME] = 0;
}

bool apply_line_settings(int fd, int32_t baud) {
  if (baud <= 0) return false;
  termios settings{};
  if (tcgetattr(fd, &settings) != 0) return false;
  make_raw(settings);
  speed_t code = B9600;
  bool standard = find_standard_rate(baud, &code);
  if (standard && cfsetspeed(&settings, code) != 0) return false;
  if (tcsetattr(fd, TCSANOW, &settings) != 0) return false;
  return standard || set_custom_baud(fd, static_cast<uint32_t>(baud));
}

// A wake-up another thread can post to a thread blocked in poll(): an
// eventfd on Linux, a non-blocking pipe elsewhere.  Without one (the system
// refused it) waits fall back to 1 ms polls.
class wake_channel {
 public:
  wake_channel() {
#if defined(__linux__)
    read_fd_ = write_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
#else
    int ends[2];
    if (pipe(ends) == 0) {
      for (int end : ends) {
        fcntl(end, F_SETFD, FD_CLOEXEC);
        fcntl(end, F_SETFL, fcntl(end, F_GETFL) | O_NONBLOCK);
      }
      read_fd_ = ends[0];
      write_fd_ = ends[1];
    }
#endif
  }
  ~wake_channel() {
    if (read_fd_ >= 0) close(read_fd_);
    if (write_fd_ >= 0 && write_fd_ != read_fd_) close(write_fd_);
  }
  wake_channel(const wake_channel &) = delete;
  wake_channel &operator=(const wake_channel &) = delete;

  bool usable() const {
    return read_fd_ >= 0;
  }
  int fd() const {
    return read_fd_;
  }

  // A full pipe or a saturated counter already holds a pending wake-up, so a
  // write that would block has done its job.
  void post() const {
    if (write_fd_ < 0) return;
#if defined(__linux__)
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(write_fd_, &one, sizeof one);
#else
    const char one = 1;
    [[maybe_unused]] ssize_t n = ::write(write_fd_, &one, sizeof one);
#endif
  }

  void drain() const {
    uint64_t scratch[8];
    while (::read(read_fd_, scratch, sizeof scratch) > 0) {
    }
  }

 private:
  int read_fd_ = -1;
  int write_fd_ = -1;
};

class posix_serial_device final : public serial_device {
 public:
  explicit posix_serial_device(int fd) : fd_(fd) {}
  ~posix_serial_device() override {
    // The exclusive flag belongs to the tty, not to this descriptor; clear it
    // so the port can be opened again while another descriptor keeps the tty.
    ioctl(fd_, TIOCNXCL);
    close(fd_);
  }

  void wait_for_input() override {
    if (!wake_.usable()) {
      serial_device::wait_for_input();
      return;
    }
    pollfd watched[2] = {{fd_, POLLIN, 0}, {wake_.fd(), POLLIN, 0}};
    if (poll(watched, 2, -1) < 0) return;  // EINTR: the caller looks again
    if (watched[1].revents != 0) wake_.drain();
  }

  void interrupt_wait() override { wake_.post(); }
  posix_serial_device(const posix_serial_device &) = delete;
  posix_serial_device &operator=(const posix_serial_device &) = delete;

  bool read_available(uint8_t *buffer, uint32_t capacity, uint32_t *count) override {
    *count = 0;
    ssize_t n = read(fd_, buffer, capacity);
    if (n > 0) {
      *count = static_cast<uint32_t>(n);
      return true;
    }
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    return !hung_up();
  }

  bool write(const uint8_t *bytes, uint32_t count, uint32_t *written,
             const std::atomic<int32_t> &running) override {
    *written = 0;
    while (*written < count) {
      ssize_t n = ::write(fd_, bytes + *written, count - *written);
      if (n > 0) {
        *written += static_cast<uint32_t>(n);
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        if (running.load(std::memory_order_acquire) == 0) return true;
        pollfd ready{fd_, POLLOUT, 0};
        poll(&ready, 1, 1);
      } else {
        return false;
      }
    }
    return true;
  }

 private:
  // A read of 0 bytes is either "nothing waiting" or the far end gone.
  bool hung_up() const {
    pollfd state{fd_, POLLIN, 0};
    return poll(&state, 1, 0) > 0 && (state.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
  }

  int fd_;
  wake_channel wake_;
};

open_result refused(int fd) {
  open_result result;
  result.refused_by_system = true;
  result.system_error = static_cast<unsigned long>(errno);
  if (fd >= 0) close(fd);
  return result;
}

constexpr int64_t k_nanoseconds_per_second = 1000000000;
constexpr int64_t k_nanoseconds_per_millisecond = 1000000;

// CLOCK_MONOTONIC's reading `nanoseconds` from now.
timespec monotonic_in(int64_t nanoseconds) {
  timespec when{};
  clock_gettime(CLOCK_MONOTONIC, &when);
  int64_t total = int64_t{when.tv_nsec} + nanoseconds % k_nanoseconds_per_second;
  when.tv_sec += static_cast<time_t>(nanoseconds / k_nanoseconds_per_second +
                                     total / k_nanoseconds_per_second);
  when.tv_nsec = static_cast<long>(total % k_nanoseconds_per_second);
  return when;
}

void sleep_until_monotonic(const timespec &deadline) {
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
  }
}

#if defined(__linux__)
constexpr unsigned long k_finest_timer_slack_ns = 1;

// A host thread's timer slack (50 us by default) would stretch each 1 ms
// poll for a reply by 5 %, and an exchange waits for several.  The slack
// belongs to the host's thread, so it is lowered for the sleep alone and put
// back as found before the library returns to the host.
class fine_timer_slack {
 public:
  fine_timer_slack() : previous_(prctl(PR_GET_TIMERSLACK, 0UL, 0UL, 0UL, 0UL)) {
    if (previous_ > 1) prctl(PR_SET_TIMERSLACK, k_finest_timer_slack_ns, 0UL, 0UL, 0UL);
  }
  ~fine_timer_slack() {
    if (previous_ > 1)
      prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(previous_), 0UL, 0UL, 0UL);
  }
  fine_timer_slack(const fine_timer_slack &) = delete;
  fine_timer_slack &operator=(const fine_timer_slack &) = delete;

 private:
  int previous_;
};
#else
struct fine_timer_slack {};
#endif

}  // namespace

bool build_device_path(const char *port_name, char (&path)[k_device_path_capacity]) {
  if (port_name == nullptr) return false;
  const char *prefix = port_name[0] == '/' ? "" : "/dev/";
  int length = std::snprintf(path, sizeof path, "%s%s", prefix, port_name);
  if (length < 0 || static_cast<std::size_t>(length) >= sizeof path) {
    path[0] = '\0';
    return false;
  }
  return true;
}

open_result open_serial_device(const char *path, int32_t baud) {
  int fd = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return refused(fd);
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) return refused(fd);
  if (ioctl(fd, TIOCEXCL) != 0) return refused(fd);
  auto device = std::make_unique<posix_serial_device>(fd);
  open_result result;
  if (apply_line_settings(fd, baud)) result.device = std::move(device);
  return result;
}

// A POSIX descriptor serves both workers: poll() waits on it as it is.
open_result open_event_serial_device(const char *path, int32_t baud) {
  return open_serial_device(path, baud);
}

void sleep_milliseconds(uint32_t milliseconds) {
  [[maybe_unused]] fine_timer_slack fine;
  sleep_until_monotonic(monotonic_in(int64_t{milliseconds} * k_nanoseconds_per_millisecond));
}

void sleep_until(std::chrono::steady_clock::time_point deadline) {
  // The steady clock need not be CLOCK_MONOTONIC, so the deadline is carried
  // over as the time left.  The two clock reads lie nanoseconds apart, and
  // that error does not add up from pass to pass: the caller's grid stays on
  // the steady clock.
  auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(
      deadline - std::chrono::steady_clock::now());
  if (left.count() > 0) sleep_until_monotonic(monotonic_in(left.count()));
}

void prepare_worker_thread() {
#if defined(__linux__)
  // The default 50 us slack would stretch every 1 ms pass by 5 %.
  prctl(PR_SET_TIMERSLACK, k_finest_timer_slack_ns, 0UL, 0UL, 0UL);
#endif
}

bool read_library_version(uint16_t (&parts)[4]) {
  parts[0] = TOVLINK_VERSION_MAJOR;
  parts[1] = TOVLINK_VERSION_MINOR;
  parts[2] = TOVLINK_VERSION_BUILD;
  parts[3] = TOVLINK_VERSION_REVISION;
  return true;
}

}  // namespace tovlink::platform

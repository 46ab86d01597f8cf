#include "tovlink_sim/virtual_robot.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <filesystem>
#include <system_error>

#include "tovlink_sim/wire_log.hpp"

namespace tovlink::sim {
namespace {

[[noreturn]] void throw_errno(const std::string &what) {
  throw std::system_error(errno, std::generic_category(), what);
}

void make_raw(int fd) {
  termios settings{};
  if (tcgetattr(fd, &settings) != 0) throw_errno("tcgetattr");
  cfmakeraw(&settings);
  // cfmakeraw leaves input flow control alone; a robot link has none.
  settings.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  if (tcsetattr(fd, TCSANOW, &settings) != 0) throw_errno("tcsetattr");
}

int poll_timeout_until(std::optional<time_point> deadline, time_point now) {
  if (!deadline) return -1;
  if (*deadline <= now) return 0;
  const auto wait = std::chrono::ceil<milliseconds>(*deadline - now).count();
  return static_cast<int>(std::min<long long>(wait, INT_MAX));
}

}  // namespace

virtual_robot::file_descriptor &virtual_robot::file_descriptor::operator=(
    file_descriptor &&other) noexcept {
  if (this != &other) {
    reset();
    fd_ = other.release();
  }
  return *this;
}

void virtual_robot::file_descriptor::reset() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

virtual_robot::virtual_robot(robot_options options)
    : options_(std::move(options)),
      model_(clock::now(), options_.noise_seed),
      protocol_(adapter_settings{options_.peer_id, !options_.faults.no_mldp,
                                 !options_.faults.reject_link}),
      noise_bytes_(options_.noise_seed) {}

virtual_robot::~virtual_robot() {
  stop();
}

void virtual_robot::open_terminal() {
  int master = -1;
  int slave = -1;
  std::array<char, 256> name{};
  if (openpty(&master, &slave, name.data(), nullptr, nullptr) != 0) throw_errno("openpty");
  // Programs the host process starts must not inherit the robot's ends: a
  // copy of the master elsewhere would keep the port alive after an unplug.
  ::fcntl(master, F_SETFD, FD_CLOEXEC);
  ::fcntl(slave, F_SETFD, FD_CLOEXEC);
  master_ = file_descriptor{master};
  // Holding the slave open keeps the master usable (no EIO) while no host has
  // the port open, and across hosts coming and going.
  slave_ = file_descriptor{slave};
  slave_path_ = name.data();
  make_raw(slave_.get());
  make_raw(master_.get());
  const int flags = fcntl(master_.get(), F_GETFL);
  if (flags < 0 || fcntl(master_.get(), F_SETFL, flags | O_NONBLOCK) != 0) throw_errno("fcntl");

  // Opens and closes of the slave tell when a host comes and goes.
  port_watch_ = file_descriptor{inotify_init1(IN_NONBLOCK | IN_CLOEXEC)};
  if (port_watch_.get() < 0) throw_errno("inotify_init1");
  if (inotify_add_watch(port_watch_.get(), slave_path_.c_str(), IN_OPEN | IN_CLOSE) < 0) {
    throw_errno("inotify_add_watch " + slave_path_);
  }
  wake_ = file_descriptor{eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};
  if (wake_.get() < 0) throw_errno("eventfd");
}

// The lock file beside the link says who serves it.  flock() locks die with
// their process, so a robot that was killed leaves a file that the next one
// simply locks again; a live one keeps every other robot off its link.
void virtual_robot::lock_link() {
  const std::string lock_path = options_.link_path + ".lock";
  for (int attempt = 0; attempt < 3; ++attempt) {
    file_descriptor lock{::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)};
    if (lock.get() < 0) throw_errno("lock file " + lock_path);
    if (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
      if (errno != EWOULDBLOCK) throw_errno("lock file " + lock_path);
      std::array<char, 32> owner{};
      const auto count = ::pread(lock.get(), owner.data(), owner.size() - 1, 0);
      std::string pid{owner.data(), count > 0 ? static_cast<std::size_t>(count) : 0};
      while (!pid.empty() && (pid.back() == '\n' || pid.back() == ' ')) pid.pop_back();
      throw std::system_error(EBUSY, std::generic_category(),
                              "link " + options_.link_path + " is in use by another virtual robot" +
                                  (pid.empty() ? "" : " (pid " + pid + ")"));
    }
    // A robot that was just leaving may have removed the file we opened:
    // only a lock on the file still at the path counts.
    struct stat held {};
    struct stat named {};
    if (::fstat(lock.get(), &held) != 0 || ::stat(lock_path.c_str(), &named) != 0 ||
        held.st_ino != named.st_ino || held.st_dev != named.st_dev) {
      continue;
    }
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(lock.get(), 0) != 0 || ::pwrite(lock.get(), pid.data(), pid.size(), 0) < 0) {
      throw_errno("lock file " + lock_path);
    }
    link_lock_ = std::move(lock);
    return;
  }
  throw std::system_error(EBUSY, std::generic_category(),
                          "link " + options_.link_path + " keeps changing hands");
}

void virtual_robot::make_link() {
  namespace fs = std::filesystem;
  if (options_.link_path.empty()) return;
  lock_link();
  const fs::path link{options_.link_path};
  std::error_code error;
  // A link left behind by an earlier run that was killed is replaced; any
  // other file there is not ours to remove.
  if (fs::is_symlink(fs::symlink_status(link, error))) fs::remove(link, error);
  fs::create_symlink(slave_path_, link, error);
  if (error) throw std::system_error(error, "symlink " + options_.link_path);
  link_made_ = true;
}

void virtual_robot::remove_link() {
  namespace fs = std::filesystem;
  if (link_made_) {
    link_made_ = false;
    std::error_code error;
    const fs::path link{options_.link_path};
    // Only a link that still leads to this robot's port is ours to remove.
    if (fs::is_symlink(fs::symlink_status(link, error)) &&
        fs::read_symlink(link, error) == fs::path{slave_path_}) {
      fs::remove(link, error);
    }
  }
  if (link_lock_.get() >= 0) {
    // Removed while still locked, so a robot that opens it meanwhile sees
    // that its file is gone (lock_link checks) and makes a new one.
    ::unlink((options_.link_path + ".lock").c_str());
    link_lock_.reset();
  }
}

void virtual_robot::start() {
  if (server_.joinable()) return;
  try {
    open_terminal();
    make_link();
  } catch (...) {
    stop();
    throw;
  }
  started_at_ = clock::now();
  serving_ = true;
  server_ = std::thread([this] { serve(); });
}

void virtual_robot::stop() {
  if (server_.joinable()) {
    const std::uint64_t one = 1;
    if (::write(wake_.get(), &one, sizeof one) < 0) {
      // An eventfd write only fails on counter overflow; the thread is
      // already being woken then.
    }
    server_.join();
  }
  serving_ = false;
  remove_link();
  port_watch_.reset();
  wake_.reset();
  slave_.reset();
  master_.reset();
}

robot_state virtual_robot::state() const {
  const std::scoped_lock lock{model_mutex_};
  return model_.sample(clock::now());
}

bool virtual_robot::move_by_hand(int motor, int angle) {
  if (motor < 1 || motor > motor_count || angle < min_angle || angle > max_angle) return false;
  bool moved = false;
  {
    const std::scoped_lock lock{model_mutex_};
    moved = model_.move_by_hand(motor - 1, angle, clock::now());
  }
  log(moved ? "-- hand moved motor " + std::to_string(motor) + " to " + std::to_string(angle)
            : "-- hand could not move motor " + std::to_string(motor) + ": motor power is on");
  return moved;
}

void virtual_robot::log(std::string_view text) const {
  if (!options_.log) return;
  options_.log(wall_clock_stamp(std::chrono::system_clock::now()) + ' ' + std::string{text});
}

void virtual_robot::serve() {
  const auto unplug_at =
      options_.faults.unplug_after
          ? std::optional<time_point>{started_at_ + *options_.faults.unplug_after}
          : std::nullopt;
  std::array<char, 512> buffer{};
  // The default 50 us of timer slack is over half a byte's time at 115,200
  // baud.
  if (options_.line_rate_baud > 0) ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  while (true) {
    std::array<pollfd, 3> fds{pollfd{wake_.get(), POLLIN, 0}, pollfd{port_watch_.get(), POLLIN, 0},
                              pollfd{master_.get(), POLLIN, 0}};
    const int timeout = poll_timeout_until(unplug_at, clock::now());
    if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) break;
    if (fds[0].revents != 0) break;
    const auto now = clock::now();
    if (unplug_at && now >= *unplug_at) {
      unplug();
      return;
    }
    ssize_t count = 0;
    if (fds[2].revents & POLLIN) {
      count = ::read(master_.get(), buffer.data(), buffer.size());
    } else if (fds[2].revents & (POLLHUP | POLLERR)) {
      // Cannot happen while the slave is held open; avoid spinning if it does.
      if (!pause_for(milliseconds{50})) break;
    }
    // The port's events are read after the bytes, and whatever poll said of
    // them: a host opens the port before it writes, so the opening of the
    // host whose bytes were just read, and the departure of the one before,
    // are among them.  (poll looks at its descriptors one after another, so
    // under load it can find the bytes ready but not the events that came
    // just before them; answering those bytes first and handling the
    // departure on the next pass would flush the new host's first reply.)
    const auto events = read_port_events();
    // Bytes first: a host that writes and closes at once has its last line
    // answered before its departure clears the terminal.  But when a host
    // left and the next one has already opened the port, the bytes waiting
    // are the new host's: its departure is handled first, so clearing the
    // terminal and the link cannot swallow the first replies of the next.
    const bool next_host_waiting = departs_then_arrives(events);
    if (next_host_waiting) handle_port_events(events);
    if (count > 0 && !handle_bytes({buffer.data(), static_cast<std::size_t>(count)})) break;
    if (!next_host_waiting) handle_port_events(events);
  }
  serving_ = false;
}

std::vector<uint32_t> virtual_robot::read_port_events() {
  alignas(inotify_event) std::array<char, 4096> buffer{};
  const auto count = ::read(port_watch_.get(), buffer.data(), buffer.size());
  std::vector<uint32_t> masks;
  for (std::size_t offset = 0; count > 0 && offset < static_cast<std::size_t>(count);) {
    const auto *event = reinterpret_cast<const inotify_event *>(buffer.data() + offset);
    offset += sizeof(inotify_event) + event->len;
    masks.push_back(event->mask);
  }
  return masks;
}

bool virtual_robot::departs_then_arrives(const std::vector<uint32_t> &events) const {
  int open = hosts_open_;
  bool departed = false;
  for (const uint32_t mask : events) {
    if (mask & IN_OPEN) {
      if (departed) return true;
      ++open;
    } else if ((mask & IN_CLOSE) && open > 0 && --open == 0) {
      departed = true;
    }
  }
  return false;
}

void virtual_robot::handle_port_events(const std::vector<uint32_t> &events) {
  for (const uint32_t mask : events) {
    if (mask & IN_OPEN) {
      ++hosts_open_;
      ++host_opens_;
      log("-- host opened the port");
    } else if ((mask & IN_CLOSE) && hosts_open_ > 0 && --hosts_open_ == 0) {
      // The host's exclusive flag outlives its close while the sim holds the
      // slave, which would lock every later host out (unless privileged).
      ::ioctl(slave_.get(), TIOCNXCL);
      // Replies the host never read must not greet the next host.
      ::tcflush(slave_.get(), TCIFLUSH);
      assembler_.reset();
      protocol_.host_disconnected();
      log("-- host closed the port");
    }
  }
}

bool virtual_robot::handle_bytes(std::string_view chunk) {
  for (const auto &line : assembler_.feed(chunk)) {
    log("rx " + escape_bytes(line.raw));
    // Hosts end lines with "\r\r" or "\r\n\r"; the empty lines between are
    // not commands and get no reply.
    if (line.text.empty()) continue;
    if (!answer(line)) return false;
  }
  return true;
}

bool virtual_robot::answer(const received_line &line) {
  ++lines_handled_;
  std::string reply;
  if (line.too_long) {
    reply = protocol_.reply_to_overlong_line();
  } else {
    const std::scoped_lock lock{model_mutex_};
    reply = protocol_.reply_to(line.text, model_, clock::now());
  }
  const auto &faults = options_.faults;
  ++replies_;
  if (faults.silent) {
    log("-- reply withheld (silent) " + escape_bytes(reply));
    return true;
  }
  if (!faults.ignore_prefix.empty() && line.text.starts_with(faults.ignore_prefix)) {
    log("-- reply withheld (ignored) " + escape_bytes(reply));
    return true;
  }
  if (faults.drop_every > 0 && replies_ % faults.drop_every == 0) {
    log("-- reply dropped " + escape_bytes(reply));
    return true;
  }
  // The line reached us at once through the terminal; a real wire would
  // still be carrying it.
  if (options_.line_rate_baud > 0 &&
      !pause_until(std::chrono::steady_clock::now() + wire_time(line.raw.size()))) {
    return false;
  }
  if (faults.latency.count() > 0 && !pause_for(faults.latency)) return false;
  if (faults.garbage) reply.insert(0, noise());
  return send_reply(reply);
}

bool virtual_robot::send_reply(std::string_view reply) {
  if (!options_.faults.split) {
    log("tx " + escape_bytes(reply));
    return send(reply);
  }
  log("tx " + escape_bytes(reply) + " (split)");
  for (std::size_t offset = 0; offset < reply.size(); offset += split_chunk_bytes) {
    if (offset > 0 && !pause_for(split_chunk_gap)) return false;
    if (!send(reply.substr(offset, split_chunk_bytes))) return false;
  }
  return true;
}

// Line noise: control and high-bit bytes, never a line end, so the reply
// after it still arrives as one line, just with junk in front.
std::string virtual_robot::noise() {
  std::uniform_int_distribution<int> length(1, 8);
  std::uniform_int_distribution<int> byte(0, 255);
  std::string bytes;
  for (int i = length(noise_bytes_); i > 0; --i) {
    auto c = static_cast<unsigned char>(byte(noise_bytes_));
    if (c >= 0x20 && c < 0x7f) c = static_cast<unsigned char>(c | 0x80);
    if (c == '\r' || c == '\n') c = 0x7f;
    bytes.push_back(static_cast<char>(c));
  }
  return bytes;
}

std::chrono::nanoseconds virtual_robot::wire_time(std::size_t bytes) const {
  constexpr std::uint64_t bits_per_byte = 10;
  return std::chrono::nanoseconds{bytes * bits_per_byte * 1'000'000'000ULL /
                                  options_.line_rate_baud};
}

// One byte at a time, each when its stop bit would have ended, so the host
// sees a reply trickle in as it would from a UART.
bool virtual_robot::send_at_line_rate(std::string_view bytes) {
  const auto start = std::chrono::steady_clock::now();
  for (std::size_t sent = 0; sent < bytes.size(); ++sent) {
    if (!pause_until(start + wire_time(sent + 1))) return false;
    const auto written = ::write(master_.get(), bytes.data() + sent, 1);
    if (written < 0 && errno == EAGAIN) {
      log("-- host not reading, reply cut off");
      return true;
    }
    if (written < 0 && errno != EINTR) return true;
  }
  return true;
}

bool virtual_robot::send(std::string_view bytes) {
  if (options_.line_rate_baud > 0) return send_at_line_rate(bytes);
  while (!bytes.empty()) {
    const auto written = ::write(master_.get(), bytes.data(), bytes.size());
    if (written > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(written));
      continue;
    }
    if (written < 0 && errno != EAGAIN && errno != EINTR) return true;
    // The host is not reading and the terminal's buffer is full: give it a
    // moment, then drop the rest like a real adapter's full buffer would.
    std::array<pollfd, 2> fds{pollfd{wake_.get(), POLLIN, 0}, pollfd{master_.get(), POLLOUT, 0}};
    if (::poll(fds.data(), fds.size(), 200) <= 0) {
      log("-- host not reading, reply cut off");
      return true;
    }
    if (fds[0].revents != 0) return false;
  }
  return true;
}

bool virtual_robot::pause_for(milliseconds span) {
  pollfd wake{wake_.get(), POLLIN, 0};
  const auto until = clock::now() + span;
  while (true) {
    const int timeout = poll_timeout_until(until, clock::now());
    const int ready = ::poll(&wake, 1, timeout);
    if (ready > 0) return false;
    if (ready == 0) return true;
    if (errno != EINTR) return true;
  }
}

// Sleeps to `when` with the clock's precision (a reply byte at 115,200 baud
// lasts 87 us); false when stop() wakes it first.
bool virtual_robot::pause_until(std::chrono::steady_clock::time_point when) {
  pollfd wake{wake_.get(), POLLIN, 0};
  while (true) {
    const auto left = when - std::chrono::steady_clock::now();
    if (left <= std::chrono::nanoseconds::zero()) return true;
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    const timespec timeout{static_cast<time_t>(ns / 1'000'000'000),
                           static_cast<long>(ns % 1'000'000'000)};
    const int ready = ::ppoll(&wake, 1, &timeout, nullptr);
    if (ready > 0) return false;
    if (ready < 0 && errno != EINTR) return true;
  }
}

void virtual_robot::unplug() {
  log("-- unplugged: port closed");
  // Gone for good before anyone is told: a host that sees serving() false
  // finds neither the link nor the port.
  remove_link();
  slave_.reset();
  master_.reset();
  serving_ = false;
}

}  // namespace tovlink::sim

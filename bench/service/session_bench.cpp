// tovlink-session-bench: what sessions that wait on events cost and take,
// beside the 34-function C API's paced connection, in one run:
//   - one telemetry exchange ("#140") through tovlink::Robot and through
//     tovlink_get_battery_value, against the raw round trip on the virtual
//     robot's pseudo-terminal, with the robot answering at once and with it
//     keeping to a 115,200-baud wire (--baud);
//   - an idle session's CPU, and an idle C API connection's, each with its
//     in-process virtual robot;
//   - a daemon with ten virtual robots of its own and no clients.
// It is a measuring program, not a test: it prints figures and says which
// targets were met.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <termios.h>
#include <tovlink.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "child_process.hpp"
#include "tovlink/robot.hpp"
#include "tovlink_sim/virtual_robot.hpp"

namespace {

namespace fs = std::filesystem;
using bench_clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using tovlink::service::testing::child_process;
using tovlink::service::testing::cpu_seconds;

constexpr char k_request[] = "#140\r";
constexpr double k_wire_bits_per_byte = 10.0;
constexpr std::uint32_t k_wire_baud = 115200;

struct settings {
  int exchanges = 1000;
  int wire_exchanges = 300;
  double idle_seconds = 10;
  int daemon_robots = 10;
};

struct latency {
  double median_ms = 0;
  double p99_ms = 0;
};

struct figures {
  latency raw, cxx, c_api;
  latency wire_raw, wire_cxx, wire_c_api;
  std::size_t reply_bytes = 0;
  double idle_cxx = 0;
  double idle_c_api = 0;
  double daemon_idle = 0;
};

double ms_since(bench_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(bench_clock::now() - start).count();
}

latency summarize(std::vector<double> samples) {
  if (samples.empty()) return {};
  std::sort(samples.begin(), samples.end());
  auto at = [&](double share) {
    // Nearest rank.
    auto rank = static_cast<std::size_t>(share * static_cast<double>(samples.size()) + 0.999999);
    return samples[std::clamp<std::size_t>(rank, 1, samples.size()) - 1];
  };
  return {at(0.5), at(0.99)};
}

void progress(const std::string &step) {
  std::fprintf(stderr, "tovlink-session-bench: %s\n", step.c_str());
}

double own_cpu_seconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval &t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

template <typename CpuSeconds>
double core_share(CpuSeconds cpu, double seconds) {
  const double before = cpu();
  const auto start = bench_clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  return (cpu() - before) / (ms_since(start) / 1000.0) * 100.0;
}

// The request written and its reply read straight on the terminal, blocking.
latency raw_exchanges(const std::string &path, int count, std::size_t *reply_bytes) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("raw exchange: cannot open " + path);
  termios settings{};
  tcgetattr(fd, &settings);
  cfmakeraw(&settings);
  tcsetattr(fd, TCSANOW, &settings);
  std::vector<double> samples;
  for (int i = 0; i < count; ++i) {
    const auto start = bench_clock::now();
    if (::write(fd, k_request, std::strlen(k_request)) < 0) break;
    std::string reply;
    char chunk[256];
    while (reply.empty() || reply.back() != '\n') {
      const ssize_t n = ::read(fd, chunk, sizeof chunk);
      if (n <= 0) break;
      reply.append(chunk, static_cast<std::size_t>(n));
    }
    samples.push_back(ms_since(start));
    if (reply_bytes != nullptr) *reply_bytes = reply.size();
  }
  ::close(fd);
  // The robot clears the port's exclusive flag once it has seen the close.
  std::this_thread::sleep_for(milliseconds{100});
  return summarize(std::move(samples));
}

latency cxx_exchanges(tovlink::Robot &robot, int count) {
  for (int i = 0; i < 20; ++i) robot.telemetry();
  std::vector<double> samples;
  for (int i = 0; i < count; ++i) {
    const auto start = bench_clock::now();
    robot.telemetry();
    samples.push_back(ms_since(start));
  }
  return summarize(std::move(samples));
}

latency c_api_exchanges(uint32_t *handle, int count) {
  int32_t value = 0;
  for (int i = 0; i < 20; ++i) tovlink_get_battery_value(handle, &value);
  std::vector<double> samples;
  for (int i = 0; i < count; ++i) {
    const auto start = bench_clock::now();
    if (tovlink_get_battery_value(handle, &value) != TOVLINK_OK) {
      throw std::runtime_error("C API exchange failed");
    }
    samples.push_back(ms_since(start));
  }
  return summarize(std::move(samples));
}

uint32_t *c_api_connect(const std::string &path) {
  uint32_t *handle = tovlink_connect(path.c_str(), 115200);
  if (handle == nullptr) throw std::runtime_error("C API connect failed on " + path);
  return handle;
}

// Raw, C++ and C API exchanges against one robot.
void exchanges_against(std::uint32_t baud, int count, latency &raw, latency &cxx, latency &c_api,
                       std::size_t *reply_bytes) {
  tovlink::sim::robot_options options;
  options.line_rate_baud = baud;
  tovlink::sim::virtual_robot robot(options);
  robot.start();
  raw = raw_exchanges(robot.slave_path(), count, reply_bytes);
  {
    tovlink::Robot connected(robot.slave_path());
    cxx = cxx_exchanges(connected, count);
  }
  std::this_thread::sleep_for(milliseconds{100});
  uint32_t *handle = c_api_connect(robot.slave_path());
  c_api = c_api_exchanges(handle, count);
  tovlink_end(handle);
}

void idle(const settings &used, figures &out) {
  {
    tovlink::sim::virtual_robot robot;
    robot.start();
    tovlink::Robot connected(robot.slave_path());
    std::this_thread::sleep_for(milliseconds{500});
    out.idle_cxx = core_share(own_cpu_seconds, used.idle_seconds);
  }
  tovlink::sim::virtual_robot robot;
  robot.start();
  uint32_t *handle = c_api_connect(robot.slave_path());
  std::this_thread::sleep_for(milliseconds{500});
  out.idle_c_api = core_share(own_cpu_seconds, used.idle_seconds);
  tovlink_end(handle);
}

void idle_daemon(const settings &used, figures &out) {
  char pattern[] = "/tmp/tovlink-session-bench-XXXXXX";
  const fs::path dir = ::mkdtemp(pattern);
  std::vector<std::string> args{TOVLINKD_PATH, "--socket", (dir / "d.sock").string()};
  for (int i = 0; i < used.daemon_robots; ++i) {
    args.push_back("--sim");
    args.push_back("r" + std::to_string(i));
  }
  child_process daemon(args);
  for (int i = 0; i < used.daemon_robots; ++i) {
    if (!daemon.wait_for_line("robot r" + std::to_string(i) + ": ready", milliseconds{30000})) {
      throw std::runtime_error("the daemon's robot r" + std::to_string(i) + " never became ready");
    }
  }
  std::this_thread::sleep_for(milliseconds{1000});
  const pid_t pid = daemon.pid();
  out.daemon_idle = core_share([pid] { return cpu_seconds(pid); }, used.idle_seconds);
  daemon.stop(SIGTERM, milliseconds{10000});
  std::error_code ignored;
  fs::remove_all(dir, ignored);
}

const char *verdict(bool met) {
  return met ? "met" : "MISSED";
}

void print_latency(const char *name, const latency &l) {
  std::printf("  %-46s %8.3f %8.3f\n", name, l.median_ms, l.p99_ms);
}

std::string load_average() {
  std::ifstream file("/proc/loadavg");
  std::string one, five, fifteen;
  file >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

void print(const figures &f, const settings &used, const std::string &load_before) {
  std::printf("tovlink-session-bench: %u cores, load average before %s, after %s\n\n",
              std::thread::hardware_concurrency(), load_before.c_str(), load_average().c_str());
  std::printf("Exchange \"#140\" (ms), %d each, robot answers at once  %8s %8s\n", used.exchanges,
              "median", "p99");
  print_latency("raw pty round trip, blocking I/O", f.raw);
  print_latency("session (tovlink::Robot::telemetry)", f.cxx);
  print_latency("C API (tovlink_get_battery_value), paced", f.c_api);
  const double wire_ms = static_cast<double>(std::strlen(k_request) + f.reply_bytes) *
                         k_wire_bits_per_byte * 1000.0 / k_wire_baud;
  std::printf(
      "\nThe same at 115,200 baud (--baud), %d each; wire time of request and reply "
      "%.3f ms (%zu + %zu bytes)\n",
      used.wire_exchanges, wire_ms, std::strlen(k_request), f.reply_bytes);
  print_latency("raw pty round trip, blocking I/O", f.wire_raw);
  print_latency("session (tovlink::Robot::telemetry)", f.wire_cxx);
  print_latency("C API (tovlink_get_battery_value), paced", f.wire_c_api);

  std::printf("\nIdle, %.0f s, share of one core (whole process, its virtual robot included)\n",
              used.idle_seconds);
  std::printf("  %-46s %7.3f %%\n", "session (tovlink::Robot)", f.idle_cxx);
  std::printf("  %-46s %7.3f %%\n", "C API connection, paced", f.idle_c_api);
  std::printf(
      "  %-46s %7.3f %%\n",
      ("daemon, " + std::to_string(used.daemon_robots) + " virtual robots, no clients").c_str(),
      f.daemon_idle);

  std::printf("\nTargets\n");
  const double median_limit = f.raw.median_ms + 0.3;
  std::printf("  %-52s %.3f ms vs %.3f ms  %s\n", "session median <= raw + 0.3 ms", f.cxx.median_ms,
              median_limit, verdict(f.cxx.median_ms <= median_limit));
  std::printf("  %-52s %.3f ms vs %.3f ms  %s\n", "session p99 <= median + 1 ms", f.cxx.p99_ms,
              f.cxx.median_ms + 1.0, verdict(f.cxx.p99_ms <= f.cxx.median_ms + 1.0));
  std::printf("  %-52s %.3f ms vs %.3f ms  %s\n", "at 115,200 baud: session median <= wire + 10 %",
              f.wire_cxx.median_ms, wire_ms * 1.1, verdict(f.wire_cxx.median_ms <= wire_ms * 1.1));
  std::printf("  %-52s %.3f %%  %s\n", "idle session <= 0.1 % of a core", f.idle_cxx,
              verdict(f.idle_cxx <= 0.1));
  std::printf("  %-52s %.3f %%  %s\n", "daemon, 10 robots, no clients <= 2 % of a core",
              f.daemon_idle, verdict(f.daemon_idle <= 2.0));
  std::printf("  %-52s %.3f ms  %s\n", "C API keeps its pacing (about 4 ms, not faster)",
              f.c_api.median_ms, verdict(f.c_api.median_ms >= 3.9));
}

}  // namespace

int main(int argc, char **argv) {
  settings used;
  CLI::App app{"tovlink-session-bench: event-driven sessions beside the paced C API"};
  bool quick = false;
  app.add_flag("--quick", quick, "Fewer samples and shorter spans");
  app.add_option("--daemon-robots", used.daemon_robots, "Virtual robots in the idle daemon")
      ->check(CLI::Range(1, 200));
  CLI11_PARSE(app, argc, argv);
  if (quick) {
    used.exchanges = 200;
    used.wire_exchanges = 100;
    used.idle_seconds = 3;
  }
  // The C API's diagnostic lines and its time-out line go to standard error.
  std::fflush(stdout);
  const int report_fd = ::dup(STDOUT_FILENO);
  ::dup2(STDERR_FILENO, STDOUT_FILENO);
  std::FILE *report = ::fdopen(report_fd, "w");
  try {
    const std::string load_before = load_average();
    figures f;
    progress("exchanges, robot answering at once");
    exchanges_against(0, used.exchanges, f.raw, f.cxx, f.c_api, &f.reply_bytes);
    progress("exchanges at 115,200 baud");
    std::size_t wire_reply_bytes = 0;
    exchanges_against(k_wire_baud, used.wire_exchanges, f.wire_raw, f.wire_cxx, f.wire_c_api,
                      &wire_reply_bytes);
    progress("idle session and idle C API connection");
    idle(used, f);
    progress("idle daemon");
    idle_daemon(used, f);
    std::fflush(stdout);
    ::dup2(report_fd, STDOUT_FILENO);
    std::fclose(report);
    print(f, used, load_before);
  } catch (const std::exception &error) {
    std::fprintf(stderr, "tovlink-session-bench: %s\n", error.what());
    return 1;
  }
  return 0;
}

// tovlinkd-bench: what the robot service adds on top of the C++ API, in one
// run against virtual robots:
//   - a robot command through the daemon against the same command through
//     tovlink::Robot directly (medians; target: within 1 ms);
//   - a status request as `tovlink status` makes it (connect, banner, poll,
//     close) on a raw socket (target: under 50 ms a call);
//   - 100 WebSocket watchers at 10 Hz on one robot: the daemon's CPU
//     (target: under 5 % of a core) and whether every watcher was served;
//   - an idle daemon with one robot against the library's own idle
//     connection (target: no more than 0.3 points of a core above).
// It is a measuring program, not a test: it prints figures and says which
// targets were met.
#include <CLI/CLI.hpp>

#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "child_process.hpp"
#include "clients.hpp"
#include "tovlink/robot.hpp"
#include "tovlink_sim/virtual_robot.hpp"

namespace {

namespace fs = std::filesystem;
using bench_clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using tovlink::service::testing::child_process;
using tovlink::service::testing::cpu_seconds;
using tovlink::service::testing::line_client;
using tovlink::service::testing::websocket_client;

struct settings {
  int exchanges = 300;
  int status_calls = 200;
  int watchers = 100;
  double watch_seconds = 10;
  double idle_seconds = 10;
};

double ms_since(bench_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(bench_clock::now() - start).count();
}

double percentile(std::vector<double> samples, double share) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  const auto index = static_cast<std::size_t>(share * static_cast<double>(samples.size() - 1));
  return samples[index];
}

void progress(const std::string &step) {
  std::fprintf(stderr, "tovlinkd-bench: %s\n", step.c_str());
}

double own_cpu_seconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval &t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Share of one core a process used over `seconds` of waiting.
template <typename CpuSeconds>
double core_share(CpuSeconds cpu, double seconds) {
  const double before = cpu();
  const auto start = bench_clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  return (cpu() - before) / (ms_since(start) / 1000.0) * 100.0;
}

struct daemon_run {
  fs::path dir;
  std::string socket;
  unsigned short port = 0;
  std::unique_ptr<child_process> process;

  daemon_run() {
    char pattern[] = "/tmp/tovlinkd-bench-XXXXXX";
    dir = ::mkdtemp(pattern);
    socket = (dir / "d.sock").string();
    process = std::make_unique<child_process>(
        std::vector<std::string>{TOVLINKD_PATH, "--sim", "x", "--socket", socket, "--listen",
                                 "127.0.0.1:0", "--max-clients", "200"});
    const auto listening = process->wait_for_line("listening on http://", std::chrono::seconds{10});
    if (!listening) throw std::runtime_error("the daemon did not start");
    port = static_cast<unsigned short>(std::stoi(listening->substr(listening->rfind(':') + 1)));
    if (!process->wait_for_line("robot x: ready", std::chrono::seconds{15})) {
      throw std::runtime_error("the daemon's robot never became ready");
    }
  }
  ~daemon_run() {
    process->stop(SIGTERM, std::chrono::seconds{10});
    std::error_code ignored;
    fs::remove_all(dir, ignored);
  }
};

struct figures {
  double direct_median_ms = 0;
  double daemon_median_ms = 0;
  double status_median_ms = 0;
  double status_p95_ms = 0;
  double watch_daemon_cpu = 0;
  int watch_expected = 0;
  int watch_fewest = 0;
  int watch_most = 0;
  int watchers_connected = 0;
  double idle_library_cpu = 0;
  double idle_daemon_cpu = 0;
};

std::vector<double> direct_commands(int count) {
  tovlink::sim::virtual_robot robot;
  robot.start();
  tovlink::Robot connected(robot.slave_path());
  std::vector<double> samples;
  for (int i = 0; i < count; ++i) {
    const auto start = bench_clock::now();
    connected.speech_speed(100 + i % 100);
    samples.push_back(ms_since(start));
  }
  return samples;
}

std::vector<double> daemon_commands(const daemon_run &daemon, int count) {
  line_client client(daemon.socket);
  client.read_line();
  std::vector<double> samples;
  for (int i = 0; i < count; ++i) {
    const auto start = bench_clock::now();
    client.send_line(R"({"cmd":"speed","speed":)" + std::to_string(100 + i % 100) + "}");
    if (!client.read_line()) throw std::runtime_error("no reply from the daemon");
    samples.push_back(ms_since(start));
  }
  return samples;
}

std::vector<double> status_calls(const daemon_run &daemon, int count) {
  std::vector<double> samples;
  for (int i = 0; i < count; ++i) {
    const auto start = bench_clock::now();
    line_client client(daemon.socket);
    if (!client.read_line()) throw std::runtime_error("no banner");
    client.send_line(R"({"cmd":"poll"})");
    if (!client.read_line()) throw std::runtime_error("no poll reply");
    client.close();
    samples.push_back(ms_since(start));
  }
  return samples;
}

void watchers(const daemon_run &daemon, const settings &used, figures &out) {
  const std::string authority = "127.0.0.1:" + std::to_string(daemon.port);
  std::vector<std::unique_ptr<websocket_client>> clients;
  for (int i = 0; i < used.watchers; ++i) {
    auto client =
        std::make_unique<websocket_client>(daemon.port, "/ws", authority, "http://" + authority);
    if (client->status() != 101) continue;
    client->send_text(R"({"cmd":"watch","rate_hz":10})");
    clients.push_back(std::move(client));
  }
  out.watchers_connected = static_cast<int>(clients.size());
  // Let every watch start, then count telemetry over a fixed span.
  std::this_thread::sleep_for(milliseconds{500});
  std::vector<int> counts(clients.size(), 0);
  std::vector<pollfd> fds;
  for (const auto &client : clients) fds.push_back({client->fd(), POLLIN, 0});
  for (auto &client : clients) {
    client->pump();
    while (client->pop_message()) {
    }
  }
  const double cpu_before = cpu_seconds(daemon.process->pid());
  const auto start = bench_clock::now();
  const auto span = std::chrono::duration<double>(used.watch_seconds);
  while (bench_clock::now() - start < span) {
    ::poll(fds.data(), fds.size(), 50);
    for (std::size_t i = 0; i < clients.size(); ++i) {
      if ((fds[i].revents & POLLIN) == 0) continue;
      clients[i]->pump();
      while (auto message = clients[i]->pop_message()) {
        if (message->find(R"("class":"telemetry")") != std::string::npos) ++counts[i];
      }
    }
  }
  const double seconds = ms_since(start) / 1000.0;
  out.watch_daemon_cpu = (cpu_seconds(daemon.process->pid()) - cpu_before) / seconds * 100.0;
  out.watch_expected = static_cast<int>(used.watch_seconds * 10);
  out.watch_fewest = counts.empty() ? 0 : *std::min_element(counts.begin(), counts.end());
  out.watch_most = counts.empty() ? 0 : *std::max_element(counts.begin(), counts.end());
}

void idle(const daemon_run &daemon, const settings &used, figures &out) {
  {
    tovlink::sim::virtual_robot robot;
    robot.start();
    tovlink::Robot connected(robot.slave_path());
    std::this_thread::sleep_for(milliseconds{500});
    out.idle_library_cpu = core_share(own_cpu_seconds, used.idle_seconds);
  }
  const pid_t pid = daemon.process->pid();
  out.idle_daemon_cpu = core_share([pid] { return cpu_seconds(pid); }, used.idle_seconds);
}

const char *verdict(bool met) {
  return met ? "met" : "MISSED";
}

void print(const figures &f, const settings &used) {
  const double added = f.daemon_median_ms - f.direct_median_ms;
  std::printf("tovlinkd-bench (%u cores)\n\n", std::thread::hardware_concurrency());
  std::printf("%-52s %10s %10s %s\n", "measure", "figure", "target", "");
  std::printf("%-52s %8.2f ms\n", "command (speed), C++ API directly, median", f.direct_median_ms);
  std::printf("%-52s %8.2f ms\n", "command (speed), through the daemon, median",
              f.daemon_median_ms);
  std::printf("%-52s %8.2f ms %7s ms %s  (ratio %.2f)\n", "  daemon's addition", added, "<= 1",
              verdict(added <= 1.0), f.daemon_median_ms / f.direct_median_ms);
  std::printf("%-52s %8.2f ms %7s ms %s  (p95 %.2f ms)\n",
              "status call (connect, banner, poll, close), median", f.status_median_ms, "< 50",
              verdict(f.status_p95_ms < 50.0), f.status_p95_ms);
  std::printf("%-52s %8.2f %%  %7s %%  %s\n",
              (std::to_string(used.watchers) + " WebSocket watchers at 10 Hz: daemon CPU").c_str(),
              f.watch_daemon_cpu, "< 5", verdict(f.watch_daemon_cpu < 5.0));
  const bool all_served =
      f.watchers_connected == used.watchers && f.watch_fewest >= f.watch_expected * 9 / 10;
  std::printf("%-52s %4d-%-4d   %7d    %s  (%d of %d connected)\n",
              "  telemetry per watcher (fewest-most)", f.watch_fewest, f.watch_most,
              f.watch_expected, verdict(all_served), f.watchers_connected, used.watchers);
  std::printf("%-52s %8.2f %%\n", "idle: library connection (sim + Robot), CPU",
              f.idle_library_cpu);
  std::printf("%-52s %8.2f %%\n", "idle: daemon with one robot (sim inside), CPU",
              f.idle_daemon_cpu);
  const double idle_added = f.idle_daemon_cpu - f.idle_library_cpu;
  std::printf("%-52s %8.2f pt %6s pt %s\n", "  daemon's addition", idle_added, "<= 0.3",
              verdict(idle_added <= 0.3));
}

}  // namespace

int main(int argc, char **argv) {
  settings used;
  CLI::App app{"tovlinkd-bench: the robot service's cost on top of the C++ API"};
  bool quick = false;
  app.add_flag("--quick", quick, "Fewer samples and shorter spans (about 20 s)");
  CLI11_PARSE(app, argc, argv);
  if (quick) used = {100, 50, 100, 3, 3};
  try {
    figures f;
    progress("direct commands through tovlink::Robot");
    const auto direct = direct_commands(used.exchanges);
    f.direct_median_ms = percentile(direct, 0.5);
    daemon_run daemon;
    progress("the same commands through the daemon");
    f.daemon_median_ms = percentile(daemon_commands(daemon, used.exchanges), 0.5);
    progress("status calls");
    const auto status = status_calls(daemon, used.status_calls);
    f.status_median_ms = percentile(status, 0.5);
    f.status_p95_ms = percentile(status, 0.95);
    progress("WebSocket watchers");
    watchers(daemon, used, f);
    std::this_thread::sleep_for(milliseconds{500});
    progress("idle");
    idle(daemon, used, f);
    print(f, used);
  } catch (const std::exception &error) {
    std::fprintf(stderr, "tovlinkd-bench: %s\n", error.what());
    return 1;
  }
  return 0;
}

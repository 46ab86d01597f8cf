// tovlinkd-soak-bench: the daemon with many virtual robots and as many
// WebSocket watchers, for a long run (default 100 robots, 100 watchers,
// 10 minutes; --minutes sets the length):
//   - every command answered: a client on the Unix socket sends commands to
//     the robots in turn, one after another, and counts the replies;
//   - no telemetry gap: each watcher watches one robot and records the time
//     between telemetry messages; a gap is a second or more with none;
//   - memory flat: the daemon's resident set at the start, the middle and
//     the end of the run.
// It also reports the daemon's CPU over the run.  A measuring program, not a
// test: it prints figures and says which targets were met.
#include <CLI/CLI.hpp>

#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
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

namespace {

namespace fs = std::filesystem;
using bench_clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using tovlink::service::testing::child_process;
using tovlink::service::testing::cpu_seconds;
using tovlink::service::testing::line_client;
using tovlink::service::testing::memory_kib;
using tovlink::service::testing::websocket_client;

struct settings {
  int robots = 100;
  int watchers = 100;
  double minutes = 10;
  int watch_hz = 10;
  int commands_hz = 20;
};

// A gap: this long or longer without telemetry on a watched robot.
constexpr milliseconds k_gap{1000};

double seconds_since(bench_clock::time_point start) {
  return std::chrono::duration<double>(bench_clock::now() - start).count();
}

void progress(const std::string &step) {
  std::fprintf(stderr, "tovlinkd-soak-bench: %s\n", step.c_str());
}

std::string load_average() {
  double load[3] = {0, 0, 0};
  if (::getloadavg(load, 3) != 3) return "?";
  char text[64];
  std::snprintf(text, sizeof text, "%.2f %.2f %.2f", load[0], load[1], load[2]);
  return text;
}

double percentile(std::vector<double> samples, double share) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  return samples[static_cast<std::size_t>(share * static_cast<double>(samples.size() - 1))];
}

std::string robot_name(int index) {
  return "r" + std::to_string(index);
}

class daemon_run {
 public:
  explicit daemon_run(const settings &used) {
    char pattern[] = "/tmp/tovlinkd-soak-XXXXXX";
    dir_ = ::mkdtemp(pattern);
    socket = (dir_ / "d.sock").string();
    std::vector<std::string> args{TOVLINKD_PATH,
                                  "--socket",
                                  socket,
                                  "--listen",
                                  "127.0.0.1:0",
                                  "--max-clients",
                                  std::to_string(used.watchers + 16)};
    for (int i = 0; i < used.robots; ++i) {
      args.push_back("--sim");
      args.push_back(robot_name(i));
    }
    process = std::make_unique<child_process>(args);
    const auto listening = process->wait_for_line("listening on http://", std::chrono::seconds{30});
    if (!listening) throw std::runtime_error("the daemon did not start");
    port = static_cast<unsigned short>(std::stoi(listening->substr(listening->rfind(':') + 1)));
    for (int i = 0; i < used.robots; ++i) {
      if (!process->wait_for_line("robot " + robot_name(i) + ": ready",
                                  std::chrono::seconds{120})) {
        throw std::runtime_error("robot " + robot_name(i) + " never became ready");
      }
    }
  }
  ~daemon_run() {
    process->stop(SIGTERM, std::chrono::seconds{30});
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
  daemon_run(const daemon_run &) = delete;
  daemon_run &operator=(const daemon_run &) = delete;

  std::string socket;
  unsigned short port = 0;
  std::unique_ptr<child_process> process;

 private:
  fs::path dir_;
};

struct watcher {
  std::unique_ptr<websocket_client> client;
  int telemetry = 0;
  int gaps = 0;
  int lost = 0;  // state messages saying "lost"
  double longest_ms = 0;
  bench_clock::time_point last;
};

struct command_figures {
  long sent = 0;
  long answered_ok = 0;
  long answered_failed = 0;
  long unanswered = 0;
  std::vector<double> latency_ms;
  std::string first_failure;
};

// One command after another, paced to `hz`, each to the next robot in turn.
void send_commands(const daemon_run &daemon, const settings &used, const std::atomic<bool> &stop,
                   command_figures &out) {
  line_client client(daemon.socket);
  client.read_line();  // banner
  const auto period = std::chrono::duration_cast<bench_clock::duration>(
      std::chrono::duration<double>(1.0 / used.commands_hz));
  auto next = bench_clock::now();
  for (long n = 0; !stop.load(); ++n) {
    std::this_thread::sleep_until(next);
    next += period;
    const std::string id = std::to_string(n);
    const auto start = bench_clock::now();
    client.send_line(R"({"cmd":"speed","robot":")" + robot_name(static_cast<int>(n % used.robots)) +
                     R"(","speed":)" + std::to_string(100 + n % 100) + R"(,"id":)" + id + "}");
    ++out.sent;
    std::optional<std::string> reply;
    // Pushed lines, if any, are not replies: skip them.
    while ((reply = client.read_line(milliseconds{5000})) &&
           reply->find(R"("class":"reply")") == std::string::npos) {
    }
    if (!reply) {
      ++out.unanswered;
      continue;
    }
    out.latency_ms.push_back(
        std::chrono::duration<double, std::milli>(bench_clock::now() - start).count());
    if (reply->find(R"("ok":true)") != std::string::npos &&
        reply->find(R"("id":)" + id) != std::string::npos) {
      ++out.answered_ok;
    } else {
      ++out.answered_failed;
      if (out.first_failure.empty()) out.first_failure = *reply;
    }
  }
}

std::vector<watcher> connect_watchers(const daemon_run &daemon, const settings &used) {
  const std::string authority = "127.0.0.1:" + std::to_string(daemon.port);
  std::vector<watcher> watchers;
  for (int i = 0; i < used.watchers; ++i) {
    watcher w;
    w.client =
        std::make_unique<websocket_client>(daemon.port, "/ws", authority, "http://" + authority);
    if (w.client->status() != 101) throw std::runtime_error("a watcher was refused");
    w.client->send_text(R"({"cmd":"watch","robot":")" + robot_name(i % used.robots) +
                        R"(","rate_hz":)" + std::to_string(used.watch_hz) + "}");
    watchers.push_back(std::move(w));
  }
  return watchers;
}

void take_messages(watcher &w, bench_clock::time_point now, bool counting) {
  w.client->pump();
  while (auto message = w.client->pop_message()) {
    if (message->find(R"("class":"telemetry")") != std::string::npos) {
      if (counting) {
        ++w.telemetry;
        const double since = std::chrono::duration<double, std::milli>(now - w.last).count();
        w.longest_ms = std::max(w.longest_ms, since);
        if (since >= static_cast<double>(k_gap.count())) ++w.gaps;
      }
      w.last = now;
    } else if (message->find(R"("state":"lost")") != std::string::npos) {
      ++w.lost;
    }
  }
}

struct memory_sample {
  double at_s;
  long rss_kib;
};

const char *verdict(bool met) {
  return met ? "met" : "MISSED";
}

}  // namespace

int main(int argc, char **argv) {
  settings used;
  CLI::App app{"tovlinkd-soak-bench: a daemon with many robots and watchers over a long run"};
  app.add_option("--minutes", used.minutes, "Length of the measured run")
      ->check(CLI::Range(0.05, 600.0));
  app.add_option("--robots", used.robots, "Virtual robots in the daemon")
      ->check(CLI::Range(1, 500));
  app.add_option("--watchers", used.watchers, "WebSocket watchers, one robot each in turn")
      ->check(CLI::Range(1, 500));
  app.add_option("--watch-hz", used.watch_hz, "Each watcher's telemetry rate")
      ->check(CLI::Range(1, 10));
  app.add_option("--commands-hz", used.commands_hz, "Commands per second, to the robots in turn")
      ->check(CLI::Range(1, 200));
  CLI11_PARSE(app, argc, argv);
  try {
    const std::string load_before = load_average();
    progress("starting the daemon with " + std::to_string(used.robots) + " virtual robots");
    const auto connect_start = bench_clock::now();
    daemon_run daemon(used);
    const double connect_s = seconds_since(connect_start);
    const pid_t pid = daemon.process->pid();
    progress("connecting " + std::to_string(used.watchers) + " watchers");
    auto watchers = connect_watchers(daemon, used);
    // Let every watch start before counting.
    const auto settle_until = bench_clock::now() + milliseconds{2000};
    while (bench_clock::now() < settle_until) {
      for (auto &w : watchers) take_messages(w, bench_clock::now(), false);
      std::this_thread::sleep_for(milliseconds{20});
    }
    std::vector<pollfd> fds;
    for (const auto &w : watchers) fds.push_back({w.client->fd(), POLLIN, 0});

    std::atomic<bool> stop{false};
    command_figures commands;
    char span_text[64];
    std::snprintf(span_text, sizeof span_text, "measuring for %.1f min", used.minutes);
    progress(span_text);
    const auto start = bench_clock::now();
    for (auto &w : watchers) w.last = start;
    const double cpu_before = cpu_seconds(pid);
    std::thread commander([&] { send_commands(daemon, used, stop, commands); });
    std::vector<memory_sample> memory{{0, memory_kib(pid, "VmRSS")}};
    const double span_s = used.minutes * 60;
    auto next_sample = start + std::chrono::seconds{10};
    std::string load_middle;
    while (seconds_since(start) < span_s) {
      ::poll(fds.data(), fds.size(), 50);
      const auto now = bench_clock::now();
      for (std::size_t i = 0; i < watchers.size(); ++i) {
        if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
          take_messages(watchers[i], now, true);
        }
      }
      if (now >= next_sample) {
        memory.push_back({seconds_since(start), memory_kib(pid, "VmRSS")});
        if (load_middle.empty() && seconds_since(start) >= span_s / 2) load_middle = load_average();
        next_sample += std::chrono::seconds{10};
      }
    }
    stop.store(true);
    commander.join();
    const double measured_s = seconds_since(start);
    const double cpu = (cpu_seconds(pid) - cpu_before) / measured_s * 100.0;
    // The last stretch counts as a gap too if a robot went quiet at the end.
    const auto end = bench_clock::now();
    for (auto &w : watchers) {
      const double since = std::chrono::duration<double, std::milli>(end - w.last).count();
      w.longest_ms = std::max(w.longest_ms, since);
      if (since >= static_cast<double>(k_gap.count())) ++w.gaps;
    }
    memory.push_back({measured_s, memory_kib(pid, "VmRSS")});

    int fewest = watchers.front().telemetry;
    int most = fewest;
    int gaps = 0;
    int lost = 0;
    double longest = 0;
    for (const auto &w : watchers) {
      fewest = std::min(fewest, w.telemetry);
      most = std::max(most, w.telemetry);
      gaps += w.gaps;
      lost += w.lost;
      longest = std::max(longest, w.longest_ms);
    }
    const long rss_start = memory.front().rss_kib;
    const long rss_middle = memory[memory.size() / 2].rss_kib;
    const long rss_end = memory.back().rss_kib;
    long rss_max = 0;
    for (const auto &sample : memory) rss_max = std::max(rss_max, sample.rss_kib);
    // Flat: the second half adds no more than 1 % (or 1 MiB) to the first.
    const long allowance = std::max(1024L, rss_middle / 100);
    const bool flat = rss_end - rss_middle <= allowance;
    const bool all_answered = commands.unanswered == 0 && commands.answered_failed == 0;

    std::printf("tovlinkd-soak-bench: %d robots, %d watchers at %d Hz, %d commands/s, %.1f min\n",
                used.robots, used.watchers, used.watch_hz, used.commands_hz, measured_s / 60);
    std::printf("machine: %u cores; load average before %s, middle %s, after %s\n",
                std::thread::hardware_concurrency(), load_before.c_str(),
                load_middle.empty() ? "-" : load_middle.c_str(), load_average().c_str());
    std::printf("all robots ready %.1f s after the daemon started\n\n", connect_s);
    std::printf(
        "commands: %ld sent, %ld answered ok, %ld answered with an error, %ld unanswered"
        "  -> every command answered: %s\n",
        commands.sent, commands.answered_ok, commands.answered_failed, commands.unanswered,
        verdict(all_answered));
    if (!commands.first_failure.empty()) {
      std::printf("  first failure: %s\n", commands.first_failure.c_str());
    }
    std::printf("  round trip median %.2f ms, p99 %.2f ms, max %.2f ms\n",
                percentile(commands.latency_ms, 0.5), percentile(commands.latency_ms, 0.99),
                percentile(commands.latency_ms, 1.0));
    const double expected = used.watch_hz * measured_s;
    std::printf(
        "telemetry per watcher: %d-%d (%.0f expected at %d Hz); longest interval %.0f ms;"
        " gaps of %lld ms or more: %d; lost states: %d  -> no gap: %s\n",
        fewest, most, expected, used.watch_hz, longest, static_cast<long long>(k_gap.count()), gaps,
        lost, verdict(gaps == 0 && lost == 0));
    std::printf(
        "daemon resident set (KiB): start %ld, middle %ld, end %ld, highest %ld"
        "  -> flat (end within %ld KiB of the middle): %s\n",
        rss_start, rss_middle, rss_end, rss_max, allowance, verdict(flat));
    std::printf("daemon CPU over the run (its virtual robots included): %.1f %% of one core\n",
                cpu);
  } catch (const std::exception &error) {
    std::fprintf(stderr, "tovlinkd-soak-bench: %s\n", error.what());
    return 1;
  }
  return 0;
}

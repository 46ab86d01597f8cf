// tovlinkd-admission-bench: who gets in while a stranger holds the HTTP port.
// An attacker on loopback keeps N TCP connections open to the daemon's HTTP
// port (default 1,000), reopening each one the daemon closes at once, in two
// ways: idle (connect and say nothing) and drip-fed (a request head one byte
// at a time, a byte every 100 ms on each).  Meanwhile a Unix client and a
// WebSocket client with the token connect again and again; each is timed
// from connect to the reply to its first request (target: within 1 s,
// every time).  It is a measuring program, not a test: it prints figures and
// says whether the target was met.
#include <CLI/CLI.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <signal.h>
#include <algorithm>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
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
using tovlink::service::testing::line_client;
using tovlink::service::testing::websocket_client;

const std::string token = "bench-token";

double ms_since(bench_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(bench_clock::now() - start).count();
}

int tcp_connect(unsigned short port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) != 0 &&
      errno != EINPROGRESS) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Keeps `count` connections open to `port`, reopening each one the daemon
// closes; with `drip`, each sends one more byte of a request head every
// 100 ms.  Counts the reopenings.
class attacker {
 public:
  attacker(unsigned short port, int count, bool drip) : port_(port), drip_(drip) {
    fds_.resize(static_cast<std::size_t>(count), -1);
    sent_.resize(fds_.size(), 0);
    thread_ = std::thread([this] { run(); });
  }
  ~attacker() {
    stop_ = true;
    thread_.join();
    for (const int fd : fds_) {
      if (fd >= 0) ::close(fd);
    }
  }
  long reopened() const { return reopened_; }
  int open_now() const { return open_now_; }

 private:
  void run() {
    const std::string head =
        "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: " + std::string(4000, 'x') + "\r\n\r\n";
    auto next_drip = bench_clock::now();
    while (!stop_) {
      for (auto &fd : fds_) {
        if (fd < 0) fd = tcp_connect(port_);
      }
      std::vector<pollfd> watched;
      for (const int fd : fds_) watched.push_back({fd, POLLIN, 0});
      ::poll(watched.data(), watched.size(), 20);
      int open = 0;
      for (std::size_t i = 0; i < fds_.size(); ++i) {
        if (fds_[i] < 0) continue;
        if (watched[i].revents & (POLLIN | POLLHUP | POLLERR)) {
          char buffer[512];
          const ssize_t got = ::recv(fds_[i], buffer, sizeof(buffer), MSG_DONTWAIT);
          if (got <= 0 && !(got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))) {
            ::close(fds_[i]);
            fds_[i] = -1;
            sent_[i] = 0;
            ++reopened_;
            continue;
          }
        }
        ++open;
      }
      open_now_ = open;
      if (drip_ && bench_clock::now() >= next_drip) {
        next_drip += milliseconds{100};
        for (std::size_t i = 0; i < fds_.size(); ++i) {
          if (fds_[i] < 0) continue;
          ::send(fds_[i], head.data() + sent_[i] % head.size(), 1, MSG_NOSIGNAL | MSG_DONTWAIT);
          ++sent_[i];
        }
      }
    }
  }

  unsigned short port_;
  bool drip_;
  std::vector<int> fds_;
  std::vector<std::size_t> sent_;
  std::atomic<bool> stop_{false};
  std::atomic<long> reopened_{0};
  std::atomic<int> open_now_{0};
  std::thread thread_;
};

struct timings {
  std::vector<double> ms;
  int failed = 0;
  void print(const char *what) {
    std::sort(ms.begin(), ms.end());
    const auto at = [&](double share) {
      return ms.empty() ? 0.0 : ms[static_cast<std::size_t>(share * double(ms.size() - 1))];
    };
    const auto over = std::count_if(ms.begin(), ms.end(), [](double v) { return v > 1000; });
    std::printf(
        "  %-22s %3zu served, %d failed; median %7.1f ms, p95 %7.1f ms, max %7.1f ms; "
        "over 1 s: %ld\n",
        what, ms.size(), failed, at(0.5), at(0.95), ms.empty() ? 0.0 : ms.back(),
        static_cast<long>(over));
  }
  bool met() const {
    return failed == 0 && std::all_of(ms.begin(), ms.end(), [](double v) { return v <= 1000; });
  }
};

void time_unix(const std::string &path, timings &into) {
  const auto start = bench_clock::now();
  line_client client(path);
  const auto banner = client.connected() ? client.read_line(milliseconds{5000}) : std::nullopt;
  const bool sent = banner && client.send_line(R"({"cmd":"devices"})");
  const auto reply = sent ? client.read_line(milliseconds{5000}) : std::nullopt;
  if (reply && reply->find("\"ok\":true") != std::string::npos) {
    into.ms.push_back(ms_since(start));
  } else {
    ++into.failed;
  }
}

void time_websocket(unsigned short port, timings &into) {
  const auto start = bench_clock::now();
  const std::string authority = "127.0.0.1:" + std::to_string(port);
  websocket_client client(port, "/ws?token=" + token, authority, "http://" + authority);
  const auto banner =
      client.status() == 101 ? client.read_message(milliseconds{5000}) : std::nullopt;
  const bool sent = banner && client.send_text(R"({"cmd":"devices"})");
  const auto reply = sent ? client.read_message(milliseconds{5000}) : std::nullopt;
  if (reply && reply->find("\"ok\":true") != std::string::npos) {
    into.ms.push_back(ms_since(start));
  } else {
    ++into.failed;
  }
}

}  // namespace

int main(int argc, char **argv) {
  int connections = 1000;
  int rounds = 50;
  CLI::App app{"tovlinkd-admission-bench: clients served while a stranger holds the HTTP port"};
  app.add_option("--connections", connections, "Connections the attacker holds")
      ->capture_default_str();
  app.add_option("--rounds", rounds, "Connects of each client per attack")->capture_default_str();
  CLI11_PARSE(app, argc, argv);

  rlimit limit{};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &limit);

  char pattern[] = "/tmp/tovlinkd-admission-bench-XXXXXX";
  const fs::path dir = ::mkdtemp(pattern);
  const std::string socket_path = (dir / "d.sock").string();
  std::ofstream(dir / "token") << token << "\n";
  // The daemon gets the same descriptor limit as a systemd service (1024).
  child_process daemon({"/usr/bin/prlimit", "--nofile=1024:1024", TOVLINKD_PATH, "--sim", "a",
                        "--socket", socket_path, "--listen", "127.0.0.1:0", "--token-file",
                        (dir / "token").string()});
  const auto listening = daemon.wait_for_line("listening on http://", milliseconds{10000});
  if (!listening || !daemon.wait_for_line("robot a: ready", milliseconds{20000})) {
    std::fprintf(stderr, "the daemon did not start\n");
    return 1;
  }
  const auto port =
      static_cast<unsigned short>(std::stoi(listening->substr(listening->rfind(':') + 1)));

  bool met = true;
  for (const bool drip : {false, true}) {
    std::printf("%d %s TCP connections from loopback, reopened when closed:\n", connections,
                drip ? "drip-feeding" : "idle");
    attacker attack(port, connections, drip);
    std::this_thread::sleep_for(milliseconds{2000});
    timings local;
    timings remote;
    for (int i = 0; i < rounds; ++i) {
      time_unix(socket_path, local);
      time_websocket(port, remote);
      std::this_thread::sleep_for(milliseconds{100});
    }
    local.print("Unix client");
    remote.print("WebSocket with token");
    std::printf("  attacker: %d open at the end, %ld reopened in all\n", attack.open_now(),
                attack.reopened());
    met = met && local.met() && remote.met();
  }
  daemon.stop(SIGTERM, milliseconds{10000});
  std::error_code ignored;
  fs::remove_all(dir, ignored);
  std::printf("target (each client served within 1 s, every time): %s\n", met ? "met" : "MISSED");
  return 0;
}

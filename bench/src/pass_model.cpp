#include "pass_model.h"

#include <sys/prctl.h>

#include <atomic>
#include <cerrno>
#include <ctime>
#include <mutex>
#include <thread>

namespace tovlink::bench {
namespace {

constexpr long k_pass_ns = 1'000'000;
constexpr long k_second_ns = 1'000'000'000;

timespec now_monotonic() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now;
}

timespec plus_ns(timespec time, long ns) {
  time.tv_nsec += ns;
  while (time.tv_nsec >= k_second_ns) {
    time.tv_nsec -= k_second_ns;
    time.tv_sec += 1;
  }
  return time;
}

bool not_after(const timespec &a, const timespec &b) {
  return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec <= b.tv_nsec);
}

void sleep_until(const timespec &deadline) {
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
  }
}

// As the library's host-side poll sleeps: 1 ms from now, timer slack lowered
// for the sleep and put back after it.
void host_poll_sleep() {
  int previous_slack = prctl(PR_GET_TIMERSLACK, 0UL, 0UL, 0UL, 0UL);
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  sleep_until(plus_ns(now_monotonic(), k_pass_ns));
  if (previous_slack > 0)
    prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(previous_slack), 0UL, 0UL, 0UL);
}

// The library's worker grid: a worker more than a pass late starts afresh.
void wait_for_next_pass(timespec &next_pass) {
  if (not_after(next_pass, now_monotonic())) next_pass = plus_ns(now_monotonic(), k_pass_ns);
  sleep_until(next_pass);
  next_pass = plus_ns(next_pass, k_pass_ns);
}

int64_t own_thread_cpu_ns() {
  timespec used{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &used);
  return int64_t{used.tv_sec} * k_second_ns + used.tv_nsec;
}

class pass_model {
 public:
  pass_model() : worker_([this] { run_worker(); }) {}
  ~pass_model() {
    running_.store(false);
    worker_.join();
  }
  pass_model(const pass_model &) = delete;
  pass_model &operator=(const pass_model &) = delete;

  void exchange() {
    {
      std::lock_guard<std::mutex> guard(send_lock_);
      request_queued_ = true;
    }
    for (;;) {
      {
        std::lock_guard<std::mutex> guard(recv_lock_);
        if (reply_queued_) {
          reply_queued_ = false;
          return;
        }
      }
      host_poll_sleep();
    }
  }

 private:
  void run_worker() {
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    timespec next_pass = plus_ns(now_monotonic(), k_pass_ns);
    while (running_.load()) {
      receive_side();
      send_side();
      wait_for_next_pass(next_pass);
    }
  }

  void receive_side() {
    if (!read_pending_) {
      read_pending_ = reply_on_wire_;
      reply_on_wire_ = false;
      return;
    }
    if (!recv_lock_.try_lock()) return;
    reply_queued_ = true;
    recv_lock_.unlock();
    read_pending_ = false;
  }

  void send_side() {
    if (write_pending_) {
      reply_on_wire_ = reply_on_wire_ || request_taken_;
      write_pending_ = false;
      return;
    }
    if (!send_lock_.try_lock()) return;
    request_taken_ = request_queued_;
    request_queued_ = false;
    send_lock_.unlock();
    write_pending_ = true;
  }

  std::atomic<bool> running_{true};
  std::mutex send_lock_;
  std::mutex recv_lock_;
  bool request_queued_ = false;  // guarded by send_lock_
  bool reply_queued_ = false;    // guarded by recv_lock_
  // The worker's own.
  bool request_taken_ = false;
  bool write_pending_ = false;
  bool reply_on_wire_ = false;
  bool read_pending_ = false;
  std::thread worker_;
};

}  // namespace

summary measure_floor_exchanges(std::size_t exchanges) {
  pass_model model;
  for (int warm_up = 0; warm_up < 20; ++warm_up) model.exchange();
  std::vector<double> samples;
  samples.reserve(exchanges);
  for (std::size_t i = 0; i < exchanges; ++i) {
    auto start = bench_clock::now();
    model.exchange();
    samples.push_back(elapsed_ms(start));
  }
  return summarize(std::move(samples));
}

}  // namespace tovlink::bench

namespace tovlink::bench {

double measure_bare_pacing_core_share(double seconds) {
  int64_t used_ns = 0;
  auto start = bench_clock::now();
  std::thread sleeper([&] {
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    int64_t before = own_thread_cpu_ns();
    timespec next_pass = plus_ns(now_monotonic(), k_pass_ns);
    while (elapsed_ms(start) < seconds * 1000) wait_for_next_pass(next_pass);
    used_ns = own_thread_cpu_ns() - before;
  });
  sleeper.join();
  return static_cast<double>(used_ns) / (elapsed_ms(start) * 1e6);
}

}  // namespace tovlink::bench

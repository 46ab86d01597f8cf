#include "tovlink/motion/recorder.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <utility>

namespace tovlink::motion {
namespace {

using steady = std::chrono::steady_clock;

// How far sample i lies from the straight line between samples a and b, in
// degrees: the worst motor's distance at sample i's time, which is where a
// robot interpolating from a to b would be then.
double deviation(const std::vector<Sample> &samples, std::size_t i, std::size_t a, std::size_t b) {
  const auto &from = samples[a];
  const auto &to = samples[b];
  const double fraction = static_cast<double>((samples[i].time - from.time).count()) /
                          static_cast<double>((to.time - from.time).count());
  double worst = 0;
  for (std::size_t m = 0; m < from.positions.size(); ++m) {
    const double on_line = from.positions[m] + (to.positions[m] - from.positions[m]) * fraction;
    worst = std::max(worst, std::abs(samples[i].positions[m] - on_line));
  }
  return worst;
}

}  // namespace

Recorder::Recorder(Robot &robot, milliseconds interval) : robot_(robot), interval_(interval) {
  if (interval < min_sample_interval || interval > max_sample_interval) {
    throw std::invalid_argument("record: the interval must be " +
                                std::to_string(min_sample_interval.count()) + "-" +
                                std::to_string(max_sample_interval.count()) + " ms");
  }
  thread_ = std::jthread([this](std::stop_token stop) { run(std::move(stop)); });
}

Recorder::~Recorder() {
  stop();
}

Recording Recorder::stop() {
  if (thread_.joinable()) {
    thread_.request_stop();
    thread_.join();
  }
  const std::scoped_lock lock{mutex_};
  running_ = false;
  return std::exchange(recording_, Recording{});
}

bool Recorder::recording() const {
  const std::scoped_lock lock{mutex_};
  return running_;
}

std::size_t Recorder::sample_count() const {
  const std::scoped_lock lock{mutex_};
  return recording_.samples.size();
}

void Recorder::run(std::stop_token stop) {
  const auto begin = steady::now();
  auto next = begin;
  while (!stop.stop_requested()) {
    Sample sample;
    try {
      const auto asked = steady::now();
      sample.positions = robot_.telemetry().positions;
      // The reply tells where the motors were while the robot answered:
      // somewhere between the request and the reply.
      const auto answered = steady::now();
      sample.time = std::chrono::round<milliseconds>(asked + (answered - asked) / 2 - begin);
    } catch (const Error &error) {
      const std::scoped_lock lock{mutex_};
      recording_.error = error;
      running_ = false;
      return;
    }
    std::unique_lock lock{mutex_};
    auto &samples = recording_.samples;
    if (!samples.empty() && sample.time <= samples.back().time) {
      sample.time = samples.back().time + milliseconds{1};
    }
    if (samples.size() < max_samples) samples.push_back(sample);
    // On a fixed grid from the first sample; grid points already past are
    // skipped rather than sampled back to back.
    next += interval_;
    const auto now = steady::now();
    if (next < now) next += interval_ * ((now - next) / interval_ + 1);
    wake_.wait_until(lock, stop, next, [] { return false; });
  }
}

std::vector<Keyframe> reduce(const std::vector<Sample> &samples, double tolerance_degrees) {
  if (!std::isfinite(tolerance_degrees) || tolerance_degrees < 0) {
    throw std::invalid_argument("reduce: the tolerance must be 0 degrees or more");
  }
  for (std::size_t i = 1; i < samples.size(); ++i) {
    if (samples[i].time <= samples[i - 1].time) {
      throw std::invalid_argument("reduce: sample " + std::to_string(i) +
                                  " is not later than the one before");
    }
  }
  if (samples.empty()) return {};
  std::vector<bool> keep(samples.size(), false);
  keep.front() = keep.back() = true;
  // Iterative, so an hour of samples cannot exhaust the stack.
  std::vector<std::pair<std::size_t, std::size_t>> spans;
  if (samples.size() > 2) spans.emplace_back(0, samples.size() - 1);
  while (!spans.empty()) {
    const auto [a, b] = spans.back();
    spans.pop_back();
    std::size_t farthest = a;
    double worst = -1;
    for (std::size_t i = a + 1; i < b; ++i) {
      const double distance = deviation(samples, i, a, b);
      if (distance > worst) {
        worst = distance;
        farthest = i;
      }
    }
    if (worst <= tolerance_degrees) continue;
    keep[farthest] = true;
    if (farthest - a > 1) spans.emplace_back(a, farthest);
    if (b - farthest > 1) spans.emplace_back(farthest, b);
  }
  std::vector<Keyframe> keyframes;
  for (std::size_t i = 0; i < samples.size(); ++i) {
    if (!keep[i]) continue;
    Keyframe keyframe;
    keyframe.time = samples[i].time - samples.front().time;
    for (std::size_t m = 0; m < keyframe.angles.size(); ++m)
      keyframe.angles[m] = samples[i].positions[m];
    keyframes.push_back(keyframe);
  }
  return keyframes;
}

Motion motion_from(const std::vector<Sample> &samples, double tolerance_degrees, std::string name) {
  return Motion{std::move(name), reduce(samples, tolerance_degrees), {}};
}

}  // namespace tovlink::motion

#include "telemetry_history.hpp"

#include <algorithm>

namespace tovlink::service {

std::int64_t unix_ms_now() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

telemetry_history::telemetry_history(std::chrono::seconds keep,
                                     std::chrono::milliseconds poll_period)
    : keep_(keep),
      capacity_(keep.count() <= 0 ? 0
                                  : static_cast<std::size_t>(
                                        std::chrono::milliseconds{keep} /
                                        std::max(poll_period, std::chrono::milliseconds{1})) +
                                        1) {}

void telemetry_history::add(std::int64_t time_ms, const tovlink::Telemetry &telemetry) {
  if (!enabled()) return;
  const std::int64_t oldest_kept = time_ms - std::chrono::milliseconds{keep_}.count();
  std::lock_guard lock(mutex_);
  // The wall clock may step back (NTP setting a clock that started wrong):
  // what now lies in the future would hide the new readings from `since`.
  // A reading of the same millisecond replaces the one before.
  while (!samples_.empty() && samples_.back().time_ms >= time_ms) samples_.pop_back();
  while (!samples_.empty() &&
         (samples_.size() >= capacity_ || samples_.front().time_ms < oldest_kept)) {
    samples_.pop_front();
  }
  samples_.push_back({time_ms, telemetry});
}

std::vector<history_sample> telemetry_history::since(std::int64_t from_ms,
                                                     std::size_t max_samples) const {
  std::lock_guard lock(mutex_);
  const auto first = std::lower_bound(
      samples_.begin(), samples_.end(), from_ms,
      [](const history_sample &sample, std::int64_t t) { return sample.time_ms < t; });
  const auto count = static_cast<std::size_t>(samples_.end() - first);
  std::vector<history_sample> chosen;
  if (count == 0 || max_samples == 0) return chosen;
  if (count <= max_samples) return {first, samples_.end()};
  // Evenly spaced, counted back from the newest so it is always among them.
  chosen.reserve(max_samples);
  const std::size_t last = count - 1;
  for (std::size_t i = max_samples; i-- > 0;) {
    const std::size_t back = max_samples == 1 ? 0 : (last * i) / (max_samples - 1);
    chosen.push_back(*(first + static_cast<std::ptrdiff_t>(last - back)));
  }
  return chosen;
}

}  // namespace tovlink::service

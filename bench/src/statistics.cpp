#include <algorithm>
#include <cmath>
#include <numeric>

#include "bench.h"

namespace tovlink::bench {
namespace {

// Nearest-rank percentile of sorted samples.
double percentile(const std::vector<double> &sorted, double fraction) {
  auto rank = static_cast<std::size_t>(std::ceil(fraction * static_cast<double>(sorted.size())));
  return sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1];
}

}  // namespace

double elapsed_ms(bench_clock::time_point since) {
  return std::chrono::duration<double, std::milli>(bench_clock::now() - since).count();
}

summary summarize(std::vector<double> samples_ms) {
  summary result;
  if (samples_ms.empty()) return result;
  std::sort(samples_ms.begin(), samples_ms.end());
  result.count = samples_ms.size();
  result.median_ms = percentile(samples_ms, 0.5);
  result.p99_ms = percentile(samples_ms, 0.99);
  result.min_ms = samples_ms.front();
  result.max_ms = samples_ms.back();
  result.mean_ms = std::accumulate(samples_ms.begin(), samples_ms.end(), 0.0) /
                   static_cast<double>(samples_ms.size());
  return result;
}

}  // namespace tovlink::bench

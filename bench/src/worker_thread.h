// Finding the library's I/O worker among this process's threads, and reading
// what it costs: CPU time and how often it went to sleep.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <set>

namespace tovlink::bench {

std::set<pid_t> current_threads();
// The one thread in `after` that was not in `before`, if there is exactly one.
std::optional<pid_t> new_thread(const std::set<pid_t> &before, const std::set<pid_t> &after);

// CPU time the thread has used, in nanoseconds.
std::optional<int64_t> thread_cpu_ns(pid_t tid);
// Times the thread gave up the CPU of its own accord: once per sleep.
std::optional<uint64_t> voluntary_switches(pid_t tid);
// CPU time the whole process has used, in nanoseconds.
int64_t process_cpu_ns();

}  // namespace tovlink::bench

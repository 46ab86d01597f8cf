// The machine a run measured on, and how busy it was.
#pragma once

#include <string>

namespace tovlink::bench {

unsigned online_cores();
std::string cpu_model();
std::string kernel_release();
// The first three fields of /proc/loadavg: load over 1, 5 and 15 minutes.
std::string load_average();

}  // namespace tovlink::bench

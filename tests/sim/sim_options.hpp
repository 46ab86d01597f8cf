// Builders for the virtual robot's options in test tables.
#pragma once

#include <string>

#include "tovlink_sim/virtual_robot.hpp"

namespace tovlink::sim::test {

template <typename Setter>
fault_options faults(Setter set) {
  fault_options options;
  set(options);
  return options;
}

inline robot_options with_faults(const fault_options &faults) {
  robot_options options;
  options.faults = faults;
  return options;
}

inline robot_options with_link(const std::string &path, const fault_options &faults = {}) {
  robot_options options = with_faults(faults);
  options.link_path = path;
  return options;
}

}  // namespace tovlink::sim::test

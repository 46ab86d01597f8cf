#include "session.hpp"

#include <stdexcept>

#include "tovlink.h"

#ifdef TOVLINK_TOOL_WITH_SIM
#include "tovlink_sim/virtual_robot.hpp"
#else
namespace tovlink::sim {
class virtual_robot {};
}  // namespace tovlink::sim
#endif

namespace tovlink::tool {

bool virtual_robot_available() {
#ifdef TOVLINK_TOOL_WITH_SIM
  return true;
#else
  return false;
#endif
}

robot_session::robot_session() = default;

robot_session::~robot_session() {
  if (handle_ != nullptr) tovlink_end(handle_);
#ifdef TOVLINK_TOOL_WITH_SIM
  if (robot_) robot_->stop();
#endif
}

std::string robot_session::start_virtual_robot() {
#ifdef TOVLINK_TOOL_WITH_SIM
  robot_ = std::make_unique<sim::virtual_robot>();
  robot_->start();
  return robot_->slave_path();
#else
  throw std::runtime_error("this build of tovlink has no virtual robot (--sim)");
#endif
}

std::uint32_t robot_session::open(const connection_options &options, std::FILE *progress) {
  port_ = options.simulated ? start_virtual_robot() : options.port;
  {
    const progress_line spinner{progress, "connecting to " + port_};
    handle_ = tovlink_connect(port_.c_str(), options.baud);
  }
  const std::uint32_t code = tovlink_get_lasterror();
  if (handle_ == nullptr) return code == TOVLINK_OK ? TOVLINK_ERR_PORT_OPEN : code;
  link_warning_ = code;
  return TOVLINK_OK;
}

}  // namespace tovlink::tool

// One connection to the robot for the length of a command: connects on open()
// and ends the connection when destroyed.  With the virtual robot built in,
// it can also run one on a pseudo-terminal in this process.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "console.hpp"

namespace tovlink::sim {
class virtual_robot;
}

namespace tovlink::tool {

struct connection_options {
  std::string port;
  bool simulated = false;
  int baud = 115200;
};

// True where the tool was built with the virtual robot (not on Windows).
bool virtual_robot_available();

class robot_session {
 public:
  robot_session();
  ~robot_session();
  robot_session(const robot_session &) = delete;
  robot_session &operator=(const robot_session &) = delete;

  // Returns TOVLINK_OK or the connect's result code; `progress` gets the
  // spinner while the adapter dialogue runs (null: none).
  std::uint32_t open(const connection_options &options, std::FILE *progress);
  // Non-zero when the last step of the dialogue (the MLDP line) failed: the
  // connection is still used, as the library does.
  std::uint32_t link_warning() const { return link_warning_; }
  std::uint32_t *handle() const { return handle_; }
  const std::string &port() const { return port_; }

 private:
  std::string start_virtual_robot();

  std::unique_ptr<sim::virtual_robot> robot_;
  std::uint32_t *handle_ = nullptr;
  std::uint32_t link_warning_ = 0;
  std::string port_;
};

}  // namespace tovlink::tool

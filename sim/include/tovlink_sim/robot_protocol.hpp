// The command set of the link adapter and the robot behind it: one reply line
// for every command line.  See sim/README.md for the table of commands.
#pragma once

#include <string>
#include <string_view>

#include "tovlink_sim/robot_model.hpp"

namespace tovlink::sim {

inline constexpr std::string_view default_peer_id = "001EC0ABCDEF";

// Reply texts shared by several commands (each goes out followed by "\r\n").
namespace reply {
inline constexpr std::string_view ok = "OK";
inline constexpr std::string_view unknown_command = "ERR,UNKNOWN";
inline constexpr std::string_view bad_arguments = "ERR,ARGS";
inline constexpr std::string_view line_too_long = "ERR,LONG";
inline constexpr std::string_view link_refused = "ERR,LINK";
inline constexpr std::string_view no_mldp = "ERR,MODE";
}  // namespace reply

struct adapter_settings {
  std::string peer_id{default_peer_id};
  bool answer_mldp = true;  // false: "I" is answered with ERR,MODE
  bool accept_link = true;  // false: every "E,0,..." is answered with ERR,LINK
};

class robot_protocol {
 public:
  explicit robot_protocol(adapter_settings settings = {});

  // Returns the reply for one non-empty command line, "\r\n" included.
  std::string reply_to(std::string_view line, robot_model &model, time_point now);
  std::string reply_to_overlong_line() const;

  // A host closing the port drops the radio link with it.
  void host_disconnected() { linked_ = false; }
  bool linked() const { return linked_; }

 private:
  std::string adapter_reply(std::string_view line) const;
  std::string link_reply(std::string_view peer);

  adapter_settings settings_;
  bool linked_ = false;
};

}  // namespace tovlink::sim

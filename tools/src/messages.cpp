#include "messages.hpp"

#include "tovlink.h"

namespace tovlink::tool {

std::string describe_result(std::uint32_t code, std::string_view detail) {
  switch (code) {
    case TOVLINK_OK:
      return "ok";
    case TOVLINK_ERR_NO_CONNECTION:
    case TOVLINK_ERR_NOT_CONNECTED:
      return "not connected";
    case TOVLINK_ERR_INVALID_ARGUMENT:
      return detail.empty() ? "invalid argument" : "invalid argument: " + std::string{detail};
    case TOVLINK_ERR_EXCHANGE:
      return "no reply from the robot within 1.5 s";
    case TOVLINK_ERR_SEND_NULL:
      return "nothing to send";
    case TOVLINK_ERR_SEND_QUEUE:
      return "the command line could not be queued for sending";
    case TOVLINK_ERR_RECEIVE:
      return "no complete reply from the robot";
    default:
      return "failed with result code " + std::to_string(code);
  }
}

std::string describe_connect_failure(std::uint32_t code, std::string_view port) {
  const std::string prefix = "connect failed: ";
  switch (code) {
    case TOVLINK_ERR_PORT_OPEN:
      return prefix + "could not open the serial port '" + std::string{port} +
             "' (missing, busy, or not a serial device)";
    case TOVLINK_ERR_RECEIVE:
      return prefix + "the adapter did not answer the reset (no CMD reply to R,1)";
    case TOVLINK_ERR_CONNECT_RESET_SEND:
      return prefix + "could not send the reset line (R,1)";
    case TOVLINK_ERR_CONNECT_PEER_SEND:
      return prefix + "could not send the peer id request (GDH)";
    case TOVLINK_ERR_CONNECT_PEER_REPLY:
      return prefix + "no usable peer id from the adapter (reply to GDH missing or too long)";
    case TOVLINK_ERR_CONNECT_LINK_SEND:
      return prefix + "could not send the link line (E,0,...)";
    case TOVLINK_ERR_CONNECT_LINK_REPLY:
      return prefix + "the adapter refused the link (no AOK reply to E,0,...)";
    case TOVLINK_ERR_CONNECT_INFO_SEND:
      return prefix + "could not send the info line (I)";
    default:
      return prefix + describe_result(code);
  }
}

}  // namespace tovlink::tool

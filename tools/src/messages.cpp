#include "messages.hpp"

#include <array>
#include <cerrno>
#include <system_error>
#include <utility>

namespace tovlink::tool {
namespace {

// What the adapter dialogue step that failed means, for a failed connect.
std::string_view connect_step(tovlink::errc code) {
  switch (code) {
    case tovlink::errc::receive_timeout:
      return "the adapter did not answer the reset (no CMD reply to R,1)";
    case tovlink::errc::connect_reset_send:
      return "could not send the reset line (R,1)";
    case tovlink::errc::connect_peer_send:
      return "could not send the peer id request (GDH)";
    case tovlink::errc::connect_peer_reply:
      return "no usable peer id from the adapter (reply to GDH missing or too long)";
    case tovlink::errc::connect_link_send:
      return "could not send the link line (E,0,...)";
    case tovlink::errc::connect_link_reply:
      return "the adapter refused the link (no AOK reply to E,0,...)";
    case tovlink::errc::connect_info_send:
      return "could not send the info line (I)";
    case tovlink::errc::cancelled:
      return "interrupted";
    default:
      return {};
  }
}

// What to do about a port that would not open, by the system's reason.
std::string_view port_open_hint(int system_error) {
  switch (system_error) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return "missing: is the adapter plugged in, and the name right?";
    case EBUSY:
      return "busy: another program holds it (the service tovlinkd, or another tovlink)";
    case EACCES:
    case EPERM:
      return "no permission: join the group that owns the port (often 'dialout')";
    default:
      return {};
  }
}

bool mentions(std::string_view text, std::string_view word) {
  return text.find(word) != std::string_view::npos;
}

}  // namespace

failure failure_from(const tovlink::Error &error, const std::string &context) {
  const auto code = error.value();
  std::string message = error.what();
  if (!context.empty()) {
    // A connect: the port, then the dialogue step that failed or the system's
    // reason the port would not open.
    message = context + " failed: ";
    if (code == tovlink::errc::port_open) {
      const int number = error.system_error_number();
      message += "could not open the serial port";
      message += number != 0 ? ": " + std::system_category().message(number)
                             : " (" + std::string{error.what()} + ")";
      const auto hint = port_open_hint(number);
      if (!hint.empty()) message += " (" + std::string{hint} + ")";
    } else {
      const auto step = connect_step(code);
      message += step.empty() ? std::string{error.what()} : std::string{step};
    }
  }
  return failure{message, static_cast<int>(code), std::string{tovlink::error_name(code)},
                 error.sent() ? reached::maybe : reached::nothing,
                 code == tovlink::errc::link_lost};
}

std::string_view reached_text(reached sent) {
  return sent == reached::maybe ? "the command was sent; the robot may have acted on it"
                                : "nothing reached the robot";
}

std::string failure_message(const failure &error) {
  std::string message = error.what();
  if (error.link_lost()) return message;
  // The C++ API's texts may already say whether the line went out.
  if (!mentions(message, "sent") && !mentions(message, "reached") &&
      !mentions(message, "connect")) {
    message += " (" + std::string{reached_text(error.sent())} + ")";
  }
  return message;
}

}  // namespace tovlink::tool

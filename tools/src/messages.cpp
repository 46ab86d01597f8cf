#include "messages.hpp"

#include <array>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <system_error>
#include <utility>

#ifndef _WIN32
#include <sys/stat.h>
#include <sys/sysmacros.h>
#endif

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
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
      return "busy: another program holds it (the service tovlinkd, or another tovlink)";
    case EACCES:
    case EPERM:
      return "no permission: join the group that owns the port (often 'dialout')";
    default:
      return {};
  }
}

// What to do about a port another process holds, when it is known which.
std::string busy_hint(const std::string &holder) {
  if (holder.starts_with("tovlinkd ")) {
    return "busy: the robot service " + holder +
           " holds it; go through the service: leave out --port and --direct (tovlink devices "
           "lists its robots)";
  }
  return "busy: " + holder + " holds it";
}

bool mentions(std::string_view text, std::string_view word) {
  return text.find(word) != std::string_view::npos;
}

}  // namespace

failure failure_from(const tovlink::Error &error, const std::string &context,
                     const std::string &holder) {
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
      const auto hint = holder.empty() ? std::string{port_open_hint(number)} : busy_hint(holder);
      if (!hint.empty()) message += " (" + hint + ")";
    } else {
      const auto step = connect_step(code);
      message += step.empty() ? std::string{error.what()} : std::string{step};
    }
  }
  return failure{message, static_cast<int>(code), std::string{tovlink::error_name(code)},
                 error.sent() ? reached::maybe : reached::nothing,
                 code == tovlink::errc::link_lost};
}

// The robot's library locks the port it opens (flock): the kernel's table of
// locks names the process by the device's inode.
std::string port_holder(const std::string &port) {
#ifdef _WIN32
  (void)port;
  return {};
#else
  const std::string path = port.starts_with('/') ? port : "/dev/" + port;
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return {};
  std::array<char, 64> wanted{};
  std::snprintf(wanted.data(), wanted.size(), "%02x:%02x:%llu", ::major(status.st_dev),
                ::minor(status.st_dev), static_cast<unsigned long long>(status.st_ino));
  std::ifstream locks{"/proc/locks"};
  for (std::string line; std::getline(locks, line);) {
    // "1: FLOCK  ADVISORY  WRITE 1234 00:19:3 0 EOF"; waiters are marked "->".
    std::istringstream fields{line};
    std::string number, kind, mode, access, pid, file;
    fields >> number >> kind >> mode >> access >> pid >> file;
    if (kind != "FLOCK" || file != wanted.data()) continue;
    std::ifstream comm{"/proc/" + pid + "/comm"};
    std::string name;
    std::getline(comm, name);
    return (name.empty() ? std::string{"process"} : name) + " (pid " + pid + ")";
  }
  return {};
#endif
}

std::string_view reached_text(reached sent) {
  return sent == reached::maybe ? "the command was sent; the robot may have acted on it"
                                : "nothing reached the robot";
}

std::string failure_message(const failure &error) {
  std::string message = error.what();
  if (error.link_lost() || error.name() == "bad_usage") return message;
  // The C++ API's texts may already say whether the line went out.
  if (!mentions(message, "sent") && !mentions(message, "reached") &&
      !mentions(message, "connect")) {
    message += " (" + std::string{reached_text(error.sent())} + ")";
  }
  return message;
}

}  // namespace tovlink::tool

// Fuzz target: tovlinkd's request parser and validator on arbitrary bytes,
// and the reply it would send.  Whatever comes in, the parser answers with a
// request whose arguments are within their limits, or with an error reply
// that is itself valid JSON and says whether anything was sent; it never
// throws or crashes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "protocol.hpp"

namespace {

using namespace tovlink::service;

void check(bool condition) {
  if (!condition) std::abort();
}

// The parser leaves the robot's limits to the library; what it hands on is
// only ever within what JSON and 32-bit integers allow.
struct argument_check {
  void operator()(const watch_cmd &watch) const {
    check(!watch.rate_hz || (*watch.rate_hz >= min_watch_hz && *watch.rate_hz <= max_watch_hz));
  }
  void operator()(const history_cmd &history) const {
    check(history.max_samples >= 1 && history.max_samples <= max_history_samples);
    check(!history.since_ms || *history.since_ms >= 0);
  }
  template <typename Other>
  void operator()(const Other &) const {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string_view text{reinterpret_cast<const char *>(data), size};
  const auto parsed = parse_request(text);
  std::string reply;
  if (const auto *rejected = std::get_if<rejected_request>(&parsed)) {
    check(!rejected->error.name.empty());
    check(!rejected->error.sent);
    reply = error_reply_text(*rejected);
  } else {
    const auto &accepted = std::get<request>(parsed);
    std::visit(argument_check{}, accepted.args);
    reply = ok_reply(accepted.cmd, accepted.id, accepted.robot, json::object());
  }
  check(!json::parse(reply, nullptr, false).is_discarded());
  return 0;
}

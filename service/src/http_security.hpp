// Checks on HTTP requests that keep other web pages and other names out:
// the Host header must name this daemon (a page on another name that
// resolves to loopback cannot reach it: DNS rebinding), a WebSocket's Origin
// must be the daemon's own page, and with a token the client must present it.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tovlink::service {

class http_guard {
 public:
  // `host` as listened on (a name, an IPv4 address, or an IPv6 address with
  // or without brackets), the bound port, and whether it is a loopback
  // address (then localhost and the loopback address are accepted too).
  http_guard(std::string host, unsigned short port, bool loopback,
             std::optional<std::string> token);

  bool host_allowed(std::string_view host_header) const;
  bool origin_allowed(std::string_view origin_header) const;
  // `target` is the request target, e.g. "/ws?token=abc".  True when no
  // token is needed or the target carries the right one.
  bool token_accepted(std::string_view target) const;

  const std::vector<std::string> &authorities() const { return authorities_; }

 private:
  std::vector<std::string> authorities_;  // "127.0.0.1:8080", "localhost:8080", ...
  std::optional<std::string> token_;
};

// Compares in time that depends only on the lengths, not on where they differ.
bool equal_in_constant_time(std::string_view a, std::string_view b) noexcept;
// The value of `name` in the query part of `target`, percent-decoded.
std::optional<std::string> query_parameter(std::string_view target, std::string_view name);
// The target without its query part.
std::string_view target_path(std::string_view target) noexcept;

}  // namespace tovlink::service

// Checks on HTTP requests that keep other web pages and other names out:
// the Host header must name this daemon (a page on another name that
// resolves to it cannot reach it: DNS rebinding), a WebSocket's Origin
// must be the daemon's own page, and with a token the client must present it.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tovlink::service {

struct http_guard_config {
  // As listened on: a name, an IPv4 address, or an IPv6 address with or
  // without brackets.
  std::string host;
  unsigned short port = 0;  // the bound port
  bool loopback = false;    // the address is a loopback one
  bool wildcard = false;    // 0.0.0.0 or [::]: every address of the machine
  std::optional<std::string> token;
  // More names (or addresses) the daemon answers to (--allowed-host).
  std::vector<std::string> allowed_hosts;
};

class http_guard {
 public:
  // Loopback names (localhost, 127.0.0.1, [::1]) are accepted on a loopback
  // or wildcard address.  With a token, the machine's own names and
  // addresses are too: a client on the network has to know the token anyway,
  // and a rebinding page does not.  Without one, only loopback names.
  explicit http_guard(http_guard_config config);

  bool host_allowed(std::string_view host_header) const;
  bool origin_allowed(std::string_view origin_header) const;
  // `target` is the request target, e.g. "/ws?token=abc".  True when no
  // token is needed or the target carries the right one.
  bool token_accepted(std::string_view target) const;

  // The address to print: "http://" + this is the daemon's own page.
  const std::string &authority() const { return authority_; }

 private:
  bool name_allowed(const std::string &name) const;

  std::string authority_;
  unsigned short port_ = 0;
  bool machine_addresses_ = false;  // any address of this machine's interfaces
  std::vector<std::string> names_;  // lower case; IPv6 addresses in brackets
  std::optional<std::string> token_;
};

// The name the machine gives itself (lower case), and with ".local" added
// (how mDNS names it on a LAN).  Empty when it has none.
std::vector<std::string> machine_names();
// Whether `address` (an IPv4 address, or IPv6 in brackets) belongs to one of
// the machine's network interfaces, read now (a DHCP lease may change it).
bool is_machine_address(std::string_view address);

// Compares in time that depends only on the lengths, not on where they differ.
bool equal_in_constant_time(std::string_view a, std::string_view b) noexcept;
// The value of `name` in the query part of `target`, percent-decoded.  A '+'
// stays a '+': tokens made with base64 hold them, and the panel sends them
// percent-encoded anyway.
std::optional<std::string> query_parameter(std::string_view target, std::string_view name);
// The target without its query part.
std::string_view target_path(std::string_view target) noexcept;

}  // namespace tovlink::service

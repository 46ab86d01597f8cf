#include "http_security.hpp"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>

namespace tovlink::service {
namespace {

std::string lower(std::string_view text) {
  std::string out{text};
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

// IPv6 addresses appear in brackets in Host and Origin.
std::string bracketed(std::string host) {
  if (host.find(':') != std::string::npos && !host.starts_with('[')) {
    // Built by appending: GCC 12 at -O3 mistakes "[" + host + "]" for an
    // overlapping copy (-Wrestrict).
    host.insert(host.begin(), '[');
    host.push_back(']');
  }
  return lower(host);
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string percent_decoded(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      const int high = hex_value(text[i + 1]);
      const int low = hex_value(text[i + 2]);
      if (high >= 0 && low >= 0) {
        out.push_back(static_cast<char>(high * 16 + low));
        i += 2;
        continue;
      }
    }
    out.push_back(text[i]);
  }
  return out;
}

// Splits "name:port", "[v6]:port", "name" or "[v6]" into the name and the
// port (0 when absent, -1 when malformed).
std::pair<std::string, int> split_authority(std::string_view authority) {
  std::string_view name = authority;
  std::string_view port;
  if (authority.starts_with('[')) {
    const auto close = authority.find(']');
    if (close == std::string_view::npos) return {"", -1};
    name = authority.substr(0, close + 1);
    const auto rest = authority.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') return {"", -1};
      port = rest.substr(1);
    }
  } else if (const auto colon = authority.rfind(':'); colon != std::string_view::npos) {
    name = authority.substr(0, colon);
    port = authority.substr(colon + 1);
  }
  if (name.empty()) return {"", -1};
  if (authority.size() > name.size() && port.empty()) return {"", -1};  // "name:"
  int number = 0;
  for (const char c : port) {
    if (c < '0' || c > '9' || number > 65535) return {"", -1};
    number = number * 10 + (c - '0');
  }
  return {lower(name), port.empty() ? 0 : number};
}

}  // namespace

http_guard::http_guard(http_guard_config config)
    : port_(config.port), token_(std::move(config.token)) {
  const std::string listened = bracketed(config.host);
  authority_ = listened + ":" + std::to_string(port_);
  if (!config.wildcard) names_.push_back(listened);
  if (config.loopback || config.wildcard) {
    for (const char *name : {"localhost", "127.0.0.1", "[::1]"}) names_.emplace_back(name);
  }
  if (token_) {
    machine_addresses_ = !config.loopback;
    if (!config.loopback) {
      for (auto &name : machine_names()) names_.push_back(std::move(name));
    }
    for (const auto &name : config.allowed_hosts) names_.push_back(bracketed(name));
  }
}

bool http_guard::name_allowed(const std::string &name) const {
  if (std::find(names_.begin(), names_.end(), name) != names_.end()) return true;
  return machine_addresses_ && is_machine_address(name);
}

bool http_guard::host_allowed(std::string_view host_header) const {
  const auto [name, port] = split_authority(host_header);
  if (port < 0) return false;
  // Browsers leave the default port out.
  if (port != port_ && !(port == 0 && port_ == 80)) return false;
  return name_allowed(name);
}

bool http_guard::origin_allowed(std::string_view origin_header) const {
  const std::string origin = lower(origin_header);
  if (!origin.starts_with("http://")) return false;
  return host_allowed(std::string_view{origin}.substr(7));
}

bool http_guard::token_accepted(std::string_view target) const {
  if (!token_) return true;
  const auto given = query_parameter(target, "token");
  return given && equal_in_constant_time(*given, *token_);
}

std::vector<std::string> machine_names() {
  std::array<char, 256> name{};
  if (::gethostname(name.data(), name.size() - 1) != 0 || name[0] == '\0') return {};
  std::string host = lower(name.data());
  std::vector<std::string> names{host};
  if (host.find('.') == std::string::npos) names.push_back(host + ".local");
  return names;
}

bool is_machine_address(std::string_view address) {
  std::string text{address};
  const bool v6 = text.starts_with('[') && text.ends_with(']');
  if (v6) text = text.substr(1, text.size() - 2);
  in6_addr wanted6{};
  in_addr wanted4{};
  if (v6 ? ::inet_pton(AF_INET6, text.c_str(), &wanted6) != 1
         : ::inet_pton(AF_INET, text.c_str(), &wanted4) != 1) {
    return false;
  }
  ifaddrs *list = nullptr;
  if (::getifaddrs(&list) != 0) return false;
  bool found = false;
  for (const ifaddrs *entry = list; entry != nullptr && !found; entry = entry->ifa_next) {
    const sockaddr *socket_address = entry->ifa_addr;
    if (socket_address == nullptr) continue;
    if (v6 && socket_address->sa_family == AF_INET6) {
      const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(socket_address);
      found = std::memcmp(&in6->sin6_addr, &wanted6, sizeof(wanted6)) == 0;
    } else if (!v6 && socket_address->sa_family == AF_INET) {
      const auto *in4 = reinterpret_cast<const sockaddr_in *>(socket_address);
      found = in4->sin_addr.s_addr == wanted4.s_addr;
    }
  }
  ::freeifaddrs(list);
  return found;
}

bool equal_in_constant_time(std::string_view a, std::string_view b) noexcept {
  // Every byte of the longer one is looked at, whatever the contents.
  const std::size_t length = std::max(a.size(), b.size());
  unsigned difference = a.size() == b.size() ? 0U : 1U;
  for (std::size_t i = 0; i < length; ++i) {
    const auto x = static_cast<unsigned char>(i < a.size() ? a[i] : 0);
    const auto y = static_cast<unsigned char>(i < b.size() ? b[i] : 0);
    difference |= static_cast<unsigned>(x ^ y);
  }
  return difference == 0;
}

std::string_view target_path(std::string_view target) noexcept {
  return target.substr(0, target.find('?'));
}

std::optional<std::string> query_parameter(std::string_view target, std::string_view name) {
  const auto question = target.find('?');
  if (question == std::string_view::npos) return std::nullopt;
  std::string_view query = target.substr(question + 1);
  query = query.substr(0, query.find('#'));
  while (!query.empty()) {
    const auto amp = query.find('&');
    const std::string_view pair = query.substr(0, amp);
    const auto equals = pair.find('=');
    if (pair.substr(0, equals) == name) {
      return equals == std::string_view::npos ? std::string{}
                                              : percent_decoded(pair.substr(equals + 1));
    }
    if (amp == std::string_view::npos) break;
    query.remove_prefix(amp + 1);
  }
  return std::nullopt;
}

}  // namespace tovlink::service

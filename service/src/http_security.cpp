#include "http_security.hpp"

#include <algorithm>
#include <cctype>

namespace tovlink::service {
namespace {

std::string lower(std::string_view text) {
  std::string out{text};
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
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
    out.push_back(text[i] == '+' ? ' ' : text[i]);
  }
  return out;
}

}  // namespace

http_guard::http_guard(std::string host, unsigned short port, bool loopback,
                       std::optional<std::string> token)
    : token_(std::move(token)) {
  // IPv6 addresses appear in brackets in Host and Origin.
  // Built by appending: GCC 12 at -O3 mistakes "[" + host + "]" for an
  // overlapping copy (-Wrestrict).
  if (host.find(':') != std::string::npos && !host.starts_with('[')) {
    host.insert(host.begin(), '[');
    host.push_back(']');
  }
  std::vector<std::string> names{lower(host)};
  if (loopback) {
    names.push_back("localhost");
    names.push_back(host.starts_with('[') ? "[::1]" : "127.0.0.1");
  }
  std::string suffix(1, ':');
  suffix += std::to_string(port);
  for (const auto &name : names) {
    std::string authority = name;
    authority += suffix;
    if (std::find(authorities_.begin(), authorities_.end(), authority) == authorities_.end()) {
      authorities_.push_back(authority);
    }
    // Browsers leave the default port out.
    if (port == 80) authorities_.push_back(name);
  }
}

bool http_guard::host_allowed(std::string_view host_header) const {
  const std::string host = lower(host_header);
  return std::find(authorities_.begin(), authorities_.end(), host) != authorities_.end();
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

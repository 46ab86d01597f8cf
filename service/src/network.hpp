// Where the daemon listens: the Unix socket (line-delimited JSON) and, when
// asked, an HTTP server with the same protocol over WebSocket at /ws and the
// web panel's files.  Everything that needs Asio or Beast stays behind this
// header.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "request_handler.hpp"

namespace tovlink::service {

struct http_listen {
  std::string host;         // an address or a name, as given to --listen
  unsigned short port = 0;  // 0: any free port (reported through `announce`)
};

struct network_config {
  // The Unix socket to create (mode 0660), or -1 and an inherited listening
  // socket (socket activation), which is left to its owner on exit.
  std::string socket_path;
  int inherited_socket = -1;
  std::optional<http_listen> http;
  std::optional<std::string> token;  // WebSocket clients must present it
  // More names the HTTP side answers to (with a token only).
  std::vector<std::string> allowed_hosts;
  // Clients at once on the Unix socket, and WebSocket clients at once: a
  // budget each.
  std::size_t max_clients = 128;
  // HTTP connections not yet a WebSocket (reading a request, fetching
  // files), in all and from one address; past either, the oldest goes.
  std::size_t max_pending_http = 256;
  std::size_t max_pending_per_address = 16;
  // How long a request's head may take to arrive (idle or drip-fed).
  std::chrono::milliseconds http_request_limit{5000};
  // A client whose unsent messages pass either bound is dropped.
  std::size_t max_queued_bytes = 1024 * 1024;
  std::size_t max_queued_messages = 1000;
  std::string release;
  std::function<void(std::string_view line)> log;
};

// Resolves `host` and tells whether every address it names is a loopback one.
bool is_loopback_host(const std::string &host);

class network {
 public:
  // Binds everything (throws std::runtime_error naming what failed, with
  // nothing left behind); serving starts with run().
  network(network_config config, const request_handler &handler);
  // Closes every connection and removes the Unix socket the daemon made.
  ~network();
  network(const network &) = delete;
  network &operator=(const network &) = delete;

  // Serves until SIGTERM or SIGINT; returns the signal's number.
  int run();

  // "http://127.0.0.1:8080" once bound (empty without --listen).
  const std::string &http_url() const;

 private:
  struct impl;
  std::unique_ptr<impl> impl_;
};

}  // namespace tovlink::service

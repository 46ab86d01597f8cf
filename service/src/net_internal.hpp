// Shared by the translation units that use Asio (network.cpp,
// http_server.cpp); nothing else in the daemon includes Asio.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <atomic>
#include <cstddef>
#include <memory>

#include "http_security.hpp"
#include "network.hpp"

namespace tovlink::service {

namespace asio = boost::asio;

// Counts connected clients across every listener.
class client_slots {
 public:
  explicit client_slots(std::size_t limit) : limit_(limit) {}

  // One client's place, given back when the holder is destroyed.
  class slot {
   public:
    explicit slot(client_slots *owner = nullptr) : owner_(owner) {}
    slot(slot &&other) noexcept : owner_(std::exchange(other.owner_, nullptr)) {}
    slot &operator=(slot &&other) noexcept {
      if (this != &other) {
        release();
        owner_ = std::exchange(other.owner_, nullptr);
      }
      return *this;
    }
    ~slot() { release(); }
    explicit operator bool() const { return owner_ != nullptr; }

   private:
    void release() {
      if (owner_) owner_->used_.fetch_sub(1);
      owner_ = nullptr;
    }
    client_slots *owner_;
  };

  // An empty slot when every place is taken.
  slot take() {
    auto used = used_.load();
    do {
      if (used >= limit_) return slot{};
    } while (!used_.compare_exchange_weak(used, used + 1));
    return slot{this};
  }

 private:
  std::size_t limit_;
  std::atomic<std::size_t> used_{0};
};

struct server_context {
  asio::io_context &io;
  const request_handler &handler;
  const network_config &config;
  client_slots &slots;
};

// Starts accepting HTTP connections on `acceptor` (already listening).
void start_http_server(server_context context, asio::ip::tcp::acceptor &acceptor,
                       std::shared_ptr<const http_guard> guard);

}  // namespace tovlink::service

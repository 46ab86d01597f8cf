// Shared by the translation units that use Asio (network.cpp,
// http_server.cpp); nothing else in the daemon includes Asio.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "http_security.hpp"
#include "network.hpp"

namespace tovlink::service {

namespace asio = boost::asio;

// Counts the clients of one kind (Unix socket, WebSocket): each kind has a
// budget of its own, so strangers on the network cannot use up the places
// of local clients.
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

// HTTP connections that have not proved anything yet: reading a request,
// or fetching the panel's files.  They are cheap to open, so none is ever
// refused for want of room; instead a newcomer pushes out the oldest one
// from its own address (past the per-address cap) or from anywhere (past
// the total).  Whoever holds many idle connections only ever loses its own,
// and a client that sends its request at once is read before it is oldest.
class pending_connections {
 public:
  using evict_function = std::function<void()>;

  pending_connections(std::size_t total, std::size_t per_address)
      : total_(total), per_address_(per_address) {}

  // A place in the pool, left when destroyed.
  class ticket {
   public:
    ticket() = default;
    ticket(pending_connections *owner, std::uint64_t id) : owner_(owner), id_(id) {}
    ticket(ticket &&other) noexcept
        : owner_(std::exchange(other.owner_, nullptr)), id_(other.id_) {}
    ticket &operator=(ticket &&other) noexcept {
      if (this != &other) {
        leave();
        owner_ = std::exchange(other.owner_, nullptr);
        id_ = other.id_;
      }
      return *this;
    }
    ~ticket() { leave(); }
    void leave() {
      if (owner_) owner_->leave(id_);
      owner_ = nullptr;
    }

   private:
    pending_connections *owner_ = nullptr;
    std::uint64_t id_ = 0;
  };

  // Enters a connection from `address`; `evict` closes it (called on the
  // pool's caller's thread, never under the pool's lock).
  ticket enter(const std::string &address, evict_function evict) {
    evict_function evicted;
    ticket entered;
    {
      std::lock_guard lock(mutex_);
      auto oldest = entries_.end();
      if (counts_[address] >= per_address_) {
        oldest = std::find_if(entries_.begin(), entries_.end(),
                              [&](const entry &e) { return e.address == address; });
      } else if (entries_.size() >= total_) {
        oldest = entries_.begin();
      }
      if (oldest != entries_.end()) {
        evicted = std::move(oldest->evict);
        drop(oldest);
      }
      entries_.push_back({next_id_, address, std::move(evict)});
      ++counts_[address];
      entered = ticket{this, next_id_++};
    }
    if (evicted) evicted();
    return entered;
  }

 private:
  struct entry {
    std::uint64_t id;
    std::string address;
    evict_function evict;
  };

  void leave(std::uint64_t id) {
    std::lock_guard lock(mutex_);
    const auto found =
        std::find_if(entries_.begin(), entries_.end(), [id](const entry &e) { return e.id == id; });
    if (found != entries_.end()) drop(found);
  }

  void drop(std::list<entry>::iterator which) {
    if (--counts_[which->address] == 0) counts_.erase(which->address);
    entries_.erase(which);
  }

  std::size_t total_;
  std::size_t per_address_;
  std::mutex mutex_;
  std::list<entry> entries_;  // oldest first
  std::map<std::string, std::size_t> counts_;
  std::uint64_t next_id_ = 1;
};

struct server_context {
  asio::io_context &io;
  const request_handler &handler;
  const network_config &config;
  client_slots &unix_slots;
  client_slots &websocket_slots;
  pending_connections &pending;
};

// Starts accepting HTTP connections on `acceptor` (already listening).
void start_http_server(server_context context, asio::ip::tcp::acceptor &acceptor,
                       std::shared_ptr<const http_guard> guard);

// Runs `accept_once(done)` again and again.  Running out of descriptors
// (EMFILE, ENFILE) leaves the connection waiting in the kernel, so an
// accept re-armed at once would fail at once, spinning the I/O thread: it
// waits a while instead, and tries again once descriptors may be free.
class accept_pacer {
 public:
  accept_pacer(asio::io_context &io, std::function<void(std::string_view)> log)
      : timer_(io), log_(std::move(log)) {}

  // Calls `again` now or after a pause, depending on `error`.
  void after(const boost::system::error_code &error, std::function<void()> again);
  void cancel() { timer_.cancel(); }

 private:
  asio::steady_timer timer_;
  std::function<void(std::string_view)> log_;
  bool short_of_descriptors_ = false;
};

}  // namespace tovlink::service

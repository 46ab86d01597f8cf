#include "network.hpp"

#include <boost/asio/bind_executor.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/write.hpp>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "net_internal.hpp"
#include "outbox.hpp"

namespace tovlink::service {
namespace {

using local_stream = asio::local::stream_protocol;
using error_code = boost::system::error_code;

// One client on the Unix socket: newline-delimited JSON both ways.
class unix_session : public std::enable_shared_from_this<unix_session> {
 public:
  unix_session(local_stream::socket socket, server_context context, client_slots::slot slot)
      : socket_(std::move(socket)),
        context_(context),
        slot_(std::move(slot)),
        outbox_(context.config.max_queued_bytes, context.config.max_queued_messages) {}

  void start() {
    std::weak_ptr<unix_session> weak = shared_from_this();
    session_ = context_.handler.open_session([weak](std::string text) {
      if (auto self = weak.lock()) {
        auto &executor = self->socket_;
        ++self->posted_;
        asio::post(executor.get_executor(),
                   [self = std::move(self), text = std::move(text)]() mutable {
                     --self->posted_;
                     self->send(std::move(text));
                     self->finish_if_answered();
                   });
      }
    });
    send(version_banner(context_.config.release));
    read_more();
  }

  // A refused client hears why before the socket closes.
  void refuse(std::string reply) {
    closing_ = true;
    send(std::move(reply));
  }

 private:
  void read_more() {
    socket_.async_read_some(asio::buffer(chunk_),
                            [self = shared_from_this()](error_code error, std::size_t size) {
                              self->on_read(error, size);
                            });
  }

  void on_read(error_code error, std::size_t size) {
    if (closed_) return;
    if (error == asio::error::eof) {
      // The client's end of input (shutdown(SHUT_WR), as socat and nc -N
      // do): a last line without its line end still counts, and the
      // connection stays until every request read so far has its reply.
      input_ended_ = true;
      if (!pending_.empty() && pending_.back() != '\n') pending_.push_back('\n');
      // Nothing else keeps the session alive while replies are on their
      // way; a robot that never answers does not keep it forever.
      answer_wait_.expires_after(std::chrono::seconds{60});
      answer_wait_.async_wait([self = shared_from_this()](error_code wait_error) {
        if (!wait_error) self->close();
      });
      handle_pending();
      return;
    }
    if (error) {
      close();
      return;
    }
    pending_.append(chunk_.data(), size);
    handle_pending();
  }

  void finish_if_answered() {
    if (!input_ended_ || closed_ || closing_ || !session_) return;
    // Every reply has left the session (its sink has returned), and every
    // one of them is in the outbox (no post of one still on its way).
    if (session_->replies_outstanding() != 0 || posted_.load() != 0) return;
    closing_ = true;
    if (!writing_ && outbox_.empty()) end_output();
  }

  void end_output() {
    error_code ignored;
    socket_.shutdown(local_stream::socket::shutdown_send, ignored);
    close();
  }

  // Handles at most k_lines_per_turn requests, then lets the other clients'
  // work run before going on: one client's flood of requests must not hold
  // the others' replies back behind thousands of its own.
  void handle_pending() {
    constexpr int k_lines_per_turn = 32;
    std::size_t start = 0;
    int handled = 0;
    for (auto end = pending_.find('\n'); end != std::string::npos;
         end = pending_.find('\n', start)) {
      if (handled == k_lines_per_turn) {
        pending_.erase(0, start);
        asio::post(socket_.get_executor(), [self = shared_from_this()] {
          if (!self->closed_) self->handle_pending();
        });
        return;
      }
      std::string_view line{pending_.data() + start, end - start};
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      if (line.size() > max_request_bytes) {
        too_long();
        return;
      }
      if (!line.empty()) {
        session_->handle(line);
        ++handled;
      }
      start = end + 1;
      if (closed_) return;
    }
    pending_.erase(0, start);
    if (pending_.size() > max_request_bytes + 1) {
      too_long();
      return;
    }
    if (input_ended_) {
      finish_if_answered();
    } else {
      read_more();
    }
  }

  void too_long() {
    rejected_request rejected;
    rejected.error = make_error(daemon_error::too_large, "request: longer than 65536 bytes");
    refuse(error_reply_text(rejected));
  }

  void send(std::string text) {
    if (closed_) return;
    text.push_back('\n');
    if (!outbox_.push(std::move(text))) {
      log("client dropped: it stopped reading its replies");
      close();
      return;
    }
    if (!writing_) write_next();
  }

  void write_next() {
    writing_ = true;
    asio::async_write(
        socket_, asio::buffer(outbox_.front()),
        [self = shared_from_this()](error_code error, std::size_t) { self->on_written(error); });
  }

  void on_written(error_code error) {
    writing_ = false;
    if (error || closed_) {
      close();
      return;
    }
    outbox_.pop();
    if (!outbox_.empty()) {
      write_next();
    } else if (closing_) {
      end_output();
    }
  }

  void close() {
    if (closed_) return;
    answer_wait_.cancel();
    closed_ = true;
    error_code ignored;
    socket_.close(ignored);
    // Stops the robots' pushes at once rather than when the last handler ends.
    session_.reset();
  }

  void log(std::string_view line) const {
    if (context_.config.log) context_.config.log(line);
  }

  local_stream::socket socket_;
  server_context context_;
  client_slots::slot slot_;
  std::unique_ptr<client_session> session_;
  std::array<char, 16 * 1024> chunk_{};
  std::string pending_;
  outbox outbox_;
  bool writing_ = false;
  bool closing_ = false;                // close once everything queued is written
  bool input_ended_ = false;            // the client sent its end of input
  std::atomic<std::size_t> posted_{0};  // messages on their way to send()
  asio::steady_timer answer_wait_{socket_.get_executor()};
  bool closed_ = false;
};

std::string too_many_clients() {
  rejected_request rejected;
  rejected.error = make_error(daemon_error::busy, "connect: too many clients");
  return error_reply_text(rejected);
}

// Whether something already answers on `path`.
bool socket_answers(const std::string &path) {
  const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (probe < 0) return false;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  const bool answered =
      ::connect(probe, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) == 0;
  ::close(probe);
  return answered;
}

// Makes the socket's directory, and clears a socket left by a daemon that
// did not end cleanly.  Another daemon's live socket, or any other file, is
// left alone and reported.
void prepare_socket_path(const std::string &path) {
  namespace fs = std::filesystem;
  sockaddr_un address{};
  if (path.size() >= sizeof(address.sun_path)) {
    throw std::runtime_error("socket path " + path + " is too long");
  }
  const fs::path parent = fs::path(path).parent_path();
  std::error_code error;
  if (!parent.empty() && !fs::exists(parent, error)) {
    fs::create_directories(parent, error);
    if (error) throw std::runtime_error("cannot make " + parent.string() + ": " + error.message());
    ::chmod(parent.c_str(), 0750);
  }
  const auto status = fs::symlink_status(path, error);
  if (error || status.type() == fs::file_type::not_found) return;
  if (status.type() != fs::file_type::socket) {
    throw std::runtime_error(path + " exists and is not a socket");
  }
  if (socket_answers(path)) throw std::runtime_error("another daemon is listening on " + path);
  fs::remove(path, error);
}

}  // namespace

bool is_loopback_host(const std::string &host) {
  asio::io_context io;
  asio::ip::tcp::resolver resolver(io);
  error_code error;
  std::string bare = host;
  if (bare.size() > 2 && bare.front() == '[' && bare.back() == ']')
    bare = bare.substr(1, bare.size() - 2);
  const auto results = resolver.resolve(bare, "0", error);
  if (error || results.empty()) return false;
  for (const auto &entry : results) {
    if (!entry.endpoint().address().is_loopback()) return false;
  }
  return true;
}

void accept_pacer::after(const error_code &error, std::function<void()> again) {
  using namespace std::chrono_literals;
  // EMFILE and ENFILE as codes of the system category, compared as codes:
  // an error_condition comparison would go through a virtual call that
  // UBSan's vptr check trips over in this Boost.
  const bool out_of_descriptors = error.category() == asio::error::get_system_category() &&
                                  (error.value() == EMFILE || error.value() == ENFILE);
  if (!error || error == asio::error::connection_aborted) {
    if (short_of_descriptors_ && log_) log_("accepting connections again");
    short_of_descriptors_ = false;
    again();
    return;
  }
  if (out_of_descriptors && !short_of_descriptors_ && log_) {
    log_("out of file descriptors (" + error.message() + "): accepting again in a while");
  }
  short_of_descriptors_ = short_of_descriptors_ || out_of_descriptors;
  // Any other failure is unexpected, and may well repeat: not at full speed.
  timer_.expires_after(out_of_descriptors ? 200ms : 20ms);
  timer_.async_wait([again = std::move(again)](error_code wait_error) {
    if (!wait_error) again();
  });
}

struct network::impl {
  network_config config;
  const request_handler &handler;
  asio::io_context io{1};
  client_slots unix_slots;
  client_slots websocket_slots;
  pending_connections pending;
  local_stream::acceptor unix_acceptor{io};
  asio::ip::tcp::acceptor http_acceptor{io};
  asio::signal_set signals{io, SIGINT, SIGTERM};
  accept_pacer unix_pacer;
  bool made_socket = false;
  std::string http_url;
  int stop_signal = 0;

  impl(network_config settings, const request_handler &requests)
      : config(std::move(settings)),
        handler(requests),
        unix_slots(config.max_clients),
        websocket_slots(config.max_clients),
        pending(config.max_pending_http, config.max_pending_per_address),
        unix_pacer(io, config.log) {}

  server_context context() { return {io, handler, config, unix_slots, websocket_slots, pending}; }

  void log(std::string_view line) const {
    if (config.log) config.log(line);
  }

  void open_unix_socket() {
    if (config.inherited_socket >= 0) {
      unix_acceptor.assign(local_stream{}, config.inherited_socket);
      log("listening on the Unix socket passed by the service manager");
      return;
    }
    prepare_socket_path(config.socket_path);
    // The socket is made with mode 0660: its owner and group may connect.
    const mode_t old_mask = ::umask(0117);
    error_code error;
    unix_acceptor.open(local_stream{}, error);
    if (!error) unix_acceptor.bind(local_stream::endpoint(config.socket_path), error);
    ::umask(old_mask);
    if (error)
      throw std::runtime_error("cannot bind " + config.socket_path + ": " + error.message());
    made_socket = true;
    ::chmod(config.socket_path.c_str(), 0660);
    unix_acceptor.listen(asio::socket_base::max_listen_connections, error);
    if (error)
      throw std::runtime_error("cannot listen on " + config.socket_path + ": " + error.message());
    log("listening on " + config.socket_path);
  }

  void open_http() {
    const auto &listen = *config.http;
    asio::ip::tcp::resolver resolver(io);
    error_code error;
    std::string bare = listen.host;
    if (bare.size() > 2 && bare.front() == '[' && bare.back() == ']')
      bare = bare.substr(1, bare.size() - 2);
    const auto results = resolver.resolve(bare, std::to_string(listen.port), error);
    if (error || results.empty()) {
      throw std::runtime_error("cannot resolve " + listen.host + ": " + error.message());
    }
    const auto endpoint = results.begin()->endpoint();
    http_acceptor.open(endpoint.protocol(), error);
    if (!error) http_acceptor.set_option(asio::socket_base::reuse_address(true), error);
    if (!error) http_acceptor.bind(endpoint, error);
    if (!error) http_acceptor.listen(asio::socket_base::max_listen_connections, error);
    if (error) {
      throw std::runtime_error("cannot listen on " + listen.host + ":" +
                               std::to_string(listen.port) + ": " + error.message());
    }
    const auto bound = http_acceptor.local_endpoint();
    http_guard_config checks;
    checks.host = bare;
    checks.port = bound.port();
    checks.loopback = bound.address().is_loopback();
    checks.wildcard = bound.address().is_unspecified();
    checks.token = config.token;
    checks.allowed_hosts = config.allowed_hosts;
    auto guard = std::make_shared<const http_guard>(std::move(checks));
    http_url = "http://" + guard->authority();
    start_http_server(context(), http_acceptor, std::move(guard));
    log("listening on " + http_url);
  }

  void remove_socket() {
    if (made_socket) ::unlink(config.socket_path.c_str());
    made_socket = false;
  }

  void accept_unix() {
    unix_acceptor.async_accept(asio::make_strand(io),
                               [this](error_code error, local_stream::socket socket) {
                                 if (error == asio::error::operation_aborted) return;
                                 if (!error) welcome(std::move(socket));
                                 unix_pacer.after(error, [this] { accept_unix(); });
                               });
  }

  void welcome(local_stream::socket socket) {
    auto slot = unix_slots.take();
    const bool refused = !slot;
    auto session = std::make_shared<unix_session>(std::move(socket), context(), std::move(slot));
    if (refused) {
      session->refuse(too_many_clients());
    } else {
      session->start();
    }
  }
};

network::network(network_config config, const request_handler &handler)
    : impl_(std::make_unique<impl>(std::move(config), handler)) {
  try {
    impl_->open_unix_socket();
    if (impl_->config.http) impl_->open_http();
  } catch (...) {
    // The destructor does not run for a constructor that throws.
    impl_->remove_socket();
    throw;
  }
}

network::~network() {
  error_code ignored;
  impl_->unix_acceptor.close(ignored);
  impl_->http_acceptor.close(ignored);
  impl_->remove_socket();
  // Destroying the context closes every connection still open.
  impl_.reset();
}

int network::run() {
  impl_->accept_unix();
  impl_->signals.async_wait([this](error_code error, int number) {
    if (error) return;
    impl_->stop_signal = number;
    impl_->log(number == SIGINT ? "SIGINT: stopping" : "SIGTERM: stopping");
    error_code ignored;
    impl_->unix_acceptor.close(ignored);
    impl_->http_acceptor.close(ignored);
    impl_->unix_pacer.cancel();
    impl_->remove_socket();
    impl_->io.stop();
  });
  // A handler that throws ends only its own connection's work, never the
  // daemon: the loop goes on with everyone else.
  for (;;) {
    try {
      impl_->io.run();
      break;
    } catch (const std::exception &error) {
      impl_->log(std::string{"internal error, serving on: "} + error.what());
    } catch (...) {
      impl_->log("internal error (unknown exception), serving on");
    }
  }
  return impl_->stop_signal;
}

const std::string &network::http_url() const {
  return impl_->http_url;
}

}  // namespace tovlink::service

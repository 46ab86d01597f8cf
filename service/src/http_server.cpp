// The HTTP side of the daemon: the web panel's files by GET, /auth (whether
// a token is right), and the JSON protocol over WebSocket at /ws.  Each
// connection runs on a strand of its own.  Every request must name this
// daemon in its Host header; a WebSocket upgrade must also come from the
// daemon's own page (Origin) and, when the daemon has a token, carry it.
//
// Admission: a connection is only "pending" (pending_connections: pushed out
// by newcomers once its address or the whole pool is full) until it becomes
// an authorised WebSocket, which then holds one of --max-clients places of
// its own.  A request's head must arrive within http_request_limit.
#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <chrono>
#include <memory>
#include <string>

#include "net_internal.hpp"
#include "outbox.hpp"

#if defined(TOVLINKD_WITH_WEB_ASSETS)
#include <tovlink_web/assets.hpp>
#endif

namespace tovlink::service {
namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using error_code = boost::system::error_code;

constexpr std::size_t max_header_bytes = 8 * 1024;
constexpr std::size_t max_body_bytes = 4 * 1024;
// A WebSocket message is read in pieces of at most this, so one over the
// request limit is noticed (and refused) after about max_request_bytes.
constexpr std::size_t websocket_read_piece = 16 * 1024;
constexpr std::string_view server_name = "tovlinkd";
// No page of the daemon may be framed (clickjacking), and pages load
// nothing from elsewhere (the pages' empty icon is a data: URL).
constexpr std::string_view content_security_policy =
    "default-src 'self'; img-src 'self' data:; frame-ancestors 'none'";

using request_type = http::request<http::string_body>;
using response_type = http::response<http::string_body>;

std::string too_large_reply() {
  rejected_request rejected;
  rejected.error = make_error(daemon_error::too_large, "request: longer than 65536 bytes");
  return error_reply_text(rejected);
}

// One WebSocket client: each message is one request, each reply or pushed
// object one text message.
class websocket_session : public std::enable_shared_from_this<websocket_session> {
 public:
  websocket_session(beast::tcp_stream stream, server_context context, client_slots::slot slot)
      : ws_(std::move(stream)),
        context_(context),
        slot_(std::move(slot)),
        outbox_(context.config.max_queued_bytes, context.config.max_queued_messages) {}

  void start(request_type request) {
    beast::get_lowest_layer(ws_).expires_never();
    ws_.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
    ws_.set_option(websocket::stream_base::decorator([](websocket::response_type &response) {
      response.set(http::field::server, server_name);
    }));
    // The size is checked here, piece by piece: Beast's own limit would end
    // the connection (1009) instead of the protocol's too_large reply.
    ws_.read_message_max(0);
    ws_.text(true);
    ws_.async_accept(request, [self = shared_from_this()](error_code error) {
      if (error) return;
      self->on_accepted();
    });
  }

 private:
  void on_accepted() {
    std::weak_ptr<websocket_session> weak = shared_from_this();
    session_ = context_.handler.open_session([weak](std::string text) {
      if (auto self = weak.lock()) {
        auto executor = self->ws_.get_executor();
        asio::post(executor, [self = std::move(self), text = std::move(text)]() mutable {
          self->send(std::move(text));
        });
      }
    });
    send(version_banner(context_.config.release));
    read_more();
  }

  void read_more() {
    ws_.async_read_some(
        buffer_, websocket_read_piece,
        [self = shared_from_this()](error_code error, std::size_t) { self->on_read(error); });
  }

  void on_read(error_code error) {
    if (error || closing_) {
      shut();
      return;
    }
    if (buffer_.size() > max_request_bytes) {
      // Nothing more is read: the close handshake drops the rest unread.
      buffer_.consume(buffer_.size());
      send(too_large_reply());
      closing_ = true;
      return;
    }
    if (!ws_.is_message_done()) {
      read_more();
      return;
    }
    const auto text = beast::buffers_to_string(buffer_.data());
    buffer_.consume(buffer_.size());
    session_->handle(text);
    read_more();
  }

  void send(std::string text) {
    if (shut_) return;
    if (!outbox_.push(std::move(text))) {
      if (context_.config.log) context_.config.log("WebSocket client dropped: it stopped reading");
      shut();
      return;
    }
    if (!writing_) write_next();
  }

  void write_next() {
    writing_ = true;
    ws_.async_write(
        asio::buffer(outbox_.front()),
        [self = shared_from_this()](error_code error, std::size_t) { self->on_written(error); });
  }

  void on_written(error_code error) {
    writing_ = false;
    if (error || shut_) {
      shut();
      return;
    }
    outbox_.pop();
    if (!outbox_.empty()) {
      write_next();
    } else if (closing_) {
      // A client that never answers the close is cut off after a while.
      websocket::stream_base::timeout closing{};
      closing.handshake_timeout = std::chrono::seconds(5);
      closing.idle_timeout = std::chrono::seconds(5);
      closing.keep_alive_pings = false;
      ws_.set_option(closing);
      ws_.async_close(websocket::close_code::normal,
                      [self = shared_from_this()](error_code) { self->shut(); });
    }
  }

  // Ends the connection at once and stops the robots' pushes.
  void shut() {
    if (shut_) return;
    shut_ = true;
    session_.reset();
    error_code ignored;
    beast::get_lowest_layer(ws_).socket().close(ignored);
  }

  websocket::stream<beast::tcp_stream> ws_;
  server_context context_;
  client_slots::slot slot_;
  std::unique_ptr<client_session> session_;
  beast::flat_buffer buffer_;
  outbox outbox_;
  bool writing_ = false;
  bool closing_ = false;
  bool shut_ = false;
};

// Which transfer codings a request may use: only chunked (Beast decodes it).
bool transfer_coding_known(const request_type &request) {
  const auto field = request.find(http::field::transfer_encoding);
  if (field == request.end()) return true;
  bool known = true;
  for (const auto &coding : http::token_list{field->value()}) {
    if (!beast::iequals(coding, "chunked")) known = false;
  }
  return known;
}

// One HTTP connection: files, refusals, or the hand-over to WebSocket.
class http_session : public std::enable_shared_from_this<http_session> {
 public:
  http_session(tcp::socket socket, server_context context, std::shared_ptr<const http_guard> guard)
      : stream_(std::move(socket)), context_(context), guard_(std::move(guard)) {}

  void start() {
    error_code error;
    const auto peer = stream_.socket().remote_endpoint(error);
    if (error) return;  // gone already
    std::weak_ptr<http_session> weak = shared_from_this();
    auto executor = stream_.get_executor();
    ticket_ = context_.pending.enter(peer.address().to_string(), [weak, executor] {
      asio::post(executor, [weak] {
        if (auto self = weak.lock()) self->evict();
      });
    });
    asio::dispatch(executor, [self = shared_from_this()] { self->read_request(); });
  }

 private:
  void evict() {
    if (upgraded_) return;
    error_code ignored;
    stream_.socket().close(ignored);
  }

  void read_request() {
    parser_.emplace();
    parser_->header_limit(max_header_bytes);
    parser_->body_limit(max_body_bytes);
    stream_.expires_after(context_.config.http_request_limit);
    http::async_read_header(
        stream_, buffer_, *parser_,
        [self = shared_from_this()](error_code error, std::size_t) { self->on_header(error); });
  }

  // Whether `error` is the client's bad HTTP (answered with 400 or 413)
  // rather than a socket that failed or timed out.
  static bool malformed(const error_code &error) {
    return error.category() == http::make_error_code(http::error::bad_target).category();
  }

  void on_header(error_code error) {
    if (error) {
      on_failed_read(error);
      return;
    }
    const auto &head = parser_->get();
    const unsigned version = head.version();
    if (head.count(http::field::host) != 1) {
      refuse(http::status::bad_request, "exactly one Host header is needed\n", version);
      return;
    }
    if (!transfer_coding_known(head)) {
      refuse(http::status::not_implemented, "unknown transfer coding\n", version);
      return;
    }
    http::async_read(stream_, buffer_, *parser_,
                     [self = shared_from_this()](error_code body_error, std::size_t) {
                       self->on_request(body_error);
                     });
  }

  void on_failed_read(const error_code &error) {
    if (error == http::error::end_of_stream) {
      error_code ignored;
      stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
      return;
    }
    if (error == http::error::header_limit || error == http::error::body_limit) {
      refuse(http::status::payload_too_large, "request too large\n", 11);
    } else if (malformed(error) && error != http::error::partial_message) {
      refuse(http::status::bad_request, "malformed request (" + error.message() + ")\n", 11);
    }
  }

  void on_request(error_code error) {
    if (error) {
      on_failed_read(error);
      return;
    }
    request_type request = parser_->release();
    const unsigned version = request.version();
    const bool keep_alive = request.keep_alive();

    // Another name that resolves here (DNS rebinding) is not this daemon.
    if (!guard_->host_allowed(request[http::field::host])) {
      respond(text_response(http::status::misdirected_request, "unknown host\n", version), false);
      return;
    }
    const auto target = std::string_view{request.target().data(), request.target().size()};
    if (websocket::is_upgrade(request)) {
      upgrade(std::move(request), target);
      return;
    }
    if (request.method() != http::verb::get && request.method() != http::verb::head) {
      auto response =
          text_response(http::status::method_not_allowed, "GET or HEAD only\n", version);
      response->set(http::field::allow, "GET, HEAD");
      respond(std::move(response), keep_alive);
      return;
    }
    if (target_path(target) == "/auth") {
      respond(auth_response(guard_->token_accepted(target), version), keep_alive);
      return;
    }
    respond(asset_response(target_path(target), request.method() == http::verb::head, version),
            keep_alive);
  }

  // The panel asks here before opening /ws: a browser cannot see why a
  // WebSocket was refused, so a 401 here is how it tells "this daemon wants
  // a token" from "the daemon is down".
  static std::shared_ptr<response_type> auth_response(bool accepted, unsigned version) {
    auto response = accepted ? std::make_shared<response_type>(http::status::no_content, version)
                             : std::make_shared<response_type>(http::status::unauthorized, version);
    protect(*response);
    response->set(http::field::cache_control, "no-store");
    if (!accepted) {
      response->set(http::field::content_type, "application/json");
      response->body() = R"({"token_required":true})";
    }
    response->prepare_payload();
    return response;
  }

  void upgrade(request_type request, std::string_view target) {
    const unsigned version = request.version();
    if (target_path(target) != "/ws") {
      respond(text_response(http::status::not_found, "WebSocket only at /ws\n", version), false);
      return;
    }
    if (!guard_->origin_allowed(request[http::field::origin])) {
      respond(text_response(http::status::forbidden, "origin not allowed\n", version), false);
      return;
    }
    if (!guard_->token_accepted(target)) {
      respond(text_response(http::status::unauthorized, "token required\n", version), false);
      return;
    }
    auto slot = context_.websocket_slots.take();
    if (!slot) {
      respond(text_response(http::status::service_unavailable, "too many clients\n", version),
              false);
      return;
    }
    // Authorised: from here it is a client, no longer a pending connection.
    upgraded_ = true;
    ticket_.leave();
    stream_.expires_never();
    std::make_shared<websocket_session>(std::move(stream_), context_, std::move(slot))
        ->start(std::move(request));
  }

  void refuse(http::status status, std::string text, unsigned version) {
    respond(text_response(status, std::move(text), version), false);
  }

  // Headers every response carries, files and refusals alike.
  static void protect(response_type &response) {
    response.set(http::field::server, server_name);
    response.set("X-Frame-Options", "DENY");
    response.set("Content-Security-Policy", content_security_policy);
    response.set("X-Content-Type-Options", "nosniff");
  }

  static std::shared_ptr<response_type> text_response(http::status status, std::string body,
                                                      unsigned version) {
    auto response = std::make_shared<response_type>(status, version);
    protect(*response);
    response->set(http::field::content_type, "text/plain; charset=utf-8");
    response->body() = std::move(body);
    response->prepare_payload();
    return response;
  }

  static std::shared_ptr<response_type> asset_response(std::string_view path, bool head,
                                                       unsigned version) {
#if defined(TOVLINKD_WITH_WEB_ASSETS)
    if (const auto *asset = tovlink::web::find_asset(path)) {
      auto response = std::make_shared<response_type>(http::status::ok, version);
      protect(*response);
      response->set(http::field::content_type, asset->content_type);
      response->set(http::field::cache_control, "no-cache");
      if (head) {
        response->content_length(asset->body.size());
      } else {
        response->body().assign(asset->body.data(), asset->body.size());
        response->prepare_payload();
      }
      return response;
    }
    return text_response(http::status::not_found, "not found\n", version);
#else
    (void)path;
    (void)head;
    return text_response(http::status::not_found,
                         "not found (this tovlinkd was built without the web panel)\n", version);
#endif
  }

  void respond(std::shared_ptr<response_type> response, bool keep_alive) {
    response->keep_alive(keep_alive);
    // Writing a reply gets the same bound as reading a request.
    stream_.expires_after(context_.config.http_request_limit);
    http::async_write(stream_, *response,
                      [self = shared_from_this(), response](error_code error, std::size_t) {
                        if (error) return;
                        if (response->keep_alive()) {
                          self->read_request();
                        } else {
                          error_code ignored;
                          self->stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
                        }
                      });
  }

  beast::tcp_stream stream_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  server_context context_;
  std::shared_ptr<const http_guard> guard_;
  pending_connections::ticket ticket_;
  bool upgraded_ = false;
};

struct http_listener {
  server_context context;
  tcp::acceptor &acceptor;
  std::shared_ptr<const http_guard> guard;
  accept_pacer pacer;

  void accept_next(std::shared_ptr<http_listener> self) {
    acceptor.async_accept(
        asio::make_strand(context.io), [self](error_code error, tcp::socket socket) mutable {
          if (error == asio::error::operation_aborted) return;
          if (!error) {
            std::make_shared<http_session>(std::move(socket), self->context, self->guard)->start();
          }
          auto &listener = *self;
          listener.pacer.after(error, [self = std::move(self)]() mutable {
            auto &again = *self;
            again.accept_next(std::move(self));
          });
        });
  }
};

}  // namespace

void start_http_server(server_context context, asio::ip::tcp::acceptor &acceptor,
                       std::shared_ptr<const http_guard> guard) {
  auto listener = std::make_shared<http_listener>(http_listener{
      context, acceptor, std::move(guard), accept_pacer{context.io, context.config.log}});
  listener->accept_next(listener);
}

}  // namespace tovlink::service

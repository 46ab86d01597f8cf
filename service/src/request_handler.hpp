// Requests to replies, whatever the transport.  A transport opens one
// client_session per connection, passes it each request text, and gets back
// through the session's sink every reply and every pushed object (telemetry
// and state changes of watched robots), one JSON text each.  The Unix
// socket, WebSocket and any other front end (an MQTT bridge) are clients of
// the robot workers through this one path.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "protocol.hpp"
#include "robot_worker.hpp"

namespace tovlink::service {

// Takes one outgoing JSON text.  Called from the robot threads and from the
// thread that handles the request: it must be thread-safe, must not block,
// and may be called after the session is gone (it should then drop the text).
using message_sink = std::function<void(std::string text)>;

class request_handler;

// Commands another part of the daemon serves (the motions), beside the
// robot commands of the parser's table.  It answers through the reply sink,
// at once or later from another thread, and may hold back a robot's own
// commands while it uses that robot.
class command_extension {
 public:
  virtual ~command_extension() = default;
  virtual bool serves(std::string_view cmd) const = 0;
  // Whether the command names a robot (resolved, as for robot commands,
  // before run is called).
  virtual bool needs_robot(std::string_view cmd) const = 0;
  virtual void run(const request &req, robot_worker *robot, const json &object,
                   message_sink reply) = 0;
  // On the robot's thread, right before one of the robot's commands runs:
  // why it must not run now, if it must not.
  virtual std::optional<error_reply> holds_back(const robot_worker &robot,
                                                const request &req) const = 0;
  // What its commands accept, as sections added to describe's reply (the
  // robot's own contract comes from the library).
  virtual json describe() const = 0;
};

class client_session {
 public:
  ~client_session();
  client_session(const client_session &) = delete;
  client_session &operator=(const client_session &) = delete;

  // Handles one request text (without its line end).  Replies come through
  // the sink, at once or later from a robot's thread.
  void handle(std::string_view text);
  // Handles a request its transport has parsed and checked already (the
  // MQTT bridge, which looks at the command before it lets it in).
  void handle(const request &req);

  // Requests handled whose reply has not reached the sink yet.
  std::size_t replies_outstanding() const;

 private:
  friend class request_handler;

  struct watch_state;

  // Replies leave in the order of their requests, whichever robot (or the
  // cache) answered first.  Pushed objects do not wait for them.
  class reply_order;

  client_session(const request_handler &handler, message_sink sink);
  // The sink for the reply to the next request, in its turn.
  message_sink next_reply();
  void answer(const request &req, const message_sink &reply);
  // A command of the handler's own table (add_command), by its name.
  void run_extra(const request &req, const extra_cmd &args, const message_sink &reply);
  void watch(const request &req, const watch_cmd &args, const message_sink &reply);
  void unwatch(robot_worker *robot);
  robot_worker *find_robot(const request &req, std::optional<std::string> &error_text) const;

  const request_handler &handler_;
  message_sink sink_;
  std::shared_ptr<reply_order> order_;
  std::mutex watches_mutex_;
  std::vector<std::pair<robot_worker *, std::uint64_t>> watches_;
};

class request_handler {
 public:
  // `robots` must outlive the handler and every session; `poll_hz` is the
  // workers' poll rate (a watcher's default rate).
  request_handler(std::vector<robot_worker *> robots, double poll_hz);

  std::unique_ptr<client_session> open_session(message_sink sink) const;

  // A command answered outside the robot workers (the MQTT bridge's fleet
  // commands): the parser hands it over by name, it gets the whole request
  // object, and its result or error becomes the reply.  Add them before the
  // first session opens.
  using extra_command = std::function<action_outcome(const json &request)>;
  void add_command(std::string name, extra_command run);
  const extra_command *find_command(std::string_view name) const;
  // The extension must outlive every session; set it before the first opens.
  void set_extension(command_extension *extension) { extension_ = extension; }
  command_extension *extension() const { return extension_; }
  // Whether `name` is a command of the handler's table or of the extension.
  bool knows_command(std::string_view name) const;

  const std::vector<robot_worker *> &robots() const { return robots_; }
  double poll_hz() const { return poll_hz_; }

  // The pushed telemetry object for one reading, written once and shared by
  // every watcher of that robot.
  std::string telemetry_text(const robot_worker *robot, const tovlink::Telemetry &telemetry,
                             steady_clock::time_point taken_at) const;

 private:
  struct written_telemetry {
    std::mutex mutex;
    steady_clock::time_point taken_at{};
    std::string text;
  };
  std::map<const robot_worker *, std::unique_ptr<written_telemetry>> written_;

  std::vector<robot_worker *> robots_;
  double poll_hz_;
  std::map<std::string, extra_command, std::less<>> extra_commands_;
  command_extension *extension_ = nullptr;
};

// The result of a robot command, run on the robot's thread.
json run_robot_command(tovlink::Robot &robot, const command &cmd);

}  // namespace tovlink::service

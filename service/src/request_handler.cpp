#include "request_handler.hpp"

#include <chrono>
#include <map>
#include <utility>

namespace tovlink::service {
namespace {

using std::chrono::milliseconds;

long long age_ms(steady_clock::time_point taken_at) {
  return std::chrono::duration_cast<milliseconds>(steady_clock::now() - taken_at).count();
}

std::string dump(const json &value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string telemetry_message(const robot_worker &robot, const tovlink::Telemetry &telemetry,
                              steady_clock::time_point taken_at) {
  json message = {
      {"class", "telemetry"}, {"robot", robot.config().name}, {"age_ms", age_ms(taken_at)}};
  put_reading(message, telemetry, robot.time_ms_of(taken_at), robot.leds());
  return dump(message);
}

json history_result(const robot_worker &robot, const history_cmd &args) {
  const auto &history = robot.history();
  const std::int64_t now = unix_ms_now();
  const std::int64_t from = args.since_ms ? now - *args.since_ms : 0;
  json samples = json::array();
  for (const auto &sample : history.since(from, args.max_samples)) {
    json entry = {{"time_ms", sample.time_ms}};
    put_telemetry(entry, sample.telemetry);
    samples.push_back(std::move(entry));
  }
  return {{"robot", robot.config().name},
          {"now_ms", now},
          {"history_s", history.keep().count()},
          {"samples", std::move(samples)}};
}

std::string state_message(const robot_config &config, robot_state state) {
  return dump(json{{"class", "state"},
                   {"robot", config.name},
                   {"state", state_name(state)},
                   {"port", config.port}});
}

json device_list(const std::vector<robot_worker *> &robots) {
  json list = json::array();
  for (const auto *robot : robots) {
    const auto &config = robot->config();
    list.push_back({{"name", config.name},
                    {"port", config.port},
                    {"state", state_name(robot->state())},
                    {"sim", config.simulated}});
  }
  return json{{"robots", std::move(list)}};
}

// What the robot accepts, as the library words it; the same for every robot
// and every request, so parsed once.
const json &robot_contract() {
  static const json contract = json::parse(tovlink::contract_json());
  return contract;
}

std::chrono::milliseconds timed(int ms) {
  return std::chrono::milliseconds{ms};
}

struct robot_command_runner {
  tovlink::Robot &robot;

  json operator()(const move_cmd &move) const {
    if (move.motor == tovlink::all_motors && move.time_ms) {
      const auto sent = robot.move_all(move.angle, timed(*move.time_ms));
      json clamped = json::array();
      for (const int angle : sent) clamped.push_back(angle != move.angle);
      return {{"motor", move.motor},
              {"angles", sent},
              {"requested", move.angle},
              {"clamped", std::move(clamped)}};
    }
    const int sent = move.time_ms ? robot.move(move.motor, move.angle, timed(*move.time_ms))
                                  : robot.move(move.motor, move.angle);
    const auto range = tovlink::angle_range(move.motor);
    return {{"motor", move.motor},
            {"angle", sent},
            {"requested", move.angle},
            {"clamped", sent != move.angle},
            {"range", {range.low, range.high}}};
  }
  json operator()(const pose_cmd &pose) const {
    const auto sent =
        pose.time_ms ? robot.pose(pose.angles, timed(*pose.time_ms)) : robot.pose(pose.angles);
    json clamped = json::array();
    for (std::size_t i = 0; i < sent.size(); ++i) clamped.push_back(sent[i] != pose.angles[i]);
    return {{"angles", sent}, {"requested", pose.angles}, {"clamped", std::move(clamped)}};
  }
  json operator()(const move_relative_cmd &move) const {
    if (move.time_ms) {
      robot.move_relative(move.motor, timed(*move.time_ms));
    } else {
      robot.move_relative(move.motor);
    }
    return json::object();
  }
  json operator()(const adjust_cmd &adjust) const {
    robot.adjust(adjust.motor, adjust.offset);
    return json::object();
  }
  json operator()(const power_cmd &power) const {
    if (!power.on) {
      robot.power_off();
      return {{"on", false}};
    }
    robot.power_on(power.value);
    return {{"on", true}, {"value", power.value}};
  }
  json operator()(const start_cmd &) const {
    robot.start();
    return json::object();
  }
  json operator()(const led_cmd &led) const {
    if (led.on) {
      robot.led_on(led.led);
    } else {
      robot.led_off(led.led);
    }
    return {{"led", led.led}, {"on", led.on}};
  }
  json operator()(const tone_cmd &tone) const {
    robot.tone(tone.first, tone.second);
    return json::object();
  }
  json operator()(const say_cmd &say) const {
    robot.say(say.text);
    return {{"text", say.text}};
  }
  json operator()(const speed_cmd &speed) const {
    robot.speech_speed(speed.speed);
    return {{"speed", speed.speed}};
  }
  json operator()(const query_cmd &query) const {
    return {{"query", tovlink::query_name(query.query)}, {"text", robot.query(query.query)}};
  }
  // Answered by the daemon itself; never queued.
  json operator()(const devices_cmd &) const { return json::object(); }
  json operator()(const describe_cmd &) const { return json::object(); }
  json operator()(const poll_cmd &) const { return json::object(); }
  json operator()(const watch_cmd &) const { return json::object(); }
  json operator()(const extra_cmd &) const { return json::object(); }
  json operator()(const history_cmd &) const { return json::object(); }
};

}  // namespace

class client_session::reply_order {
 public:
  explicit reply_order(message_sink sink) : sink_(std::move(sink)) {}

  std::uint64_t next_ticket() {
    std::lock_guard lock(mutex_);
    return issued_++;
  }

  std::size_t outstanding() {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(issued_ - delivered_);
  }

  // Holds the reply until every earlier one has gone.  The sink is called
  // under the lock so the order survives several robots' threads.
  void deliver(std::uint64_t ticket, std::string text) {
    std::lock_guard lock(mutex_);
    waiting_.emplace(ticket, std::move(text));
    while (!waiting_.empty() && waiting_.begin()->first == delivered_) {
      sink_(std::move(waiting_.begin()->second));
      waiting_.erase(waiting_.begin());
      ++delivered_;
    }
  }

 private:
  message_sink sink_;
  std::mutex mutex_;
  std::uint64_t issued_ = 0;
  std::uint64_t delivered_ = 0;
  std::map<std::uint64_t, std::string> waiting_;
};

json run_robot_command(tovlink::Robot &robot, const command &cmd) {
  return std::visit(robot_command_runner{robot}, cmd);
}

request_handler::request_handler(std::vector<robot_worker *> robots, double poll_hz)
    : robots_(std::move(robots)), poll_hz_(poll_hz) {
  for (const auto *robot : robots_) written_.emplace(robot, std::make_unique<written_telemetry>());
}

std::string request_handler::telemetry_text(const robot_worker *robot,
                                            const tovlink::Telemetry &telemetry,
                                            steady_clock::time_point taken_at) const {
  auto &written = *written_.at(robot);
  std::lock_guard lock(written.mutex);
  if (written.taken_at != taken_at || written.text.empty()) {
    written.text = telemetry_message(*robot, telemetry, taken_at);
    written.taken_at = taken_at;
  }
  return written.text;
}

void request_handler::add_command(std::string name, extra_command run) {
  extra_commands_[std::move(name)] = std::move(run);
}

const request_handler::extra_command *request_handler::find_command(std::string_view name) const {
  const auto found = extra_commands_.find(name);
  return found == extra_commands_.end() ? nullptr : &found->second;
}

bool request_handler::knows_command(std::string_view name) const {
  return find_command(name) != nullptr || (extension_ && extension_->serves(name));
}

std::unique_ptr<client_session> request_handler::open_session(message_sink sink) const {
  return std::unique_ptr<client_session>(new client_session(*this, std::move(sink)));
}

client_session::client_session(const request_handler &handler, message_sink sink)
    : handler_(handler), sink_(sink), order_(std::make_shared<reply_order>(std::move(sink))) {}

client_session::~client_session() {
  std::lock_guard lock(watches_mutex_);
  for (const auto &[robot, id] : watches_) robot->unsubscribe(id);
}

std::size_t client_session::replies_outstanding() const {
  return order_->outstanding();
}

message_sink client_session::next_reply() {
  return [order = order_, ticket = order_->next_ticket()](std::string reply_text) {
    order->deliver(ticket, std::move(reply_text));
  };
}

void client_session::handle(const request &req) {
  answer(req, next_reply());
}

void client_session::handle(std::string_view text) {
  message_sink reply = next_reply();
  const auto parsed =
      parse_request(text, [this](std::string_view name) { return handler_.knows_command(name); });
  if (const auto *rejected = std::get_if<rejected_request>(&parsed)) {
    reply(error_reply_text(*rejected));
    return;
  }
  answer(std::get<request>(parsed), reply);
}

void client_session::run_extra(const request &req, const extra_cmd &args,
                               const message_sink &reply) {
  if (auto *extension = handler_.extension(); extension && extension->serves(req.cmd)) {
    robot_worker *robot = nullptr;
    if (extension->needs_robot(req.cmd)) {
      std::optional<std::string> error_text;
      robot = find_robot(req, error_text);
      if (!robot) {
        reply(std::move(*error_text));
        return;
      }
    }
    extension->run(req, robot, args.object, reply);
    return;
  }
  const auto *run = handler_.find_command(req.cmd);
  if (run == nullptr) {  // a request parsed elsewhere, against another table
    reply(error_reply_text(req.cmd, req.id, std::nullopt,
                           make_error(daemon_error::unknown_command,
                                      "request: unknown command " + dump(json(req.cmd)))));
    return;
  }
  const auto outcome = (*run)(args.object);
  if (const auto *result = std::get_if<json>(&outcome)) {
    reply(ok_reply(req.cmd, req.id, std::nullopt, *result));
  } else {
    reply(error_reply_text(req.cmd, req.id, std::nullopt, std::get<error_reply>(outcome)));
  }
}

robot_worker *client_session::find_robot(const request &req,
                                         std::optional<std::string> &error_text) const {
  const auto &robots = handler_.robots();
  if (!req.robot) {
    if (robots.size() == 1) return robots.front();
    error_text = error_reply_text(
        req.cmd, req.id, std::nullopt,
        make_error(daemon_error::bad_request, req.cmd + ": \"robot\" is required (the daemon has " +
                                                  std::to_string(robots.size()) + " robots)"));
    return nullptr;
  }
  for (auto *robot : robots) {
    if (robot->config().name == *req.robot) return robot;
  }
  error_text = error_reply_text(
      req.cmd, req.id, req.robot,
      make_error(daemon_error::unknown_robot, req.cmd + ": no robot named " + dump(*req.robot)));
  return nullptr;
}

void client_session::answer(const request &req, const message_sink &reply) {
  if (const auto *args = std::get_if<extra_cmd>(&req.args)) {
    run_extra(req, *args, reply);
    return;
  }
  if (std::holds_alternative<devices_cmd>(req.args)) {
    reply(ok_reply(req.cmd, req.id, std::nullopt, device_list(handler_.robots())));
    return;
  }
  if (std::holds_alternative<describe_cmd>(req.args)) {
    json contract = robot_contract();
    if (const auto *extension = handler_.extension()) contract.update(extension->describe());
    reply(ok_reply(req.cmd, req.id, std::nullopt, std::move(contract)));
    return;
  }
  if (const auto *args = std::get_if<watch_cmd>(&req.args)) {
    watch(req, *args, reply);
    return;
  }
  std::optional<std::string> error_text;
  robot_worker *robot = find_robot(req, error_text);
  if (!robot) {
    reply(std::move(*error_text));
    return;
  }
  const std::string &name = robot->config().name;
  if (std::holds_alternative<poll_cmd>(req.args)) {
    const auto latest = robot->latest();
    if (!latest.telemetry) {
      reply(error_reply_text(req.cmd, req.id, name,
                             make_error(daemon_error::robot_not_ready,
                                        "poll: no reading from robot " + name + " yet (" +
                                            std::string{state_name(latest.state)} + ")")));
      return;
    }
    json result = {
        {"robot", name}, {"state", state_name(latest.state)}, {"age_ms", age_ms(latest.taken_at)}};
    put_reading(result, *latest.telemetry, latest.time_ms, latest.leds);
    reply(ok_reply(req.cmd, req.id, name, result));
    return;
  }
  if (const auto *args = std::get_if<history_cmd>(&req.args)) {
    reply(ok_reply(req.cmd, req.id, name, history_result(*robot, *args)));
    return;
  }

  auto report = [sink = reply, cmd = req.cmd, id = req.id, name](action_outcome outcome) {
    if (auto *result = std::get_if<json>(&outcome)) {
      sink(ok_reply(cmd, id, name, *result));
    } else {
      sink(error_reply_text(cmd, id, name, std::get<error_reply>(outcome)));
    }
  };
  // The extension's say (a motion playing) is asked on the robot's thread,
  // in the queue's order, so a command queued behind a play is held back.
  auto held_back = std::make_shared<std::optional<error_reply>>();
  auto done = [report = std::move(report), held_back](action_outcome outcome) {
    report(*held_back ? action_outcome{**held_back} : std::move(outcome));
  };
  auto action = [req, robot, held_back,
                 extension = handler_.extension()](tovlink::Robot &connected) {
    if (extension && (*held_back = extension->holds_back(*robot, req))) return json{};
    json result = run_robot_command(connected, req.args);
    if (const auto *led = std::get_if<led_cmd>(&req.args)) robot->note_led(led->led, led->on);
    return result;
  };
  switch (robot->submit(std::move(action), std::move(done))) {
    case submit_status::queued:
      break;
    case submit_status::not_ready:
      reply(error_reply_text(
          req.cmd, req.id, name,
          make_error(daemon_error::robot_not_ready, req.cmd + ": robot " + name + " is " +
                                                        std::string{state_name(robot->state())})));
      break;
    case submit_status::queue_full:
      reply(error_reply_text(req.cmd, req.id, name,
                             make_error(daemon_error::busy, req.cmd + ": robot " + name +
                                                                " has too many requests "
                                                                "waiting")));
      break;
  }
}

void client_session::unwatch(robot_worker *robot) {
  std::lock_guard lock(watches_mutex_);
  for (auto it = watches_.begin(); it != watches_.end();) {
    if (robot == nullptr || it->first == robot) {
      it->first->unsubscribe(it->second);
      it = watches_.erase(it);
    } else {
      ++it;
    }
  }
}

void client_session::watch(const request &req, const watch_cmd &args, const message_sink &reply) {
  std::vector<robot_worker *> chosen;
  if (req.robot) {
    std::optional<std::string> error_text;
    robot_worker *robot = find_robot(req, error_text);
    if (!robot) {
      reply(std::move(*error_text));
      return;
    }
    chosen.push_back(robot);
  } else {
    chosen = handler_.robots();
  }
  for (auto *robot : chosen) unwatch(robot);

  const double rate_hz = args.rate_hz.value_or(handler_.poll_hz());
  json result = {{"enable", args.enable}};
  if (args.enable) {
    // Whole rates read as whole numbers: 10, not 10.0.
    if (rate_hz == static_cast<double>(static_cast<int>(rate_hz))) {
      result["rate_hz"] = static_cast<int>(rate_hz);
    } else {
      result["rate_hz"] = rate_hz;
    }
  }
  reply(ok_reply(req.cmd, req.id, req.robot, result));
  if (!args.enable) return;

  // A snapshot counts as due when it comes at least one watch period after
  // the last one sent, less half a poll period: snapshots arrive on the poll
  // grid, so a watcher at the poll rate gets every one.
  const auto period = std::chrono::duration<double>(1.0 / rate_hz);
  const auto slack = std::chrono::duration<double>(0.5 / handler_.poll_hz());
  const auto spacing = std::chrono::duration_cast<steady_clock::duration>(
      period > slack ? period - slack : std::chrono::duration<double>(0));

  std::lock_guard lock(watches_mutex_);
  for (auto *robot : chosen) {
    const robot_config &config = robot->config();
    robot_listener listener;
    listener.telemetry =
        [sink = sink_, &handler = handler_, robot, spacing, last_sent = steady_clock::time_point{}](
            const tovlink::Telemetry &telemetry, steady_clock::time_point taken_at) mutable {
          if (last_sent != steady_clock::time_point{} && taken_at - last_sent < spacing) return;
          last_sent = taken_at;
          sink(handler.telemetry_text(robot, telemetry, taken_at));
        };
    listener.state = [sink = sink_, &config](robot_state state) {
      sink(state_message(config, state));
    };
    listener.notice = [sink = sink_](const std::string &text) { sink(text); };
    watches_.emplace_back(robot, robot->subscribe(std::move(listener)));
    sink_(state_message(config, robot->state()));
  }
}

}  // namespace tovlink::service

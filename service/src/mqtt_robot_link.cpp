#include "mqtt_robot_link.hpp"

#include <algorithm>
#include <array>

namespace tovlink::service {
namespace {

// Commands that make no sense over MQTT: telemetry has its own topic, and a
// fleet command arriving on all/cmd would send itself round again.
constexpr std::array<std::string_view, 3> local_only_commands{"watch", "fleet", "fleet_all"};

bool local_only(std::string_view cmd) {
  return std::find(local_only_commands.begin(), local_only_commands.end(), cmd) !=
         local_only_commands.end();
}

std::string dump(const json &value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

long long age_ms(steady_clock::time_point since) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(steady_clock::now() - since).count();
}

}  // namespace

mqtt_robot_link::mqtt_robot_link(const mqtt_config &config, const request_handler &handler,
                                 robot_worker &robot, const std::string &site_topic,
                                 std::shared_ptr<wakeup> alarm)
    : config_(config),
      robot_(robot),
      handler_(handler),
      name_(robot.config().name),
      topic_(site_topic + "/" + name_),
      cmd_topic_(topic_ + "/cmd"),
      all_topic_(site_topic + "/all/cmd"),
      alarm_(std::move(alarm)) {
  // Only replies to admitted commands come through here (watch, the one
  // command that pushes, is refused), so the queue stays within the bound.
  session_ = handler.open_session([out = out_, alarm = alarm_](std::string text) {
    {
      std::lock_guard lock(out->mutex);
      out->replies.push_back(std::move(text));
    }
    alarm->ring();
  });
  mqtt_connection::events events;
  events.connected = [this] { connected(); };
  events.message = [this](std::string_view topic, std::string_view payload) {
    if (topic == cmd_topic_ || topic == all_topic_) command_arrived(payload);
  };
  link_ = std::make_unique<mqtt_connection>(config, config.client_id + "-" + name_,
                                            topic_ + "/status", std::move(events));
}

mqtt_robot_link::~mqtt_robot_link() {
  stop_listening();
  disconnect();
}

void mqtt_robot_link::start() {
  watch_robot();
  link_->start();
}

void mqtt_robot_link::stop_listening() {
  if (listener_) robot_.unsubscribe(*listener_);
  listener_.reset();
}

void mqtt_robot_link::publish_offline() {
  link_->publish(topic_ + "/status", "offline", at_least_once, true);
}

bool mqtt_robot_link::flushing() const {
  return link_->connected() && link_->unsent() > 0;
}

void mqtt_robot_link::disconnect() {
  link_->stop();
  // The network thread is gone: nothing can reach the session any more.
  session_.reset();
}

// On the network thread, after every accepted (re)connect.
void mqtt_robot_link::connected() {
  link_->subscribe(cmd_topic_, at_least_once);
  link_->subscribe(all_topic_, at_least_once);
  {
    // The broker may have lost its retained messages (a restart without
    // persistence): say it again.
    std::lock_guard lock(out_->mutex);
    out_->status_due = true;
  }
  alarm_->ring();
}

// Replies the daemon gives without the robot go out at once, from the
// network thread: they cost nothing to keep, and are never dropped.
void mqtt_robot_link::answer_now(const std::string &text) {
  if (!link_->publish(topic_ + "/reply", text, at_least_once, false)) {
    link_->log("a reply could not be handed to the broker");
  }
}

bool mqtt_robot_link::admit() {
  std::lock_guard lock(out_->mutex);
  if (out_->in_progress >= config_.reply_backlog) return false;
  ++out_->in_progress;
  return true;
}

// On the network thread.  The payload is parsed once, here; the topic
// names the robot, whatever the request says.
void mqtt_robot_link::command_arrived(std::string_view payload) {
  try {
    if (payload.size() > max_request_bytes) {
      answer_now(error_reply_text(
          std::nullopt, std::nullopt, name_,
          make_error(daemon_error::too_large,
                     "request: longer than " + std::to_string(max_request_bytes) + " bytes")));
      return;
    }
    // The daemon's own commands (motions) as well as the parser's table.
    auto parsed = parse_request(
        payload, [this](std::string_view name) { return handler_.knows_command(name); });
    const auto *rejected = std::get_if<rejected_request>(&parsed);
    const auto &cmd = rejected ? rejected->cmd : std::get<request>(parsed).cmd;
    const auto &id = rejected ? rejected->id : std::get<request>(parsed).id;
    if (cmd && local_only(*cmd)) {
      answer_now(error_reply_text(
          cmd, id, name_,
          make_error(daemon_error::bad_request, *cmd +
                                                    ": not available over MQTT (state messages "
                                                    "come on " +
                                                    topic_ + "/state)")));
      return;
    }
    if (rejected) {
      answer_now(error_reply_text(rejected->cmd, rejected->id, name_, rejected->error));
      return;
    }
    auto &req = std::get<request>(parsed);
    req.robot = name_;
    if (!admit()) {
      answer_now(error_reply_text(
          req.cmd, req.id, name_,
          make_error(daemon_error::busy,
                     req.cmd + ": robot " + name_ + " has too many requests waiting")));
      return;
    }
    session_->handle(req);
  } catch (const std::exception &error) {
    answer_now(error_reply_text(
        std::nullopt, std::nullopt, name_,
        make_error(daemon_error::internal, std::string{"request: "} + error.what())));
  }
}

void mqtt_robot_link::watch_robot() {
  robot_listener listener;
  listener.telemetry = [out = out_](const tovlink::Telemetry &telemetry,
                                    steady_clock::time_point taken_at) {
    std::lock_guard lock(out->mutex);
    out->telemetry = telemetry;
    out->taken_at = taken_at;
    ++out->reading;
  };
  listener.state = [out = out_, alarm = alarm_](robot_state state) {
    {
      std::lock_guard lock(out->mutex);
      out->state = state;
      out->state_known = true;
      out->status_due = true;
    }
    alarm->ring();
  };
  listener_ = robot_.subscribe(std::move(listener));
  // Read after subscribing, so no change falls in between; a change that
  // came meanwhile is newer than this read.
  const robot_state now = robot_.state();
  std::lock_guard lock(out_->mutex);
  if (!out_->state_known) out_->state = now;
}

void mqtt_robot_link::publish(bool state_due) {
  mqtt_connection &mqtt = *link_;
  if (!mqtt.connected()) return;
  std::optional<std::string> status;
  {
    std::lock_guard lock(out_->mutex);
    if (out_->status_due) {
      status = std::string{mqtt_status(out_->state)};
      out_->status_due = false;
    }
  }
  if (status && !mqtt.publish(topic_ + "/status", *status, at_least_once, true)) {
    std::lock_guard lock(out_->mutex);
    out_->status_due = true;
  }
  while (mqtt.can_take()) {
    std::string reply;
    {
      std::lock_guard lock(out_->mutex);
      if (out_->replies.empty()) break;
      reply = std::move(out_->replies.front());
      out_->replies.pop_front();
    }
    const bool handed_over = mqtt.publish(topic_ + "/reply", reply, at_least_once, false);
    std::lock_guard lock(out_->mutex);
    if (!handed_over) {
      // The broker went away meanwhile: the reply waits, first in line.
      out_->replies.push_front(std::move(reply));
      break;
    }
    --out_->in_progress;
  }
  if (!state_due) return;
  if (!mqtt.can_take()) return;  // the broker is slow: this snapshot waits for a newer one
  json message;
  {
    std::lock_guard lock(out_->mutex);
    if (!out_->telemetry || out_->reading == published_reading_) return;
    published_reading_ = out_->reading;
    message = {{"class", "telemetry"},
               {"robot", name_},
               {"age_ms", age_ms(out_->taken_at)},
               {"seq", ++sequence_}};
    if (!config_.panel_url.empty()) message["panel"] = config_.panel_url;
    put_reading(message, *out_->telemetry, robot_.time_ms_of(out_->taken_at), robot_.leds());
  }
  mqtt.publish(topic_ + "/state", dump(message), at_most_once, false);
}

}  // namespace tovlink::service

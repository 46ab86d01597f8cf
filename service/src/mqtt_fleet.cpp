#include "mqtt_fleet.hpp"

#include "mqtt_bridge.hpp"

namespace tovlink::service {
namespace {

long long age_ms(steady_clock::time_point since) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(steady_clock::now() - since).count();
}

}  // namespace

mqtt_fleet_table::mqtt_fleet_table(std::string site_topic, std::size_t limit)
    : site_topic_(std::move(site_topic)), limit_(limit) {}

void mqtt_fleet_table::message(std::string_view topic, std::string_view payload) {
  // tovlink/<site>/<robot>/<kind>
  if (topic.size() <= site_topic_.size() + 1 || !topic.starts_with(site_topic_)) return;
  topic.remove_prefix(site_topic_.size() + 1);
  const auto slash = topic.find('/');
  if (slash == std::string_view::npos || slash == 0 || slash > 64) return;
  const std::string_view robot = topic.substr(0, slash);
  const std::string_view kind = topic.substr(slash + 1);
  if (robot == "all" || payload.size() > max_request_bytes) return;

  std::lock_guard lock(mutex_);
  if (kind == "status" && payload.empty()) {  // a retained status cleared
    if (const auto gone = fleet_.find(robot); gone != fleet_.end()) fleet_.erase(gone);
    return;
  }
  auto found = fleet_.find(robot);
  if (found == fleet_.end()) {
    if (fleet_.size() >= limit_) {
      ++ignored_;
      return;
    }
    found = fleet_.emplace(std::string{robot}, entry{}).first;
  }
  entry &row = found->second;
  if (kind == "status") {
    row.status = std::string{payload.substr(0, 16)};
    return;
  }
  const json message = json::parse(payload, nullptr, false);
  if (!message.is_object()) return;
  if (kind == "state") {
    row.telemetry = json::object();
    for (const char *field : {"battery", "motor_power", "sensor", "mic"}) {
      const auto value = message.find(field);
      if (value != message.end() && value->is_number()) row.telemetry[field] = *value;
    }
    const auto panel = message.find("panel");
    row.panel =
        panel != message.end() && panel->is_string() && is_panel_url(panel->get<std::string>())
            ? panel->get<std::string>()
            : std::string{};
    row.state_at = steady_clock::now();
  } else if (kind == "reply") {
    json digest = {{"cmd", message.value("cmd", "")}, {"ok", message.value("ok", false)}};
    if (const auto id = message.find("id"); id != message.end() && id->dump().size() <= 128) {
      digest["id"] = *id;
    }
    if (const auto error = message.find("error"); error != message.end() && error->is_object()) {
      std::string text = error->value("message", "");
      if (text.size() > 200) text.resize(200);
      digest["error"] = text;
    }
    row.reply = std::move(digest);
  }
}

json mqtt_fleet_table::robots() const {
  json list = json::array();
  std::lock_guard lock(mutex_);
  for (const auto &[name, robot] : fleet_) {
    json row = {{"name", name}, {"status", robot.status.empty() ? "unknown" : robot.status}};
    if (robot.state_at != steady_clock::time_point{}) {
      row["telemetry"] = robot.telemetry;
      row["state_age_ms"] = age_ms(robot.state_at);
    }
    if (!robot.reply.is_null()) row["reply"] = robot.reply;
    if (!robot.panel.empty()) row["panel"] = robot.panel;
    list.push_back(std::move(row));
  }
  return json{{"robots", std::move(list)}, {"limit", limit_}, {"not_listed", ignored_}};
}

}  // namespace tovlink::service

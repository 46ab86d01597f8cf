// One robot on the broker (a part of mqtt_bridge): its own connection, with
// the robot's last will, its commands in on <site>/<robot>/cmd and
// <site>/all/cmd, and its replies, status and state out.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "mqtt_connection.hpp"
#include "request_handler.hpp"

namespace tovlink::service {

class mqtt_robot_link {
 public:
  // `topic` is tovlink/<site>/<robot>, `all_topic` tovlink/<site>/all/cmd.
  // `alarm` wakes the bridge thread, which calls publish().
  mqtt_robot_link(const mqtt_config &config, const request_handler &handler, robot_worker &robot,
                  const std::string &site_topic, std::shared_ptr<wakeup> alarm);
  ~mqtt_robot_link();
  mqtt_robot_link(const mqtt_robot_link &) = delete;
  mqtt_robot_link &operator=(const mqtt_robot_link &) = delete;

  // Listens to the robot and connects.
  void start();
  // Stops listening; the connection stays up for the last words.
  void stop_listening();
  // A clean end is no death, so the last will does not fire: "offline"
  // (retained) is said here instead.
  void publish_offline();
  // Whether messages handed over are still on their way to the broker.
  bool flushing() const;
  // Disconnects and joins the network thread; then ends the session.
  void disconnect();

  // On the bridge thread: hands what is due to the broker (status, replies,
  // and a state message when `state_due`).
  void publish(bool state_due);

  steady_clock::time_point next_state{};  // the bridge thread's state grid

 private:
  // What the robot has for the broker.  Robot threads and the network
  // thread fill it; the bridge thread empties it.
  struct outgoing {
    std::mutex mutex;
    std::deque<std::string> replies;
    // Commands let in whose reply has not been handed to the broker yet:
    // they bound `replies`, so no reply ever has to be dropped.
    std::size_t in_progress = 0;
    std::optional<tovlink::Telemetry> telemetry;
    steady_clock::time_point taken_at{};
    std::uint64_t reading = 0;  // counts snapshots, so a new one is told from the last
    robot_state state = robot_state::connecting;
    bool state_known = false;
    bool status_due = true;
  };

  void connected();
  void command_arrived(std::string_view payload);
  void answer_now(const std::string &text);
  bool admit();
  void watch_robot();

  const mqtt_config &config_;
  robot_worker &robot_;
  const request_handler &handler_;
  std::string name_;
  std::string topic_;  // tovlink/<site>/<robot>
  std::string cmd_topic_;
  std::string all_topic_;
  std::shared_ptr<wakeup> alarm_;
  std::shared_ptr<outgoing> out_ = std::make_shared<outgoing>();
  std::unique_ptr<client_session> session_;
  std::unique_ptr<mqtt_connection> link_;
  std::optional<std::uint64_t> listener_;
  // The bridge thread only.
  std::uint64_t published_reading_ = 0;
  std::uint64_t sequence_ = 0;
};

}  // namespace tovlink::service

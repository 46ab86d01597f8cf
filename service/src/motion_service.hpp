// Motions for the daemon's clients (docs/protocol.md, "Motions"): play,
// stop, pause, resume, record and the motions folder.
//
// Threads.  A motion plays on its Player's thread and a recording samples
// on its Recorder's, both using the robot's Robot (which is thread-safe)
// while the robot's worker goes on polling it.  Every Player and Recorder
// is made and destroyed on the robot's own thread (as an action in its
// queue, or in the worker's release hook), so neither can outlive the
// Robot: the worker destroys its Robot only after the hook has ended them.
// Progress comes from the Player's thread and goes to the robot's watchers
// through the worker (robot_worker::publish).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "motion_store.hpp"
#include "request_handler.hpp"
#include "tovlink/motion/player.hpp"
#include "tovlink/motion/recorder.hpp"

namespace tovlink::service {

// The protocol's own error names for motions.
inline constexpr int bad_motion_code = 400;
inline constexpr int unknown_motion_code = 404;
inline constexpr int motion_conflict_code = 409;
// A recording stops by itself after this long.
inline constexpr std::chrono::minutes max_recording_time{10};

class motion_service final : public command_extension {
 public:
  // Installs the release hook on each robot: make it before the robots'
  // threads start, and destroy it after they stopped.
  motion_service(const std::vector<robot_worker *> &robots, motion_store &store);
  ~motion_service() override;
  motion_service(const motion_service &) = delete;
  motion_service &operator=(const motion_service &) = delete;

  bool serves(std::string_view cmd) const override;
  bool needs_robot(std::string_view cmd) const override;
  void run(const request &req, robot_worker *robot, const json &object,
           message_sink reply) override;
  json describe() const override;
  std::optional<error_reply> holds_back(const robot_worker &robot,
                                        const request &req) const override;

 private:
  struct play_state;
  struct robot_motions;

  robot_motions &motions_of(const robot_worker &robot) const;
  void play(const request &req, robot_worker &robot, const json &object, message_sink reply);
  void control(const request &req, robot_worker &robot, message_sink reply);
  void record(const request &req, robot_worker &robot, const json &object, message_sink reply);
  void folder(const request &req, const json &object, const message_sink &reply);
  // On the robot's thread, before its Robot goes.
  void released(robot_motions &motions, std::optional<std::string_view> lost_reason);
  // Ends recordings past max_recording_time (the watchdog's thread).
  void watch_recordings(std::stop_token stop);

  motion_store &store_;
  std::map<const robot_worker *, std::unique_ptr<robot_motions>> robots_;
  std::mutex watchdog_mutex_;
  std::condition_variable_any watchdog_wake_;
  bool recording_started_ = false;  // under watchdog_mutex_
  std::jthread watchdog_;
};

}  // namespace tovlink::service

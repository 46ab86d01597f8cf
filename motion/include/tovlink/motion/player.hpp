// tovlink/motion/player.hpp - plays a motion on a robot, on time.
//
// A Player plays one motion on one tovlink::Robot on a thread of its own,
// from construction until the motion ends, is stopped, or the robot fails.
// Every member is thread-safe; pause, resume and stop return at once.
//
// The wire: each keyframe is one seven-angle timed move (Robot::pose with a
// time, "#151,...") sent when the move towards it must begin — at the
// previous keyframe's time, with the time between the two — so the robot
// itself interpolates and reaches each keyframe at its time.  The first
// keyframe's move goes out at the start, over the soft start plus the first
// keyframe's own time.  A segment longer than the robot's longest timed
// move (move_time_range) goes out as several moves along the straight line.
// A held motor (no angle) is sent the last angle it was sent, or at the
// start the position the robot reports (one telemetry read, only when some
// keyframe holds a motor).  Events go out at their times, after a keyframe
// due at the same time.
//
// Timing: every line's time is computed from one start time point on the
// steady clock, never from the previous line, so lateness does not add up
// over a long motion.  A pause shifts the rest of the schedule by its
// length.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

#include "tovlink/motion/motion.hpp"
#include "tovlink/robot.hpp"

namespace tovlink::motion {

// The speed factor's range: 2.0 plays twice as fast, 0.5 at half speed.
inline constexpr double min_speed = 0.1;
inline constexpr double max_speed = 10.0;

enum class PlayState {
  playing,   // waiting for or sending the next line (the soft start included)
  paused,    // nothing is sent until resume()
  finished,  // every loop played, the last keyframe's time reached
  stopped,   // stop() or the Player's destruction
  failed,    // the robot failed (see Player::error())
};
// "playing", "paused", "finished", "stopped", "failed".
const char *state_name(PlayState state) noexcept;
inline bool is_over(PlayState state) {
  return state != PlayState::playing && state != PlayState::paused;
}

struct Progress {
  PlayState state = PlayState::playing;
  int loop = 0;              // 0-based pass through the motion
  std::size_t keyframe = 0;  // the keyframe the robot is moving towards
  std::size_t keyframes = 0;
  milliseconds position{0};  // motion time in the current pass (speed 1 units)
  milliseconds duration{0};  // Motion::duration()
};

struct PlayOptions {
  double speed = 1.0;  // min_speed-max_speed
  int loops = 1;       // passes through the motion, 1 or more; 0: until stop()
  // The first keyframe's move takes this much longer, so the robot eases
  // from wherever it is to the first pose instead of jumping there.
  milliseconds soft_start{0};
  // When set, the first line goes out at this wall-clock time (robots of a
  // fleet started with one time begin together); a time already past
  // starts at once.  Unset: at once.
  std::optional<std::chrono::system_clock::time_point> start_at;
  // Called on the player's thread: after each keyframe's move is sent, and
  // once for each change of state (paused, playing again, and the end).
  // It may call pause(), resume() and stop(), but must not wait for or
  // destroy the Player.
  std::function<void(const Progress &)> on_progress;
};

// Why the options are refused, or empty when they are fine.
std::string options_refusal(const PlayOptions &options);

class Player {
 public:
  // Starts playing at once (or waits for options.start_at).  The robot must
  // outlive the Player.  Plays a checked copy of the motion (angles clamped
  // as a load would).  Throws std::invalid_argument for refused options, a
  // motion without keyframes or a 0 ms motion asked to loop, FormatError for
  // a motion a load would refuse (an event outside the contract); nothing
  // is sent then.
  Player(Robot &robot, Motion motion, PlayOptions options = {});
  // Stops (as stop()) and waits for the thread, at most as long as the
  // robot's exchange in progress (1.5 s).
  ~Player();
  Player(const Player &) = delete;
  Player &operator=(const Player &) = delete;

  // Holds the schedule: nothing more is sent until resume(); the move in
  // progress runs to its keyframe.  No effect once paused or over.
  void pause();
  void resume();
  // Ends the play.  Sends nothing: the motors stay where the last move takes
  // them and motor power stays as it was.  No effect once over.
  void stop();

  Progress progress() const;
  PlayState state() const { return progress().state; }
  // The error that ended the play (state failed): the Robot's Error, e.g.
  // errc::link_lost when the robot was lost.
  std::optional<Error> error() const;

  // Blocks until the play is over and returns its last progress.
  Progress wait();
  // As wait(), for at most `timeout`; nullopt when still playing.
  std::optional<Progress> wait_for(std::chrono::milliseconds timeout);

 private:
  struct Line;
  void run();
  bool wait_until_due(std::chrono::steady_clock::time_point due);
  void send(const Line &line);
  void finish(PlayState state, std::optional<Error> error = std::nullopt);
  void report(const Progress &progress);

  Robot &robot_;
  const Motion motion_;
  const PlayOptions options_;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  Progress progress_;
  std::optional<Error> error_;
  bool pause_requested_ = false;
  bool stop_requested_ = false;
  bool over_ = false;  // set after the last progress callback
  std::chrono::steady_clock::time_point paused_at_{};
  std::chrono::steady_clock::duration paused_for_{0};  // shifts the rest of the schedule

  std::jthread thread_;  // last: starts once everything above exists
};

// Plays in the caller's thread: a Player, then wait().  Throws the Error
// that ended a failed play.
Progress play(Robot &robot, Motion motion, PlayOptions options = {});

}  // namespace tovlink::motion

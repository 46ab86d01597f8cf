#include "tovlink/motion/player.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <type_traits>
#include <vector>

namespace tovlink::motion {
namespace {

using steady = std::chrono::steady_clock;
using std::chrono::duration_cast;
using std::chrono::nanoseconds;

std::array<int, motor_count> clamped(const std::array<int, motor_count> &angles) {
  std::array<int, motor_count> result{};
  for (int motor = 1; motor <= motor_count; ++motor) {
    const auto i = static_cast<std::size_t>(motor - 1);
    result[i] = angle_range(motor).clamp(angles[i]);
  }
  return result;
}

bool holds_a_motor(const Motion &motion) {
  return std::any_of(motion.keyframes.begin(), motion.keyframes.end(), [](const Keyframe &k) {
    return std::any_of(k.angles.begin(), k.angles.end(), [](const auto &a) { return !a; });
  });
}

// A checked copy: angles clamped, every event value within the contract.
Motion checked(const Motion &motion) {
  if (motion.keyframes.empty()) throw std::invalid_argument("play: the motion has no keyframes");
  return parse_motion_json(to_json(motion)).motion;
}

}  // namespace

// One line of the schedule: a timed move or an event, due at `at` after the
// start (before any pause).
struct Player::Line {
  steady::duration at{};
  const Event *event = nullptr;  // null: a move
  std::array<int, motor_count> angles{};
  milliseconds time{0};
  std::size_t keyframe = 0;
  milliseconds position{0};  // motion time the line belongs to
};

const char *state_name(PlayState state) noexcept {
  switch (state) {
    case PlayState::playing:
      return "playing";
    case PlayState::paused:
      return "paused";
    case PlayState::finished:
      return "finished";
    case PlayState::stopped:
      return "stopped";
    case PlayState::failed:
      return "failed";
  }
  return "unknown";
}

std::string options_refusal(const PlayOptions &options) {
  if (!std::isfinite(options.speed) || options.speed < min_speed || options.speed > max_speed) {
    char range[64];
    std::snprintf(range, sizeof range, "speed must be %g-%g", min_speed, max_speed);
    return range;
  }
  if (options.loops < 0) return "loops must be 0 (until stopped) or more";
  if (options.soft_start < milliseconds{0} || options.soft_start > max_motion_time) {
    return "soft start must be 0-" + std::to_string(max_motion_time.count()) + " ms";
  }
  return {};
}

namespace {

// Builds one pass's lines.  `from` holds the angles the robot was last sent
// (the positions it reported, before the first pass) and ends as the last
// keyframe's.
class PassBuilder {
 public:
  PassBuilder(const Motion &motion, const PlayOptions &options)
      : motion_(motion), options_(options) {}

  // Time from the start to motion time `time` of pass `pass`.
  steady::duration offset(int pass, milliseconds time) const {
    const double ms = static_cast<double>(options_.soft_start.count()) +
                      (static_cast<double>(pass) * static_cast<double>(motion_.duration().count()) +
                       static_cast<double>(time.count())) /
                          options_.speed;
    return duration_cast<steady::duration>(nanoseconds{std::llround(ms * 1e6)});
  }

  template <typename Line>
  std::vector<Line> build(int pass, std::array<int, motor_count> &from) const {
    std::vector<Line> lines;
    for (std::size_t k = 0; k < motion_.keyframes.size(); ++k) {
      const auto &keyframe = motion_.keyframes[k];
      std::array<int, motor_count> target{};
      for (std::size_t i = 0; i < target.size(); ++i)
        target[i] = keyframe.angles[i].value_or(from[i]);
      // The move towards keyframe k begins at keyframe k-1's time; the first
      // begins at the pass's start (before the soft start on the first pass).
      const milliseconds begin_time = k > 0 ? motion_.keyframes[k - 1].time : milliseconds{0};
      const steady::duration begin =
          k > 0 || pass > 0 ? offset(pass, begin_time) : steady::duration{0};
      add_move(lines, begin, offset(pass, keyframe.time), from, target, k, begin_time);
      from = target;
    }
    for (const auto &event : motion_.events) {
      Line line;
      line.at = offset(pass, event.time);
      line.event = &event;
      line.position = event.time;
      lines.push_back(line);
    }
    // Moves before events due at the same time (stable: each kind keeps its order).
    std::stable_sort(lines.begin(), lines.end(),
                     [](const Line &a, const Line &b) { return a.at < b.at; });
    return lines;
  }

 private:
  // One timed move, or several along the straight line when the segment is
  // longer than the robot's longest timed move.
  template <typename Line>
  static void add_move(std::vector<Line> &lines, steady::duration begin, steady::duration end,
                       const std::array<int, motor_count> &from,
                       const std::array<int, motor_count> &to, std::size_t keyframe,
                       milliseconds position) {
    const auto longest = milliseconds{move_time_range.high};
    const auto span = end - begin;
    const auto pieces = std::max<std::int64_t>(1, (span + longest - steady::duration{1}) / longest);
    const auto round_ms = [](steady::duration d) { return std::chrono::round<milliseconds>(d); };
    for (std::int64_t piece = 0; piece < pieces; ++piece) {
      const auto piece_begin = begin + span * piece / pieces;
      const auto piece_end = begin + span * (piece + 1) / pieces;
      Line line;
      line.at = piece_begin;
      const double fraction = static_cast<double>(piece + 1) / static_cast<double>(pieces);
      for (std::size_t i = 0; i < to.size(); ++i) {
        line.angles[i] = static_cast<int>(std::lround(from[i] + (to[i] - from[i]) * fraction));
      }
      // Rounded from the two absolute times, so rounding never adds up.
      line.time = std::clamp(round_ms(piece_end) - round_ms(piece_begin), milliseconds{0}, longest);
      line.keyframe = keyframe;
      line.position = position;
      lines.push_back(line);
    }
  }

  const Motion &motion_;
  const PlayOptions &options_;
};

}  // namespace

Player::Player(Robot &robot, Motion motion, PlayOptions options)
    : robot_(robot), motion_(checked(motion)), options_(std::move(options)) {
  if (const auto refusal = options_refusal(options_); !refusal.empty()) {
    throw std::invalid_argument("play: " + refusal);
  }
  if (options_.loops != 1 && motion_.duration() == milliseconds{0}) {
    throw std::invalid_argument("play: a motion that takes 0 ms cannot loop");
  }
  progress_.keyframes = motion_.keyframes.size();
  progress_.duration = motion_.duration();
  thread_ = std::jthread([this] { run(); });
}

Player::~Player() {
  stop();
}

void Player::pause() {
  const std::scoped_lock lock{mutex_};
  if (progress_.state != PlayState::playing || stop_requested_) return;
  pause_requested_ = true;
  paused_at_ = steady::now();
  progress_.state = PlayState::paused;
  changed_.notify_all();
}

void Player::resume() {
  const std::scoped_lock lock{mutex_};
  if (progress_.state != PlayState::paused || stop_requested_) return;
  pause_requested_ = false;
  paused_for_ += steady::now() - paused_at_;
  progress_.state = PlayState::playing;
  changed_.notify_all();
}

void Player::stop() {
  const std::scoped_lock lock{mutex_};
  stop_requested_ = true;
  changed_.notify_all();
}

Progress Player::progress() const {
  const std::scoped_lock lock{mutex_};
  return progress_;
}

std::optional<Error> Player::error() const {
  const std::scoped_lock lock{mutex_};
  return error_;
}

Progress Player::wait() {
  std::unique_lock lock{mutex_};
  changed_.wait(lock, [&] { return over_; });
  return progress_;
}

std::optional<Progress> Player::wait_for(milliseconds timeout) {
  std::unique_lock lock{mutex_};
  if (!changed_.wait_for(lock, timeout, [&] { return over_; })) return std::nullopt;
  return progress_;
}

bool Player::wait_until_due(steady::time_point due) {
  std::unique_lock lock{mutex_};
  while (true) {
    if (stop_requested_) return false;
    if (pause_requested_) {
      const auto paused = progress_;
      lock.unlock();
      report(paused);
      lock.lock();
      changed_.wait(lock, [&] { return !pause_requested_ || stop_requested_; });
      if (stop_requested_) return false;
      const auto resumed = progress_;
      lock.unlock();
      report(resumed);
      lock.lock();
      continue;
    }
    if (steady::now() >= due + paused_for_) return true;
    changed_.wait_until(lock, due + paused_for_);
  }
}

void Player::send(const Line &line) {
  if (line.event == nullptr) {
    robot_.pose(line.angles, line.time);
  } else {
    std::visit(
        [&](const auto &action) {
          using Kind = std::decay_t<decltype(action)>;
          if constexpr (std::is_same_v<Kind, LedSwitch>) {
            action.on ? robot_.led_on(action.led) : robot_.led_off(action.led);
          } else if constexpr (std::is_same_v<Kind, Tone>) {
            robot_.tone(action.first, action.second);
          } else if constexpr (std::is_same_v<Kind, Say>) {
            robot_.say(action.text);
          } else {
            robot_.speech_speed(action.speed);
          }
        },
        line.event->action);
  }
}

void Player::report(const Progress &progress) {
  if (options_.on_progress) options_.on_progress(progress);
}

void Player::run() {
  try {
    std::array<int, motor_count> last_sent{};
    if (holds_a_motor(motion_)) last_sent = clamped(robot_.telemetry().positions);
    auto start = steady::now();
    if (options_.start_at) {
      start = std::max(start, start + duration_cast<steady::duration>(
                                          *options_.start_at - std::chrono::system_clock::now()));
    }
    const PassBuilder builder{motion_, options_};
    for (int pass = 0; options_.loops == 0 || pass < options_.loops; ++pass) {
      for (const auto &line : builder.build<Line>(pass, last_sent)) {
        if (!wait_until_due(start + line.at)) return finish(PlayState::stopped);
        send(line);
        Progress sent;
        {
          const std::scoped_lock lock{mutex_};
          progress_.loop = pass;
          progress_.position = line.position;
          if (line.event == nullptr) progress_.keyframe = line.keyframe;
          sent = progress_;
        }
        // A pause asked for during the send is reported once it holds.
        sent.state = PlayState::playing;
        if (line.event == nullptr) report(sent);
      }
    }
    // Over once the robot has reached the last keyframe (or the last event is out).
    const int passes = options_.loops == 0 ? 1 : options_.loops;
    if (!wait_until_due(start + builder.offset(passes - 1, motion_.duration()))) {
      return finish(PlayState::stopped);
    }
    {
      const std::scoped_lock lock{mutex_};
      progress_.position = motion_.duration();
    }
    finish(PlayState::finished);
  } catch (const Error &error) {
    finish(PlayState::failed, error);
  } catch (const std::exception &error) {
    finish(PlayState::failed, Error(errc::exchange_failed, std::string{"play: "} + error.what()));
  } catch (...) {
    finish(PlayState::failed, Error(errc::exchange_failed, "play: the progress callback failed"));
  }
}

void Player::finish(PlayState state, std::optional<Error> error) {
  Progress last;
  {
    const std::scoped_lock lock{mutex_};
    progress_.state = state;
    error_ = std::move(error);
    last = progress_;
  }
  try {
    report(last);
  } catch (...) {
    // The play is over either way; a failing progress callback must not
    // leave waiters hanging.
  }
  const std::scoped_lock lock{mutex_};
  over_ = true;
  changed_.notify_all();
}

Progress play(Robot &robot, Motion motion, PlayOptions options) {
  Player player{robot, std::move(motion), std::move(options)};
  const auto last = player.wait();
  if (const auto error = player.error()) throw *error;
  return last;
}

}  // namespace tovlink::motion

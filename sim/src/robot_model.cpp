#include "tovlink_sim/robot_model.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace tovlink::sim {
namespace {

double clamp_angle(int angle) {
  return static_cast<double>(std::clamp(angle, min_angle, max_angle));
}

double seconds_between(time_point from, time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

// Speech lasts roughly as long as a person would take to say the text at the
// commanded speed (100 = normal).
milliseconds speech_duration(const std::string &text, int speed) {
  const auto per_char_ms = 90 * default_voice_speed / std::max(speed, 1);
  return milliseconds{200 + per_char_ms * static_cast<int>(text.size())};
}

}  // namespace

double robot_model::motion::at(time_point now) const {
  if (duration.count() <= 0 || now >= start + duration) return to;
  if (now <= start) return from;
  const double fraction =
      std::chrono::duration<double>(now - start) / std::chrono::duration<double>(duration);
  return from + (to - from) * fraction;
}

robot_model::robot_model(time_point power_up, std::uint32_t noise_seed)
    : power_up_(power_up), battery_time_(power_up), noise_(noise_seed) {
  adjustments_.fill(0);
}

template <typename Action>
void robot_model::for_motors(int motor, Action action) {
  if (motor == all_motors) {
    for (auto &m : motors_) action(m);
  } else if (valid_motor(motor)) {
    action(motors_[static_cast<std::size_t>(motor)]);
  }
}

void robot_model::drain_battery_until(time_point now) {
  if (now <= battery_time_) return;
  const double rate = motor_power_ ? powered_drain_mv_per_s : idle_drain_mv_per_s;
  battery_mv_ =
      std::max(empty_battery_mv, battery_mv_ - rate * seconds_between(battery_time_, now));
  battery_time_ = now;
}

void robot_model::motor_power_on(time_point now) {
  drain_battery_until(now);
  motor_power_ = true;
}

void robot_model::motor_power_off(time_point now) {
  drain_battery_until(now);
  motor_power_ = false;
}

void robot_model::set_power_value(int value, time_point now) {
  drain_battery_until(now);
  power_value_ = value;
}

void robot_model::save_power_limit() {
  saved_power_limit_ = power_value_;
}

void robot_model::start_motors() {
  started_ = true;
}

void robot_model::set_position(int motor, int angle, time_point now) {
  move_over(motor, angle, milliseconds{0}, now);
}

void robot_model::move_over(int motor, int angle, milliseconds duration, time_point now) {
  for_motors(motor, [&](motion &m) {
    // A new command takes over from wherever the servo is right now, so a
    // move interrupted half way continues smoothly from there.
    m = motion{m.at(now), clamp_angle(angle), now, duration, false};
  });
}

void robot_model::release(int motor, time_point now) {
  for_motors(motor, [&](motion &m) {
    const double here = m.at(now);
    m = motion{here, here, now, milliseconds{0}, true};
  });
}

bool robot_model::move_by_hand(int motor, int angle, time_point now) {
  if (motor_power_ || !valid_motor(motor)) return false;
  auto &servo = motors_[static_cast<std::size_t>(motor)];
  servo = motion{clamp_angle(angle), clamp_angle(angle), now, milliseconds{0}, servo.released};
  return true;
}

void robot_model::set_adjustment(int motor, int offset) {
  if (valid_motor(motor)) adjustments_[static_cast<std::size_t>(motor)] = offset;
}

void robot_model::set_led(int led, bool on) {
  if (!valid_led(led)) return;
  const auto found = std::find(leds_on_.begin(), leds_on_.end(), led);
  if (on && found == leds_on_.end()) {
    leds_on_.push_back(led);
    std::sort(leds_on_.begin(), leds_on_.end());
  } else if (!on && found != leds_on_.end()) {
    leds_on_.erase(found);
  }
}

void robot_model::play_tone(tone sound, time_point now) {
  last_tone_ = sound;
  tone_end_ = now + milliseconds{std::max(sound.duration_ms, 0)};
}

void robot_model::set_voice_speed(int speed) {
  voice_speed_ = speed;
}

void robot_model::speak(std::string text, time_point now) {
  speech_end_ = now + speech_duration(text, voice_speed_);
  last_speech_ = std::move(text);
}

int robot_model::noise(int amplitude) {
  std::uniform_int_distribution<int> spread(-amplitude, amplitude);
  return spread(noise_);
}

// A distance-like reading: something drifting slowly in front of the sensor.
int robot_model::sensor_at(time_point now) {
  const double t = seconds_between(power_up_, now);
  const double drift = 200.0 * std::sin(2.0 * std::numbers::pi * t / 11.0);
  return std::clamp(300 + static_cast<int>(std::lround(drift)) + noise(5), 0, analog_max);
}

// Room noise, and a loud level while the robot hears itself speak or beep.
int robot_model::mic_level_at(time_point now) {
  const bool own_sound = now < speech_end_ || now < tone_end_;
  const int level = own_sound ? 75 + noise(15) : 12 + noise(4);
  return std::clamp(level, 0, mic_level_max);
}

robot_state robot_model::sample(time_point now) {
  drain_battery_until(now);
  robot_state state;
  for (std::size_t i = 0; i < motors_.size(); ++i) {
    state.positions[i] = static_cast<int>(std::lround(motors_[i].at(now)));
    state.targets[i] = static_cast<int>(std::lround(motors_[i].to));
    state.moving[i] = motors_[i].moving(now);
    state.released[i] = motors_[i].released;
  }
  state.adjustments = adjustments_;
  state.motor_power = motor_power_;
  state.power_value = power_value_;
  state.reported_power = motor_power_ ? power_value_ : 0;
  state.saved_power_limit = saved_power_limit_;
  state.started = started_;
  state.sensor = sensor_at(now);
  state.mic = mic_level_at(now);
  state.mic_analog = std::clamp(512 + noise(state.mic * 4), 0, analog_max);
  state.battery_mv = static_cast<int>(std::lround(battery_mv_));
  state.leds_on = leds_on_;
  state.voice_speed = voice_speed_;
  state.last_speech = last_speech_;
  state.speaking = now < speech_end_;
  state.last_tone = last_tone_;
  state.sounding = now < tone_end_;
  state.uptime_ms = std::chrono::duration_cast<milliseconds>(now - power_up_).count();
  return state;
}

int robot_model::position_of(int motor, time_point now) const {
  if (!valid_motor(motor)) return 0;
  return static_cast<int>(std::lround(motors_[static_cast<std::size_t>(motor)].at(now)));
}

}  // namespace tovlink::sim

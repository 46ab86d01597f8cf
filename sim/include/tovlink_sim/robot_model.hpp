// State of the virtual robot: servos, LEDs, sound, speech, sensors and
// battery.  Time is passed in explicitly, so the model is a plain value that
// tests can drive through any time line without sleeping; the owner provides
// the locking when several threads share one.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace tovlink::sim {

using clock = std::chrono::steady_clock;
using time_point = clock::time_point;
using std::chrono::milliseconds;

inline constexpr int motor_count = 7;
// Motor number that addresses every motor at once in the wire's 0-6 numbering.
inline constexpr int all_motors = 255;
inline constexpr int min_angle = 0;
inline constexpr int max_angle = 180;
inline constexpr int home_angle = 90;
inline constexpr int min_voice_speed = 50;
inline constexpr int max_voice_speed = 300;
inline constexpr int default_voice_speed = 100;
// LEDs are numbered 1-6: two eyes (1 left, 2 right), the mouth (3), the chest
// (4) and the two ears (5 left, 6 right).  Other numbers are refused.
inline constexpr int first_led = 1;
inline constexpr int led_count = 6;
// Battery in millivolts: a full two-cell pack, and where the gauge stops.
inline constexpr double full_battery_mv = 7900.0;
inline constexpr double empty_battery_mv = 6000.0;
inline constexpr double idle_drain_mv_per_s = 0.2;
inline constexpr double powered_drain_mv_per_s = 2.0;
// Analog readings are 10-bit.
inline constexpr int analog_max = 1023;
inline constexpr int mic_level_max = 100;

struct tone {
  int frequency_hz = 0;
  int duration_ms = 0;
};

// Everything a host or a test may want to look at, taken at one instant.
struct robot_state {
  std::array<int, motor_count> positions{};
  std::array<int, motor_count> targets{};
  std::array<bool, motor_count> moving{};
  std::array<bool, motor_count> released{};
  std::array<int, motor_count> adjustments{};
  bool motor_power = false;
  int power_value = 0;        // last "#133,9,<value>"
  int reported_power = 0;     // power_value while powered, else 0
  int saved_power_limit = 0;  // kept by "#803"
  bool started = false;       // "#134" seen
  int sensor = 0;
  int mic = 0;
  int mic_analog = 0;
  int battery_mv = 0;
  std::vector<int> leds_on;
  int voice_speed = default_voice_speed;
  std::string last_speech;
  bool speaking = false;
  std::optional<tone> last_tone;
  bool sounding = false;
  std::int64_t uptime_ms = 0;
};

class robot_model {
 public:
  explicit robot_model(time_point power_up, std::uint32_t noise_seed = 1);

  void motor_power_on(time_point now);
  void motor_power_off(time_point now);
  void set_power_value(int value, time_point now);
  void save_power_limit();
  void start_motors();

  // motor is 0-6 or all_motors; angles are clamped to 0-180.
  void set_position(int motor, int angle, time_point now);
  void move_over(int motor, int angle, milliseconds duration, time_point now);
  void release(int motor, time_point now);
  // A person turning the servo (0-6) by hand to `angle` (clamped to 0-180):
  // the servo stays there.  Only while motor power is off: a powered servo
  // holds its position against the hand, and this returns false.
  bool move_by_hand(int motor, int angle, time_point now);
  void set_adjustment(int motor, int offset);

  // led is 1-6; other numbers are ignored (the protocol refuses them).
  void set_led(int led, bool on);
  void play_tone(tone sound, time_point now);
  void set_voice_speed(int speed);
  void speak(std::string text, time_point now);

  // Sensor and microphone readings carry a little noise, so sampling
  // advances the noise generator: not const.
  robot_state sample(time_point now);
  // Noise-free view for checks that only need the servos.
  int position_of(int motor, time_point now) const;

  static bool valid_motor(int motor) { return motor >= 0 && motor < motor_count; }
  static bool valid_led(int led) { return led >= first_led && led < first_led + led_count; }

 private:
  struct motion {
    double from = home_angle;
    double to = home_angle;
    time_point start{};
    milliseconds duration{0};
    bool released = false;
    double at(time_point now) const;
    bool moving(time_point now) const { return duration.count() > 0 && now < start + duration; }
  };

  template <typename Action>
  void for_motors(int motor, Action action);
  void drain_battery_until(time_point now);
  int noise(int amplitude);
  int sensor_at(time_point now);
  int mic_level_at(time_point now);

  time_point power_up_;
  std::array<motion, motor_count> motors_{};
  std::array<int, motor_count> adjustments_{};
  bool motor_power_ = false;
  int power_value_ = 0;
  int saved_power_limit_ = 0;
  bool started_ = false;
  double battery_mv_ = full_battery_mv;
  time_point battery_time_;
  std::vector<int> leds_on_;
  int voice_speed_ = default_voice_speed;
  std::string last_speech_;
  time_point speech_end_{};
  std::optional<tone> last_tone_;
  time_point tone_end_{};
  std::minstd_rand noise_;
};

}  // namespace tovlink::sim

// A C++ host: a small RAII wrapper over the C interface that turns result
// codes into exceptions, then the same visit as the C example: connect, read
// telemetry, move, end.
//
//   tovlink_example_cpp PORT [BAUD]
#include <tovlink.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <stdexcept>
#include <string>

namespace {

class link_error : public std::runtime_error {
 public:
  link_error(const std::string &operation, std::uint32_t code)
      : std::runtime_error(operation + " failed: result code " + std::to_string(code)) {}
};

void check(const char *operation, std::uint32_t code) {
  if (code != TOVLINK_OK) throw link_error(operation, code);
}

// Owns the process's connection: ends it however the scope is left.
class robot_link {
 public:
  robot_link(const std::string &port, std::int32_t baud)
      : handle_(tovlink_connect(port.c_str(), baud)) {
    if (handle_ == nullptr) throw link_error("tovlink_connect", tovlink_get_lasterror());
  }
  ~robot_link() { tovlink_end(handle_); }
  robot_link(const robot_link &) = delete;
  robot_link &operator=(const robot_link &) = delete;

  std::int32_t battery() { return read("tovlink_get_battery_value", tovlink_get_battery_value); }
  std::int32_t mic() { return read("tovlink_get_mic_value", tovlink_get_mic_value); }

  std::array<std::int32_t, 7> positions() {
    // Refresh the cache first: get_motor_positions only reads it.
    std::int32_t first = 0;
    check("tovlink_get_motor_position", tovlink_get_motor_position(handle_, 1, &first));
    std::array<std::int32_t, 7> angles{};
    check("tovlink_get_motor_positions",
          tovlink_get_motor_positions(handle_, &angles[0], &angles[1], &angles[2], &angles[3],
                                      &angles[4], &angles[5], &angles[6]));
    return angles;
  }

  void power_on(std::int32_t value) {
    check("tovlink_motor_power_on", tovlink_motor_power_on(handle_, value));
  }
  void move_all(const std::array<std::int32_t, 7> &angles, std::int32_t time_ms) {
    check("tovlink_motor_angle_multi_time",
          tovlink_motor_angle_multi_time(handle_, angles[0], angles[1], angles[2], angles[3],
                                         angles[4], angles[5], angles[6], time_ms));
  }

 private:
  using getter = std::uint32_t (*)(std::uint32_t *, std::int32_t *);
  std::int32_t read(const char *operation, getter get) {
    std::int32_t value = 0;
    check(operation, get(handle_, &value));
    return value;
  }

  std::uint32_t *handle_;
};

std::string library_version() {
  std::array<char, 16> text{};
  check("tovlin_get_lib_ver", tovlin_get_lib_ver(text.data(), text.size()));
  return text.data();
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) {
    std::cerr << "usage: " << argv[0] << " PORT [BAUD]\n";
    return 2;
  }
  const auto baud =
      static_cast<std::int32_t>(argc > 2 ? std::strtol(argv[2], nullptr, 10) : 115200);
  try {
    std::cout << "TovLinkLib " << library_version() << '\n';
    robot_link robot{argv[1], baud};
    std::cout << "battery " << robot.battery() << "\nmic " << robot.mic() << '\n';
    std::cout << "positions";
    for (const auto angle : robot.positions()) std::cout << ' ' << angle;
    std::cout << '\n';
    robot.power_on(500);
    robot.move_all({90, 60, 120, 90, 60, 120, 90}, 500);
    std::cout << "all motors sent over 500 ms\n";
  } catch (const std::exception &error) {
    std::cerr << error.what() << '\n';
    return 1;
  }
  return 0;
}

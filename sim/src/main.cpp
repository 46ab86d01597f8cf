// tovlink-sim: the virtual robot as a program.  Prints the pseudo-terminal's
// path on the first line of standard output, then serves until SIGINT or
// SIGTERM (or until --unplug-after has closed the port).
#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdio>
#include <ctime>
#include <exception>
#include <string>

#include "tovlink_sim/virtual_robot.hpp"

namespace {

using tovlink::sim::robot_options;

void add_options(CLI::App &app, robot_options &options, bool &log, double &unplug_seconds) {
  auto &faults = options.faults;
  app.add_option("--link", options.link_path,
                 "Make a symbolic link PATH to the port (removed on exit)")
      ->type_name("PATH");
  app.add_flag("--log", log, "Print every line received (rx) and sent (tx), time-stamped");
  app.add_option("--peer-id", options.peer_id, "Peer id the adapter reports for GDH")
      ->type_name("ID")
      ->capture_default_str();
  app.add_flag("--silent", faults.silent, "Never answer");
  app.add_flag("--no-mldp", faults.no_mldp, "Answer \"I\" with an error instead of MLDP");
  app.add_flag("--reject-link", faults.reject_link, "Answer the E,0 link line with an error");
  app.add_option_function<int>(
         "--latency", [&](int ms) { faults.latency = tovlink::sim::milliseconds{ms}; },
         "Wait MS milliseconds before each reply")
      ->type_name("MS")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--drop-every", faults.drop_every, "Withhold every Nth reply")
      ->type_name("N")
      ->check(CLI::PositiveNumber);
  app.add_flag("--garbage", faults.garbage,
               "Send 1-8 noise bytes (never CR or LF) right before each reply");
  app.add_flag("--split", faults.split, "Send replies in 3-byte chunks 5 ms apart");
  app.add_option("--unplug-after", unplug_seconds,
                 "Close the port for good after SECONDS, then exit")
      ->type_name("SECONDS")
      ->check(CLI::PositiveNumber);
  app.add_option("--seed", options.noise_seed, "Seed of the sensor and noise generators")
      ->type_name("N")
      ->capture_default_str();
}

void print_log_line(const std::string &line) {
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

sigset_t stop_signals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  return signals;
}

// Waits for SIGINT/SIGTERM, looking in on the robot now and then so an
// unplugged port also ends the program.
void wait_for_stop(const tovlink::sim::virtual_robot &robot, const sigset_t &signals) {
  const timespec tick{0, 100'000'000};
  while (robot.serving()) {
    if (sigtimedwait(&signals, nullptr, &tick) > 0) return;
  }
}

}  // namespace

int main(int argc, char **argv) {
  CLI::App app{"Virtual robot on a pseudo-terminal: plays the link adapter and the robot"};
  robot_options options;
  bool log = false;
  double unplug_seconds = 0;
  add_options(app, options, log, unplug_seconds);
  CLI11_PARSE(app, argc, argv);
  if (unplug_seconds > 0) {
    options.faults.unplug_after = std::chrono::duration_cast<tovlink::sim::milliseconds>(
        std::chrono::duration<double>(unplug_seconds));
  }
  if (log) options.log = print_log_line;

  // Blocked before the serving thread starts, so only sigtimedwait sees them.
  const auto signals = stop_signals();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  tovlink::sim::virtual_robot robot{options};
  try {
    robot.start();
  } catch (const std::exception &error) {
    std::fprintf(stderr, "tovlink-sim: %s\n", error.what());
    return 1;
  }
  std::printf("%s\n", robot.slave_path().c_str());
  std::fflush(stdout);
  std::fprintf(stderr, "tovlink-sim: serving on %s%s%s; Ctrl-C stops\n", robot.slave_path().c_str(),
               options.link_path.empty() ? "" : ", link ", options.link_path.c_str());
  wait_for_stop(robot, signals);
  const bool unplugged = !robot.serving();
  robot.stop();
  if (unplugged) std::fprintf(stderr, "tovlink-sim: port unplugged, exiting\n");
  return 0;
}

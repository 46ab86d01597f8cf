// tovlink-sim: the virtual robot as a program.  Prints the pseudo-terminal's
// path on the first line of standard output, then serves until SIGINT or
// SIGTERM (or until --unplug-after has closed the port).
//
// Exit status: 0 served and stopped, 1 could not start (pseudo-terminal,
// link in use), 2 bad command line — the same as tovlink's.
#include <CLI/CLI.hpp>

#include <charconv>
#include <cstdlib>

#include <poll.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <ctime>
#include <exception>
#include <sstream>
#include <string>
#include <system_error>

#include "tovlink_sim/virtual_robot.hpp"

#ifndef TOVLINK_SIM_VERSION
#define TOVLINK_SIM_VERSION "0"
#endif

namespace {

using tovlink::sim::robot_options;

constexpr int exit_failure = 1;
constexpr int exit_usage = 2;
constexpr int max_latency_ms = 60'000;

// A whole number in [low, high]; the message names the option's meaning.
CLI::Validator whole_in(long long low, long long high, const std::string &what) {
  const auto range = std::to_string(low) + "-" + std::to_string(high);
  return CLI::Validator(
      [=](std::string &input) -> std::string {
        long long value = 0;
        const auto *end = input.data() + input.size();
        const auto [stop, error] = std::from_chars(input.data(), end, value);
        if (input.empty() || error != std::errc{} || stop != end || value < low || value > high) {
          return what + " must be " + range + " (got '" + input + "')";
        }
        return {};
      },
      range);
}

CLI::Validator positive_seconds() {
  return CLI::Validator(
      [](std::string &input) -> std::string {
        char *end = nullptr;
        const double value = std::strtod(input.c_str(), &end);
        if (input.empty() || *end != '\0' || !(value > 0) || value > 1e6) {
          return "seconds must be a number above 0 (got '" + input + "')";
        }
        return {};
      },
      "SECONDS>0");
}

void add_options(CLI::App &app, robot_options &options, bool &log, double &unplug_seconds,
                 bool &hand) {
  auto &faults = options.faults;
  app.add_option("--link", options.link_path,
                 "Make a symbolic link PATH to the port (removed on exit)")
      ->type_name("PATH");
  app.add_flag("--log", log, "Print every line received (rx) and sent (tx), time-stamped");
  app.add_option("--peer-id", options.peer_id,
                 "Peer id the adapter reports for GDH (default 001EC0ABCDEF)")
      ->type_name("ID")
      ->capture_default_str();
  app.add_flag("--silent", faults.silent, "Never answer");
  app.add_flag("--no-mldp", faults.no_mldp, "Answer \"I\" with an error instead of MLDP");
  app.add_flag("--reject-link", faults.reject_link, "Answer the E,0 link line with an error");
  app.add_option_function<int>(
         "--latency", [&](int ms) { faults.latency = tovlink::sim::milliseconds{ms}; },
         "Wait MS milliseconds (0-60000) before each reply")
      ->type_name("MS")
      ->check(whole_in(0, max_latency_ms, "latency"));
  app.add_option("--ignore", faults.ignore_prefix,
                 "Withhold the replies to lines starting with TEXT (e.g. '#800')")
      ->type_name("TEXT");
  app.add_option("--drop-every", faults.drop_every, "Withhold every Nth reply")
      ->type_name("N")
      ->check(whole_in(1, 1'000'000, "N"));
  app.add_flag("--garbage", faults.garbage,
               "Send 1-8 noise bytes (never CR or LF) right before each reply");
  app.add_flag("--split", faults.split, "Send replies in 3-byte chunks 5 ms apart");
  app.add_option("--unplug-after", unplug_seconds,
                 "Close the port for good after SECONDS, then exit")
      ->type_name("SECONDS")
      ->check(positive_seconds());
  app.add_flag("--hand", hand,
               "Read hand moves from standard input, one 'MOTOR ANGLE' a line (motor power off)");
  app.add_option("--baud", options.line_rate_baud,
                 "Carry bytes at the pace of a serial line of N bits/s (10 bits a byte); "
                 "default: at once")
      ->type_name("N")
      ->check(whole_in(300, 4'000'000, "baud"));
  app.add_option("--seed", options.noise_seed,
                 "Seed of the sensor and noise generators (default 1)")
      ->type_name("N")
      ->capture_default_str();
}

// Help lists each option with its value's name only ("--latency MS"); the
// ranges and defaults are in the descriptions.
void tidy_help(CLI::App &app) {
  app.get_formatter()->column_width(26);
  for (auto *option : app.get_options()) {
    if (option->get_type_size() == 0 || option->get_positional()) continue;
    auto name = option->get_type_name();
    name = name.substr(0, name.find_first_of(":="));
    option->option_text(name);
  }
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

// One hand move typed on standard input: "MOTOR ANGLE" (motor 1-7, angle
// 0-180).  What went wrong goes to standard error; the robot keeps serving.
void hand_move(tovlink::sim::virtual_robot &robot, const std::string &line) {
  std::istringstream words{line};
  int motor = 0;
  int angle = 0;
  std::string rest;
  if (line.find_first_not_of(" \t\r") == std::string::npos) return;
  if (!(words >> motor >> angle) || (words >> rest)) {
    std::fprintf(stderr, "tovlink-sim: a hand move is 'MOTOR ANGLE' (got '%s')\n", line.c_str());
  } else if (!robot.move_by_hand(motor, angle)) {
    std::fprintf(stderr,
                 "tovlink-sim: hand move '%s' refused: motor 1-7, angle 0-180, motor power off\n",
                 line.c_str());
  }
}

// As wait_for_stop, reading hand moves from standard input meanwhile; its
// end (Ctrl-D) stops the reading, not the robot.
void wait_for_stop_taking_hand_moves(tovlink::sim::virtual_robot &robot, const sigset_t &signals) {
  const timespec no_wait{0, 0};
  std::string pending;
  bool input_open = true;
  while (robot.serving()) {
    if (sigtimedwait(&signals, nullptr, &no_wait) > 0) return;
    pollfd input{STDIN_FILENO, POLLIN, 0};
    if (!input_open || ::poll(&input, 1, 100) <= 0) {
      if (!input_open) {
        const timespec tick{0, 100'000'000};
        if (sigtimedwait(&signals, nullptr, &tick) > 0) return;
      }
      continue;
    }
    char buffer[256];
    const auto count = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (count <= 0) {
      input_open = false;
      continue;
    }
    pending.append(buffer, static_cast<std::size_t>(count));
    for (auto end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
      hand_move(robot, pending.substr(0, end));
      pending.erase(0, end + 1);
    }
    if (pending.size() > sizeof buffer) pending.clear();  // no line end in sight: not a hand move
  }
}

}  // namespace

int main(int argc, char **argv) {
  CLI::App app{"Virtual robot on a pseudo-terminal: plays the link adapter and the robot"};
  app.set_version_flag("--version", std::string{"tovlink-sim "} + TOVLINK_SIM_VERSION);
  robot_options options;
  bool log = false;
  double unplug_seconds = 0;
  bool hand = false;
  add_options(app, options, log, unplug_seconds, hand);
  tidy_help(app);
  app.footer(
      "The port's path is the first line on standard output.\n"
      "Exit status: 0 served and stopped, 1 could not start (e.g. the link is in\n"
      "use by another tovlink-sim), 2 bad command line.");
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp &help) {
    return app.exit(help);
  } catch (const CLI::CallForVersion &version) {
    return app.exit(version);
  } catch (const CLI::ParseError &error) {
    std::fprintf(stderr, "tovlink-sim: %s\nRun with --help for more information.\n", error.what());
    return exit_usage;
  }
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
    return exit_failure;
  }
  std::printf("%s\n", robot.slave_path().c_str());
  std::fflush(stdout);
  std::fprintf(stderr, "tovlink-sim: serving on %s%s%s; Ctrl-C stops\n", robot.slave_path().c_str(),
               options.link_path.empty() ? "" : ", link ", options.link_path.c_str());
  if (hand) {
    wait_for_stop_taking_hand_moves(robot, signals);
  } else {
    wait_for_stop(robot, signals);
  }
  const bool unplugged = !robot.serving();
  robot.stop();
  if (unplugged) std::fprintf(stderr, "tovlink-sim: port unplugged, exiting\n");
  return 0;
}

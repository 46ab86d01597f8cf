// tovlink: drives the robot from the command line, one command per run.
#include <CLI/CLI.hpp>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "commands.hpp"
#include "console.hpp"
#include "json.hpp"

namespace {

using namespace tovlink::tool;

constexpr int exit_usage = 2;

std::optional<long long> parse_whole(std::string_view text) {
  long long value = 0;
  const auto *end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || error != std::errc{} || stop != end) return std::nullopt;
  return value;
}

// A whole number in [low, high], with the error naming what it is, e.g.
// "motor must be 1–7 (got 9)".
CLI::Validator whole_in(long long low, long long high, const std::string &what,
                        bool allow_all = false) {
  const auto range = std::to_string(low) + "–" + std::to_string(high);
  return CLI::Validator(
      [=](std::string &input) -> std::string {
        if (allow_all && input == "all") return {};
        const auto value = parse_whole(input);
        if (!value || *value < low || *value > high) {
          return what + " must be " + range + (allow_all ? " or all" : "") + " (got '" + input +
                 "')";
        }
        return {};
      },
      allow_all ? range + "|all" : range);
}

CLI::Validator at_least(long long low, const std::string &what) {
  return CLI::Validator(
      [=](std::string &input) -> std::string {
        const auto value = parse_whole(input);
        if (!value || *value < low) {
          return what + " must be at least " + std::to_string(low) + " (got '" + input + "')";
        }
        return {};
      },
      ">=" + std::to_string(low));
}

struct cli {
  CLI::App app{"Drive the robot through its serial link adapter, one command per run."};
  request req;
  std::string motor_text;
  std::vector<std::string> words;
  std::vector<CLI::App *> leaves;  // the commands that run something

  CLI::App *command(CLI::App &parent, const std::string &name, const std::string &about) {
    auto *sub = parent.add_subcommand(name, about);
    sub->fallthrough();
    return sub;
  }
  CLI::App *leaf(CLI::App &parent, const std::string &name, const std::string &about) {
    auto *sub = command(parent, name, about);
    leaves.push_back(sub);
    return sub;
  }

  void add_time(CLI::App *sub) {
    sub->add_option("--time", req.time_ms, "Move over MS milliseconds (0–9999)")
        ->type_name("MS")
        ->check(whole_in(0, 9999, "time"));
  }

  cli() {
    app.require_subcommand(1);
    app.footer(
        "Results go to standard output (one JSON object per command with --json); the\n"
        "library's own diagnostic lines go to standard error. Exit status: 0 success,\n"
        "1 failure of the robot or the connection, 2 bad command line.");
    auto *port = app.add_option("--port", req.connection.port,
                                "Serial port of the adapter: /dev/ttyUSB0, ttyUSB0, COM3, ...")
                     ->type_name("NAME");
    if (virtual_robot_available()) {
      app.add_flag("--sim", req.connection.simulated,
                   "Run the virtual robot in this process and connect to it")
          ->excludes(port);
    }
    app.add_option("--baud", req.connection.baud, "Baud rate")
        ->capture_default_str()
        ->check(at_least(1, "baud rate"));
    app.add_flag("--json", req.json, "Print one JSON object per command on standard output");
    app.add_flag("-v,--verbose", req.verbose,
                 "Show the library's diagnostic lines on a terminal too");

    leaf(app, "status", "Every telemetry value, as a table");
    leaf(app, "who", "Identification (robot's reply to #800)");
    leaf(app, "info", "Information (#805)");
    leaf(app, "init", "Initial settings (#804)");
    leaf(app, "mic-range", "Initial microphone range (#806)");
    leaf(app, "power-limit", "Initial power limit (#807)");
    leaf(app, "position", "Positions as text (#142)");

    auto *move = leaf(app, "move", "Move one motor (or all) to an angle");
    move->add_option("MOTOR", motor_text, "Motor 1–7, or all")
        ->required()
        ->check(whole_in(1, motor_count, "motor", true));
    move->add_option("ANGLE", req.angle, "Angle 0–180 (motors 2, 3, 5, 6 are held to 55–125)")
        ->required()
        ->check(whole_in(0, 180, "angle"));
    add_time(move);

    auto *pose = leaf(app, "pose", "Move all seven motors at once");
    pose->add_option("ANGLES", req.angles, "Seven angles, motor 1 first, each 0–180")
        ->required()
        ->expected(motor_count)
        ->check(whole_in(0, 180, "angle"));
    add_time(pose);

    auto *power = command(app, "power", "Motor power on or off");
    power->require_subcommand(1);
    auto *power_on = leaf(*power, "on", "Power the motors");
    power_on->add_option("VALUE", req.power_value, "Power value, at least 500")
        ->capture_default_str()
        ->check(at_least(min_power_value, "power value"));
    leaf(*power, "off", "Power the motors off");

    auto *led = command(app, "led", "Switch an LED");
    led->require_subcommand(1);
    for (const auto *state : {"on", "off"}) {
      leaf(*led, state, std::string{"Switch LED N "} + state)
          ->add_option("N", req.led, "LED number")
          ->required()
          ->check(at_least(0, "LED number"));
    }

    auto *sound = leaf(app, "sound", "Play a tone (the virtual robot takes A as Hz, B as ms)");
    sound->add_option("A", req.first, "First value, 0–99999")
        ->required()
        ->check(whole_in(0, 99999, "A"));
    sound->add_option("B", req.second, "Second value, 0–9999")
        ->required()
        ->check(whole_in(0, 9999, "B"));

    auto *say = leaf(app, "say", "Speak a text of at most 39 bytes");
    say->add_option("TEXT", words, "Words to speak")->required();

    auto *speed = leaf(app, "speed", "Speech speed");
    speed->add_option("N", req.speed, "Speed 50–300")
        ->required()
        ->check(whole_in(50, 300, "speed"));

    leaf(app, "version", "Versions of the tool and the library (no connection)");

    auto *monitor = leaf(app, "monitor", "Live telemetry until Ctrl-C");
    monitor->add_option("--rate", req.rate_hz, "Samples per second (0.1–20)")
        ->type_name("HZ")
        ->capture_default_str()
        ->check(CLI::Range(0.1, 20.0));
    monitor->add_option("--count", req.samples, "Stop after N samples")
        ->type_name("N")
        ->check(at_least(1, "count"));

    leaf(app, "demo", "Connect, show telemetry, wave an arm, speak, show the battery");
  }

  // "power on", "led off", "status", ...
  std::string chosen_command() const {
    for (const auto *sub : leaves) {
      if (!sub->parsed()) continue;
      const auto *parent = sub->get_parent();
      return parent == &app ? sub->get_name() : parent->get_name() + " " + sub->get_name();
    }
    return {};
  }
};

bool wants_json(int argc, char **argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--json") == 0) return true;
  }
  return false;
}

// CLI11 reports a misspelt command only as a missing one; name the word.
std::string missing_command_message(const CLI::App &app, int argc, char **argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg{argv[i]};
    if (arg == "--port" || arg == "--baud") {
      ++i;
    } else if (!arg.starts_with('-')) {
      const auto known =
          app.get_subcommands([&](const CLI::App *sub) { return sub->get_name() == arg; });
      return known.empty() ? "unknown command '" + std::string{arg} + "'"
                           : "a command is required (see --help)";
    }
  }
  return "a command is required (see --help)";
}

// "power" without "on" or "off", a command missing altogether, or a missing
// argument of a command.
std::string required_message(const CLI::App &app, const CLI::RequiredError &error, int argc,
                             char **argv) {
  const auto chosen = app.get_subcommands();
  if (chosen.empty()) return missing_command_message(app, argc, argv);
  const CLI::App *group = chosen.front();
  if (group->get_require_subcommand_min() > 0 && group->get_subcommands().empty()) {
    std::string choices;
    for (const auto *sub : group->get_subcommands([](const CLI::App *) { return true; })) {
      choices += (choices.empty() ? "" : " or ") + sub->get_name();
    }
    return "'" + group->get_name() + "' needs " + choices;
  }
  return std::string{"invalid argument: "} + error.what();
}

int usage_error(const std::string &message, bool json) {
  std::fprintf(stderr, "tovlink: %s\nRun with --help for more information.\n", message.c_str());
  if (json) {
    json_object fields;
    fields.flag("ok", false).text("error", message);
    std::printf("%s\n", fields.str().c_str());
  }
  return exit_usage;
}

// Checks that need more than one argument, after parsing.
std::string check_request(cli &c) {
  auto &req = c.req;
  if (req.command == "move") {
    req.motor = c.motor_text == "all" ? all_motors : std::stoi(c.motor_text);
  }
  if (req.command == "say") {
    for (const auto &word : c.words) req.text += (req.text.empty() ? "" : " ") + word;
    if (req.text.size() > max_speech_bytes) {
      return "invalid argument: TEXT: text must be at most 39 bytes (got " +
             std::to_string(req.text.size()) + ")";
    }
  }
  if (needs_connection(req.command) && !req.connection.simulated && req.connection.port.empty()) {
    return virtual_robot_available() ? "no robot given: use --port NAME or --sim"
                                     : "no robot given: use --port NAME";
  }
  return {};
}

}  // namespace

int main(int argc, char **argv) {
  cli c;
  try {
    c.app.parse(argc, argv);
  } catch (const CLI::CallForHelp &help) {
    return c.app.exit(help);
  } catch (const CLI::CallForAllHelp &help) {
    return c.app.exit(help);
  } catch (const CLI::RequiredError &error) {
    return usage_error(required_message(c.app, error, argc, argv), wants_json(argc, argv));
  } catch (const CLI::ParseError &error) {
    return usage_error(std::string{"invalid argument: "} + error.what(), wants_json(argc, argv));
  }
  c.req.command = c.chosen_command();
  if (const auto problem = check_request(c); !problem.empty()) {
    return usage_error(problem, c.req.json);
  }
  console io;
  return run_request(c.req, io);
}

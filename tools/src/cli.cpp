#include "cli.hpp"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <charconv>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string_view>

namespace tovlink::tool {
namespace {

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

// Help lists an option with its value's name only ("--port NAME"): ranges,
// defaults and exclusions are in the descriptions.
void tidy_help(CLI::App &app) {
  for (auto *option : app.get_options()) {
    if (option->get_positional()) {
      option->option_text(" ");
    } else if (option->get_type_size() != 0) {
      auto name = option->get_type_name();
      option->option_text(name.substr(0, name.find_first_of(":=")));
    }
  }
  for (auto *sub : app.get_subcommands([](const CLI::App *) { return true; })) tidy_help(*sub);
}

struct cli {
  CLI::App app{"Drive the robot through its serial link adapter or the robot service.", "tovlink"};
  request req;
  connection_options connection;
  std::string motor_text;
  std::vector<int> angles;
  std::vector<std::string> words;
  std::vector<CLI::Option *> connection_options_given;
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
        ->check(whole_in(0, max_time_ms, "time"));
  }

  void add_connection_options() {
    connection_options_given.push_back(
        app.add_option("--port", connection.port,
                       "Adapter's serial port: /dev/ttyUSB0, ttyUSB0, COM3")
            ->type_name("NAME"));
    if (virtual_robot_available()) {
      connection_options_given.push_back(app.add_flag(
          "--sim", connection.simulated, "Run the virtual robot in this process and use it"));
    }
    connection_options_given.push_back(
        app.add_option("--baud", connection.baud, "Baud rate (default 115200)")
            ->type_name("N")
            ->check(at_least(1, "baud rate")));
    if (daemon_client_available()) {
      connection_options_given.push_back(
          app.add_option("--daemon", connection.daemon, "The robot service's socket")
              ->type_name("PATH"));
      connection_options_given.push_back(
          app.add_option("--robot", connection.robot, "The service's robot to drive")
              ->type_name("NAME"));
      connection_options_given.push_back(app.add_flag(
          "--direct", connection.direct, "Use the library on --port even if the service runs"));
    }
  }

  cli() {
    app.require_subcommand(1);
    app.get_formatter()->column_width(22);
    add_connection_options();
    app.add_flag("--json", req.json, "Print one JSON object per command on standard output");
    app.add_flag("-v,--verbose", req.verbose, "Show the library's diagnostic lines");

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
    pose->add_option("ANGLES", angles, "Seven angles 0–180, motor 1 first")
        ->required()
        ->expected(motor_count)
        ->check(whole_in(0, 180, "angle"));
    add_time(pose);

    auto *power = command(app, "power", "Motor power on or off");
    power->require_subcommand(1);
    auto *power_on = leaf(*power, "on", "Power the motors");
    power_on->add_option("VALUE", req.power_value, "Power value, at least 500 (default 1000)")
        ->check(at_least(min_power_value, "power value"));
    leaf(*power, "off", "Power the motors off");

    auto *led = command(app, "led", "Switch an LED on or off (LEDs 1–6)");
    led->require_subcommand(1);
    for (const auto *state : {"on", "off"}) {
      leaf(*led, state, std::string{"Switch LED N "} + state)
          ->add_option("N", req.led, "LED 1–6: eyes 1 2, mouth 3, chest 4, ears 5 6")
          ->required()
          ->check(whole_in(first_led, first_led + led_count - 1, "LED"));
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

    leaf(app, "version", "Versions of the tool and the library (no robot needed)");
    leaf(app, "devices", "The service's robots (or the port opened directly)");

    auto *monitor = leaf(app, "monitor", "Live telemetry until Ctrl-C");
    monitor->add_option("--rate", req.rate_hz, "Samples per second, 0.1–20 (default 2)")
        ->type_name("HZ")
        ->check(CLI::Range(0.1, 20.0));
    monitor->add_option("--count", req.samples, "Stop after N samples")
        ->type_name("N")
        ->check(at_least(1, "count"));

    leaf(app, "demo", "Show telemetry, wave an arm, speak, show the battery");
    leaf(app, "shell", "Connect once, then run command after command");
    tidy_help(app);
    // Set last, so the commands' own help does not repeat it.
    app.footer(
        "The robot: --sim; else --port NAME; else the service tovlinkd when it runs\n"
        "(--daemon PATH or $TOVLINK_DAEMON, else its usual socket; --robot NAME picks one\n"
        "of its robots); else $TOVLINK_PORT.\n"
        "\n"
        "Results go to standard output (one JSON object per command with --json),\n"
        "messages and errors to standard error. Exit status: 0 success, 1 the robot, the\n"
        "service or the connection failed, 2 bad command line, 3 the robot was\n"
        "disconnected, 130 interrupted. `tovlink COMMAND --help` describes a command.");
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

  bool names_connection() const {
    return std::any_of(connection_options_given.begin(), connection_options_given.end(),
                       [](const CLI::Option *option) { return option->count() > 0; });
  }
};

bool wants_json(const std::vector<std::string> &args) {
  return std::find(args.begin(), args.end(), "--json") != args.end();
}

// CLI11 reports a misspelt command only as a missing one; name the word.
std::string missing_command_message(const CLI::App &app, const std::vector<std::string> &args) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg{args[i]};
    if (arg == "--port" || arg == "--baud" || arg == "--daemon" || arg == "--robot") {
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
std::string required_message(const CLI::App &app, const CLI::RequiredError &error,
                             const std::vector<std::string> &args) {
  const auto chosen = app.get_subcommands();
  if (chosen.empty()) return missing_command_message(app, args);
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

// Checks that need more than one argument, after parsing.
std::string check_request(cli &c) {
  auto &req = c.req;
  if (req.command == "move") {
    req.motor = c.motor_text == "all" ? all_motors : std::stoi(c.motor_text);
  }
  if (c.connection.simulated && !c.connection.port.empty()) {
    return "--sim and --port name two robots: give one";
  }
  if (req.command == "pose") std::copy(c.angles.begin(), c.angles.end(), req.angles.begin());
  if (req.command == "say") {
    for (const auto &word : c.words) req.text += (req.text.empty() ? "" : " ") + word;
    if (req.text.size() > static_cast<std::size_t>(max_speech_bytes)) {
      return "invalid argument: TEXT: text must be at most 39 bytes (got " +
             std::to_string(req.text.size()) + ")";
    }
  }
  return {};
}

}  // namespace

int usage_error(const std::string &message, bool json) {
  std::fprintf(stderr, "tovlink: %s\nRun with --help for more information.\n", message.c_str());
  if (json) {
    const nlohmann::ordered_json fields{{"ok", false}, {"error", message}};
    std::printf("%s\n",
                fields.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    std::fflush(stdout);
  }
  return exit_usage;
}

parsed_line parse_command_line(const std::vector<std::string> &args, bool json_default) {
  cli c;
  parsed_line result;
  const bool json = json_default || wants_json(args);
  try {
    // CLI11 takes the words last first.
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    c.app.parse(reversed);
  } catch (const CLI::CallForHelp &help) {
    result.status = c.app.exit(help);
    return result;
  } catch (const CLI::CallForAllHelp &help) {
    result.status = c.app.exit(help);
    return result;
  } catch (const CLI::RequiredError &error) {
    result.status = usage_error(required_message(c.app, error, args), json);
    return result;
  } catch (const CLI::ParseError &error) {
    result.status = usage_error(std::string{"invalid argument: "} + error.what(), json);
    return result;
  }
  c.req.command = c.chosen_command();
  c.req.json = c.req.json || json_default;
  if (const auto problem = check_request(c); !problem.empty()) {
    result.status = usage_error(problem, c.req.json);
    return result;
  }
  result.req = c.req;
  result.connection = c.connection;
  result.names_connection = c.names_connection();
  return result;
}

}  // namespace tovlink::tool

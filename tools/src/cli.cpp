#include "cli.hpp"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <nlohmann/json.hpp>
#include <string_view>
#include <utility>
#include <vector>

namespace tovlink::tool {
namespace {

std::optional<int> parse_whole(std::string_view text) {
  int value = 0;
  const auto *end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || error != std::errc{} || stop != end) return std::nullopt;
  return value;
}

// A robot argument is checked for being a whole number, nothing more: what
// the robot takes is the library's to decide, and it refuses with the same
// words directly and through the service.
CLI::Validator whole_number(const std::string &what, bool allow_all = false) {
  return CLI::Validator(
      [=](std::string &input) -> std::string {
        if (allow_all && input == "all") return {};
        if (!parse_whole(input)) {
          return what + " must be a whole number" + (allow_all ? " or all" : "") + " (got '" +
                 input + "')";
        }
        return {};
      },
      allow_all ? "N|all" : "N");
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

// Help text broken into lines that fit the description column of an
// 80-column terminal.
std::string wrapped(std::string_view text) {
  constexpr std::size_t width = 56;
  std::string lines;
  std::size_t line_length = 0;
  while (!text.empty()) {
    const auto space = text.find(' ');
    const auto word = text.substr(0, space);
    text = space == std::string_view::npos ? std::string_view{} : text.substr(space + 1);
    if (line_length > 0 && line_length + 1 + word.size() > width) {
      lines += '\n';
      line_length = 0;
    } else if (line_length > 0) {
      lines += ' ';
      ++line_length;
    }
    lines += word;
    line_length += word.size();
  }
  return lines;
}

// "motors 1, 4, 7 take 0-180; motors 2, 3, 5, 6 take 55-125"
std::string motor_ranges_text() {
  std::vector<std::pair<tovlink::Range, std::string>> groups;
  for (int motor = 1; motor <= motor_count; ++motor) {
    const auto range = tovlink::angle_range(motor);
    const auto group = std::find_if(groups.begin(), groups.end(),
                                    [&](const auto &known) { return known.first == range; });
    if (group == groups.end()) {
      groups.emplace_back(range, std::to_string(motor));
    } else {
      group->second += ", " + std::to_string(motor);
    }
  }
  std::string text;
  for (const auto &[range, motors] : groups) {
    text += (text.empty() ? "motors " : "; motors ") + motors + " take " + range_text(range);
  }
  return text;
}

// "at least 500" for a range open at the top, else "500-9999".
std::string value_range_text(const tovlink::Range &range) {
  if (range.high == std::numeric_limits<std::int32_t>::max()) {
    return "at least " + std::to_string(range.low);
  }
  return range_text(range);
}

// "1 left eye, 2 right eye, ..."
std::string led_names_text() {
  std::string text;
  for (const auto &led : tovlink::leds) {
    text += (text.empty() ? "" : ", ") + std::to_string(led.number) + " " + std::string{led.name};
  }
  return text;
}

// What each text query is for, in the help; the name and the line it sends
// are the contract's.
std::string_view query_about(tovlink::Query query) {
  switch (query) {
    case tovlink::Query::who:
      return "Identification";
    case tovlink::Query::motor_power:
      return "Motor power and its value";
    case tovlink::Query::motor_power_set:
      return "Store the power limit and show it";
    case tovlink::Query::init:
      return "Initial settings";
    case tovlink::Query::info:
      return "Information";
    case tovlink::Query::init_mic_range:
      return "Initial microphone range";
    case tovlink::Query::init_power_limit:
      return "Initial power limit";
    case tovlink::Query::position:
      return "Positions as text";
  }
  return "The robot's reply";
}

// The shorter names two queries had in the tool before it took the
// contract's; kept so scripts go on working.
std::string_view former_name(tovlink::Query query) {
  switch (query) {
    case tovlink::Query::init_mic_range:
      return "mic-range";
    case tovlink::Query::init_power_limit:
      return "power-limit";
    default:
      return {};
  }
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
  std::string since_text;
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
    sub->add_option("--time", req.time_ms,
                    "Move over MS milliseconds (" + range_text(tovlink::move_time_range) + ")")
        ->type_name("MS")
        ->check(whole_number("time"));
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
      app.add_option("--robot", connection.robot, "The service's robot to drive")
          ->type_name("NAME");
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
    for (const auto &query : tovlink::queries) {
      auto *sub =
          leaf(app, std::string{query.name},
               std::string{query_about(query.query)} + " (" + std::string{query.line} + ")");
      if (const auto former = former_name(query.query); !former.empty()) {
        sub->alias(std::string{former});
      }
    }

    auto *move = leaf(app, "move", "Move one motor (or all) to an angle");
    move->add_option("MOTOR", motor_text, "Motor 1-" + std::to_string(motor_count) + ", or all")
        ->required()
        ->check(whole_number("motor", true));
    move->add_option("ANGLE", req.angle,
                     wrapped("Angle, clamped to the motor's range: " + motor_ranges_text()))
        ->required()
        ->check(whole_number("angle"));
    add_time(move);

    auto *pose = leaf(app, "pose", "Move every motor at once, each to its own angle");
    pose->add_option("ANGLES", angles,
                     wrapped(std::to_string(motor_count) +
                             " angles, motor 1 first, each clamped to its motor's range"))
        ->required()
        ->expected(motor_count)
        ->check(whole_number("angle"));
    add_time(pose);

    auto *power = command(app, "power", "Motor power on or off");
    power->require_subcommand(1);
    auto *power_on = leaf(*power, "on", "Power the motors");
    power_on
        ->add_option("VALUE", req.power_value,
                     "Power value, " + value_range_text(tovlink::power_value_range) + " (default " +
                         std::to_string(tovlink::default_power_value) + ")")
        ->check(whole_number("power value"));
    leaf(*power, "off", "Power the motors off");

    auto *led = command(app, "led",
                        "Switch an LED on or off (LEDs " + range_text(tovlink::led_range) + ")");
    led->require_subcommand(1);
    for (const auto *state : {"on", "off"}) {
      leaf(*led, state, std::string{"Switch LED N "} + state)
          ->add_option("N", req.led,
                       wrapped("LED " + range_text(tovlink::led_range) + ": " + led_names_text()))
          ->required()
          ->check(whole_number("LED"));
    }

    auto *sound = leaf(app, "sound", "Play a tone (the virtual robot takes A as Hz, B as ms)");
    sound->add_option("A", req.first, "First value, " + range_text(tovlink::tone_first_range))
        ->required()
        ->check(whole_number("A"));
    sound->add_option("B", req.second, "Second value, " + range_text(tovlink::tone_second_range))
        ->required()
        ->check(whole_number("B"));

    auto *say = leaf(app, "say",
                     "Speak a text of at most " + std::to_string(tovlink::max_speech_bytes) +
                         " bytes, without line ends");
    say->add_option("TEXT", words, "Words to speak")->required();

    auto *speed = leaf(app, "speed", "Speech speed");
    speed->add_option("N", req.speed, "Speed " + range_text(tovlink::speech_speed_range))
        ->required()
        ->check(whole_number("speed"));

    leaf(app, "version", "Versions of the tool and the library (no robot needed)");
    leaf(app, "devices", "The service's robots (or the port opened directly)");

    auto *monitor = leaf(app, "monitor", "Live telemetry until Ctrl-C");
    monitor->add_option("--rate", req.rate_hz, "Samples per second, 0.1-20 (default 2)")
        ->type_name("HZ")
        ->check(CLI::Range(0.1, 20.0));
    monitor->add_option("--count", req.samples, "Stop after N samples")
        ->type_name("N")
        ->check(at_least(1, "count"));
    monitor
        ->add_option("--since", since_text,
                     wrapped("First the readings the service kept of the last SPAN (90s, "
                             "5m, 1h; through the service only)"))
        ->type_name("SPAN")
        ->check(CLI::Validator(
            [](std::string &input) -> std::string {
              return parse_span(input)
                         ? std::string{}
                         : "span must be a whole number with s, m, h or ms (got '" + input + "')";
            },
            "SPAN"));

    auto *play = leaf(app, "play", "Play a motion, with its progress, until it ends or Ctrl-C");
    play->add_option("MOTION", req.motion,
                     wrapped("A motion file (a path holding '/' or ending in .json) or the name "
                             "of one of the service's motions"))
        ->required();
    play->add_option("--speed", req.play_speed, "Speed factor, 0.1-10 (default 1)")->type_name("X");
    play->add_option("--loop", req.loops, "Play it N times; 0 until Ctrl-C (default 1)")
        ->type_name("N")
        ->check(at_least(0, "loop count"));
    play->add_option("--soft-start", req.soft_start_ms,
                     "Ease to the first pose over MS more milliseconds")
        ->type_name("MS")
        ->check(at_least(0, "soft start"));

    auto *record = leaf(app, "record", "Record the robot's movement into a motion file");
    record->add_option("FILE", req.motion, "The motion file to write")->required();
    record->add_option("--seconds", req.seconds, "Record for SECONDS (Ctrl-C ends it sooner)")
        ->type_name("SECONDS")
        ->required()
        ->check(CLI::Range(0.0, 3600.0));
    record
        ->add_option("--interval", req.interval_ms,
                     wrapped("Read the positions every MS milliseconds, 10-10000 (default 50)"))
        ->type_name("MS")
        ->check(whole_number("interval"));
    record
        ->add_option("--tolerance", req.tolerance,
                     wrapped("Keep the keyframes that stay within DEG degrees of every sample "
                             "(default 2)"))
        ->type_name("DEG")
        ->check(CLI::Range(0.0, 180.0));
    record->add_option("--name", req.motion_name, "The motion's name (default: the file's)")
        ->type_name("NAME");

    auto *motions = leaf(app, "motions", "The service's motions: list, get, save, delete");
    motions
        ->add_option("ACTION", req.action,
                     wrapped("list (the default); get NAME (print it); save FILE; delete NAME"))
        ->check(CLI::IsMember({"list", "get", "save", "delete"}));
    motions->add_option("TARGET", req.action_target, "The motion's NAME, or the FILE to save");

    leaf(app, "demo", "Show telemetry, wave an arm, speak, show the battery");
    if (daemon_client_available()) {
      auto *fleet = leaf(app, "fleet", "The site's robots; with a COMMAND, sent to them all");
      fleet->add_option("COMMAND", req.words, "A command and its arguments, e.g. led on 3");
      // Everything after the command's name is the command's, options too.
      fleet->prefix_command();
      fleet->fallthrough(false);
    }
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
        "service or the connection failed, 2 bad command line or an argument the robot\n"
        "does not take, 3 the robot was disconnected, 130 interrupted.\n"
        "`tovlink COMMAND --help` describes a command.");
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
    // --robot alone is not a connection option: the shell lets a line name
    // another robot of its service.
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

// The words after a command's name, as given (CLI11 hands back the words
// it did not take in its own order).
std::vector<std::string> words_after_command(const std::vector<std::string> &args,
                                             std::string_view command) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg{args[i]};
    if (arg == "--port" || arg == "--baud" || arg == "--daemon" || arg == "--robot") {
      ++i;
    } else if (arg == command) {
      return {args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end()};
    }
  }
  return {};
}

// Checks that need more than one argument, after parsing.
std::string check_request(cli &c, const std::vector<std::string> &args) {
  auto &req = c.req;
  if (req.command == "move") {
    req.motor = c.motor_text == "all" ? all_motors : parse_whole(c.motor_text).value_or(0);
  }
  if (c.connection.simulated && !c.connection.port.empty()) {
    return "--sim and --port name two robots: give one";
  }
  if (req.command == "pose") std::copy(c.angles.begin(), c.angles.end(), req.angles.begin());
  if (!c.since_text.empty()) req.since = parse_span(c.since_text);
  if (req.command == "fleet") req.words = words_after_command(args, "fleet");
  if (req.command == "motions") {
    if (req.action.empty()) req.action = "list";
    if (req.action != "list" && req.action_target.empty()) {
      return "'motions " + req.action + "' needs " + (req.action == "save" ? "a FILE" : "a NAME");
    }
    if (req.action == "list" && !req.action_target.empty()) {
      return "'motions list' takes nothing more (got '" + req.action_target + "')";
    }
  }
  if (req.command == "say") {
    for (const auto &word : c.words) req.text += (req.text.empty() ? "" : " ") + word;
  }
  return {};
}

}  // namespace

std::optional<std::chrono::milliseconds> parse_span(std::string_view text) {
  std::size_t digits = 0;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
  const auto number = parse_whole(text.substr(0, digits));
  if (!number || *number < 0) return std::nullopt;
  const auto unit = text.substr(digits);
  const long long value = *number;
  if (unit == "ms") return std::chrono::milliseconds{value};
  if (unit.empty() || unit == "s") return std::chrono::seconds{value};
  if (unit == "m") return std::chrono::minutes{value};
  if (unit == "h") return std::chrono::hours{value};
  return std::nullopt;
}

std::vector<std::string> command_names() {
  cli c;
  std::vector<std::string> names;
  for (const auto *sub : c.app.get_subcommands([](const CLI::App *) { return true; })) {
    names.push_back(sub->get_name());
    for (const auto &alias : sub->get_aliases()) names.push_back(alias);
  }
  return names;
}

std::vector<std::string> group_words(const std::string &group) {
  cli c;
  std::vector<std::string> words;
  const auto groups =
      c.app.get_subcommands([&](const CLI::App *sub) { return sub->get_name() == group; });
  if (groups.empty()) return words;
  for (const auto *sub : groups.front()->get_subcommands([](const CLI::App *) { return true; })) {
    words.push_back(sub->get_name());
  }
  return words;
}

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
  if (const auto problem = check_request(c, args); !problem.empty()) {
    result.status = usage_error(problem, c.req.json);
    return result;
  }
  result.req = c.req;
  result.connection = c.connection;
  result.names_connection = c.names_connection();
  result.req.robot = c.connection.robot;
  return result;
}

}  // namespace tovlink::tool

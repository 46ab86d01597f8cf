// tovlink: drives the robot from the command line — one command per run, or
// a shell that connects once — through the robot service when it runs, else
// through the library on the adapter's port.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "access.hpp"
#include "cli.hpp"
#include "commands.hpp"
#include "console.hpp"
#include "shell.hpp"

namespace {

using namespace tovlink::tool;

std::string environment(const char *name) {
  const char *value = std::getenv(name);
  return value == nullptr ? std::string{} : std::string{value};
}

// TOVLINK_PORT stands in for --port, after a running service; TOVLINK_DAEMON
// for --daemon, unless a port was named on the command line.
connection_options with_environment(connection_options options) {
  options.env_port = environment("TOVLINK_PORT");
  if (options.daemon.empty() && options.port.empty() && !options.simulated && !options.direct) {
    options.daemon = environment("TOVLINK_DAEMON");
  }
  return options;
}

// The library's diagnostic lines, shown with --verbose (and whenever standard
// error is not a terminal): above the spinner while it runs, not through it.
struct log_router {
  std::FILE *stream = stderr;
  bool show = false;
  progress_line *progress = nullptr;  // the connect's spinner, while it runs

  void print(std::string_view line) const {
    if (!show) return;
    if (progress != nullptr) {
      progress->print(stream, line);
    } else {
      std::fprintf(stream, "%.*s\n", static_cast<int>(line.size()), line.data());
    }
  }
};

// Opens the robot with a spinner meanwhile; Ctrl-C cancels the connect.
std::unique_ptr<robot_access> connect(const request &req, const connection_options &options,
                                      const console &io) {
  auto router = std::make_shared<log_router>();
  router->stream = io.err();
  router->show = req.verbose || !io.err_is_terminal();
  std::stop_source stop;
  const interrupt_scope interrupts;
  const std::string target = options.simulated         ? "the virtual robot"
                             : !options.port.empty()   ? options.port
                             : !options.daemon.empty() ? "the service"
                                                       : "the robot";
  progress_line progress{io.err_is_terminal() && !req.json ? io.err() : nullptr,
                         "connecting to " + target, stop};
  router->progress = &progress;
  struct detach {
    log_router &router;
    ~detach() { router.progress = nullptr; }
  } detach_at_exit{*router};
  return open_robot(
      options, [router](std::string_view line) { router->print(line); }, stop.get_token());
}

}  // namespace

int main(int argc, char **argv) {
  const console io;
  const std::vector<std::string> args(argv + 1, argv + argc);
  const auto parsed = parse_command_line(args);
  if (parsed.status) return *parsed.status;
  const auto &req = parsed.req;
  if (!needs_robot(req.command) && req.command != "shell") return run_local(req, io);

  const auto options = with_environment(parsed.connection);
  std::unique_ptr<robot_access> robot;
  try {
    robot = connect(req, options, io);
  } catch (const failure &error) {
    return report_failure(req.command, req.json, error, io);
  }
  if (!robot) {
    return usage_error(
        virtual_robot_available()
            ? "no robot given: use --port NAME or --sim, set TOVLINK_PORT, or start tovlinkd"
            : "no robot given: use --port NAME, set TOVLINK_PORT, or start tovlinkd",
        req.json);
  }
  if (req.command == "shell") return run_shell(*robot, io, req.json);
  return run_on_robot(req, *robot, io);
}

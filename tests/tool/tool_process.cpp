#include "tool_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <sstream>

extern char **environ;

namespace tovlink::tool::test {
namespace {

using steady = std::chrono::steady_clock;

// Drains both outputs until the child closes them or time runs out (a
// pseudo-terminal reads EIO once the child has gone).
bool collect(int out_fd, int err_fd, tool_run &run, steady::time_point until) {
  std::array<pollfd, 2> fds{pollfd{out_fd, POLLIN, 0}, pollfd{err_fd, POLLIN, 0}};
  std::array<std::string *, 2> sinks{&run.out, &run.err};
  int open = 2;
  while (open > 0) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - steady::now()).count();
    if (left <= 0) return false;
    if (::poll(fds.data(), fds.size(), static_cast<int>(left)) < 0) return false;
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      std::array<char, 4096> chunk{};
      const auto count = ::read(fds[i].fd, chunk.data(), chunk.size());
      if (count > 0) {
        sinks[i]->append(chunk.data(), static_cast<std::size_t>(count));
      } else {
        fds[i].fd = -1;
        --open;
      }
    }
  }
  return true;
}

std::vector<std::string> environment_with(
    const std::vector<std::pair<std::string, std::string>> &changes) {
  std::vector<std::string> entries;
  for (char **entry = environ; *entry != nullptr; ++entry) {
    const std::string text{*entry};
    bool replaced = false;
    for (const auto &[name, value] : changes) replaced = replaced || text.starts_with(name + "=");
    if (!replaced) entries.push_back(text);
  }
  for (std::size_t i = 0; i < changes.size(); ++i) {
    // The last change of a name wins.
    bool later = false;
    for (std::size_t j = i + 1; j < changes.size(); ++j)
      later = later || changes[j].first == changes[i].first;
    if (!later) entries.push_back(changes[i].first + "=" + changes[i].second);
  }
  return entries;
}

}  // namespace

std::vector<std::string> tool_run::out_lines() const {
  std::vector<std::string> lines;
  std::istringstream stream{out};
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

std::string tool_run::last_out_line() const {
  const auto lines = out_lines();
  return lines.empty() ? std::string{} : lines.back();
}

tool_run run_tool(const std::vector<std::string> &args, const run_options &options) {
  tool_run run;
  std::vector<std::string> argv_text{TOVLINK_TOOL_PATH};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char *> argv;
  for (auto &arg : argv_text) argv.push_back(arg.data());
  argv.push_back(nullptr);
  // A service or a port of the developer's own must not answer for the
  // robot a test names (or leaves out); a test asks for them explicitly.
  std::vector<std::pair<std::string, std::string>> changes{
      {"TOVLINK_PORT", ""},
      {"TOVLINK_DAEMON", ""},
      {"XDG_RUNTIME_DIR", "/nonexistent/tovlink-test"}};
  changes.insert(changes.end(), options.environment.begin(), options.environment.end());
  auto env_text = environment_with(changes);
  std::vector<char *> env;
  for (auto &entry : env_text) env.push_back(entry.data());
  env.push_back(nullptr);

  std::array<int, 2> out_pipe{-1, -1};
  std::array<int, 2> err_pipe{-1, -1};
  std::array<int, 2> in_pipe{-1, -1};
  if (options.terminal_columns > 0) {
    winsize size{};
    size.ws_row = 24;
    size.ws_col = options.terminal_columns;
    if (::openpty(&out_pipe[0], &out_pipe[1], nullptr, nullptr, &size) != 0) return run;
    termios settings{};
    ::tcgetattr(out_pipe[1], &settings);
    settings.c_oflag &= ~static_cast<tcflag_t>(ONLCR);  // keep line ends as written
    ::tcsetattr(out_pipe[1], TCSANOW, &settings);
    ::fcntl(out_pipe[0], F_SETFD, FD_CLOEXEC);
    ::fcntl(out_pipe[1], F_SETFD, FD_CLOEXEC);
  } else if (::pipe2(out_pipe.data(), O_CLOEXEC) != 0) {
    return run;
  }
  if (::pipe2(err_pipe.data(), O_CLOEXEC) != 0) return run;
  if (!options.input.empty() && ::pipe2(in_pipe.data(), O_CLOEXEC) != 0) return run;

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (in_pipe[0] >= 0) {
    posix_spawn_file_actions_adddup2(&actions, in_pipe[0], 0);
  } else {
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  }
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
  pid_t child = -1;
  const int spawned = ::posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  if (in_pipe[0] >= 0) {
    ::close(in_pipe[0]);
    // Small inputs fit the pipe's buffer: written at once, then closed (EOF).
    if (::write(in_pipe[1], options.input.data(), options.input.size()) < 0) {
      run.err = std::strerror(errno);
    }
    ::close(in_pipe[1]);
  }
  if (spawned == 0) {
    if (!collect(out_pipe[0], err_pipe[0], run, steady::now() + options.limit)) {
      ::kill(child, SIGKILL);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    if (WIFEXITED(status)) run.exit_status = WEXITSTATUS(status);
  }
  ::close(out_pipe[0]);
  ::close(err_pipe[0]);
  return run;
}

}  // namespace tovlink::tool::test

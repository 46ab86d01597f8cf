#include "tool_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <sys/ioctl.h>

#include <array>
#include <cstring>
#include <sstream>
#include <thread>

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
    const std::vector<std::pair<std::string, std::string>> &changes);

// The environment a test's tool runs in: no service or port of the
// developer's own, plus the test's changes.
std::vector<std::string> test_environment(
    const std::vector<std::pair<std::string, std::string>> &extra) {
  std::vector<std::pair<std::string, std::string>> changes{
      {"TOVLINK_PORT", ""},
      {"TOVLINK_DAEMON", ""},
      {"XDG_RUNTIME_DIR", "/nonexistent/tovlink-test"}};
  changes.insert(changes.end(), extra.begin(), extra.end());
  return environment_with(changes);
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
  auto env_text = test_environment(options.environment);
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

terminal_session::terminal_session(
    const std::vector<std::string> &args, unsigned short columns,
    const std::vector<std::pair<std::string, std::string>> &environment) {
  std::vector<std::string> argv_text{TOVLINK_TOOL_PATH};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  auto env_text = test_environment(environment);
  env_text.emplace_back("TERM=xterm");
  env_text.emplace_back("HOME=/nonexistent/tovlink-test");  // no shell history of the developer's
  std::vector<char *> argv;
  for (auto &arg : argv_text) argv.push_back(arg.data());
  argv.push_back(nullptr);
  std::vector<char *> env;
  for (auto &entry : env_text) env.push_back(entry.data());
  env.push_back(nullptr);
  winsize size{};
  size.ws_row = 24;
  size.ws_col = columns;
  const pid_t child = ::forkpty(&master_, nullptr, nullptr, &size);
  if (child == 0) {
    ::execve(argv[0], argv.data(), env.data());
    ::_exit(127);
  }
  child_ = child;
}

terminal_session::~terminal_session() {
  if (child_ > 0) stop(SIGKILL, std::chrono::seconds{5});
  if (master_ >= 0) ::close(master_);
}

void terminal_session::type(const std::string &keys) {
  std::string_view rest = keys;
  while (!rest.empty()) {
    const auto written = ::write(master_, rest.data(), rest.size());
    if (written <= 0) return;
    rest.remove_prefix(static_cast<std::size_t>(written));
    // Line editors read keys as they come; a pause lets each reach them alone.
    std::this_thread::sleep_for(std::chrono::milliseconds{20});
  }
}

bool terminal_session::read_some(std::chrono::milliseconds limit) {
  pollfd ready{master_, POLLIN, 0};
  if (::poll(&ready, 1, static_cast<int>(limit.count())) <= 0) return false;
  std::array<char, 4096> chunk{};
  const auto count = ::read(master_, chunk.data(), chunk.size());
  if (count <= 0) return false;
  output_.append(chunk.data(), static_cast<std::size_t>(count));
  return true;
}

bool terminal_session::wait_for(const std::string &text, std::chrono::milliseconds limit) {
  const auto until = steady::now() + limit;
  while (true) {
    if (const auto at = output_.find(text, mark_); at != std::string::npos) {
      mark_ = at + text.size();
      return true;
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - steady::now());
    if (left.count() <= 0) return false;
    if (!read_some(left)) std::this_thread::sleep_for(std::chrono::milliseconds{10});
  }
}

void terminal_session::read_for(std::chrono::milliseconds span) {
  const auto until = steady::now() + span;
  while (steady::now() < until) {
    read_some(std::chrono::ceil<std::chrono::milliseconds>(until - steady::now()));
  }
}

void terminal_session::resize(unsigned short columns) {
  winsize size{};
  size.ws_row = 24;
  size.ws_col = columns;
  // The kernel tells the terminal's foreground process (SIGWINCH).
  ::ioctl(master_, TIOCSWINSZ, &size);
}

int terminal_session::stop(int signal_number, std::chrono::seconds limit) {
  if (child_ <= 0) return -1;
  ::kill(child_, signal_number);
  const auto until = steady::now() + limit;
  while (steady::now() < until) {
    int status = 0;
    const pid_t done = ::waitpid(child_, &status, WNOHANG);
    if (done == child_) {
      child_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    read_some(std::chrono::milliseconds{50});  // keep the terminal drained
  }
  ::kill(child_, SIGKILL);
  ::waitpid(child_, nullptr, 0);
  child_ = -1;
  return -1;
}

}  // namespace tovlink::tool::test

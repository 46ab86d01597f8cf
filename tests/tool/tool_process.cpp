#include "tool_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <sstream>

extern char **environ;

namespace tovlink::tool::test {
namespace {

using steady = std::chrono::steady_clock;

// Drains both pipes until the child closes them or time runs out.
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

tool_run run_tool(const std::vector<std::string> &args, std::chrono::seconds limit) {
  tool_run run;
  std::vector<std::string> argv_text{TOVLINK_TOOL_PATH};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char *> argv;
  for (auto &arg : argv_text) argv.push_back(arg.data());
  argv.push_back(nullptr);

  std::array<int, 2> out_pipe{};
  std::array<int, 2> err_pipe{};
  if (::pipe2(out_pipe.data(), O_CLOEXEC) != 0 || ::pipe2(err_pipe.data(), O_CLOEXEC) != 0) {
    return run;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
  pid_t child = -1;
  const int spawned = ::posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  if (spawned == 0) {
    if (!collect(out_pipe[0], err_pipe[0], run, steady::now() + limit)) ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (WIFEXITED(status)) run.exit_status = WEXITSTATUS(status);
  }
  ::close(out_pipe[0]);
  ::close(err_pipe[0]);
  return run;
}

}  // namespace tovlink::tool::test

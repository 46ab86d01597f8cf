#include "child_process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

namespace tovlink::service::testing {

child_process::child_process(std::vector<std::string> args) {
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    ::dup2(pipe_fds[1], STDOUT_FILENO);
    ::dup2(pipe_fds[1], STDERR_FILENO);
    std::vector<char *> argv;
    for (auto &arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(pipe_fds[1]);
  reader_ = std::thread([this, fd = pipe_fds[0]] { collect(fd); });
}

child_process::~child_process() {
  if (!exited_) stop(SIGKILL, std::chrono::seconds{5});
  if (reader_.joinable()) reader_.join();
}

void child_process::collect(int fd) {
  std::string pending;
  char chunk[4096];
  for (;;) {
    const auto got = ::read(fd, chunk, sizeof(chunk));
    if (got <= 0) break;
    pending.append(chunk, static_cast<std::size_t>(got));
    for (auto end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
      std::lock_guard lock(mutex_);
      lines_.push_back(pending.substr(0, end));
      pending.erase(0, end + 1);
      changed_.notify_all();
    }
  }
  ::close(fd);
}

std::optional<std::string> child_process::wait_for_line(const std::string &text,
                                                        std::chrono::milliseconds limit) {
  std::unique_lock lock(mutex_);
  std::optional<std::string> found;
  changed_.wait_for(lock, limit, [&] {
    for (const auto &line : lines_) {
      if (line.find(text) != std::string::npos) {
        found = line;
        return true;
      }
    }
    return false;
  });
  return found;
}

std::vector<std::string> child_process::lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

bool child_process::has_line(const std::string &text) const {
  std::lock_guard lock(mutex_);
  for (const auto &line : lines_) {
    if (line.find(text) != std::string::npos) return true;
  }
  return false;
}

int child_process::wait(std::chrono::milliseconds limit) {
  if (exited_) return exit_status_;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    int status = 0;
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      exited_ = true;
      exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      return exit_status_;
    }
    if (std::chrono::steady_clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds{10});
  }
}

int child_process::stop(int signal, std::chrono::milliseconds limit) {
  if (exited_) return exit_status_;
  ::kill(pid_, signal);
  const int status = wait(limit);
  if (!exited_) {
    ::kill(pid_, SIGKILL);
    wait(std::chrono::seconds{5});
    return -1;
  }
  return status;
}

double cpu_seconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  const std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  // The fields after the command name, which is in parentheses and may hold
  // spaces and parentheses of its own.
  const auto name_end = text.rfind(')');
  if (name_end == std::string::npos) return 0.0;
  std::istringstream fields(text.substr(name_end + 1));
  std::string field;
  unsigned long long ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14 || i == 15) ticks += std::stoull(field);  // utime, stime
  }
  return static_cast<double>(ticks) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

long memory_kib(pid_t pid, const std::string &field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  const std::string prefix = field + ":";
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with(prefix)) return std::stol(line.substr(prefix.size()));
  }
  return -1;
}

}  // namespace tovlink::service::testing

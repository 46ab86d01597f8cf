// The tovlink-sim program as scripts use it: the port's path on the first
// line, a link, the wire log, and a clean exit on SIGTERM or after an unplug.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <string>
#include <vector>

#include "host_port.hpp"

extern char **environ;

namespace tovlink::sim {
namespace {

using namespace std::chrono_literals;

// The program with its standard output on a pipe.
class sim_program {
 public:
  explicit sim_program(std::vector<std::string> args) {
    args.insert(args.begin(), TOVLINK_SIM_PATH);
    std::vector<char *> argv;
    for (auto &arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::array<int, 2> pipe{};
    if (::pipe2(pipe.data(), O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    if (::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipe[1]);
    out_ = pipe[0];
  }
  ~sim_program() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) ::close(out_);
  }

  // Reads standard output up to the first line feed.
  std::string first_line() {
    std::string line;
    char c = 0;
    while (wait_readable(5s) && ::read(out_, &c, 1) == 1 && c != '\n') line.push_back(c);
    return line;
  }
  // Reads standard output to its end (the program has exited).
  std::string rest() {
    std::string text;
    std::array<char, 1024> chunk{};
    while (wait_readable(5s)) {
      const auto count = ::read(out_, chunk.data(), chunk.size());
      if (count <= 0) break;
      text.append(chunk.data(), static_cast<std::size_t>(count));
    }
    return text;
  }
  void signal(int number) const { ::kill(pid_, number); }
  // Exit status, or -1 when it did not exit normally.
  int wait() {
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  bool wait_readable(std::chrono::milliseconds limit) const {
    pollfd ready{out_, POLLIN, 0};
    return ::poll(&ready, 1, static_cast<int>(limit.count())) > 0;
  }

  pid_t pid_ = -1;
  int out_ = -1;
};

std::filesystem::path link_path(const char *name) {
  return std::filesystem::temp_directory_path() /
         ("tovlink-sim-program-" + std::to_string(::getpid()) + "-" + name);
}

TEST(SimProgram, PrintsItsPortLogsTheWireAndCleansUpOnSigterm) {
  const auto link = link_path("term");
  sim_program program{{"--log", "--link", link.string()}};
  const auto port = program.first_line();
  ASSERT_TRUE(port.starts_with("/dev/pts/")) << port;
  EXPECT_EQ(std::filesystem::read_symlink(link), std::filesystem::path{port});
  {
    test::host_port host{link.string()};
    ASSERT_TRUE(host.is_open());
    EXPECT_EQ(host.exchange("#132,0,120\r\r"), "OK\r\n");
  }
  program.signal(SIGTERM);
  const auto log = program.rest();
  EXPECT_EQ(program.wait(), 0);
  EXPECT_NE(log.find(R"( rx "#132,0,120\r\r")"), std::string::npos) << log;
  EXPECT_NE(log.find(R"( tx "OK\r\n")"), std::string::npos) << log;
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
}

TEST(SimProgram, ExitsByItselfOnceUnplugged) {
  const auto link = link_path("unplug");
  sim_program program{{"--link", link.string(), "--unplug-after", "0.3"}};
  ASSERT_TRUE(program.first_line().starts_with("/dev/pts/"));
  EXPECT_EQ(program.wait(), 0);
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
}

}  // namespace
}  // namespace tovlink::sim

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
  explicit sim_program(std::vector<std::string> args, std::string *errors = nullptr) {
    args.insert(args.begin(), TOVLINK_SIM_PATH);
    std::vector<char *> argv;
    for (auto &arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::array<int, 2> pipe{};
    if (::pipe2(pipe.data(), O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe[1], 1);
    std::array<int, 2> err_pipe{-1, -1};
    if (errors != nullptr && ::pipe2(err_pipe.data(), O_CLOEXEC) == 0) {
      posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
    } else {
      posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    }
    if (::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipe[1]);
    out_ = pipe[0];
    if (err_pipe[0] >= 0) {
      ::close(err_pipe[1]);
      err_ = err_pipe[0];
      errors_ = errors;
    }
  }
  ~sim_program() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) ::close(out_);
    if (err_ >= 0) ::close(err_);
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
    if (errors_ != nullptr) {
      std::array<char, 1024> chunk{};
      pollfd ready{err_, POLLIN, 0};
      while (::poll(&ready, 1, 5000) > 0) {
        const auto count = ::read(err_, chunk.data(), chunk.size());
        if (count <= 0) break;
        errors_->append(chunk.data(), static_cast<std::size_t>(count));
      }
    }
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
  int err_ = -1;
  std::string *errors_ = nullptr;
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

TEST(SimProgram, ASecondRobotKeepsOffALinkInUseAndLeavesItAlone) {
  const auto link = link_path("shared");
  sim_program first{{"--link", link.string()}};
  const auto port = first.first_line();
  ASSERT_TRUE(port.starts_with("/dev/pts/")) << port;

  std::string errors;
  sim_program second{{"--link", link.string()}, &errors};
  EXPECT_EQ(second.wait(), 1);
  EXPECT_NE(errors.find("is in use by another virtual robot (pid "), std::string::npos) << errors;
  // The first robot's link survives the second's start and exit.
  EXPECT_EQ(std::filesystem::read_symlink(link), std::filesystem::path{port});

  first.signal(SIGTERM);
  EXPECT_EQ(first.wait(), 0);
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
  EXPECT_FALSE(std::filesystem::exists(link.string() + ".lock"));

  // Once the first has gone, the link is free again.
  sim_program third{{"--link", link.string()}};
  EXPECT_TRUE(third.first_line().starts_with("/dev/pts/"));
}

TEST(SimProgram, BadOptionsExitWithTwoAndSayWhy) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
      {{"--latency", "-5"}, "latency must be 0-60000 (got '-5')"},
      {{"--drop-every", "0"}, "N must be 1-1000000 (got '0')"},
      {{"--unplug-after", "soon"}, "seconds must be a number above 0 (got 'soon')"},
      {{"--frobnicate"}, "--frobnicate"},
  };
  for (const auto &[args, message] : cases) {
    SCOPED_TRACE(args.front());
    std::string errors;
    sim_program program{args, &errors};
    EXPECT_EQ(program.wait(), 2);
    EXPECT_NE(errors.find(message), std::string::npos) << errors;
    EXPECT_LT(errors.size(), 200u) << errors;
  }
}

}  // namespace
}  // namespace tovlink::sim

#include "shell.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string_view>

#include "cli.hpp"
#include "commands.hpp"

#ifdef TOVLINK_TOOL_WITH_EDITLINE
#include <editline/readline.h>
#endif

namespace tovlink::tool {
namespace {

constexpr int history_lines = 500;

#ifdef TOVLINK_TOOL_WITH_EDITLINE
// What Tab completes: the commands (the text queries among them), a group's
// words (power on/off), and after --robot the service's robot names.  The
// line editor's completion hook is a plain function, so the words live here
// while a shell runs.
struct completion_words {
  std::vector<std::string> commands;
  std::vector<std::string> robots;
};
completion_words *completions = nullptr;
const std::vector<std::string> *offered = nullptr;

char *next_match(const char *text, int state) {
  static std::size_t index = 0;
  if (state == 0) index = 0;
  if (offered == nullptr) return nullptr;
  const std::string_view prefix{text};
  while (index < offered->size()) {
    const auto &word = (*offered)[index++];
    if (word.starts_with(prefix)) return strdup(word.c_str());
  }
  return nullptr;
}

char **complete(const char *text, int start, int) {
  rl_attempted_completion_over = 1;  // no file names
  if (completions == nullptr) return nullptr;
  std::vector<std::string> before;
  split_words(std::string{rl_line_buffer, static_cast<std::size_t>(start)}, before);
  static std::vector<std::string> group;
  if (!before.empty() && before.back() == "--robot") {
    offered = &completions->robots;
  } else if (before.empty() || (before.size() == 1 && before.front() == "fleet")) {
    offered = &completions->commands;
  } else if (before.size() == 1 || (before.size() == 2 && before.front() == "fleet")) {
    group = group_words(before.back());
    offered = &group;
  } else {
    return nullptr;
  }
  return rl_completion_matches(text, next_match);
}
#endif

// Where typed lines come from.
class line_source {
 public:
  line_source(bool interactive, [[maybe_unused]] robot_access &robot) : interactive_(interactive) {
#ifdef TOVLINK_TOOL_WITH_EDITLINE
    if (interactive_) {
      words_.commands = command_names();
      for (const char *word : {"help", "exit", "quit"}) words_.commands.emplace_back(word);
      std::sort(words_.commands.begin(), words_.commands.end());
      if (robot.through_service()) {
        try {
          for (const auto &entry : robot.devices()) words_.robots.push_back(entry.name);
        } catch (const failure &) {  // no names to offer; the shell still runs
        }
      }
      completions = &words_;
      rl_attempted_completion_function = complete;
      if (const char *home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        history_file_ = std::string{home} + "/.tovlink_history";
        read_history(history_file_.c_str());
      }
      stifle_history(history_lines);
    }
#endif
  }
  ~line_source() {
#ifdef TOVLINK_TOOL_WITH_EDITLINE
    if (completions == &words_) completions = nullptr;
    if (!history_file_.empty()) write_history(history_file_.c_str());
#endif
  }
  line_source(const line_source &) = delete;
  line_source &operator=(const line_source &) = delete;

  bool next(std::string &line) {
#ifdef TOVLINK_TOOL_WITH_EDITLINE
    if (interactive_) {
      char *typed = readline("tovlink> ");
      if (typed == nullptr) return false;
      line = typed;
      std::free(typed);
      if (line.find_first_not_of(" \t") != std::string::npos) add_history(line.c_str());
      return true;
    }
#endif
    if (interactive_) {
      std::fputs("tovlink> ", stdout);
      std::fflush(stdout);
    }
    return static_cast<bool>(std::getline(std::cin, line));
  }

 private:
  bool interactive_;
  std::string history_file_;
#ifdef TOVLINK_TOOL_WITH_EDITLINE
  completion_words words_;
#endif
};

// A line with --robot NAME: that robot of the service, for this line only.
int run_on_other_robot(const request &req, robot_access &robot, const console &io) {
  if (!robot.through_service()) {
    return usage_error("--robot picks a robot of the service; this robot is open directly",
                       req.json);
  }
  const auto before = robot.selected_robot();
  robot.select_robot(req.robot);
  const int status = needs_robot(req.command) ? run_on_robot(req, robot, io) : run_local(req, io);
  robot.select_robot(before);
  return status;
}

}  // namespace

bool split_words(const std::string &line, std::vector<std::string> &words) {
  words.clear();
  std::string word;
  bool in_word = false;
  char quote = 0;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quote != 0) {
      if (c == quote) {
        quote = 0;
      } else if (c == '\\' && quote == '"' && i + 1 < line.size()) {
        word += line[++i];
      } else {
        word += c;
      }
    } else if (c == '\'' || c == '"') {
      quote = c;
      in_word = true;
    } else if (c == '\\' && i + 1 < line.size()) {
      word += line[++i];
      in_word = true;
    } else if (c == '#' && !in_word) {
      break;
    } else if (c == ' ' || c == '\t' || c == '\r') {
      if (in_word) words.push_back(word);
      word.clear();
      in_word = false;
    } else {
      word += c;
      in_word = true;
    }
  }
  if (in_word) words.push_back(word);
  return quote == 0;
}

int run_shell(robot_access &robot, const console &io, bool json) {
  const bool interactive = io.in_is_terminal();
  if (interactive && !json) {
    std::fprintf(io.err(), "connected to %s; 'help' lists the commands, 'exit' ends\n",
                 robot.where().c_str());
  }
  line_source source{interactive, robot};
  int status = exit_ok;
  std::string line;
  std::vector<std::string> words;
  bool ended_by_word = false;
  while (source.next(line)) {
    if (!split_words(line, words)) {
      status = usage_error("unbalanced quote in '" + line + "'", json);
      continue;
    }
    if (words.empty() || words.front().starts_with('#')) continue;
    if (words.front() == "exit" || words.front() == "quit") {
      ended_by_word = true;
      break;
    }
    if (words.front() == "help") words = {"--help"};
    const auto parsed = parse_command_line(words, json);
    int result = exit_ok;
    if (parsed.status) {
      result = *parsed.status;
    } else if (parsed.names_connection) {
      result = usage_error("connection options go on the shell's own command line", json);
    } else if (parsed.req.command == "shell") {
      result = usage_error("already in the shell", json);
    } else if (!parsed.req.robot.empty()) {
      result = run_on_other_robot(parsed.req, robot, io);
    } else if (!needs_robot(parsed.req.command)) {
      result = run_local(parsed.req, io);
    } else {
      result = run_on_robot(parsed.req, robot, io);
    }
    if (result == exit_disconnected) return result;
    if (result != exit_ok) status = result;
  }
  // Ctrl-D leaves the cursor after the prompt.
  if (interactive && !json && !ended_by_word) std::fputc('\n', io.out());
  return interactive ? exit_ok : status;
}

}  // namespace tovlink::tool

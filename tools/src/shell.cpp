#include "shell.hpp"

#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "cli.hpp"
#include "commands.hpp"

#ifdef TOVLINK_TOOL_WITH_EDITLINE
#include <editline/readline.h>
#endif

namespace tovlink::tool {
namespace {

constexpr int history_lines = 500;

// Where typed lines come from.
class line_source {
 public:
  explicit line_source(bool interactive) : interactive_(interactive) {
#ifdef TOVLINK_TOOL_WITH_EDITLINE
    if (interactive_) {
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
};

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
  line_source source{interactive};
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

#include "config_file.hpp"

#include <algorithm>
#include <cctype>
#include <sstream>

namespace tovlink::service {
namespace {

std::string trimmed(std::string_view text) {
  const auto space = [](unsigned char c) { return std::isspace(c) != 0; };
  while (!text.empty() && space(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
  while (!text.empty() && space(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
  return std::string{text};
}

std::string unquoted(std::string text) {
  if (text.size() >= 2 && (text.front() == '"' || text.front() == '\'') &&
      text.back() == text.front()) {
    return text.substr(1, text.size() - 2);
  }
  return text;
}

bool name_character(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '_';
}

// Whether a word starts at `at`: after a character that cannot be part of a
// name, or after the two dashes of an option (`--key`).
bool word_starts(const std::string &message, std::size_t at) {
  if (at == 0 || !name_character(message[at - 1])) return true;
  return at >= 2 && message[at - 1] == '-' && message[at - 2] == '-' &&
         (at == 2 || !name_character(message[at - 3]));
}

// Where `key` first stands in `message` as a whole word, or npos.
std::size_t position_of(const std::string &message, const std::string &key) {
  for (auto at = message.find(key); at != std::string::npos; at = message.find(key, at + 1)) {
    const auto end = at + key.size();
    if (word_starts(message, at) && (end == message.size() || !name_character(message[end]))) {
      return at;
    }
  }
  return std::string::npos;
}

}  // namespace

// The keys are found the way CLI11's reader finds them (a line of fewer than
// three characters means nothing, '#' and ';' start comments, `[name]` opens
// a section, an array may go on over lines until its ']'); the items
// themselves come from CLI11.
std::vector<CLI::ConfigItem> located_config::from_config(std::istream &input) const {
  std::ostringstream whole;
  whole << input.rdbuf();
  const std::string text = whole.str();
  keys_.clear();
  read_ = true;

  std::istringstream lines{text};
  std::string line;
  std::string section;
  bool inside_array = false;
  for (int number = 1; std::getline(lines, line); ++number) {
    const std::string content = trimmed(line);
    if (inside_array) {
      inside_array = content.empty() || content.back() != ']';
      continue;
    }
    if (content.size() < 3 || content.front() == '#' || content.front() == ';') continue;
    if (content.front() == '[' && content.back() == ']') {
      section = trimmed(std::string_view{content}.substr(1, content.size() - 2));
      section = section == "default" ? "" : section + ".";
      continue;
    }
    const auto equals = content.find('=');
    std::string key = content.substr(0, std::min(equals, content.find('#')));
    keys_.emplace_back(section + unquoted(trimmed(key)), number);
    if (equals != std::string::npos) {
      std::string value = trimmed(std::string_view{content}.substr(equals + 1));
      value = trimmed(value.substr(0, value.find('#')));
      inside_array = value.size() > 1 && value.front() == '[' && value.back() != ']';
    }
  }

  std::istringstream again{text};
  return CLI::ConfigTOML::from_config(again);
}

int located_config::line_named_in(
    const std::string &message,
    const std::function<bool(const std::string &)> &on_command_line) const {
  std::size_t best = std::string::npos;
  int line = 0;
  for (const auto &[key, number] : keys_) {
    if (key.empty() || on_command_line(key)) continue;
    const auto at = position_of(message, key);
    if (at < best) {
      best = at;
      line = number;
    }
  }
  return line;
}

std::string file_error_reason(const std::string &message) {
  constexpr std::string_view unknown = "INI was not able to parse ";
  if (message.compare(0, unknown.size(), unknown) == 0) {
    return "no such option: '" + message.substr(unknown.size()) + "' (see tovlinkd --help)";
  }
  return message;
}

std::vector<std::string> long_options_in(int argc, const char *const *argv) {
  std::vector<std::string> names;
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument{argv[i]};
    if (argument == "--") break;
    if (argument.size() > 2 && argument.substr(0, 2) == "--") {
      names.emplace_back(argument.substr(2, argument.find('=') - 2));
    }
  }
  return names;
}

}  // namespace tovlink::service

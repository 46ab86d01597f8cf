#include "flat_json.hpp"

#include <cctype>

namespace tovlink::tool::test {
namespace {

class reader {
 public:
  explicit reader(const std::string &text) : text_(text) {}

  bool take(char c) {
    if (pos_ < text_.size() && text_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }
  bool at_end() const { return pos_ == text_.size(); }

  std::optional<std::string> string() {
    if (!take('"')) return std::nullopt;
    std::string value;
    while (pos_ < text_.size() && text_[pos_] != '"') {
      char c = text_[pos_++];
      if (c == '\\') {
        if (pos_ >= text_.size()) return std::nullopt;
        const char escaped = text_[pos_++];
        if (escaped == 'u') {
          if (pos_ + 4 > text_.size()) return std::nullopt;
          c = static_cast<char>(std::stoi(text_.substr(pos_, 4), nullptr, 16));
          pos_ += 4;
        } else {
          c = escaped == 'n' ? '\n' : escaped == 'r' ? '\r' : escaped == 't' ? '\t' : escaped;
        }
      } else if (static_cast<unsigned char>(c) < 0x20) {
        return std::nullopt;
      }
      value.push_back(c);
    }
    if (!take('"')) return std::nullopt;
    return value;
  }

  // A number, true/false/null, or an array of numbers, kept as written.
  std::optional<std::string> bare() {
    const auto start = pos_;
    if (take('[')) {
      while (pos_ < text_.size() && text_[pos_] != ']') {
        const char c = text_[pos_++];
        if (!std::isdigit(static_cast<unsigned char>(c)) && c != ',' && c != '-') {
          return std::nullopt;
        }
      }
      if (!take(']')) return std::nullopt;
    } else {
      while (pos_ < text_.size() && text_[pos_] != ',' && text_[pos_] != '}') ++pos_;
    }
    auto token = text_.substr(start, pos_ - start);
    if (token.empty()) return std::nullopt;
    return token;
  }

 private:
  const std::string &text_;
  std::size_t pos_ = 0;
};

}  // namespace

std::optional<std::map<std::string, std::string>> parse_flat_json(const std::string &line) {
  reader in{line};
  std::map<std::string, std::string> fields;
  if (!in.take('{')) return std::nullopt;
  if (in.take('}')) return in.at_end() ? std::optional{fields} : std::nullopt;
  do {
    const auto key = in.string();
    if (!key || !in.take(':')) return std::nullopt;
    auto value = in.string();
    if (!value) value = in.bare();
    if (!value) return std::nullopt;
    fields[*key] = *value;
  } while (in.take(','));
  if (!in.take('}') || !in.at_end()) return std::nullopt;
  return fields;
}

std::vector<int> json_numbers(const std::string &array) {
  std::vector<int> numbers;
  std::string digits;
  for (const char c : array) {
    if (std::isdigit(static_cast<unsigned char>(c)) || c == '-') {
      digits.push_back(c);
    } else if (!digits.empty()) {
      numbers.push_back(std::stoi(digits));
      digits.clear();
    }
  }
  return numbers;
}

}  // namespace tovlink::tool::test

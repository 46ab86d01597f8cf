// tovlinkd's configuration file: the command line's long options as
// `key = value` lines, read by CLI11.  What this adds is the line each key
// sits on, so that a refused value is reported as FILE:LINE: reason.
#pragma once

#include <CLI/CLI.hpp>

#include <functional>
#include <istream>
#include <string>
#include <utility>
#include <vector>

namespace tovlink::service {

class located_config : public CLI::ConfigTOML {
 public:
  std::vector<CLI::ConfigItem> from_config(std::istream &input) const override;

  // Whether a file was read by the last parse.
  bool read() const { return read_; }

  // The line (from 1) of the key that an error message names, as `--key` or
  // a bare `key`, skipping keys for which `on_command_line` is true (their
  // value came from there); the key named first in the message wins.  0 when
  // the message names no key of the file.
  int line_named_in(const std::string &message,
                    const std::function<bool(const std::string &)> &on_command_line) const;

 private:
  mutable bool read_ = false;
  mutable std::vector<std::pair<std::string, int>> keys_;  // key, line; in file order
};

// CLI11's message for an error about a key of the file, in the words of this
// program (CLI11 calls an unknown key one it "was not able to parse").
std::string file_error_reason(const std::string &message);

// The long option names (without "--") given in argv, so an error about one
// of them is not put on a line of the file.
std::vector<std::string> long_options_in(int argc, const char *const *argv);

}  // namespace tovlink::service

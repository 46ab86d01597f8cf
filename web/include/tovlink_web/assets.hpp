// The web panel's files, compiled into the program that serves them, so a
// daemon serves its panel with no files beside it and fetches nothing.
#pragma once

#include <string_view>

namespace tovlink::web {

struct Asset {
  std::string_view path;          // "/index.html", "/vendor/uPlot.iife.min.js", ...
  std::string_view content_type;  // value for the Content-Type header
  std::string_view body;          // the file's bytes
};

// The asset served at `path` ("/" serves "/index.html"); nullptr when there is none.
const Asset *find_asset(std::string_view path) noexcept;

}  // namespace tovlink::web

// The library's own version as text.  Needs no connection and leaves the
// last error alone.
#include <cstdio>
#include <cstring>

#include "tovlink.h"
#include "transport/platform.h"

namespace {

constexpr uint64_t k_min_version_buffer = 8;

}  // namespace

extern "C" TOVLINK_API uint32_t tovlin_get_lib_ver(char *buffer, uint64_t size) {
  if (buffer == nullptr || size < k_min_version_buffer) return TOVLINK_ERR_INVALID_ARGUMENT;
  uint16_t parts[4] = {};
  if (!tovlink::platform::read_library_version(parts)) return TOVLINK_ERR_EXCHANGE;
  char text[32];
  int length =
      std::snprintf(text, sizeof text, "%d.%d.%d.%d", parts[0], parts[1], parts[2], parts[3]);
  // A text that does not fit is refused whole rather than shortened.
  if (length < 0 || static_cast<uint64_t>(length) >= size) return TOVLINK_ERR_INVALID_ARGUMENT;
  std::memcpy(buffer, text, static_cast<std::size_t>(length) + 1);
  return TOVLINK_OK;
}

#include "transport/posix_custom_baud.h"

#if defined(__linux__)
#include <asm/ioctls.h>
#include <asm/termbits.h>

extern "C" int ioctl(int fd, unsigned long request, ...);

namespace tovlink::platform {

bool set_custom_baud(int fd, uint32_t baud) {
  struct termios2 settings {};
  if (ioctl(fd, TCGETS2, &settings) != 0) return false;
  settings.c_cflag &= ~static_cast<tcflag_t>(CBAUD);
  settings.c_cflag |= BOTHER;
  settings.c_ispeed = baud;
  settings.c_ospeed = baud;
  return ioctl(fd, TCSETS2, &settings) == 0;
}

}  // namespace tovlink::platform
#else
namespace tovlink::platform {
bool set_custom_baud(int, uint32_t) {
  return false;
}
}  // namespace tovlink::platform
#endif

#pragma once

#include <cstdint>

namespace tovlink::platform {

// Sets a rate that has no Bnnn constant (Linux termios2 with BOTHER).  Kept in
// its own file: the kernel's termios2 header clashes with <termios.h>.
bool set_custom_baud(int fd, uint32_t baud);

}  // namespace tovlink::platform

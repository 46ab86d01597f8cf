// tovlink/session.hpp - the C++ Robot behind a session of <tovlink/session.h>.
//
// A library that offers a C face over the C++ API (as libTovLinkMotion does
// for motions) is handed sessions, not Robots: this gives it the Robot the
// session wraps, so it drives the same connection with the same
// serialisation, checks and wording as every other caller of that session.
#pragma once

#include "tovlink/robot.hpp"
#include "tovlink/session.h"

namespace tovlink {

// The Robot `session` wraps.  It lives as long as the session: nothing may
// use it once tovlink_session_close ran.  Failures of calls made on it are
// thrown as tovlink::Error and are not kept as the session's last error.
// Thread safety: as the session's own functions (calls are serialised).
TOVLINK_CXX_API Robot &session_robot(tovlink_session &session) noexcept;

}  // namespace tovlink

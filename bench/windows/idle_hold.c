/* tovlink_idle_hold: what an idle connection costs a Windows process, for
 * bench/windows/wine_idle_bench.sh.
 *
 *   tovlink_idle_hold session|capi PORT SECONDS
 *
 * Opens PORT as a session (TovLinkCxx.dll, event-driven) or as the C API's
 * connection (TovLinkLib.dll, 1 ms passes), reads one telemetry line to show
 * the link works, then holds the connection idle for SECONDS and prints the
 * process's CPU time over that span (GetProcessTimes: every thread of the
 * process, the library's I/O thread included), as a share of one core. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <tovlink.h>
#include <tovlink/session.h>
#include <windows.h>

static double cpu_seconds(void) {
  FILETIME created, ended, kernel, user;
  ULARGE_INTEGER k, u;
  if (!GetProcessTimes(GetCurrentProcess(), &created, &ended, &kernel, &user)) return -1;
  k.LowPart = kernel.dwLowDateTime;
  k.HighPart = kernel.dwHighDateTime;
  u.LowPart = user.dwLowDateTime;
  u.HighPart = user.dwHighDateTime;
  return (double)(k.QuadPart + u.QuadPart) / 1e7; /* 100 ns units */
}

static double wall_seconds(void) {
  LARGE_INTEGER frequency, now;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&now);
  return (double)now.QuadPart / (double)frequency.QuadPart;
}

/* Share of one core the process used over `seconds` of sleeping. */
static double idle_share(double seconds) {
  double cpu_before;
  /* The script samples Wine's server on this line and on the result. */
  printf("holding the connection idle for %.0f s\n", seconds);
  fflush(stdout);
  cpu_before = cpu_seconds();
  double wall_before = wall_seconds();
  Sleep((DWORD)(seconds * 1000.0));
  return (cpu_seconds() - cpu_before) / (wall_seconds() - wall_before) * 100.0;
}

int main(int argc, char **argv) {
  double seconds;
  if (argc != 4 || (strcmp(argv[1], "session") != 0 && strcmp(argv[1], "capi") != 0)) {
    fprintf(stderr, "usage: %s session|capi PORT SECONDS\n", argv[0]);
    return 2;
  }
  seconds = atof(argv[3]);
  if (strcmp(argv[1], "session") == 0) {
    tovlink_session *session = NULL;
    tovlink_telemetry telemetry;
    if (tovlink_session_open(argv[2], NULL, &session) != TOVLINK_SESSION_OK ||
        tovlink_session_telemetry(session, &telemetry) != TOVLINK_SESSION_OK) {
      fprintf(stderr, "the session on %s did not work\n", argv[2]);
      tovlink_session_close(session);
      return 1;
    }
    printf("idle session (event-driven), %.0f s: %.3f %% of one core\n", seconds,
           idle_share(seconds));
    tovlink_session_close(session);
  } else {
    int32_t battery = 0;
    uint32_t *handle = tovlink_connect(argv[2], 115200);
    if (handle == NULL || tovlink_get_battery_value(handle, &battery) != 0) {
      fprintf(stderr, "the C API connection on %s did not work\n", argv[2]);
      tovlink_end(handle);
      return 1;
    }
    printf("idle C API connection (1 ms passes), %.0f s: %.3f %% of one core\n", seconds,
           idle_share(seconds));
    tovlink_end(handle);
  }
  return 0;
}

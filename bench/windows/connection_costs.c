/* tovlink_connection_costs: what a connection costs a Windows process, for
 * bench/windows/wine_bench.sh.
 *
 *   tovlink_connection_costs session|capi PORT SECONDS
 *
 * Opens PORT as a session (TovLinkCxx.dll, event-driven) or as the C API's
 * connection (TovLinkLib.dll, 1 ms passes), times 200 telemetry exchanges
 * (after 20 not timed), then holds the connection idle for SECONDS and
 * prints the process's CPU time over that span (GetProcessTimes: every
 * thread of the process, the library's I/O thread included), as a share of
 * one core. */
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

enum { k_warm_up = 20, k_timed = 200 };

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

static int by_value(const void *a, const void *b) {
  double x = *(const double *)a;
  double y = *(const double *)b;
  return (x > y) - (x < y);
}

/* Times k_timed calls of `exchange` (0 on success); prints median and p99. */
static int time_exchanges(const char *what, int (*exchange)(void *), void *context) {
  static double samples[k_timed];
  int i;
  for (i = 0; i < k_warm_up; ++i) {
    if (exchange(context) != 0) return 1;
  }
  for (i = 0; i < k_timed; ++i) {
    double start = wall_seconds();
    if (exchange(context) != 0) return 1;
    samples[i] = (wall_seconds() - start) * 1000.0;
  }
  qsort(samples, k_timed, sizeof samples[0], by_value);
  printf("%s telemetry exchange, %d: median %.3f ms, p99 %.3f ms\n", what, k_timed,
         samples[k_timed / 2], samples[k_timed * 99 / 100]);
  return 0;
}

static int session_exchange(void *session) {
  tovlink_telemetry telemetry;
  return tovlink_session_telemetry((tovlink_session *)session, &telemetry);
}

static int capi_exchange(void *handle) {
  int32_t battery = 0;
  return (int)tovlink_get_battery_value((uint32_t *)handle, &battery);
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
    if (tovlink_session_open(argv[2], NULL, &session) != TOVLINK_SESSION_OK ||
        time_exchanges("session", session_exchange, session) != 0) {
      fprintf(stderr, "the session on %s did not work\n", argv[2]);
      tovlink_session_close(session);
      return 1;
    }
    printf("idle session (event-driven), %.0f s: %.3f %% of one core\n", seconds,
           idle_share(seconds));
    tovlink_session_close(session);
  } else {
    uint32_t *handle = tovlink_connect(argv[2], 115200);
    if (handle == NULL || time_exchanges("C API", capi_exchange, handle) != 0) {
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

/* A session on Windows whose robot is unplugged, run under Wine against a
 * virtual robot that closes its end a few seconds after it started
 * (tovlink-sim --unplug-after):
 *
 *   tovlink_session_link_check PORT
 *
 * The session's I/O thread sleeps on the port's posted read, so the hang-up
 * ends that wait by itself: the link is reported lost without any exchange
 * to notice it, and the next operation fails with 20001 (link_lost), nothing
 * sent.  Prints "ok" or "FAIL" per check; the exit status is the number of
 * failed checks. */
#include <stdio.h>
#include <string.h>
#include <tovlink/session.h>
#include <windows.h>

static int failures = 0;

static void check(int passed, const char *what, const char *detail) {
  printf("%s %s%s%s\n", passed ? "ok  " : "FAIL", what, detail[0] != '\0' ? ": " : "", detail);
  if (!passed) ++failures;
}

int main(int argc, char **argv) {
  tovlink_session *session = NULL;
  tovlink_telemetry telemetry;
  tovlink_error error;
  char detail[400];
  ULONGLONG give_up;
  int32_t code;
  if (argc != 2) {
    fprintf(stderr, "usage: %s PORT\n", argv[0]);
    return 2;
  }
  code = tovlink_session_open(argv[1], NULL, &session);
  snprintf(detail, sizeof detail, "code %d", (int)code);
  check(code == TOVLINK_SESSION_OK, "the session opens", detail);
  if (code != TOVLINK_SESSION_OK) return failures;

  code = tovlink_session_telemetry(session, &telemetry);
  snprintf(detail, sizeof detail, "code %d, battery %d", (int)code, (int)telemetry.battery);
  check(code == TOVLINK_SESSION_OK, "telemetry before the unplug", detail);

  /* Polled here only to bound the check: the library itself is not asked. */
  give_up = GetTickCount64() + 15000;
  while (tovlink_session_link_alive(session) && GetTickCount64() < give_up) Sleep(20);
  check(!tovlink_session_link_alive(session), "the hang-up is noticed with no exchange under way",
        "");

  memset(&error, 0, sizeof error);
  code = tovlink_session_telemetry(session, &telemetry);
  tovlink_session_last_error(session, &error);
  snprintf(detail, sizeof detail, "code %d (%s, sent %d): %s", (int)code, error.name,
           (int)error.sent, error.message);
  check(code == 20001 && error.sent == 0 && strcmp(error.name, "link_lost") == 0,
        "the next operation fails as link_lost, nothing sent", detail);
  tovlink_session_close(session);
  printf("%d failed\n", failures);
  return failures;
}

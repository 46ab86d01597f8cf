/* Two robots from two threads through the C interface of sessions
 * (<tovlink/session.h>), then a connect that is cancelled.
 *
 *   sessions PORT1 PORT2 [SILENT_PORT]
 *
 * Each thread opens its robot, reads its telemetry, moves motor 2 (the angle
 * is clamped to the motor's range and the sent angle reported), asks for an
 * LED the robot does not have (refused before anything is sent) and asks who
 * the robot is (a robot that does not answer makes that time out, after the
 * line was sent).  With SILENT_PORT, a third open on a port whose adapter
 * never answers is cancelled from this thread 200 ms in.  The library prints
 * nothing: every line below is the program's own. */
#include <stdio.h>
#include <string.h>
#include <tovlink/session.h>

#if defined(_WIN32)
#include <windows.h>
typedef HANDLE worker_thread;
static int start_thread(worker_thread *thread, DWORD(WINAPI *body)(void *), void *argument) {
  *thread = CreateThread(NULL, 0, body, argument, 0, NULL);
  return *thread != NULL;
}
static void join_thread(worker_thread thread) {
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
}
static void sleep_ms(unsigned ms) {
  Sleep(ms);
}
static double now_ms(void) {
  return (double)GetTickCount64();
}
#define THREAD_RESULT DWORD WINAPI
#define THREAD_RETURN return 0
#else
#include <pthread.h>
#include <time.h>
typedef pthread_t worker_thread;
static int start_thread(worker_thread *thread, void *(*body)(void *), void *argument) {
  return pthread_create(thread, NULL, body, argument) == 0;
}
static void join_thread(worker_thread thread) {
  pthread_join(thread, NULL);
}
static void sleep_ms(unsigned ms) {
  struct timespec pause = {(time_t)(ms / 1000), (long)(ms % 1000) * 1000000L};
  nanosleep(&pause, NULL);
}
static double now_ms(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (double)now.tv_sec * 1000.0 + (double)now.tv_nsec / 1e6;
}
#define THREAD_RESULT void *
#define THREAD_RETURN return NULL
#endif

struct robot_job {
  const char *port;
  char report[4][600]; /* the thread's lines, printed by main in order */
  int lines;
};

/* "<what> failed (sent N): <message>" from the thread's last error. */
static void failure_line(struct robot_job *job, tovlink_session *session, const char *what) {
  tovlink_error error;
  tovlink_session_last_error(session, &error);
  snprintf(job->report[job->lines++], sizeof job->report[0], "%s: %s failed (%s, sent %d): %s",
           job->port, what, error.name, (int)error.sent, error.message);
}

static THREAD_RESULT drive(void *argument) {
  struct robot_job *job = (struct robot_job *)argument;
  tovlink_session *session = NULL;
  tovlink_telemetry telemetry;
  int32_t sent = 0;
  char who[128];
  if (tovlink_session_open(job->port, NULL, &session) != TOVLINK_SESSION_OK) {
    failure_line(job, NULL, "open");
    THREAD_RETURN;
  }
  if (tovlink_session_telemetry(session, &telemetry) == TOVLINK_SESSION_OK &&
      tovlink_session_move(session, 2, 10, &sent) == TOVLINK_SESSION_OK) {
    snprintf(job->report[job->lines++], sizeof job->report[0],
             "%s: battery %d, motor 2 to %d (asked 10)", job->port, (int)telemetry.battery,
             (int)sent);
  } else {
    failure_line(job, session, "telemetry and move");
  }
  if (tovlink_session_led_on(session, 7) != TOVLINK_SESSION_OK) failure_line(job, session, "led 7");
  if (tovlink_session_query(session, TOVLINK_QUERY_WHO, who, sizeof who, NULL) ==
      TOVLINK_SESSION_OK) {
    snprintf(job->report[job->lines++], sizeof job->report[0], "%s: who: %s", job->port, who);
  } else {
    failure_line(job, session, "who");
  }
  tovlink_session_close(session);
  THREAD_RETURN;
}

struct cancel_job {
  const char *port;
  tovlink_cancel *cancel;
  int32_t code;
  double ended_at;
};

static THREAD_RESULT open_silent(void *argument) {
  struct cancel_job *job = (struct cancel_job *)argument;
  tovlink_session_options options;
  tovlink_session *session = NULL;
  memset(&options, 0, sizeof options);
  options.cancel = job->cancel;
  job->code = tovlink_session_open(job->port, &options, &session);
  job->ended_at = now_ms();
  tovlink_session_close(session);
  THREAD_RETURN;
}

int main(int argc, char **argv) {
  struct robot_job jobs[2];
  worker_thread threads[2];
  int started[2];
  int i;
  int line;
  if (argc < 3) {
    fprintf(stderr, "usage: %s PORT1 PORT2 [SILENT_PORT]\n", argv[0]);
    return 2;
  }
  for (i = 0; i < 2; ++i) {
    memset(&jobs[i], 0, sizeof jobs[i]);
    jobs[i].port = argv[1 + i];
    started[i] = start_thread(&threads[i], drive, &jobs[i]);
  }
  for (i = 0; i < 2; ++i) {
    if (started[i]) join_thread(threads[i]);
    for (line = 0; line < jobs[i].lines; ++line) printf("%s\n", jobs[i].report[line]);
  }
  if (argc > 3) {
    struct cancel_job job;
    worker_thread thread;
    double requested_at;
    job.port = argv[3];
    job.cancel = tovlink_cancel_new();
    job.code = 0;
    if (job.cancel == NULL || !start_thread(&thread, open_silent, &job)) return 1;
    sleep_ms(200);
    requested_at = now_ms();
    tovlink_cancel_request(job.cancel);
    join_thread(thread);
    printf("%s: open %s after the cancel request (%s)\n", job.port,
           job.ended_at - requested_at < 100.0 ? "ended within 100 ms" : "took 100 ms or more",
           tovlink_error_name(job.code));
    tovlink_cancel_free(job.cancel);
  }
  return 0;
}

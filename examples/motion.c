/* A motion played and a movement recorded through the C interface of
 * motions (<tovlink/motion.h>) on a session (<tovlink/session.h>).
 *
 *   motion PORT MOTION_FILE
 *
 * Plays the motion file at twice its speed, with a line for each keyframe
 * as its move is sent, then shows how a refused motion is reported (the
 * field at fault, nothing sent), then records the robot for half a second
 * and prints the motion the recording reduced to.  The JSON the library
 * hands out is printed as it is. */
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <tovlink/motion.h>

/* The whole file as a zero-terminated text, or NULL. */
static char *read_text(const char *path) {
  FILE *file = fopen(path, "rb");
  char *text = NULL;
  long size;
  if (file == NULL) return NULL;
  if (fseek(file, 0, SEEK_END) == 0 && (size = ftell(file)) >= 0 && fseek(file, 0, SEEK_SET) == 0 &&
      (text = malloc((size_t)size + 1)) != NULL) {
    size_t got = fread(text, 1, (size_t)size, file);
    text[got] = '\0';
  }
  fclose(file);
  return text;
}

static void sleep_ms(unsigned ms) {
  struct timespec pause = {(time_t)(ms / 1000), (long)(ms % 1000) * 1000000L};
  nanosleep(&pause, NULL);
}

/* On the play's thread: one line per keyframe sent; the end is main's. */
static void print_progress(void *context, const tovlink_motion_progress *progress) {
  if (progress->state != TOVLINK_MOTION_PLAYING) return;
  printf("%s: keyframe %d of %d sent\n", (const char *)context, (int)progress->keyframe + 1,
         (int)progress->keyframes);
  fflush(stdout);
}

static int fail(const char *port, const char *what, const tovlink_error *error) {
  printf("%s: %s failed (%s, sent %d): %s\n", port, what, error->name, (int)error->sent,
         error->message);
  return 1;
}

static int play(tovlink_session *session, const char *port, const char *motion_json) {
  tovlink_motion_play_options options;
  tovlink_motion_play *played = NULL;
  tovlink_motion_progress last;
  tovlink_error error;
  char *report = NULL;
  tovlink_motion_play_options_init(&options);
  options.speed = 2.0;
  options.on_progress = print_progress;
  options.progress_context = (void *)port;
  if (tovlink_motion_play_start(session, motion_json, &options, &played, &report, &error) !=
      TOVLINK_SESSION_OK) {
    return fail(port, "play", &error);
  }
  printf("%s: playing %s\n", port, report);
  tovlink_motion_free_text(report);
  tovlink_motion_play_wait(played, -1, &last);
  if (last.state == TOVLINK_MOTION_FINISHED) {
    printf("%s: finished\n", port);
  } else {
    tovlink_motion_play_error(played, &error);
    fail(port, "playing", &error);
  }
  tovlink_motion_play_free(played);
  return last.state == TOVLINK_MOTION_FINISHED ? 0 : 1;
}

static int record(tovlink_session *session, const char *port) {
  tovlink_motion_recording *recording = NULL;
  tovlink_error error;
  char *result = NULL;
  int32_t code;
  if (tovlink_motion_record_start(session, 20, &recording, &error) != TOVLINK_SESSION_OK) {
    return fail(port, "record", &error);
  }
  sleep_ms(500);
  code = tovlink_motion_record_stop(recording, 2.0, "still", &result, &error);
  tovlink_motion_record_free(recording);
  if (code != TOVLINK_SESSION_OK) return fail(port, "recording", &error);
  printf("%s: recorded %s\n", port, result);
  tovlink_motion_free_text(result);
  return 0;
}

int main(int argc, char **argv) {
  static const char refused_motion[] =
      "{\"format\":1,\"name\":\"bad\",\"keyframes\":"
      "[{\"time_ms\":0,\"angles\":[90,90,90,90,90,90,\"up\"]}]}";
  tovlink_session *session = NULL;
  tovlink_motion_play *never = NULL;
  tovlink_error error;
  char *motion_json;
  int failed;
  if (argc != 3) {
    fprintf(stderr, "usage: %s PORT MOTION_FILE\n", argv[0]);
    return 2;
  }
  if ((motion_json = read_text(argv[2])) == NULL) {
    fprintf(stderr, "%s: cannot read %s\n", argv[0], argv[2]);
    return 2;
  }
  if (tovlink_session_open(argv[1], NULL, &session) != TOVLINK_SESSION_OK) {
    tovlink_session_last_error(NULL, &error);
    free(motion_json);
    return fail(argv[1], "open", &error);
  }
  failed = play(session, argv[1], motion_json);
  if (tovlink_motion_play_start(session, refused_motion, NULL, &never, NULL, &error) !=
      TOVLINK_SESSION_OK) {
    printf("%s: refused (%s, sent %d): %s\n", argv[1], error.name, (int)error.sent, error.message);
  }
  tovlink_motion_play_free(never);
  failed |= record(session, argv[1]);
  tovlink_session_close(session);
  free(motion_json);
  return failed;
}

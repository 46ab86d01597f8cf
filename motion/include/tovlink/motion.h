/* tovlink/motion.h - motions for C and anything that loads a C library.
 *
 * The C face of the motion library (tovlink/motion/motion.hpp, player.hpp,
 * recorder.hpp): check a motion file, play a motion on a session of
 * <tovlink/session.h> with the C++ player (the same timing, the same lines on the wire, the same
 * messages as the service and the tool), and record a movement into a motion.  Motions go in and
 * come out as JSON text in the motion file format (docs/motion.md); texts this library hands out
 * are allocated here and released with tovlink_motion_free_text.
 *
 * Library: libTovLinkMotion (libTovLinkMotion.so.1), which loads
 * libTovLinkCxx for the sessions.
 *
 * Result codes: 0 (TOVLINK_SESSION_OK) or the codes of <tovlink/session.h>:
 * 3 (invalid argument) for a refused motion, option or argument (nothing
 * was sent), 20001 the link is lost, 10005 no reply, and so on.  Where a
 * function takes a `tovlink_error *error` (it may be null) a failure is
 * described there: its code, its name, whether anything reached the robot,
 * and a message naming the operation and the cause, for a refused motion
 * the field at fault ("play: keyframes[2].angles[4]: must be a whole number
 * or null").
 *
 * Thread safety: every function may be called from any thread.  A play and
 * a recording run on threads of their own and use their session meanwhile
 * (its other calls are served between their exchanges); the session must
 * not be closed before every play and recording on it was freed. */
#ifndef TOVLINK_MOTION_H
#define TOVLINK_MOTION_H

#include <stddef.h>
#include <stdint.h>

#include "tovlink/session.h"

#if defined(_WIN32)
#if defined(TOVLINK_BUILDING_MOTION_LIBRARY)
#define TOVLINK_MOTION_API __declspec(dllexport)
#else
#define TOVLINK_MOTION_API __declspec(dllimport)
#endif
#else
#define TOVLINK_MOTION_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* What tovlink_motion_play_wait returns while the play goes on. */
#define TOVLINK_MOTION_STILL_PLAYING 1

/* Releases a text this library handed out.  Null: nothing. */
TOVLINK_MOTION_API void tovlink_motion_free_text(char *text);

/* Reads a motion file's text, clamping angles as the robot's contract
 * says.  On success *result gets a JSON object (free it with
 * tovlink_motion_free_text):
 *   {"motion":{...the motion as it will be played...},"keyframes":6,
 *    "duration_ms":1500,"clamped":[{"keyframe":2,"motor":2,"requested":10,
 *    "sent":55}]}
 * A refused file: 3 with the field at fault in *error.  Never blocks on a
 * robot. */
TOVLINK_MOTION_API int32_t tovlink_motion_check(const char *motion_json, char **result,
                                                tovlink_error *error);

/* ------------------------------------------------------------------------
 * Playing
 * ---------------------------------------------------------------------- */

typedef enum tovlink_motion_state {
  TOVLINK_MOTION_PLAYING = 0, /* waiting for or sending the next line */
  TOVLINK_MOTION_PAUSED,      /* nothing is sent until resumed */
  TOVLINK_MOTION_FINISHED,    /* every loop played */
  TOVLINK_MOTION_STOPPED,     /* stopped (or freed) */
  TOVLINK_MOTION_FAILED       /* the robot failed: tovlink_motion_play_error */
} tovlink_motion_state;

typedef struct tovlink_motion_progress {
  int32_t state;       /* a tovlink_motion_state */
  int32_t loop;        /* 0-based pass through the motion */
  int32_t keyframe;    /* the keyframe the robot is moving towards */
  int32_t keyframes;   /* how many the motion has */
  int64_t position_ms; /* motion time in the current pass, at speed 1 */
  int64_t duration_ms; /* one pass at speed 1 */
} tovlink_motion_progress;

/* Called on the play's own thread after each keyframe's move is sent and on
 * each change of state (the end included, once).  It may call pause,
 * resume and stop on the play, but must not wait for it or free it. */
typedef void (*tovlink_motion_progress_callback)(void *context,
                                                 const tovlink_motion_progress *progress);

typedef struct tovlink_motion_play_options {
  double speed;          /* 0.1-10; 2 plays twice as fast */
  int32_t loops;         /* passes, 1 or more; 0: until stopped */
  int32_t soft_start_ms; /* the first move takes this much longer (0 or more) */
  int64_t start_at_ms;   /* Unix time in ms (wall clock) of the first line; 0: at once */
  tovlink_motion_progress_callback on_progress; /* may be null */
  void *progress_context;
} tovlink_motion_play_options;

/* Fills *options with the defaults: speed 1, one loop, no soft start, at
 * once, no callback. */
TOVLINK_MOTION_API void tovlink_motion_play_options_init(tovlink_motion_play_options *options);

typedef struct tovlink_motion_play tovlink_motion_play;

/* Starts playing the motion (a motion file's text) on the session's robot
 * and returns at once; options may be null (the defaults).  On success
 * *play gets the play (free it with tovlink_motion_play_free) and, when
 * report is not null, *report a JSON object (free it with
 * tovlink_motion_free_text):
 *   {"motion":"wave","keyframes":6,"duration_ms":1500,"loops":1,"speed":1,
 *    "clamped":[...as tovlink_motion_check...]}
 * A refused motion or option: 3, nothing sent, *play null. */
TOVLINK_MOTION_API int32_t tovlink_motion_play_start(tovlink_session *session,
                                                     const char *motion_json,
                                                     const tovlink_motion_play_options *options,
                                                     tovlink_motion_play **play, char **report,
                                                     tovlink_error *error);

/* Hold the schedule (the move in progress runs to its keyframe) and take it
 * up again; stop ends the play and sends nothing, so the motors stay where
 * the last move takes them and power stays as it was.  No effect on a play
 * that is over.  They return at once. */
TOVLINK_MOTION_API void tovlink_motion_play_pause(tovlink_motion_play *play);
TOVLINK_MOTION_API void tovlink_motion_play_resume(tovlink_motion_play *play);
TOVLINK_MOTION_API void tovlink_motion_play_stop(tovlink_motion_play *play);

/* The play's progress now into *progress.  Never blocks for long. */
TOVLINK_MOTION_API void tovlink_motion_play_progress(const tovlink_motion_play *play,
                                                     tovlink_motion_progress *progress);

/* Waits at most timeout_ms (negative: until the end) for the play to be
 * over.  Returns 0 once it is (its last progress in *progress, which may be
 * null), or TOVLINK_MOTION_STILL_PLAYING. */
TOVLINK_MOTION_API int32_t tovlink_motion_play_wait(tovlink_motion_play *play, int32_t timeout_ms,
                                                    tovlink_motion_progress *progress);

/* The failure that ended a failed play into *error (the robot's error, e.g.
 * 20001 when the robot was lost) and its code; 0 when it did not fail. */
TOVLINK_MOTION_API int32_t tovlink_motion_play_error(const tovlink_motion_play *play,
                                                     tovlink_error *error);

/* Stops the play (as tovlink_motion_play_stop), waits for its thread (at
 * most the exchange in progress, 1.5 s) and frees it.  Null: nothing.  Not
 * from the progress callback. */
TOVLINK_MOTION_API void tovlink_motion_play_free(tovlink_motion_play *play);

/* ------------------------------------------------------------------------
 * Recording
 * ---------------------------------------------------------------------- */

typedef struct tovlink_motion_recording tovlink_motion_recording;

/* Starts reading the robot's positions ("#140") every interval_ms (10-10000)
 * on a thread of its own, the first at once.  Teach by hand: power the
 * motors off and move the robot.  An interval out of range: 3. */
TOVLINK_MOTION_API int32_t tovlink_motion_record_start(tovlink_session *session,
                                                       int32_t interval_ms,
                                                       tovlink_motion_recording **recording,
                                                       tovlink_error *error);

/* Ends the recording and reduces its samples to keyframes that stay within
 * tolerance degrees (0 or more) of every sample; name (null: "recording")
 * names the motion.  On success *result gets (free it with
 * tovlink_motion_free_text):
 *   {"motion":{...motion file...},"samples":120,"keyframes":7}
 * The robot failed while recording: its error (the samples are lost).  A
 * recording can be stopped once; later calls fail with 3.  The recording
 * must still be freed. */
TOVLINK_MOTION_API int32_t tovlink_motion_record_stop(tovlink_motion_recording *recording,
                                                      double tolerance, const char *name,
                                                      char **result, tovlink_error *error);

/* The number of samples taken so far. */
TOVLINK_MOTION_API int64_t tovlink_motion_record_samples(const tovlink_motion_recording *recording);

/* Ends the recording if still running and frees it.  Null: nothing. */
TOVLINK_MOTION_API void tovlink_motion_record_free(tovlink_motion_recording *recording);

#ifdef __cplusplus
}
#endif

#endif /* TOVLINK_MOTION_H */

/* tovlink/session.h - TovLinkLib's C interface of sessions.
 *
 * A session is one connection to one robot.  Unlike the 34-function API of
 * <tovlink.h>, nothing here is process-wide: a program may open several
 * sessions at once (one per robot), call one session from several threads
 * (calls on one session are serialised inside it), and nothing is printed
 * (diagnostic lines go to an optional callback).  Each failure is kept as the
 * calling thread's last error on that session, with a name, a message and
 * whether the command reached the robot.  It is the C face of the C++ API
 * (<tovlink/robot.hpp>): the same session code, the same checks, the same
 * lines on the wire, the same messages.  For C, C#, Rust, Go, Python's ctypes
 * and anything else that loads a C library.
 *
 * Library: libTovLinkCxx (Linux: libTovLinkCxx.so.1; Windows: TovLinkCxx.dll,
 * exported under these plain names).  CMake: TovLinkLib::TovLinkSession (also
 * TovLinkLib::TovLinkCxx); pkg-config: tovlink-session.
 *
 * Result codes: every function that can fail returns 0 (TOVLINK_SESSION_OK)
 * or a result code, the same values as the C++ API's tovlink::errc:
 *   2 not connected, 3 invalid argument (nothing was sent), -1 exchange
 *   failed, 1001-1009 a step of the adapter dialogue, 10001 the port could not
 *   be opened, 10003 the command could not be queued, 10005 no reply within
 *   1.5 s, 20001 the link is lost (unplugged), 20002 cancelled, 20003 a reply
 *   that is not what was asked for.
 * tovlink_error_name() and tovlink_error_message() give their names and
 * plain texts; tovlink_session_last_error() gives the whole story of the
 * calling thread's last failure.
 *
 * Wire: each robot operation sends exactly the line listed with it (the
 * lines of <tovlink.h>, "\r" being a carriage return), after dropping
 * whatever the robot sent since the previous exchange gave up, and waits at
 * most 1.5 s for the reply.  Arguments are checked against the robot's
 * contract before anything is sent (see "The robot's contract" below):
 * angles are clamped to the motor's range and the angles sent are handed
 * back; every other value outside its range is refused with 3.
 *
 * Thread safety: every function may be called from any thread.  Calls on
 * one session are serialised; calls on different sessions run in parallel.
 * tovlink_session_close must not run while another thread still uses the
 * session.  The contract functions never block. */
#ifndef TOVLINK_SESSION_H
#define TOVLINK_SESSION_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#if defined(TOVLINK_BUILDING_CXX_LIBRARY)
#define TOVLINK_SESSION_API __declspec(dllexport)
#else
#define TOVLINK_SESSION_API __declspec(dllimport)
#endif
#else
#define TOVLINK_SESSION_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define TOVLINK_SESSION_OK 0
/* The number of motors, as the telemetry struct and the pose arrays hold them. */
#define TOVLINK_SESSION_MOTORS 7
/* The motor number that addresses every motor (timed moves only). */
#define TOVLINK_SESSION_ALL_MOTORS 255

typedef struct tovlink_session tovlink_session;
typedef struct tovlink_cancel tovlink_cancel;

/* ------------------------------------------------------------------------
 * Errors
 * ---------------------------------------------------------------------- */

/* A failure, as tovlink_session_last_error reports it. */
typedef struct tovlink_error {
  int32_t code;         /* the result code; 0 when the last call succeeded */
  int32_t sent;         /* 1: the command's line reached the port and the robot may have
                           acted on it; 0: nothing reached the robot */
  int32_t system_error; /* for 10001: errno (Windows: GetLastError), else 0 */
  char name[32];        /* "receive_timeout": the code's name, "" for 0 */
  char message[480];    /* "<operation>: <what happened>", cut to fit, zero-terminated */
} tovlink_error;

/* Copies the calling thread's last error on `session` into *error and
 * returns its code.  Every call on a session sets it: a success clears it.
 * With a null session: the calling thread's last failed
 * tovlink_session_open.  Thread safety: each thread sees its own. */
TOVLINK_SESSION_API int32_t tovlink_session_last_error(const tovlink_session *session,
                                                       tovlink_error *error);

/* The name of a result code ("invalid_argument"), "unknown_error" for a
 * value that is none; static, never null. */
TOVLINK_SESSION_API const char *tovlink_error_name(int32_t code);
/* Its plain text without an operation ("no complete reply from the robot
 * within 1.5 s"); static, never null. */
TOVLINK_SESSION_API const char *tovlink_error_message(int32_t code);

/* ------------------------------------------------------------------------
 * Opening and closing
 * ---------------------------------------------------------------------- */

/* Receives a diagnostic line (no line feed, UTF-8) on the thread that runs
 * the operation, with the session's lock held: it must not call back into
 * the same session. */
typedef void (*tovlink_log_callback)(void *context, const char *line);

typedef struct tovlink_session_options {
  int32_t baud;             /* line speed; 0: 115200 */
  tovlink_log_callback log; /* null: lines go nowhere */
  void *log_context;
  tovlink_cancel *cancel; /* null: the open cannot be cancelled */
} tovlink_session_options;

/* A cancel token for an open in progress.  Null when out of memory. */
TOVLINK_SESSION_API tovlink_cancel *tovlink_cancel_new(void);
/* Makes an open that was given `cancel` end what it opened and fail with
 * 20002 within 50 ms.  Callable from any thread, any number of times. */
TOVLINK_SESSION_API void tovlink_cancel_request(tovlink_cancel *cancel);
/* Frees the token; no open may still be using it.  Null: nothing. */
TOVLINK_SESSION_API void tovlink_cancel_free(tovlink_cancel *cancel);

/* Opens `port` (a device path; on Linux a name without "/" is looked up
 * under /dev/; on Windows a COM name) and runs the adapter dialogue (about
 * 3.5 s).  options may be null (115200, no log, no cancel).  On success
 * *session gets the new session; on failure it gets null and the result is
 * 10001 (see tovlink_session_last_error(NULL, ...) for the system's reason),
 * a dialogue step 1001-1009, 10005 (the adapter never answered), 20002
 * (cancelled) or 3 (a null port or session pointer). */
TOVLINK_SESSION_API int32_t tovlink_session_open(const char *port,
                                                 const tovlink_session_options *options,
                                                 tovlink_session **session);
/* Ends the connection (stops the session's I/O thread, closes the port) and
 * frees the session.  Null: nothing.  Nothing is sent. */
TOVLINK_SESSION_API void tovlink_session_close(tovlink_session *session);
/* 1 while the port works; 0 once it failed (unplugged): every operation then
 * fails with 20001 at once, and only closing is left.  Never blocks. */
TOVLINK_SESSION_API int32_t tovlink_session_link_alive(const tovlink_session *session);

/* ------------------------------------------------------------------------
 * Telemetry and text queries
 * ---------------------------------------------------------------------- */

/* One reading of the robot's status line, all taken from one reply. */
typedef struct tovlink_telemetry {
  int32_t sensor;
  int32_t mic;
  int32_t mic_analog;
  int32_t battery;
  int32_t motor_power;
  int32_t positions[TOVLINK_SESSION_MOTORS]; /* motors 1-7 */
} tovlink_telemetry;

/* Wire: "#140\r".  The reply must be a complete status line (else 20003). */
TOVLINK_SESSION_API int32_t tovlink_session_telemetry(tovlink_session *session,
                                                      tovlink_telemetry *telemetry);

/* The robot's text queries; tovlink_query_name() gives each one's name. */
typedef enum tovlink_query {
  TOVLINK_QUERY_WHO = 0,          /* "#800\r" */
  TOVLINK_QUERY_MOTOR_POWER,      /* "#802\r" */
  TOVLINK_QUERY_MOTOR_POWER_SET,  /* "#803\r" */
  TOVLINK_QUERY_INIT,             /* "#804\r" */
  TOVLINK_QUERY_INFO,             /* "#805\r" */
  TOVLINK_QUERY_INIT_MIC_RANGE,   /* "#806\r" */
  TOVLINK_QUERY_INIT_POWER_LIMIT, /* "#807\r" */
  TOVLINK_QUERY_POSITION,         /* "#142\r" */
  TOVLINK_QUERY_COUNT
} tovlink_query;

/* Sends the query's line and copies the reply line, without its line end,
 * into reply (size bytes, always zero-terminated, cut to fit); *length (may
 * be null) gets its full length.  A query outside the enum, a null reply or
 * a size of 0: 3, nothing sent. */
TOVLINK_SESSION_API int32_t tovlink_session_query(tovlink_session *session, int32_t query,
                                                  char *reply, size_t size, size_t *length);

/* ------------------------------------------------------------------------
 * Motion.  Motors are 1-7 (else 3).  Angles are clamped to the motor's range
 * (tovlink_contract_range(TOVLINK_LIMIT_MOTOR_ANGLE, motor, ...)); where an
 * `sent` pointer is taken (it may be null) it gets the angle(s) sent.  Times
 * are in milliseconds within TOVLINK_LIMIT_MOVE_TIME (else 3).
 * ---------------------------------------------------------------------- */

/* Wire: "#132,<motor-1>,<angle %03d>\r\r". */
TOVLINK_SESSION_API int32_t tovlink_session_move(tovlink_session *session, int32_t motor,
                                                 int32_t angle, int32_t *sent);
/* Over time_ms.  Wire: "#150,<motor-1>,<angle %03d>,<time %04d>\r\r".  Motor
 * 255 moves every motor, each clamped to its own range, as
 * tovlink_session_move_all does (*sent then gets the angle motors 1, 4 and 7
 * were sent). */
TOVLINK_SESSION_API int32_t tovlink_session_move_timed(tovlink_session *session, int32_t motor,
                                                       int32_t angle, int32_t time_ms,
                                                       int32_t *sent);
/* Every motor to one angle over time_ms, each clamped to its own range.
 * Wire: "#151,<a1>,...,<a7>,<time %04d>\r\r".  sent[7] (may be null). */
TOVLINK_SESSION_API int32_t tovlink_session_move_all(tovlink_session *session, int32_t angle,
                                                     int32_t time_ms, int32_t *sent);
/* angles[7], each clamped for its motor.  Wire: "#136,<a1>,...,<a7>\r\r".
 * sent[7] (may be null). */
TOVLINK_SESSION_API int32_t tovlink_session_pose(tovlink_session *session, const int32_t *angles,
                                                 int32_t *sent);
/* The same over time_ms.  Wire: "#151,<a1>,...,<a7>,<time %04d>\r\r". */
TOVLINK_SESSION_API int32_t tovlink_session_pose_timed(tovlink_session *session,
                                                       const int32_t *angles, int32_t time_ms,
                                                       int32_t *sent);
/* The robot's relative moves; they carry no amount.
 * Wire: "#137,<motor-1>,000\r\r". */
TOVLINK_SESSION_API int32_t tovlink_session_move_relative(tovlink_session *session, int32_t motor);
/* Motor 1-7 or 255.  Wire: "#152,<motor-1 or 255>,000,<time %04d>\r\r". */
TOVLINK_SESSION_API int32_t tovlink_session_move_relative_timed(tovlink_session *session,
                                                                int32_t motor, int32_t time_ms);
/* Offset within TOVLINK_LIMIT_ADJUST_OFFSET.  Wire: "#810,<motor-1>,<offset %04d>\r\r". */
TOVLINK_SESSION_API int32_t tovlink_session_adjust(tovlink_session *session, int32_t motor,
                                                   int32_t offset);
/* value within TOVLINK_LIMIT_POWER_VALUE (tovlink_contract_default_power_value()
 * for the usual one).  Wire: "#130\r", then only if that succeeded
 * "#133,9,<value %04d>\r". */
TOVLINK_SESSION_API int32_t tovlink_session_power_on(tovlink_session *session, int32_t value);
/* Wire: "#131\r". */
TOVLINK_SESSION_API int32_t tovlink_session_power_off(tovlink_session *session);
/* Wire: "#134\r\r". */
TOVLINK_SESSION_API int32_t tovlink_session_start(tovlink_session *session);

/* ------------------------------------------------------------------------
 * LEDs, sound and speech
 * ---------------------------------------------------------------------- */

/* led within TOVLINK_LIMIT_LED.  Wire: "#100,<led>\r" / "#101,<led>\r". */
TOVLINK_SESSION_API int32_t tovlink_session_led_on(tovlink_session *session, int32_t led);
TOVLINK_SESSION_API int32_t tovlink_session_led_off(tovlink_session *session, int32_t led);
/* Values within TOVLINK_LIMIT_TONE_FIRST and _SECOND.
 * Wire: "#110,<first %05d>,<second %04d>\r". */
TOVLINK_SESSION_API int32_t tovlink_session_tone(tovlink_session *session, int32_t first,
                                                 int32_t second);
/* speed within TOVLINK_LIMIT_SPEECH_SPEED.  Wire: "#120,<speed %03d>\r". */
TOVLINK_SESSION_API int32_t tovlink_session_speech_speed(tovlink_session *session, int32_t speed);
/* Speaks a zero-terminated text of at most TOVLINK_LIMIT_SPEECH_BYTES bytes
 * holding no carriage return or line feed (either would start another
 * command line); else 3.  Wire: "#121,<text>\r", every byte as it is (no
 * escaping, no character-set conversion). */
TOVLINK_SESSION_API int32_t tovlink_session_say(tovlink_session *session, const char *text);

/* ------------------------------------------------------------------------
 * The robot's contract: what the robot accepts, as the library checks it.
 * The same answers as the C++ API's <tovlink/contract.hpp> and the service's
 * "describe" command.
 * ---------------------------------------------------------------------- */

typedef enum tovlink_limit {
  TOVLINK_LIMIT_MOTOR_ANGLE = 0, /* index: the motor, 1-7 (255: the robot's all-motor range) */
  TOVLINK_LIMIT_MOVE_TIME,       /* milliseconds of a timed move */
  TOVLINK_LIMIT_ADJUST_OFFSET,
  TOVLINK_LIMIT_POWER_VALUE,
  TOVLINK_LIMIT_LED, /* the LED numbers */
  TOVLINK_LIMIT_TONE_FIRST,
  TOVLINK_LIMIT_TONE_SECOND,
  TOVLINK_LIMIT_SPEECH_SPEED,
  TOVLINK_LIMIT_SPEECH_BYTES /* the length of a speech text, 0 to its maximum */
} tovlink_limit;

/* The closed range [*low, *high] of `limit` (index: the motor for
 * TOVLINK_LIMIT_MOTOR_ANGLE, else 0).  Returns 0, or 3 for an unknown limit
 * or index (then nothing is written). */
TOVLINK_SESSION_API int32_t tovlink_contract_range(int32_t limit, int32_t index, int64_t *low,
                                                   int64_t *high);
/* The power value to use when there is no reason for another (500). */
TOVLINK_SESSION_API int32_t tovlink_contract_default_power_value(void);
/* The name of LED `led` ("left eye"), null for a number that is no LED. */
TOVLINK_SESSION_API const char *tovlink_led_name(int32_t led);
/* The name of a query ("who", "motor-power", ...), null outside the enum. */
TOVLINK_SESSION_API const char *tovlink_query_name(int32_t query);
/* The whole contract as one JSON object (the service's "describe" result),
 * zero-terminated into buffer (size bytes, cut to fit when too small; buffer
 * may be null with size 0).  Returns its full length without the zero. */
TOVLINK_SESSION_API size_t tovlink_contract_json(char *buffer, size_t size);

/* The library's version, "1.0.0.3" for this release, zero-terminated into
 * buffer (size bytes, cut to fit).  Returns its full length. */
TOVLINK_SESSION_API size_t tovlink_session_library_version(char *buffer, size_t size);

#ifdef __cplusplus
}
#endif

#endif /* TOVLINK_SESSION_H */

/* The Python package's native binding: a small C interface over the C++ API
 * (<tovlink/robot.hpp>) for ctypes.  Not an interface for C programs: those
 * use <tovlink.h>.
 *
 * Why it exists: the flat C API keeps one connection per process, sends one
 * status exchange per value and pays its 1.5 s time-out on a link that is
 * gone.  Through this binding a tovlink.Robot owns a connection of its own,
 * reads all telemetry from one status line, learns at once that a link is
 * lost, is quiet (no diagnostic lines on the standard streams) and can be
 * stopped while it connects.
 *
 * Every function that can fail returns 0 on success, else the tovlink::errc
 * value, and fills *error (which may be null) with what went wrong.
 *
 * Thread safety: calls on one robot are serialised by the robot itself; a
 * robot must not be ended while another thread uses it (the Python class
 * guards that). */
#ifndef TOVLINK_PY_H
#define TOVLINK_PY_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#define TOVLINK_PY_API __declspec(dllexport)
#else
#define TOVLINK_PY_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct tovlink_py_robot tovlink_py_robot;
typedef struct tovlink_py_stop tovlink_py_stop;

/* What a failed call reports. */
typedef struct tovlink_py_error {
  int32_t code; /* tovlink::errc value */
  int32_t sent; /* 1: the line was queued and may have acted; 0: nothing reached the robot */
  int32_t system_error; /* errno (or Windows error) of a port that would not open, else 0 */
  char message[480];    /* "<operation>: <what happened>", cut to fit, always zero-terminated */
} tovlink_py_error;

/* What the robot accepts, as the library defines it: tovlink::contract_json(),
 * one JSON object, copied into out (size bytes, zero-terminated, cut to
 * fit); *length gets its full length, so a caller can ask again with room
 * enough.  Needs no robot.  Returns 0, or -1 when out of memory. */
TOVLINK_PY_API int32_t tovlink_py_contract_json(char *out, size_t size, size_t *length);

/* Telemetry, in this order: sensor, mic, mic analog, battery, motor power,
 * then the positions of motors 1-7. */
enum { TOVLINK_PY_TELEMETRY_VALUES = 12 };

/* A stop request for a connect in progress.  Null when out of memory. */
TOVLINK_PY_API tovlink_py_stop *tovlink_py_stop_new(void);
/* Makes a connect that was given `stop` end what it opened and return
 * cancelled within 50 ms.  Callable from any thread. */
TOVLINK_PY_API void tovlink_py_stop_request(tovlink_py_stop *stop);
TOVLINK_PY_API void tovlink_py_stop_free(tovlink_py_stop *stop);

/* Opens port and runs the adapter dialogue (about 3.5 s).  stop may be null.
 * Returns null on failure, with *error filled. */
TOVLINK_PY_API tovlink_py_robot *tovlink_py_connect(const char *port, int32_t baud,
                                                    tovlink_py_stop *stop, tovlink_py_error *error);
/* Ends the connection and frees robot (null: nothing). */
TOVLINK_PY_API void tovlink_py_end(tovlink_py_robot *robot);
/* 1 while the port works, 0 once it failed (unplugged).  Never blocks. */
TOVLINK_PY_API int32_t tovlink_py_link_alive(const tovlink_py_robot *robot);

/* One status exchange: values[TOVLINK_PY_TELEMETRY_VALUES]. */
TOVLINK_PY_API int32_t tovlink_py_telemetry(tovlink_py_robot *robot, int32_t *values,
                                            tovlink_py_error *error);
/* The text query named `name` ("who", "info", ...: the contract's query
 * names).  The reply line, without its line end, goes into reply (size
 * bytes, zero-terminated, cut to fit); *length gets its full length. */
TOVLINK_PY_API int32_t tovlink_py_query(tovlink_py_robot *robot, const char *name, char *reply,
                                        size_t size, size_t *length, tovlink_py_error *error);

/* Motion.  time_ms null: at once; else over *time_ms (the library refuses a
 * time outside its range, a negative one too).  *sent gets the clamped
 * angle(s) that went on the wire.  A timed move of motor 255 moves every
 * motor, each clamped to its own range: sent then holds seven angles. */
TOVLINK_PY_API int32_t tovlink_py_move(tovlink_py_robot *robot, int32_t motor, int32_t angle,
                                       const int32_t *time_ms, int32_t *sent,
                                       tovlink_py_error *error);
TOVLINK_PY_API int32_t tovlink_py_pose(tovlink_py_robot *robot, const int32_t *angles,
                                       const int32_t *time_ms, int32_t *sent,
                                       tovlink_py_error *error);
TOVLINK_PY_API int32_t tovlink_py_move_relative(tovlink_py_robot *robot, int32_t motor,
                                                const int32_t *time_ms, tovlink_py_error *error);
TOVLINK_PY_API int32_t tovlink_py_adjust(tovlink_py_robot *robot, int32_t motor, int32_t offset,
                                         tovlink_py_error *error);
TOVLINK_PY_API int32_t tovlink_py_power_on(tovlink_py_robot *robot, int32_t value,
                                           tovlink_py_error *error);
TOVLINK_PY_API int32_t tovlink_py_power_off(tovlink_py_robot *robot, tovlink_py_error *error);
TOVLINK_PY_API int32_t tovlink_py_start(tovlink_py_robot *robot, tovlink_py_error *error);

/* LEDs (on: 1, off: 0), tone, speech. */
TOVLINK_PY_API int32_t tovlink_py_led(tovlink_py_robot *robot, int32_t led, int32_t on,
                                      tovlink_py_error *error);
TOVLINK_PY_API int32_t tovlink_py_tone(tovlink_py_robot *robot, int32_t first, int32_t second,
                                       tovlink_py_error *error);
TOVLINK_PY_API int32_t tovlink_py_speech_speed(tovlink_py_robot *robot, int32_t speed,
                                               tovlink_py_error *error);
TOVLINK_PY_API int32_t tovlink_py_say(tovlink_py_robot *robot, const char *text, size_t length,
                                      tovlink_py_error *error);

#ifdef __cplusplus
}
#endif

#endif

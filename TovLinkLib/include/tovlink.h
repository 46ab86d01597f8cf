/*
 * tovlink.h - host interface of TovLinkLib.
 *
 * TovLinkLib drives a small robot (seven servos, LEDs, a tone generator,
 * speech, a microphone, a sensor and a battery gauge) through a serial link
 * adapter.  The host connects once, runs robot operations, and ends the
 * connection.  Every operation returns a numeric result code (TOVLINK_OK is
 * success) and leaves it in the process-wide last-error code.
 *
 * Threading: one current connection per process and one process-wide
 * last-error code.  Call the library from one thread at a time; nothing
 * inside serialises concurrent calls.  Each connection runs one internal
 * I/O thread that moves bytes between the port and the library's queues.
 *
 * Wire format: a command line is ASCII text ended by a carriage return
 * ("\r"); the robot's replies end with a line feed ("\n").  A reply is
 * complete when the last byte received so far is a line feed.  Every robot
 * exchange waits at most 1500 polls of 1 ms (at least 1.5 s) for a reply.
 * Every robot operation starts by discarding whatever the robot sent since
 * the previous exchange ended (bytes not yet read, and bytes already read
 * from the port but not yet handed over), so a reply that arrives after its
 * own exchange timed out is never returned to the next call as its reply.
 * The connect dialogue does not discard: its waits skip the lines they do
 * not expect.
 *
 * Failures inside the library: no C++ exception ever leaves a function.  An
 * internal failure (memory or a thread not to be had) is reported as
 * TOVLINK_ERR_PORT_OPEN by tovlink_connect (nothing stays open) and as
 * TOVLINK_ERR_EXCHANGE, with its "g_last_error=-1" line, by the others.
 *
 * Diagnostics: the library prints plain text lines on standard error (and
 * the time-out line "[Err] Detect timeout." on standard output), each one
 * flushed as it is written.  The lines are listed with the functions that
 * print them.  Whenever a robot operation settles on a non-zero code it
 * prints "g_last_error=<code>" with the code as a signed decimal (so
 * TOVLINK_ERR_EXCHANGE prints as -1).
 *
 * Handles: tovlink_connect returns an opaque handle.  Operations compare the
 * handle's low 32 bits with the current connection and print
 * "g_serial_t=0x<current>, handle=0x<handle>" when they differ, but always
 * act on the current connection.
 */
#ifndef TOVLINK_H
#define TOVLINK_H

#include <stddef.h>
#include <stdint.h>

/* The Windows DLL takes its export table from a module-definition file
 * (TovLinkLib.def), which also gives two functions their decorated names;
 * marking the functions dllexport as well would export the plain names too. */
#if defined(_WIN32)
#if defined(TOVLINK_BUILDING_LIBRARY)
#define TOVLINK_API
#else
#define TOVLINK_API __declspec(dllimport)
#endif
#elif defined(TOVLINK_BUILDING_LIBRARY)
#define TOVLINK_API __attribute__((visibility("default")))
#else
#define TOVLINK_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------
 * Result codes
 * ---------------------------------------------------------------------- */

/** Success. */
#define TOVLINK_OK 0u
/** No connection (seen only inside the line exchange; operations report 2). */
#define TOVLINK_ERR_NO_CONNECTION 1u
/** Not connected: the operation was called with no current connection. */
#define TOVLINK_ERR_NOT_CONNECTED 2u
/** Invalid argument: null pointer, zero size, motor or value out of range,
 *  text too long, buffer too small. */
#define TOVLINK_ERR_INVALID_ARGUMENT 3u
/** The exchange with the robot failed (not queued, or no complete reply).
 *  For tovlin_get_lib_ver: the version information cannot be read. */
#define TOVLINK_ERR_EXCHANGE 0xFFFFFFFFu
/** Connect: "R,1\r" could not be queued. */
#define TOVLINK_ERR_CONNECT_RESET_SEND 1001u
/** Connect: "GDH\r" could not be queued. */
#define TOVLINK_ERR_CONNECT_PEER_SEND 1003u
/** Connect: no usable reply to "GDH\r" (none in time, or one of 32 bytes or
 *  more, which does not fit the peer id). */
#define TOVLINK_ERR_CONNECT_PEER_REPLY 1004u
/** Connect: the "E,0,<peer id>\r" line could not be queued. */
#define TOVLINK_ERR_CONNECT_LINK_SEND 1007u
/** Connect: no reply to the "E,0,..." line, or one not beginning with "AOK". */
#define TOVLINK_ERR_CONNECT_LINK_REPLY 1008u
/** Connect: "I\r" could not be queued. */
#define TOVLINK_ERR_CONNECT_INFO_SEND 1009u
/** Connect: the serial port could not be opened or set up (also: null port
 *  name, or a name too long for the device path). */
#define TOVLINK_ERR_PORT_OPEN 10001u
/** Send: the text to send is null. */
#define TOVLINK_ERR_SEND_NULL 10002u
/** Send: the text did not fit the send queue, or is longer than a command
 *  line may be (127 bytes). */
#define TOVLINK_ERR_SEND_QUEUE 10003u
/** Receive: no complete reply line within the allowed polls, or the reply
 *  did not fit the buffer. */
#define TOVLINK_ERR_RECEIVE 10005u

/* ------------------------------------------------------------------------
 * Connection
 * ---------------------------------------------------------------------- */

/**
 * Opens the serial port, makes it the current connection and links the
 * adapter with its peer.
 *
 * port_name  Linux: a name beginning with "/" is the device path itself;
 *            any other name means "/dev/<name>" (so "ttyUSB0" opens
 *            /dev/ttyUSB0).  The path must fit in 255 bytes.
 *            Windows: a COM name such as "COM3", opened as "\\.\COM3"; at
 *            most 11 characters.
 *            A null name, or one too long for the path, is refused with
 *            TOVLINK_ERR_PORT_OPEN and nothing is opened; such a name is
 *            never shortened.
 * baud       Baud rate, handed to the line settings unchanged (8 data bits,
 *            no parity; stop bits and hardware flow control as found).
 *            Linux accepts any positive rate (non-standard rates through
 *            termios2); zero or a negative rate fails with
 *            TOVLINK_ERR_PORT_OPEN.  Windows: the driver decides which
 *            rates it accepts; one it refuses fails with
 *            TOVLINK_ERR_PORT_OPEN.
 *
 * The port is opened exclusively: a second open of the same device, by
 * this or another process, fails.  On Linux the port is set fully raw (no
 * echo, no line editing, no CR/LF translation, no XON/XOFF).
 *
 * Dialogue on the wire, in order:
 *  1. sends "R,1\r";
 *  2. waits for a line beginning with "CMD" (1000 polls per line; other
 *     lines are skipped);
 *  3. sends "GDH\r" and waits up to 3000 polls for the peer id line, kept
 *     with its own line ending;
 *  4. pauses 500 ms;
 *  5. sends "E,0,<peer id>\r" (so the peer id's "\r\n" is followed by the
 *     library's "\r") and waits up to 1000 polls for a line beginning with
 *     "AOK";
 *  6. pauses 3000 ms;
 *  7. sends "I\r" and waits for a line beginning with "MLDP" (1000 polls
 *     per line; other lines are skipped).  A failure here is only logged:
 *     the handle is still returned and the last error stays
 *     TOVLINK_ERR_RECEIVE.
 * A successful connect therefore takes at least 3.5 s.
 *
 * Line skipping in steps 2 and 7 is bounded: once 5 s have passed since the
 * step began, a further non-matching line ends the wait as a time-out
 * (TOVLINK_ERR_RECEIVE, with "[Err] Detect timeout." on standard output),
 * so a device that never stops talking holds a step for at most about
 * 6.5 s.
 *
 * A peer id reply of 32 bytes or more does not fit the 31-character peer
 * id; connect refuses it with TOVLINK_ERR_CONNECT_PEER_REPLY (printing only
 * "tovlink_end") rather than link with a shortened id.
 *
 * Returns the handle, or NULL with the reason in tovlink_get_lasterror():
 * TOVLINK_ERR_PORT_OPEN, TOVLINK_ERR_RECEIVE (no "CMD"), or 1001-1009.
 * When a step of the dialogue fails, the new connection is ended first
 * (printing "tovlink_end").  When the port cannot be opened, the current
 * connection (if any) stays current.  A connect while another connection
 * is current replaces it as the current one without closing it.
 *
 * Prints "tovlink_connect <port>, <baud>" first ("(null)" for a null
 * name); "LastError=0x<os error>" when the system refuses to open the
 * device; the Shift-JIS line "COM port initialisation failed("<port>")"
 * when the port cannot be opened or set up; "Handle:0x<handle>" on
 * success; plus the "g_last_error=<code>" lines of the failing step.
 */
TOVLINK_API uint32_t *tovlink_connect(const char *port_name, int32_t baud);

/**
 * Ends the current connection: stops the I/O thread, closes the port and
 * releases the connection.  The handle is only compared; the current
 * connection is always the one closed.  Prints "tovlink_end".  With no
 * connection it prints "g_serial_t=NULL" and leaves
 * TOVLINK_ERR_NOT_CONNECTED in the last error (without printing the code).
 *
 * Bound: the call does not wait for bytes still queued to go out; the I/O
 * thread stops at the end of its current pass.  On Linux a write that the
 * device holds back (flow control) is abandoned within about a millisecond
 * once the call begins, so tovlink_end returns within about 10 ms.
 * Windows: a write the device holds back cannot be cut short (the port has
 * no write time-out), so the I/O thread, and with it this call, waits until
 * the device takes the bytes.
 */
TOVLINK_API void tovlink_end(uint32_t *handle);

/**
 * Returns the process-wide last-error code (not reset by reading).  Prints
 * "g_last_error=<code>" on standard error first when it is non-zero.
 */
TOVLINK_API uint32_t tovlink_get_lasterror(void);

/* ------------------------------------------------------------------------
 * Robot operations
 *
 * Each one: resets the last error, checks the connection (no connection:
 * prints "g_serial_t=NULL" and returns TOVLINK_ERR_NOT_CONNECTED, whatever
 * the other arguments are), then checks its arguments
 * (TOVLINK_ERR_INVALID_ARGUMENT, nothing sent), then exchanges one line
 * with the robot (TOVLINK_ERR_EXCHANGE when the line could not be queued or
 * no complete reply came within 1500 polls; "g_last_error=<code>" is then
 * printed twice, first with the underlying code, then with -1).
 * ---------------------------------------------------------------------- */

/* Telemetry getters.  Each sends "#140\r"; a status-line reply
 * "S,<sensor>,<mic>,M,<p1>,...,<p7>,P,<battery>,<motor power>,
 * <mic analog>,E" (optionally after "End,") refreshes the process-wide
 * telemetry cache, and the getter returns the cached value.  A reply that
 * is not a status line leaves the cache as it was (all zero until the first
 * status line).  On failure *out is not written.  Null out: 3.
 * A digit run beyond the signed 32-bit range is stored saturated
 * (INT32_MAX or INT32_MIN). */

/** Sensor value.  Wire: "#140\r". */
TOVLINK_API uint32_t tovlink_get_sensor_value(uint32_t *handle, int32_t *out);
/** Microphone value.  Wire: "#140\r". */
TOVLINK_API uint32_t tovlink_get_mic_value(uint32_t *handle, int32_t *out);
/** Microphone analog value.  Wire: "#140\r". */
TOVLINK_API uint32_t tovlink_get_mic_analog_value(uint32_t *handle, int32_t *out);
/** Battery value.  Wire: "#140\r". */
TOVLINK_API uint32_t tovlink_get_battery_value(uint32_t *handle, int32_t *out);
/** Motor power value (not the text query tovlink_get_motorpower).
 *  Wire: "#140\r". */
TOVLINK_API uint32_t tovlink_get_motor_power(uint32_t *handle, int32_t *out);
/** Position of one motor (1-7, else 3).  Wire: "#140\r". */
TOVLINK_API uint32_t tovlink_get_motor_position(uint32_t *handle, int32_t motor, int32_t *out);
/** Cached positions of motors 1-7, without any exchange; null pointers are
 *  skipped.  Sends nothing; returns 0 or 2. */
TOVLINK_API uint32_t tovlink_get_motor_positions(uint32_t *handle, int32_t *out1, int32_t *out2,
                                                 int32_t *out3, int32_t *out4, int32_t *out5,
                                                 int32_t *out6, int32_t *out7);

/* Text queries.  Each sends its fixed line (with a single "\r") and
 * receives the robot's reply line into buffer: the bytes exactly as
 * received, up to and including the line feed, with no terminating zero
 * added and nothing written past size (pass a zero-filled buffer to use the
 * reply as text).  A reply larger than size fails with TOVLINK_ERR_EXCHANGE;
 * after a time-out the bytes received so far stay in the buffer.  Null
 * buffer or zero size: 3, nothing sent. */

/** Identification.  Wire: "#800\r". */
TOVLINK_API uint32_t tovlink_who(uint32_t *handle, char *buffer, uint64_t size);
/** Motor power setting as text (not tovlink_get_motor_power).
 *  Wire: "#802\r". */
TOVLINK_API uint32_t tovlink_get_motorpower(uint32_t *handle, char *buffer, uint64_t size);
/** Wire: "#803\r".  Sends nothing from buffer: buffer receives the reply. */
TOVLINK_API uint32_t tovlink_set_motorpower(uint32_t *handle, char *buffer, uint64_t size);
/** Initial settings.  Wire: "#804\r". */
TOVLINK_API uint32_t tovlink_get_init(uint32_t *handle, char *buffer, uint64_t size);
/** Information.  Wire: "#805\r". */
TOVLINK_API uint32_t tovlink_get_info(uint32_t *handle, char *buffer, uint64_t size);
/** Initial microphone range.  Wire: "#806\r". */
TOVLINK_API uint32_t tovlink_get_init_mic_range(uint32_t *handle, char *buffer, uint64_t size);
/** Initial power limit.  Wire: "#807\r". */
TOVLINK_API uint32_t tovlink_get_init_power_limit(uint32_t *handle, char *buffer, uint64_t size);
/** Positions as text (not tovlink_get_motor_position(s)).  Wire: "#142\r". */
TOVLINK_API uint32_t tovlink_get_position(uint32_t *handle, char *buffer, uint64_t size);

/* Motor commands.  Motors are numbered 1-7 by the host and sent as 0-6.
 * Angles are clamped, never refused: motors 1, 4 and 7 (and 255, all
 * motors) to 0-180, motors 2, 3, 5 and 6 to 55-125.  Angles go out as
 * "%03d", times and values as "%04d" (at least four digits, zero-padded,
 * a minus sign before negatives).  Lines shown ending in "\r\r" go out with
 * two carriage returns. */

/** Powers the motors: value >= 500 (else 3).  Exchanges "#130\r"; only if
 *  that succeeds, exchanges "#133,9,<value %04d>\r". */
TOVLINK_API uint32_t tovlink_motor_power_on(uint32_t *handle, int32_t value);
/** Wire: "#131\r". */
TOVLINK_API uint32_t tovlink_motor_power_off(uint32_t *handle);
/** Wire: "#134\r\r". */
TOVLINK_API uint32_t tovlink_motor_start(uint32_t *handle);
/** Motor 1-7 (else 3).  Wire: "#132,<motor-1>,<angle %03d>\r\r". */
TOVLINK_API uint32_t tovlink_motor_set_pos(uint32_t *handle, int32_t motor, int32_t angle);
/** Motor 1-7 (else 3).  Wire: "#137,<motor-1>,000\r\r": the angle field
 *  always carries 0 and value is not used.
 *  Linux exports this under its plain name; the Windows DLL exports it as
 *  "?tovlink_motor_set_pos_rel@@YAIPEAKHH@Z" (look it up by that name). */
TOVLINK_API uint32_t tovlink_motor_set_pos_rel(uint32_t *handle, int32_t motor, int32_t value);
/** Wire: "#136,<a1>,...,<a7>\r\r", each "%03d", each clamped for its motor. */
TOVLINK_API uint32_t tovlink_motor_pos_all(uint32_t *handle, int32_t angle1, int32_t angle2,
                                           int32_t angle3, int32_t angle4, int32_t angle5,
                                           int32_t angle6, int32_t angle7);
/** Timed move.  Motor 1-7 or 255 (else 3).
 *  Wire: "#150,<motor-1 or 255>,<angle %03d>,<time %04d>\r\r".
 *  With 255 the robot moves every motor to the one angle, clamped to 0-180
 *  only: motors 2, 3, 5 and 6 are then driven outside their 55-125 range.
 *  To move every motor within its range, use
 *  tovlink_motor_angle_multi_time with the same angle seven times. */
TOVLINK_API uint32_t tovlink_motor_angle_time(uint32_t *handle, int32_t motor, int32_t angle,
                                              int32_t time);
/** Motor 1-7 or 255 (else 3).  Wire: "#152,<motor-1 or 255>,000,<time %04d>\r\r":
 *  the angle field always carries 0 and value is not used.
 *  Linux exports this under its plain name; the Windows DLL exports it as
 *  "?tovlink_motor_angle_time_rel@@YAIPEAKHHH@Z" (look it up by that name). */
TOVLINK_API uint32_t tovlink_motor_angle_time_rel(uint32_t *handle, int32_t motor, int32_t value,
                                                  int32_t time);
/** Timed move of all motors.
 *  Wire: "#151,<a1>,...,<a7>,<time %04d>\r\r", angles "%03d" and clamped. */
TOVLINK_API uint32_t tovlink_motor_angle_multi_time(uint32_t *handle, int32_t angle1,
                                                    int32_t angle2, int32_t angle3, int32_t angle4,
                                                    int32_t angle5, int32_t angle6, int32_t angle7,
                                                    int32_t time);
/** Adjustment offset.  Motor 1-7 (else 3); value unchecked.
 *  Wire: "#810,<motor-1>,<value %04d>\r\r". */
TOVLINK_API uint32_t tovlink_motor_adjust(uint32_t *handle, int32_t motor, int32_t value);

/* LED, sound and voice.  Each line goes out with one "\r". */

/** Wire: "#100,<led>\r" (unchecked, negative numbers keep their sign). */
TOVLINK_API uint32_t tovlink_led_on(uint32_t *handle, int32_t led);
/** Wire: "#101,<led>\r". */
TOVLINK_API uint32_t tovlink_led_off(uint32_t *handle, int32_t led);
/** Tone.  Wire: "#110,<first %05d>,<second %04d>\r" (unchecked). */
TOVLINK_API uint32_t tovlink_sound(uint32_t *handle, int32_t first, int32_t second);
/** Speech speed 50-300 (else 3).  Wire: "#120,<speed %03d>\r". */
TOVLINK_API uint32_t tovlink_voice_speed(uint32_t *handle, int32_t speed);
/** Speaks text: 0-39 bytes before its terminating zero (else 3; null: 3).
 *  A text holding a carriage return or a line feed is refused with 3 and
 *  nothing is sent: the rest of the text would reach the robot as a command
 *  line of its own.
 *  Wire: "#121,<text>\r", every other byte copied unchanged (no escaping, no
 *  character-set conversion). */
TOVLINK_API uint32_t tovlink_voice(uint32_t *handle, const char *text);

/* ------------------------------------------------------------------------
 * Library version
 * ---------------------------------------------------------------------- */

/**
 * Writes the library version, "1.0.0.3" for this release, with its
 * terminating zero into buffer (8 bytes for this release).  Note the prefix
 * "tovlin_", one letter shorter than the others.  Needs no connection,
 * does not touch the last error and prints nothing.
 *
 * Returns 0; TOVLINK_ERR_INVALID_ARGUMENT when buffer is null, size is
 * below 8 or the text with its zero does not fit (the buffer is then left
 * untouched, never shortened); TOVLINK_ERR_EXCHANGE when the version
 * information cannot be read (Windows: the DLL's version resource, found by
 * the module name "TovLinkLib.dll").
 */
TOVLINK_API uint32_t tovlin_get_lib_ver(char *buffer, uint64_t size);

#ifdef __cplusplus
}
#endif

#endif /* TOVLINK_H */

/*
 * A C host: connects to the robot, reads its telemetry, moves a motor and
 * ends the connection.
 *
 *   tovlink_example_c PORT [BAUD]
 *
 * PORT is the adapter's serial port ("ttyUSB0", "/dev/ttyUSB0"), or the path
 * that tovlink-sim prints for the virtual robot.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <tovlink.h>

static int report_failure(const char *operation, uint32_t code) {
  fprintf(stderr, "%s failed: result code %lu\n", operation, (unsigned long)code);
  return 1;
}

/* Each getter asks the robot for a fresh status line. */
static int print_telemetry(uint32_t *robot) {
  int32_t battery = 0;
  int32_t sensor = 0;
  int32_t position = 0;
  uint32_t code = tovlink_get_battery_value(robot, &battery);
  if (code != TOVLINK_OK) return report_failure("tovlink_get_battery_value", code);
  code = tovlink_get_sensor_value(robot, &sensor);
  if (code != TOVLINK_OK) return report_failure("tovlink_get_sensor_value", code);
  code = tovlink_get_motor_position(robot, 2, &position);
  if (code != TOVLINK_OK) return report_failure("tovlink_get_motor_position", code);
  printf("battery %ld\nsensor %ld\nmotor 2 at %ld\n", (long)battery, (long)sensor, (long)position);
  return 0;
}

/* The robot's identification line: the buffer starts zero-filled so the
 * reply reads as text. */
static int print_identification(uint32_t *robot) {
  char reply[128];
  memset(reply, 0, sizeof reply);
  const uint32_t code = tovlink_who(robot, reply, sizeof reply - 1);
  if (code != TOVLINK_OK) return report_failure("tovlink_who", code);
  reply[strcspn(reply, "\r\n")] = '\0';
  printf("robot %s\n", reply);
  return 0;
}

static int move_motor(uint32_t *robot) {
  uint32_t code = tovlink_motor_power_on(robot, 500);
  if (code != TOVLINK_OK) return report_failure("tovlink_motor_power_on", code);
  code = tovlink_motor_set_pos(robot, 2, 100);
  if (code != TOVLINK_OK) return report_failure("tovlink_motor_set_pos", code);
  printf("motor 2 sent to 100\n");
  return 0;
}

int main(int argc, char **argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s PORT [BAUD]\n", argv[0]);
    return 2;
  }
  const int32_t baud = argc > 2 ? (int32_t)strtol(argv[2], NULL, 10) : 115200;

  char version[16] = {0};
  if (tovlin_get_lib_ver(version, sizeof version) == TOVLINK_OK) printf("TovLinkLib %s\n", version);

  uint32_t *robot = tovlink_connect(argv[1], baud);
  if (robot == NULL) return report_failure("tovlink_connect", tovlink_get_lasterror());

  const int failed = print_identification(robot) || print_telemetry(robot) || move_motor(robot);
  tovlink_end(robot);
  return failed;
}

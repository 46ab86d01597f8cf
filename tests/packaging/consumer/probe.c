/* Proves a host built against an installed TovLinkLib links and loads it:
 * prints the library version and the code a connect to a port that does not
 * exist returns. */
#include <stdio.h>
#include <tovlink.h>

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s MISSING_PORT\n", argv[0]);
    return 2;
  }
  char version[16] = {0};
  const uint32_t version_code = tovlin_get_lib_ver(version, sizeof version);
  uint32_t *robot = tovlink_connect(argv[1], 115200);
  const uint32_t connect_code = tovlink_get_lasterror();
  if (robot != NULL) tovlink_end(robot);
  printf("version %s %lu\nconnect %lu\n", version, (unsigned long)version_code,
         (unsigned long)connect_code);
  return 0;
}

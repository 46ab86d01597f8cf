/*
 * Links against the import library TovLinkLib.lib and calls the DLL by its
 * plain names, the way a C host program built with the header does.  Being
 * C, it also keeps tovlink.h honest as a C header.
 */
#include <stdio.h>
#include <string.h>

#include "tovlink.h"

static int passed = 0;
static int failed = 0;

static void check(int ok, const char *what) {
  if (ok) {
    ++passed;
    printf("ok    %s\n", what);
  } else {
    ++failed;
    printf("FAIL  %s\n", what);
  }
}

int main(void) {
  char text[8];
  uint32_t result;

  memset(text, 'x', sizeof text);
  result = tovlin_get_lib_ver(text, sizeof text);
  check(result == TOVLINK_OK && memcmp(text, "1.0.0.3", 8) == 0,
        "tovlin_get_lib_ver through the import library gives \"1.0.0.3\"");

  /* No connection: prints "tovlink_end" and "g_serial_t=NULL", leaves 2. */
  tovlink_end(NULL);
  check(tovlink_get_lasterror() == TOVLINK_ERR_NOT_CONNECTED,
        "tovlink_end without a connection leaves 2 in the last error");

  printf("import library: %d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}

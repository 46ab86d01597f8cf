// Windows test host for TovLinkLib.dll, run under Wine by
// .ci/steps/40-windows.sh against the virtual robot.  It uses the DLL the way
// a Windows host program does: LoadLibrary, then GetProcAddress by the
// exported names, then calls through those pointers.
//
//   tovlink_wine_host.exe <robot port> <unmapped port>
//
// <robot port> is a COM name that Wine maps onto the virtual robot's
// pseudo-terminal; <unmapped port> is a COM name that leads nowhere.  The
// motor commands sent here are checked on the robot's side by the step
// script, which reads the robot's wire log.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// windows.h first: the CRT headers below rely on its types.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "tovlink.h"

namespace {

// Every name the DLL must export: the functions of tovlink.h, two of them
// under decorated names only.
constexpr const char *k_exported_names[] = {
    "tovlink_connect",
    "tovlink_end",
    "tovlink_get_lasterror",
    "tovlink_get_sensor_value",
    "tovlink_get_mic_value",
    "tovlink_get_mic_analog_value",
    "tovlink_get_battery_value",
    "tovlink_get_motor_power",
    "tovlink_get_motor_position",
    "tovlink_get_motor_positions",
    "tovlink_who",
    "tovlink_get_motorpower",
    "tovlink_set_motorpower",
    "tovlink_get_init",
    "tovlink_get_info",
    "tovlink_get_init_mic_range",
    "tovlink_get_init_power_limit",
    "tovlink_get_position",
    "tovlink_motor_power_on",
    "tovlink_motor_power_off",
    "tovlink_motor_start",
    "tovlink_motor_set_pos",
    "?tovlink_motor_set_pos_rel@@YAIPEAKHH@Z",
    "tovlink_motor_pos_all",
    "tovlink_motor_angle_time",
    "?tovlink_motor_angle_time_rel@@YAIPEAKHHH@Z",
    "tovlink_motor_angle_multi_time",
    "tovlink_motor_adjust",
    "tovlink_led_on",
    "tovlink_led_off",
    "tovlink_sound",
    "tovlink_voice_speed",
    "tovlink_voice",
    "tovlin_get_lib_ver",
};

// The Shift-JIS line printed when a port cannot be opened, before its
// "%s" is filled in: "COM port initialisation failed(\"%s\")\n".
constexpr char k_port_failed_prefix[] =
    "COM\x83|\x81[\x83g\x8F\x89\x8A\xFA\x89\xBB\x8E\xB8\x94s(\"";
constexpr char k_port_failed_suffix[] = "\")\n";

std::string port_failed_line(const char *port) {
  return std::string{k_port_failed_prefix} + port + k_port_failed_suffix;
}

int g_passed = 0;
int g_failed = 0;

void check(bool ok, const std::string &what) {
  if (ok) {
    ++g_passed;
    std::printf("ok    %s\n", what.c_str());
  } else {
    ++g_failed;
    std::printf("FAIL  %s\n", what.c_str());
  }
  std::fflush(stdout);
}

// Shows bytes with escapes, for failure messages about diagnostic lines.
std::string visible(std::string_view bytes) {
  std::string text;
  for (char byte : bytes) {
    const auto c = static_cast<unsigned char>(byte);
    if (c == '\n') {
      text += "\\n";
    } else if (c == '\r') {
      text += "\\r";
    } else if (c >= 0x20 && c < 0x7F) {
      text += static_cast<char>(c);
    } else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      text += hex;
    }
  }
  return text;
}

// Runs `action` with the CRT's standard error (the library's and ours: one
// msvcrt) sent to a binary-mode temporary file, and returns the bytes written.
// Binary mode keeps "\n" as the library wrote it; the text mode of a console
// or pipe would turn it into "\r\n" on the way out.
template <typename Action>
std::string capture_stderr(Action action) {
  char directory[MAX_PATH];
  char path[MAX_PATH];
  if (GetTempPathA(sizeof directory, directory) == 0 ||
      GetTempFileNameA(directory, "tvl", 0, path) == 0) {
    return "<no temporary file>";
  }
  int file = _open(path, _O_CREAT | _O_TRUNC | _O_RDWR | _O_BINARY, _S_IREAD | _S_IWRITE);
  if (file < 0) return "<temporary file not opened>";
  std::fflush(stderr);
  int saved = _dup(2);
  _dup2(file, 2);
  action();
  std::fflush(stderr);
  _dup2(saved, 2);
  _close(saved);
  std::string bytes;
  _lseek(file, 0, SEEK_SET);
  char chunk[512];
  for (int n; (n = _read(file, chunk, sizeof chunk)) > 0;)
    bytes.append(chunk, static_cast<std::size_t>(n));
  _close(file);
  DeleteFileA(path);
  return bytes;
}

template <typename Function>
Function *find(HMODULE dll, const char *name) {
  return reinterpret_cast<Function *>(reinterpret_cast<void *>(GetProcAddress(dll, name)));
}

// The functions used below, looked up by their exported names.
struct library {
  decltype(tovlink_connect) *connect;
  decltype(tovlink_end) *end;
  decltype(tovlink_get_lasterror) *get_lasterror;
  decltype(tovlink_get_motor_position) *get_motor_position;
  decltype(tovlink_get_battery_value) *get_battery_value;
  decltype(tovlink_who) *who;
  decltype(tovlink_motor_set_pos) *motor_set_pos;
  decltype(tovlink_motor_set_pos_rel) *motor_set_pos_rel;
  decltype(tovlink_motor_angle_time) *motor_angle_time;
  decltype(tovlink_motor_angle_time_rel) *motor_angle_time_rel;
  decltype(tovlin_get_lib_ver) *get_lib_ver;

  explicit library(HMODULE dll)
      : connect(find<decltype(tovlink_connect)>(dll, "tovlink_connect")),
        end(find<decltype(tovlink_end)>(dll, "tovlink_end")),
        get_lasterror(find<decltype(tovlink_get_lasterror)>(dll, "tovlink_get_lasterror")),
        get_motor_position(
            find<decltype(tovlink_get_motor_position)>(dll, "tovlink_get_motor_position")),
        get_battery_value(
            find<decltype(tovlink_get_battery_value)>(dll, "tovlink_get_battery_value")),
        who(find<decltype(tovlink_who)>(dll, "tovlink_who")),
        motor_set_pos(find<decltype(tovlink_motor_set_pos)>(dll, "tovlink_motor_set_pos")),
        motor_set_pos_rel(find<decltype(tovlink_motor_set_pos_rel)>(
            dll, "?tovlink_motor_set_pos_rel@@YAIPEAKHH@Z")),
        motor_angle_time(find<decltype(tovlink_motor_angle_time)>(dll, "tovlink_motor_angle_time")),
        motor_angle_time_rel(find<decltype(tovlink_motor_angle_time_rel)>(
            dll, "?tovlink_motor_angle_time_rel@@YAIPEAKHHH@Z")),
        get_lib_ver(find<decltype(tovlin_get_lib_ver)>(dll, "tovlin_get_lib_ver")) {}

  bool complete() const {
    return connect && end && get_lasterror && get_motor_position && get_battery_value && who &&
           motor_set_pos && motor_set_pos_rel && motor_angle_time && motor_angle_time_rel &&
           get_lib_ver;
  }
};

void check_export_table(HMODULE dll) {
  int found = 0;
  for (const char *name : k_exported_names) {
    if (GetProcAddress(dll, name) != nullptr) {
      ++found;
    } else {
      check(false, std::string{"GetProcAddress finds "} + name);
    }
  }
  check(found == static_cast<int>(std::size(k_exported_names)),
        "GetProcAddress finds all " + std::to_string(std::size(k_exported_names)) +
            " exported names, the two decorated ones included");
  check(GetProcAddress(dll, "tovlink_motor_set_pos_rel") == nullptr &&
            GetProcAddress(dll, "tovlink_motor_angle_time_rel") == nullptr,
        "the two decorated functions are not exported under their plain names");
}

void check_version(const library &lib) {
  char text[16];
  std::memset(text, 'x', sizeof text);
  uint32_t result = lib.get_lib_ver(text, 8);
  check(result == TOVLINK_OK && std::strcmp(text, "1.0.0.3") == 0,
        "tovlin_get_lib_ver gives \"1.0.0.3\" from the version resource (result " +
            std::to_string(result) + ", text \"" + visible({text, strnlen(text, 8)}) + "\")");
  char small[7];
  std::memset(small, 'x', sizeof small);
  result = lib.get_lib_ver(small, sizeof small);
  check(result == TOVLINK_ERR_INVALID_ARGUMENT && small[0] == 'x',
        "tovlin_get_lib_ver refuses a 7-byte buffer and leaves it untouched");
}

void check_port_names(const library &lib, const char *unmapped_port) {
  // 12 characters do not fit "\\.\" and the zero in 16 bytes: refused before
  // any open, so no LastError line, and never shortened to an 11-character
  // name that might open another port.
  const char long_name[] = "COM123456789";
  uint32_t *handle = reinterpret_cast<uint32_t *>(1);
  std::string output = capture_stderr([&] { handle = lib.connect(long_name, 115200); });
  uint32_t code = lib.get_lasterror();
  std::string expected = "tovlink_connect COM123456789, 115200\n" + port_failed_line(long_name);
  check(handle == nullptr && code == TOVLINK_ERR_PORT_OPEN && output == expected,
        "a 12-character port name gives 10001 with nothing opened (code " + std::to_string(code) +
            ", output \"" + visible(output) + "\")");

  handle = reinterpret_cast<uint32_t *>(1);
  output = capture_stderr([&] { handle = lib.connect(unmapped_port, 9600); });
  code = lib.get_lasterror();
  // The system refuses the open: ERROR_FILE_NOT_FOUND for a port that does
  // not exist.
  expected = std::string{"tovlink_connect "} + unmapped_port + ", 9600\n" +
             "LastError=0x00000002\n" + port_failed_line(unmapped_port);
  check(handle == nullptr && code == TOVLINK_ERR_PORT_OPEN && output == expected,
        std::string{"a missing port "} + unmapped_port +
            " prints LastError and the Shift-JIS failure line byte for byte (code " +
            std::to_string(code) + ", output \"" + visible(output) + "\")");

  // 11 characters still fit: the name reaches the system, which finds no
  // such port.
  const char longest_name[] = "COM12345678";
  output = capture_stderr([&] { handle = lib.connect(longest_name, 115200); });
  code = lib.get_lasterror();
  expected = "tovlink_connect COM12345678, 115200\nLastError=0x00000002\n" +
             port_failed_line(longest_name);
  check(handle == nullptr && code == TOVLINK_ERR_PORT_OPEN && output == expected,
        "an 11-character port name is handed to the system whole (output \"" + visible(output) +
            "\")");

  output = capture_stderr([&] { handle = lib.connect(nullptr, 115200); });
  code = lib.get_lasterror();
  expected = "tovlink_connect (null), 115200\n" + port_failed_line("(null)");
  check(handle == nullptr && code == TOVLINK_ERR_PORT_OPEN && output == expected,
        "a null port name gives 10001 (output \"" + visible(output) + "\")");
}

void check_robot(const library &lib, const char *robot_port) {
  uint32_t *handle = lib.connect(robot_port, 115200);
  uint32_t code = lib.get_lasterror();
  check(handle != nullptr && code == TOVLINK_OK,
        std::string{"connect through "} + robot_port + " (code " + std::to_string(code) + ")");
  if (handle == nullptr) return;

  char identity[64] = {};
  code = lib.who(handle, identity, sizeof identity - 1);
  std::size_t length = std::strlen(identity);
  check(code == TOVLINK_OK && length > 1 && identity[length - 1] == '\n',
        "tovlink_who receives one reply line (\"" + visible(identity) + "\")");

  // Each command changes the robot, and the telemetry getter reads the
  // change back from the robot's status line.
  code = lib.motor_set_pos(handle, 1, 120);
  int32_t position = -1;
  uint32_t read = lib.get_motor_position(handle, 1, &position);
  check(code == TOVLINK_OK && read == TOVLINK_OK && position == 120,
        "motor 1 set to 120 reads back as 120 (got " + std::to_string(position) + ")");
  code = lib.motor_set_pos(handle, 5, 30);
  read = lib.get_motor_position(handle, 5, &position);
  check(code == TOVLINK_OK && read == TOVLINK_OK && position == 55,
        "motor 5 set to 30 is clamped to 55 and reads back as 55 (got " + std::to_string(position) +
            ")");

  // Through the decorated names: the robot's log shows the wire lines.
  code = lib.motor_set_pos_rel(handle, 2, 77);
  check(code == TOVLINK_OK,
        "decorated tovlink_motor_set_pos_rel(2, 77) returns 0 (got " + std::to_string(code) + ")");
  code = lib.motor_angle_time_rel(handle, 3, 50, 1200);
  check(code == TOVLINK_OK, "decorated tovlink_motor_angle_time_rel(3, 50, 1200) returns 0 (got " +
                                std::to_string(code) + ")");
  code = lib.motor_angle_time(handle, 4, 45, 250);
  check(code == TOVLINK_OK, "tovlink_motor_angle_time(4, 45, 250) returns 0");

  // Fifty exchanges in a row all read.  Their time is printed, not judged:
  // a pacing figure belongs to the benchmarks, and under Wine on a busy CI
  // machine it says more about the machine than about the library.
  int32_t battery = 0;
  bool all_read = true;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 50; ++i) all_read = lib.get_battery_value(handle, &battery) == 0 && all_read;
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now() - start)
                           .count();
  check(all_read && battery > 0,
        "50 telemetry exchanges all read (battery " + std::to_string(battery) + ")");
  std::printf("info: 50 telemetry exchanges took %lld ms\n", static_cast<long long>(elapsed));

  std::string output = capture_stderr([&] { lib.end(handle); });
  check(output == "tovlink_end\n",
        "tovlink_end closes the connection (output \"" + visible(output) + "\")");
  code = lib.get_motor_position(handle, 1, &position);
  check(code == TOVLINK_ERR_NOT_CONNECTED,
        "after tovlink_end an operation gives 2 (got " + std::to_string(code) + ")");
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s <robot port> <unmapped port>\n", argv[0]);
    return 2;
  }
  HMODULE dll = LoadLibraryA("TovLinkLib.dll");
  check(dll != nullptr, "LoadLibrary finds TovLinkLib.dll");
  if (dll == nullptr) return 1;
  check_export_table(dll);
  library lib{dll};
  check(lib.complete(), "every function the checks below need was found");
  if (lib.complete()) {
    check_version(lib);
    check_port_names(lib, argv[2]);
    check_robot(lib, argv[1]);
  }
  FreeLibrary(dll);
  std::printf("wine host: %d passed, %d failed\n", g_passed, g_failed);
  return g_failed == 0 ? 0 : 1;
}

// Fuzz target: the whole connect dialogue against an adapter that answers
// each line with the fuzzer's bytes (reply stream as in fuzzed_device.h;
// silence once it runs out), then one telemetry read and end.
//
// Connect has fixed pauses (500 ms and 3000 ms) and waits of 1000-3000 polls
// of 1 ms; the shipped library has no switch to shorten them and this target
// does not add one.  Each execution therefore takes 1-10 s: this target runs
// few executions and relies on its seeds, which already reach every step.
#include <cstddef>
#include <cstdint>

#include "c_api_seams.h"
#include "frame/library_state.h"
#include "fuzzed_device.h"
#include "tovlink.h"
#include "transport/serial.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  using namespace tovlink;
  fuzz::g_next_script = {std::vector<uint8_t>(data, data + size), std::nullopt, false};
  uint32_t *handle = tovlink_connect("fuzz", 115200);
  if (handle != nullptr) {
    int32_t battery = 0;
    tovlink_get_battery_value(handle, &battery);
    tovlink_end(handle);
  }
  return 0;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  tovlink::set_device_opener(tovlink::fuzz::open_fuzzed_device);
  return 0;
}

// Fuzz target: robot operations against a device that answers with the
// fuzzer's bytes.  The connection is opened through the device-opener seam
// (the same record, queues and I/O worker as with a real port) and made
// current without the adapter dialogue; a short script of exported calls
// with fuzzed arguments then runs against it.  Host buffers are allocated
// at exactly the size passed, so a write past them is caught.
//
// Input: the call script is taken from the input's end (FuzzedDataProvider
// integers), the voice texts from its front, and what remains is the reply
// stream (see fuzzed_device.h).  Once it runs out every line gets "OK".
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "c_api_seams.h"
#include "frame/library_state.h"
#include "fuzzed_device.h"
#include "tovlink.h"
#include "transport/serial.h"

namespace {

constexpr int k_most_calls = 6;
constexpr std::size_t k_largest_buffer = 300;

struct planned_call {
  uint8_t operation;
  int32_t a, b, c;
  std::size_t buffer_size;
  std::string text;
};

using text_query = uint32_t (*)(uint32_t *, char *, uint64_t);
constexpr text_query k_text_queries[] = {tovlink_who,
                                         tovlink_get_motorpower,
                                         tovlink_set_motorpower,
                                         tovlink_get_init,
                                         tovlink_get_info,
                                         tovlink_get_init_mic_range,
                                         tovlink_get_init_power_limit,
                                         tovlink_get_position};

void run(uint32_t *h, const planned_call &call) {
  int32_t out[7] = {};
  auto buffer = std::make_unique<char[]>(call.buffer_size == 0 ? 1 : call.buffer_size);
  switch (call.operation % 20) {
    case 0:
      tovlink_get_sensor_value(h, &out[0]);
      break;
    case 1:
      tovlink_get_battery_value(h, &out[0]);
      break;
    case 2:
      tovlink_get_motor_position(h, call.a, &out[0]);
      break;
    case 3:
      tovlink_get_motor_positions(h, &out[0], &out[1], &out[2], &out[3], &out[4], &out[5], &out[6]);
      break;
    case 4:
      k_text_queries[static_cast<uint32_t>(call.a) % 8](h, buffer.get(), call.buffer_size);
      break;
    case 5:
      tovlink_motor_power_on(h, call.a);
      break;
    case 6:
      tovlink_motor_power_off(h);
      break;
    case 7:
      tovlink_motor_start(h);
      break;
    case 8:
      tovlink_motor_set_pos(h, call.a, call.b);
      break;
    case 9:
      tovlink_motor_set_pos_rel(h, call.a, call.b);
      break;
    case 10:
      tovlink_motor_pos_all(h, call.a, call.b, call.c, call.a, call.b, call.c, call.a);
      break;
    case 11:
      tovlink_motor_angle_time(h, call.a, call.b, call.c);
      break;
    case 12:
      tovlink_motor_angle_time_rel(h, call.a, call.b, call.c);
      break;
    case 13:
      tovlink_motor_angle_multi_time(h, call.a, call.b, call.c, call.a, call.b, call.c, call.a,
                                     call.b);
      break;
    case 14:
      tovlink_motor_adjust(h, call.a, call.b);
      break;
    case 15:
      tovlink_led_on(h, call.a);
      break;
    case 16:
      tovlink_sound(h, call.a, call.b);
      break;
    case 17:
      tovlink_voice_speed(h, call.a);
      break;
    case 18:
      tovlink_voice(h, call.text.c_str());
      break;
    default:
      tovlin_get_lib_ver(buffer.get(), call.buffer_size);
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  using namespace tovlink;
  FuzzedDataProvider input(data, size);
  std::vector<planned_call> calls(input.ConsumeIntegralInRange<std::size_t>(1, k_most_calls));
  for (planned_call &call : calls) {
    call.operation = input.ConsumeIntegral<uint8_t>();
    call.a = input.ConsumeIntegral<int32_t>();
    call.b = input.ConsumeIntegral<int32_t>();
    call.c = input.ConsumeIntegral<int32_t>();
    call.buffer_size = input.ConsumeIntegralInRange<std::size_t>(0, k_largest_buffer);
    if (call.operation % 20 == 18) call.text = input.ConsumeRandomLengthString(64);
  }
  fuzz::g_next_script = {input.ConsumeRemainingBytes<uint8_t>(), std::string("OK\r\n"), true};

  serial_t *serial = serial_open("fuzz", 115200);
  if (serial == nullptr) return 0;
  g_serial_t = serial;
  for (const planned_call &call : calls) run(reinterpret_cast<uint32_t *>(serial), call);
  tovlink_end(reinterpret_cast<uint32_t *>(serial));
  return 0;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  tovlink::set_device_opener(tovlink::fuzz::open_fuzzed_device);
  return 0;
}

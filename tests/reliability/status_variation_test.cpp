// Status lines a device may send: extreme values, stray signs, "End," in odd
// places, and thousands of random variations of a valid line.  The expected
// cache comes from the C library's own scanner (sscanf), which reads the
// documented format with the same stop-at-first-mismatch rule, so the parser
// is checked against an independent reading rather than against itself.
#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <cstdio>
#include <mutex>
#include <random>
#include <string>

#include "attached_robot.h"
#include "c_api_seams.h"
#include "output_capture.h"
#include "protocol/status_line.h"
#include "pty_device.h"

namespace tovlink {
namespace {

using cache_fields = std::array<int32_t, 12>;

cache_fields fields_of(const telemetry_cache &t) {
  return {t.sensor_value,      t.mic_value,         t.motor_position[0], t.motor_position[1],
          t.motor_position[2], t.motor_position[3], t.motor_position[4], t.motor_position[5],
          t.motor_position[6], t.battery_value,     t.motor_power,       t.mic_analog_value};
}

telemetry_cache cache_of(const cache_fields &f) {
  return {f[0], f[1], {f[2], f[3], f[4], f[5], f[6], f[7], f[8]}, f[9], f[10], f[11]};
}

int32_t saturated(long value) {
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

// The documented reading of a reply: the text up to its first zero byte,
// without its first four characters when "End," occurs in it, scanned
// against the status format field by field until the first mismatch.  Digit
// runs are kept within 18 digits here, where sscanf's %ld is exact.
cache_fields expected_after(const std::string &reply, const cache_fields &before) {
  std::string text = reply.substr(0, reply.find('\0'));
  if (text.find("End,") != std::string::npos) text = text.size() > 4 ? text.substr(4) : "";
  long v[12] = {};
  int assigned =
      std::sscanf(text.c_str(), "S,%ld,%ld,M,%ld,%ld,%ld,%ld,%ld,%ld,%ld,P,%ld,%ld,%ld", &v[0],
                  &v[1], &v[2], &v[3], &v[4], &v[5], &v[6], &v[7], &v[8], &v[9], &v[10], &v[11]);
  cache_fields after = before;
  for (int i = 0; i < assigned; ++i) after[static_cast<std::size_t>(i)] = saturated(v[i]);
  return after;
}

// Random edits of a valid status line: changed, inserted and removed bytes,
// tokens that matter to the parser, cut ends.
class status_mutator {
 public:
  explicit status_mutator(uint32_t seed) : random_(seed) {}

  std::string valid_line() {
    // Appended piece by piece: `"text" + std::string` inserts at the front of
    // a temporary, which GCC 12 at -O3 flags with a false -Wrestrict overlap
    // (GCC bug 105329).
    std::string line = pick(4) == 0 ? "End,S" : "S";
    const auto add_value = [this, &line] {
      line += ',';
      line += value();
    };
    add_value();
    add_value();
    line += ",M";
    for (int i = 0; i < k_motor_count; ++i) add_value();
    line += ",P";
    add_value();
    add_value();
    add_value();
    line += ",E";
    return line;
  }

  std::string variation(std::size_t max_length) {
    std::string line = valid_line();
    int edits = 1 + pick(4);
    for (int i = 0; i < edits; ++i) edit(line);
    if (line.size() > max_length) line.resize(max_length);
    return line;
  }

 private:
  int pick(int count) { return std::uniform_int_distribution<int>(0, count - 1)(random_); }

  std::string digits(int count) {
    std::string run;
    for (int i = 0; i < count; ++i) run += static_cast<char>('0' + pick(10));
    return run;
  }

  std::string value() {
    std::string sign = pick(5) == 0 ? "-" : pick(8) == 0 ? "+" : "";
    return sign + digits(1 + pick(pick(6) == 0 ? 18 : 4));
  }

  std::string token() {
    static const char *const k_tokens[] = {"End,", ",", "-",  "+",  "+-", " ",  "\t", "S,", ",M,",
                                           ",P,",  "E", "\r", "\0", "x",  "0x", "9",  "-0"};
    std::string chosen = k_tokens[pick(static_cast<int>(std::size(k_tokens)))];
    if (chosen.empty()) chosen.assign(1, '\0');
    if (pick(4) == 0) chosen = digits(1 + pick(18));
    if (pick(6) == 0) chosen.assign(1, static_cast<char>(pick(256)));
    return chosen;
  }

  void edit(std::string &line) {
    std::size_t at =
        line.empty() ? 0 : static_cast<std::size_t>(pick(static_cast<int>(line.size())));
    switch (pick(4)) {
      case 0:
        if (!line.empty()) line.replace(at, 1, token());
        break;
      case 1:
        line.insert(at, token());
        break;
      case 2:
        line.erase(at, static_cast<std::size_t>(1 + pick(6)));
        break;
      default:
        line.resize(at);
        break;
    }
  }

  std::mt19937 random_;
};

constexpr int k_parser_variations = 10000;
constexpr int k_wire_variations = 400;
// Replies of this many bytes or fewer are not status lines to the library.
constexpr std::size_t k_shortest_parsed = 23;

TEST(StatusVariation, TenThousandVariationsReadAsTheDocumentedFormat) {
  status_mutator mutator(20240601);
  g_telemetry = {};
  int stored_any = 0;
  for (int i = 0; i < k_parser_variations; ++i) {
    std::string line = mutator.variation(400);
    cache_fields expected = expected_after(line, fields_of(g_telemetry));
    if (expected != fields_of(g_telemetry)) ++stored_any;
    parse_status(reinterpret_cast<const uint8_t *>(line.data()), line.size());
    ASSERT_EQ(fields_of(g_telemetry), expected) << "variation " << i << ": " << line;
  }
  EXPECT_GT(stored_any, k_parser_variations / 10) << "the variations reach the values";
}

// The same through the wire: the getter's exchange, the 128-byte line and the
// 22-byte threshold stand between the device and the parser.
TEST(StatusVariationOnTheWire, EveryVariationEndsInTheExpectedCache) {
  // Before the device, so they outlive the thread that answers with them.
  std::mutex reply_mutex;
  std::string reply;
  test::pty_device device;
  serial_t *serial = serial_open(device.path().c_str(), 115200);
  ASSERT_NE(serial, nullptr);
  g_serial_t = serial;
  auto *handle = reinterpret_cast<uint32_t *>(serial);

  device.serve([&](const std::string &line) -> std::optional<std::string> {
    if (line != "#140") return std::nullopt;
    std::lock_guard<std::mutex> guard(reply_mutex);
    return reply;
  });

  status_mutator mutator(7);
  g_telemetry = {};
  for (int i = 0; i < k_wire_variations; ++i) {
    std::string line = mutator.variation(120);
    for (char &c : line) {
      if (c == '\n') c = ',';
    }
    line += "\r\n";
    {
      std::lock_guard<std::mutex> guard(reply_mutex);
      reply = line;
    }
    cache_fields before = fields_of(g_telemetry);
    cache_fields expected =
        line.size() >= k_shortest_parsed ? expected_after(line, before) : before;
    int32_t battery = INT32_MIN + 1;
    test::output_capture quiet;
    uint32_t code = tovlink_get_battery_value(handle, &battery);
    quiet.finish();
    ASSERT_EQ(code, TOVLINK_OK) << quiet.err();
    ASSERT_EQ(battery, expected[9]) << "variation " << i << ": " << line;
    ASSERT_EQ(fields_of(g_telemetry), expected) << "variation " << i << ": " << line;
  }
  g_serial_t = nullptr;
  serial_close(serial);
}

// Lines chosen by hand, read through the exported getters.
struct odd_status {
  const char *name;
  std::string reply;
  cache_fields expected;
};

const cache_fields k_all_untouched = {42, 42, 42, 42, 42, 42, 42, 42, 42, 42, 42, 42};
const std::string k_nines(30, '9');

class OddStatus : public test::attached_robot, public ::testing::WithParamInterface<odd_status> {};

TEST_P(OddStatus, StoresWhatTheDocumentedReadingGives) {
  device_.serve(test::robot_rules(GetParam().reply));
  g_telemetry = cache_of(k_all_untouched);
  int32_t sensor = 0;
  ASSERT_EQ(tovlink_get_sensor_value(handle(), &sensor), TOVLINK_OK);
  EXPECT_EQ(sensor, GetParam().expected[0]);
  int32_t p[7] = {};
  EXPECT_EQ(tovlink_get_motor_positions(handle(), &p[0], &p[1], &p[2], &p[3], &p[4], &p[5], &p[6]),
            TOVLINK_OK);
  for (std::size_t i = 0; i < 7; ++i) EXPECT_EQ(p[i], GetParam().expected[2 + i]) << "motor " << i;
  EXPECT_EQ(fields_of(g_telemetry), GetParam().expected);
}

cache_fields in_order() {
  return {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
}

cache_fields first_fields(int count, const cache_fields &values) {
  cache_fields result = k_all_untouched;
  for (int i = 0; i < count; ++i)
    result[static_cast<std::size_t>(i)] = values[static_cast<std::size_t>(i)];
  return result;
}

const std::string k_body = "3,4,5,6,7,8,9,P,10,11,12,E\r\n";

INSTANTIATE_TEST_SUITE_P(
    All, OddStatus,
    ::testing::Values(
        odd_status{"ThirtyDigitValuesSaturate",
                   "S," + k_nines + ",-" + k_nines + ",M," + k_body,
                   {INT32_MAX, INT32_MIN, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}},
        odd_status{"TheEdgesOfTheRange",
                   "S,2147483647,-2147483648,M," + k_body,
                   {INT32_MAX, INT32_MIN, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}},
        odd_status{"OneBeyondTheEdges",
                   "S,2147483648,-2147483649,M," + k_body,
                   {INT32_MAX, INT32_MIN, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}},
        odd_status{"PlusMinusStopsAtTheFirstField", "S,+-5,2,M," + k_body, k_all_untouched},
        odd_status{"PlusMinusStopsLater", "S,1,2,M,3,4,+-5,6,7,8,9,P,10,11,12,E\r\n",
                   first_fields(4, in_order())},
        odd_status{"SpacesAndTabsBeforeValues", "S, 1,\t2,M,  " + k_body, in_order()},
        odd_status{"EndBeforeTheLine", "End,S,1,2,M," + k_body, in_order()},
        odd_status{"EndAfterTheLine", "S,1,2,M,3,4,5,6,7,8,9,P,10,11,12,E,End,\r\n",
                   k_all_untouched},
        odd_status{"EndInTheMiddle", "S,1,2,M,3,4,5,End,6,7,8,9,P,10,11,12,E\r\n", k_all_untouched},
        odd_status{"EndTwiceBefore", "End,End,S,1,2,M," + k_body, k_all_untouched},
        odd_status{"NoClosingE", "S,1,2,M,3,4,5,6,7,8,9,P,10,11,12\r\n", in_order()},
        odd_status{"ZeroByteInside",
                   std::string("S,1,2,M,3,4") + '\0' + ",5,6,7,8,9,P,10,11,12,E\r\n",
                   first_fields(4, in_order())},
        odd_status{"TooShortToBeRead", "S,1,2,M,3\r\n", k_all_untouched}),
    [](const auto &test_info) { return std::string(test_info.param.name); });

}  // namespace
}  // namespace tovlink

#include <gtest/gtest.h>

#include <cstring>

#include "c_api_seams.h"
#include "frame/diagnostics.h"
#include "frame/library_state.h"
#include "output_capture.h"

namespace tovlink {
namespace {

using test::output_capture;

TEST(LastError, IsZeroBeforeAnyCallAndPrintsNothing) {
  output_capture capture;
  EXPECT_EQ(tovlink_get_lasterror(), 0u);
  capture.finish();
  EXPECT_EQ(capture.err(), "");
  EXPECT_EQ(capture.out(), "");
}

TEST(LastError, PrintsANonZeroCodeAsSignedAndKeepsIt) {
  g_last_error = TOVLINK_ERR_EXCHANGE;
  output_capture capture;
  EXPECT_EQ(tovlink_get_lasterror(), TOVLINK_ERR_EXCHANGE);
  EXPECT_EQ(tovlink_get_lasterror(), TOVLINK_ERR_EXCHANGE);
  capture.finish();
  EXPECT_EQ(capture.err(), "g_last_error=-1\ng_last_error=-1\n");
}

TEST(CheckHandle, ReportsNoConnection) {
  g_last_error = 77;
  output_capture capture;
  EXPECT_FALSE(check_handle(nullptr));
  capture.finish();
  EXPECT_EQ(g_last_error, TOVLINK_ERR_NO_CONNECTION);
  EXPECT_EQ(capture.err(), "g_serial_t=NULL\n");
}

TEST(CheckHandle, ReportsOnlyTheLow32BitsOfAMismatch) {
  alignas(8) static char record[16];
  g_serial_t = reinterpret_cast<serial_t *>(record);
  auto *same_low_bits = reinterpret_cast<uint32_t *>(
      (reinterpret_cast<uintptr_t>(record) & 0xFFFFFFFFu) | (uintptr_t{0x5A} << 32));
  output_capture capture;
  EXPECT_TRUE(check_handle(same_low_bits)) << "only the low 32 bits are compared";
  EXPECT_TRUE(check_handle(reinterpret_cast<uint32_t *>(uintptr_t{0xABCDEF12})));
  capture.finish();
  char expected[80];
  std::snprintf(expected, sizeof expected, "g_serial_t=0x%08X, handle=0xABCDEF12\n",
                static_cast<unsigned>(reinterpret_cast<uintptr_t>(record) & 0xFFFFFFFFu));
  EXPECT_EQ(capture.err(), expected);
  EXPECT_EQ(g_last_error, TOVLINK_OK);
  g_serial_t = nullptr;
}

TEST(FormatCommand, RefusesTextsThatDoNotFit) {
  char buffer[8];
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_TRUE(format_command(buffer, sizeof buffer, "#%d", 123456));
  EXPECT_STREQ(buffer, "#123456");
  EXPECT_FALSE(format_command(buffer, sizeof buffer, "#%d", 1234567));
  EXPECT_STREQ(buffer, "");
}

TEST(Diagnostics, JapaneseLinesAreShiftJisBytes) {
  output_capture capture;
  log_line(k_port_init_failed_line, "COM3");
  log_line(k_error_detected_line, 10005);
  capture.finish();
  EXPECT_EQ(capture.err(),
            "COM\x83|\x81[\x83g\x8F\x89\x8A\xFA\x89\xBB\x8E\xB8\x94s(\"COM3\")\n"
            "\x83G\x83\x89\x81[\x82\xF0\x8C\x9F\x8Fo(code=10005)\n");
}

TEST(Diagnostics, LongLinesArePrintedWhole) {
  std::string name(2000, 'n');
  output_capture capture;
  log_line("tovlink_connect %s, %d\n", name.c_str(), 9600);
  capture.finish();
  EXPECT_EQ(capture.err(), "tovlink_connect " + name + ", 9600\n");
}

}  // namespace
}  // namespace tovlink

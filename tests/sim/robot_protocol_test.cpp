// The command set: one reply per command line, the adapter dialogue, and the
// replies that carry the model's state.  Also how the byte stream is cut
// into lines.
#include "tovlink_sim/robot_protocol.hpp"

#include <gtest/gtest.h>

#include <regex>

#include "tovlink_sim/line_assembler.hpp"

namespace tovlink::sim {
namespace {

const time_point t0 = clock::time_point{} + std::chrono::hours{1};

struct exchange {
  const char *line;
  const char *reply;
};

void expect_replies(robot_protocol &protocol, robot_model &model,
                    std::initializer_list<exchange> exchanges) {
  for (const auto &[line, reply] : exchanges) {
    SCOPED_TRACE(line);
    EXPECT_EQ(protocol.reply_to(line, model, t0), std::string{reply} + "\r\n");
  }
}

TEST(RobotProtocol, AdapterDialogue) {
  robot_model model{t0};
  robot_protocol protocol;
  expect_replies(
      protocol, model,
      {{"R,1", "CMD"}, {"GDH", "001EC0ABCDEF"}, {"E,0,001EC0ABCDEF", "AOK"}, {"I", "MLDP"}});
  EXPECT_TRUE(protocol.linked());
  protocol.host_disconnected();
  EXPECT_FALSE(protocol.linked());
  // A link to another peer id is refused.
  expect_replies(protocol, model, {{"E,0,001EC0000000", "ERR,LINK"}});
  EXPECT_FALSE(protocol.linked());
}

TEST(RobotProtocol, AdapterFaultSettings) {
  robot_model model{t0};
  robot_protocol refusing{{"0123456789AB", true, false}};
  expect_replies(refusing, model,
                 {{"GDH", "0123456789AB"}, {"E,0,0123456789AB", "ERR,LINK"}, {"I", "MLDP"}});
  robot_protocol no_mldp{{std::string{default_peer_id}, false, true}};
  expect_replies(no_mldp, model, {{"E,0,001EC0ABCDEF", "AOK"}, {"I", "ERR,MODE"}});
}

TEST(RobotProtocol, EveryCommandIsAcknowledgedOrRefused) {
  robot_model model{t0};
  robot_protocol protocol;
  expect_replies(protocol, model,
                 {
                     {"#130", "OK"},
                     {"#133,9,0800", "OK"},
                     {"#134", "OK"},
                     {"#132,1,090", "OK"},
                     {"#136,010,055,060,070,080,090,100", "OK"},
                     {"#137,3,000", "OK"},
                     {"#150,255,120,0500", "OK"},
                     {"#150,2,045,0250", "OK"},
                     {"#151,010,055,060,070,080,090,100,1000", "OK"},
                     {"#152,2,000,1200", "OK"},
                     {"#810,6,-005", "OK"},
                     {"#100,3", "OK"},
                     {"#101,6", "OK"},
                     {"#110,00440,0300", "OK"},
                     {"#120,150", "OK"},
                     {"#121,hello, world", "OK"},
                     {"#121,", "OK"},
                     {"#131", "OK"},
                     // Refused: unknown codes, wrong field counts, values out of range.
                     {"#999", "ERR,UNKNOWN"},
                     {"hello", "ERR,UNKNOWN"},
                     {"#1300", "ERR,UNKNOWN"},
                     {"#130,1", "ERR,ARGS"},
                     {"#132,7,090", "ERR,ARGS"},
                     {"#132,1,181", "ERR,ARGS"},
                     {"#132,1,abc", "ERR,ARGS"},
                     {"#132,1", "ERR,ARGS"},
                     {"#133,8,0800", "ERR,ARGS"},
                     {"#150,7,045,0250", "ERR,ARGS"},
                     {"#150,1,045,-001", "ERR,ARGS"},
                     {"#137,9,000", "ERR,ARGS"},
                     {"#120,049", "ERR,ARGS"},
                     {"#120,301", "ERR,ARGS"},
                     {"#121", "ERR,ARGS"},
                     {"#136,1,2,3", "ERR,ARGS"},
                     {"#100,0", "ERR,ARGS"},
                     {"#101,7", "ERR,ARGS"},
                     {"#100,-3", "ERR,ARGS"},
                 });
}

TEST(RobotProtocol, StatusAndTextRepliesCarryTheLiveState) {
  robot_model model{t0};
  robot_protocol protocol;
  const std::regex status_shape{R"(S,\d+,\d+,M(,\d+){7},P,\d+,\d+,\d+,E\r\n)"};
  const auto status = protocol.reply_to("#140", model, t0);
  EXPECT_TRUE(std::regex_match(status, status_shape)) << status;
  EXPECT_GT(status.size(), 22u);
  EXPECT_NE(status.find(",M,90,90,90,90,90,90,90,P,7900,0,"), std::string::npos) << status;

  expect_replies(protocol, model,
                 {{"#130", "OK"},
                  {"#133,9,0750", "OK"},
                  {"#132,0,045", "OK"},
                  {"#136,010,055,060,070,080,090,100", "OK"},
                  {"#132,0,045", "OK"},
                  {"#810,1,-007", "OK"},
                  {"#120,200", "OK"},
                  {"#142", "POS,45,55,60,70,80,90,100"},
                  {"#802", "MP,1,750"},
                  {"#807", "PL,0"},
                  {"#803", "PL,750"},
                  {"#807", "PL,750"},
                  {"#804", "INIT,0,-7,0,0,0,0,0,V,200"},
                  {"#806", "MIC,0,100"},
                  {"#800", "WHO,TovSim,VR-0001"},
                  {"#801", "VER,1.0.0"},
                  {"#805", "INFO,1.0.0,0,7900"}});
  const auto powered = protocol.reply_to("#140", model, t0);
  EXPECT_NE(powered.find(",M,45,55,60,70,80,90,100,P,7900,750,"), std::string::npos) << powered;
  expect_replies(protocol, model, {{"#131", "OK"}, {"#802", "MP,0,750"}});
}

TEST(LineAssembler, CutsTheHostStreamIntoLines) {
  struct split_case {
    const char *name;
    std::vector<std::string> chunks;
    std::vector<std::pair<std::string, std::string>> lines;  // text, raw
  };
  const split_case cases[] = {
      {"single carriage return", {"#140\r"}, {{"#140", "#140\r"}}},
      {"motor line with two carriage returns",
       {"#132,1,090\r\r"},
       {{"#132,1,090", "#132,1,090\r\r"}}},
      {"link line carrying the peer id's line end",
       {"E,0,001EC0ABCDEF\r\n\r"},
       {{"E,0,001EC0ABCDEF", "E,0,001EC0ABCDEF\r\n\r"}}},
      {"two lines in one chunk", {"R,1\rGDH\r"}, {{"R,1", "R,1\r"}, {"GDH", "GDH\r"}}},
      {"line arriving in pieces", {"#1", "40", "\r"}, {{"#140", "#140\r"}}},
      {"line end arriving late is a stray empty line",
       {"#134\r", "\r"},
       {{"#134", "#134\r"}, {"", "\r"}}},
      {"lone line feed", {"\n"}, {{"", "\n"}}},
      {"unfinished line waits", {"#14"}, {}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    line_assembler assembler;
    std::vector<std::pair<std::string, std::string>> lines;
    for (const auto &chunk : c.chunks) {
      for (auto &line : assembler.feed(chunk)) lines.emplace_back(line.text, line.raw);
    }
    EXPECT_EQ(lines, c.lines);
  }
}

TEST(LineAssembler, OverlongLineIsFlaggedAndBounded) {
  line_assembler assembler;
  const std::string flood(5000, 'x');
  EXPECT_TRUE(assembler.feed(flood).empty());
  const auto lines = assembler.feed("\r");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(lines[0].too_long);
  EXPECT_EQ(lines[0].text.size(), line_assembler::max_line);
  EXPECT_LE(lines[0].raw.size(), line_assembler::max_raw + 1);

  robot_protocol protocol;
  EXPECT_EQ(protocol.reply_to_overlong_line(), "ERR,LONG\r\n");
}

}  // namespace
}  // namespace tovlink::sim

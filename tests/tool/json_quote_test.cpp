// The tool's JSON strings stay valid whatever bytes a robot reply carries.
#include "json.hpp"

#include <gtest/gtest.h>

namespace tovlink::tool {
namespace {

TEST(JsonQuote, EscapesWhatJsonForbidsAndKeepsWellFormedUtf8) {
  struct quote_case {
    std::string text;
    std::string json;
  };
  const quote_case cases[] = {
      {"WHO,TovSim", R"("WHO,TovSim")"},
      {"say \"hi\" \\ bye", R"("say \"hi\" \\ bye")"},
      {"OK\r\n\t", R"("OK\r\n\t")"},
      {std::string{"\x00\x15\x7f", 3}, R"("\u0000\u0015\u007F")"},
      {"motor must be 1\xE2\x80\x93"
       "7",
       "\"motor must be 1\xE2\x80\x93"
       "7\""},
      // Line noise: stray high bytes, a truncated sequence, an overlong form.
      {"\xFF\x80"
       "CMD",
       R"("\u00FF\u0080CMD")"},
      {"\xE2\x80", R"("\u00E2\u0080")"},
      {"\xC0\xAF", R"("\u00C0\u00AF")"},
      {"\xF0\x9F\xA4\x96", "\"\xF0\x9F\xA4\x96\""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.json);
    EXPECT_EQ(json_quote(c.text), c.json);
  }
}

TEST(JsonObject, WritesFieldsInOrder) {
  json_object fields;
  fields.text("reply", "POS,90").number("code", 4294967295LL).flag("ok", false).null("time_ms");
  fields.numbers("positions", {1, -2, 3}).raw("nested", "{}");
  EXPECT_EQ(fields.str(), R"({"reply":"POS,90","code":4294967295,"ok":false,"time_ms":null,)"
                          R"("positions":[1,-2,3],"nested":{}})");
  EXPECT_EQ(json_object{}.str(), "{}");
}

}  // namespace
}  // namespace tovlink::tool

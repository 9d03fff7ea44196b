// The records line parser: what it takes, and the near misses it refuses.

#include "common/json_line.h"

#include <gtest/gtest.h>

#include <string>

TEST(JsonLine, ReadsARecordLineWithEveryKindOfValue) {
  const auto v = ParseJsonLine(
      R"( {"tool":"quillport","row":3,"seconds":41.25e0,"checked":true,"failure":null,)"
      R"("images":[{"name":"PDL1","size":20480}],"text":"\u7aef\u53e3 \ud83d\ude00 \"a\"\\/\t"} )");
  ASSERT_TRUE(v);
  EXPECT_EQ(v->Member("tool")->String(), "quillport");
  EXPECT_EQ(v->Member("row")->Number(), 3.0);
  EXPECT_EQ(v->Member("seconds")->Number(), 41.25);
  EXPECT_EQ(v->Member("checked")->Bool(), true);
  EXPECT_TRUE(v->Member("failure")->IsNull());
  EXPECT_FALSE(v->Member("failure")->String());
  ASSERT_EQ(v->Member("images")->Elements().size(), 1u);
  EXPECT_EQ(v->Member("images")->Elements()[0].Member("size")->Number(), 20480.0);
  EXPECT_EQ(v->Member("text")->String(), "端口 \xF0\x9F\x98\x80 \"a\"\\/\t");
  EXPECT_EQ(v->Member("absent"), nullptr);
  EXPECT_EQ(ParseJsonLine(R"("端口")")->String(), "端口");
}

TEST(JsonLine, RefusesEveryNearMiss) {
  const std::string deep =
      std::string(kJsonMaxDepth + 1, '[') + std::string(kJsonMaxDepth + 1, ']');
  const std::string shallow = std::string(kJsonMaxDepth, '[') + std::string(kJsonMaxDepth, ']');
  EXPECT_TRUE(ParseJsonLine(shallow));
  for (const std::string& text : {std::string(""),
                                  std::string("{\"a\":1"),            // torn by a crash
                                  std::string("{\"a\":1}{\"b\":2}"),  // two values
                                  std::string("{\"a\":1,\"a\":2}"),   // duplicate name
                                  std::string("{\"a\":1,}"),
                                  std::string("[1,]"),
                                  std::string("{a:1}"),
                                  std::string("{'a':1}"),
                                  std::string("01"),
                                  std::string("1."),
                                  std::string(".5"),
                                  std::string("+1"),
                                  std::string("1e"),
                                  std::string("1e999"),
                                  std::string("NaN"),
                                  std::string("tru"),
                                  std::string("nul"),
                                  std::string("\"a\nb\""),
                                  std::string("\"\\x\""),
                                  std::string("\"\\u12\""),
                                  std::string("\"\\ud83d\""),
                                  std::string("\"\\ude00\""),
                                  std::string("\"\xC0\xAF\""),          // overlong '/'
                                  std::string("\"\xED\xA0\x80\""),      // a surrogate in UTF-8
                                  std::string("\"\xE7\xAB\""),          // cut inside a character
                                  std::string("\"\xF4\x90\x80\x80\""),  // past U+10FFFF
                                  std::string("\"abc"),
                                  deep}) {
    EXPECT_FALSE(ParseJsonLine(text)) << text;
  }
}

#include "platform/strings.h"

#include <gtest/gtest.h>

#include "platform/charsets.h"
#include "support/test_support.h"

namespace {

TEST(TrimSpaces, BothEnds) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"   ", ""},
      {"\t a b \r", "a b"},
      {"", ""},
      {"x", "x"},
      {"\n\v\f x", "x"},
      {std::string("ab \0 cd", 7), "ab"},                        // trailing space in the text view
      {std::string("ab\0 cd ", 7), std::string("ab\0 cd ", 7)},  // view ends in no space
      {"\xA0x\xA0", "\xA0x\xA0"},                                // high bytes are not white space
  };
  for (const Case& c : cases) {
    std::string s = c.in;
    TrimSpaces(s, true, true);
    EXPECT_EQ(c.out, s) << "input [" << c.in << "]";
  }
  std::string leading_only = "  a  ";
  TrimSpaces(leading_only, true, false);
  EXPECT_EQ("a  ", leading_only);
}

TEST(Quotes, RemoveAddAndNeed) {
  std::string out = "unchanged";
  EXPECT_FALSE(RemoveEnclosingQuotes("", out));
  EXPECT_EQ("unchanged", out);
  EXPECT_TRUE(RemoveEnclosingQuotes("\"\"", out));
  EXPECT_EQ("", out);
  EXPECT_TRUE(RemoveEnclosingQuotes("\"", out));
  EXPECT_EQ("", out);
  EXPECT_TRUE(RemoveEnclosingQuotes("\"a \"b\" c\"", out));
  EXPECT_EQ("a \"b\" c", out);
  EXPECT_FALSE(RemoveEnclosingQuotes("\"abc", out));
  EXPECT_EQ("\"abc", out);
  EXPECT_FALSE(RemoveEnclosingQuotes("abc\"", out));
  EXPECT_EQ("abc\"", out);

  EXPECT_TRUE(IsEnclosingQuotesNeeded("/my dir"));
  EXPECT_FALSE(IsEnclosingQuotesNeeded("\"/my dir\""));
  EXPECT_FALSE(IsEnclosingQuotesNeeded("/mydir"));

  AddEnclosingQuotes("/my dir", out, true);
  EXPECT_EQ("\"/my dir\"", out);
  AddEnclosingQuotes("\"/my dir\"", out, true);
  EXPECT_EQ("\"/my dir\"", out);
  AddEnclosingQuotes("/mydir", out, true);
  EXPECT_EQ("/mydir", out);
  AddEnclosingQuotes("/mydir", out, false);
  EXPECT_EQ("\"/mydir\"", out);
  std::string path = "a b";
  SanitizePath(path);
  EXPECT_EQ("\"a b\"", path);
}

TEST(Quotes, WarningsAreTraced) {
  TempDir dir;
  ScopedTrace trace(dir.Sub("t.txt"));
  std::string out;
  EXPECT_FALSE(RemoveEnclosingQuotes("\"abc", out));
  EXPECT_FALSE(RemoveEnclosingQuotes("abc\"", out));
  std::string text = trace.Contents();
  EXPECT_NE(
      std::string::npos,
      text.find(
          "WARNING: RemoveEnclosingQuotes(): No ending quotes, only starting quotes found; \"abc\n"));
  EXPECT_NE(
      std::string::npos,
      text.find(
          "WARNING: RemoveEnclosingQuotes(): No starting quotes, only ending quotes found; abc\"\n"));
}

TEST(SplitByToken, Fragments) {
  std::vector<std::string> parts = {"stale"};
  EXPECT_EQ(-1, SplitByToken(nullptr, ':', parts));
  EXPECT_EQ(1u, parts.size());
  EXPECT_EQ(0, SplitByToken("a::b:", ':', parts));
  EXPECT_EQ((std::vector<std::string>{"a", "", "b"}), parts);
  EXPECT_EQ(0, SplitByToken(":a", ':', parts));
  EXPECT_EQ((std::vector<std::string>{"", "a"}), parts);
  EXPECT_EQ(0, SplitByToken("", ':', parts));
  EXPECT_TRUE(parts.empty());
}

TEST(ConvertStringToInt, Table) {
  struct Case {
    const char* text;
    int base;
    int value;
  } cases[] = {
      {"-", 10, 0},
      {"", 10, 0},
      {"ff", 16, 255},
      {"FF", 16, 255},
      {"+1", 10, -4},
      {"1F", 10, -4},
      {"1g", 16, -3},
      {"12", 8, -2},
      {"4294967297", 10, 1},
      {"-42", 10, -42},
      {"2147483648", 10, INT32_MIN},
      {"0x10", 16, -3},
      {" 1", 10, -4},
      {"32768", 10, 32768},
      {"-80000000", 16, INT32_MIN},
      {"99999999999999999999", 10, 1661992959},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.value, ConvertStringToInt(c.text, c.base)) << c.text << " base " << c.base;
  }
  EXPECT_EQ(-1, ConvertStringToInt(nullptr, 10));
}

TEST(StringStartsWith, PrefixRules) {
  EXPECT_TRUE(StringStartsWith("/w/proj/src", "/w/proj"));
  EXPECT_TRUE(StringStartsWith("/w/proj", "/w/pro"));
  EXPECT_FALSE(StringStartsWith("/w/proj", "/w/proj/"));
  EXPECT_FALSE(StringStartsWith("/w/proj", "/W/proj"));
  EXPECT_FALSE(StringStartsWith("xabc", "abc"));
  EXPECT_TRUE(StringStartsWith("anything", ""));
  EXPECT_TRUE(StringStartsWith("", ""));
}

TEST(Charsets, Utf8Conversions) {
  ScopedEnv lc_all("LC_ALL", "C.UTF-8");
  std::string name;
  EXPECT_STREQ("UTF-8", GetCurrentCharset(name));
  EXPECT_EQ("UTF-8", name);
  GetCurrentConsoleCharset(name);
  EXPECT_EQ("UTF-8", name);

  std::string out;
  EXPECT_EQ(0, ConvertStringToUtf8("abc", out));
  EXPECT_EQ(18u, out.size());
  EXPECT_EQ("abc", TextView(out));
  EXPECT_EQ(0, ConvertUtf8ToString("h\xC3\xA9", out));
  EXPECT_EQ(48u, out.size());
  EXPECT_EQ("h\xC3\xA9", TextView(out));

  out.clear();
  EXPECT_EQ(-1, ConvertStringToUtf8("", out));
  // Invalid input stops the conversion: reported, the converted part kept.
  EXPECT_EQ(-1, ConvertUtf8ToString("ab\xFF"
                                    "cd",
                                    out));
  EXPECT_EQ("ab", TextView(out));
  EXPECT_EQ(-1, ConvertUtf8ToString("ab\xC3", out));
  EXPECT_EQ("ab", TextView(out));
}

TEST(Charsets, Latin1LocaleOrAscii) {
  // In the C locale the charset is ASCII: bytes above 0x7F do not convert.
  ScopedEnv lc_all("LC_ALL", "C");
  std::string name;
  GetCurrentCharset(name);
  EXPECT_EQ("ANSI_X3.4-1968", name);
  std::string out;
  EXPECT_EQ(0, ConvertStringToUtf8("plain", out));
  EXPECT_EQ(-1, ConvertStringToUtf8("caf\xE9", out));
  EXPECT_EQ("caf", TextView(out));
}

}  // namespace

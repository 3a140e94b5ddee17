#include "platform/strings.h"

#include <gtest/gtest.h>

#include <cstdint>

#include "support/test_support.h"

namespace {

class StringsTest : public QuarnTest {};

TEST_F(StringsTest, Quotes) {
  struct Quote {
    std::string in;
    bool removed;
    std::string unquoted, added;  // RemoveEnclosingQuotes, AddEnclosingQuotes(only if needed)
  } quotes[] = {
      {"\"\"", true, "", "\"\""},
      {"\"", true, "", "\""},
      {"\"a \"b\" c\"", true, "a \"b\" c", "\"a \"b\" c\""},
      {"\"abc", false, "\"abc", "\"abc"},
      {"/my dir", false, "/my dir", "\"/my dir\""},
      {"/mydir", false, "/mydir", "/mydir"},
  };
  for (const Quote& q : quotes) {
    std::string out = "unchanged";
    EXPECT_EQ(q.removed, RemoveEnclosingQuotes(q.in, out)) << q.in;
    EXPECT_EQ(q.unquoted, out) << q.in;
    AddEnclosingQuotes(q.in, out, true);
    EXPECT_EQ(q.added, out) << q.in;
  }
}

TEST_F(StringsTest, ConvertStringToInt) {
  struct Case {
    const char* text;
    int base, value;
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
      {"0x10", 16, -3},
      {"32768", 10, 32768},
      {"2147483648", 10, INT32_MIN},
  };
  for (const Case& c : cases) EXPECT_EQ(c.value, ConvertStringToInt(c.text, c.base)) << c.text;
}

}  // namespace

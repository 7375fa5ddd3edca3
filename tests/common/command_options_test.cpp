// The shared option parser, for what the programs' own option tests do not
// reach: the styles they do not use, repeated options, values that look like
// options, and numbers that only partly parse.
#include <gtest/gtest.h>

#include <cstdint>

#include "common/command_options.h"

namespace ql::command_options {
namespace {

struct Seen {
  std::vector<std::string> names;
  std::string text;
  int count = 0;
  bool flag = false;
};

std::vector<Option> Table(Seen& seen) {
  return {
      {"--name", 'n', true,
       [&seen](const std::string& value) {
         seen.names.push_back(value);
         return value != "refused";
       }},
      {"--text", 0, true, Into(seen.text)},
      {"--count", 0, true, Into(seen.count)},
      {"--flag", 'f', false, Set(seen.flag)},
  };
}

TEST(CommandOptions, RepeatedOptionsAndValuesThatLookLikeOptions) {
  Seen seen;
  const auto parsed =
      Parse(Table(seen), {"--name", "a", "--name=b=c", "-n", "--flag", "--text", "-"}, {});
  EXPECT_EQ(parsed.error, "");
  // A value is taken as it stands, even when it reads as an option.
  EXPECT_EQ(seen.names, (std::vector<std::string>{"a", "b=c", "--flag"}));
  EXPECT_FALSE(seen.flag);
  EXPECT_EQ(seen.text, "-");
}

TEST(CommandOptions, FirstProblemIsReportedInTheParsersWords) {
  struct Case {
    std::vector<std::string> args;
    Style style;
    std::string error;
  };
  const Case cases[] = {
      {{"--name", "x", "--name", "refused", "--bogus"}, {}, "bad value for --name: 'refused'"},
      {{"--bogus=1"}, {}, "unknown option --bogus"},
      {{"--flag=yes"}, {}, "--flag takes no value"},
      {{"--flag", "--text"}, {}, "--text needs a value"},
      // Without bundles a group of letters is one unknown option.
      {{"-fn", "x"}, {}, "unknown option -fn"},
      {{"-f", "-fx"}, {.bundles = true}, "unknown option -x"},
      // Bundles are read first: a "--" taken as a value leaves "-f" unread.
      {{"--name", "--", "-f"}, {.operands = true, .bundles = true}, "unknown option -f"},
      // Without operands a word is an unknown option, and so is "--".
      {{"file"}, {}, "unknown option file"},
      {{"--"}, {}, "unknown option --"},
      {{"--count", "12x"}, {}, "bad value for --count: '12x'"},
      {{"--count", "99999999999"}, {}, "bad value for --count: '99999999999'"},
      {{"--count="}, {}, "bad value for --count: ''"},
  };
  for (const auto& c : cases) {
    Seen seen;
    const auto parsed = Parse(Table(seen), c.args, c.style);
    EXPECT_EQ(parsed.error, c.error) << c.args.front();
    EXPECT_EQ(parsed.refused.empty(), !c.error.starts_with("bad value")) << c.args.front();
  }
}

TEST(CommandOptions, TheFirstOperandCanEndTheOptions) {
  Seen seen;
  const auto parsed = Parse(Table(seen), {"--count", "3", "prog", "--flag", "--", "-x"},
                            {.operands = true, .firstOperandEnds = true});
  EXPECT_EQ(parsed.error, "");
  EXPECT_EQ(seen.count, 3);
  EXPECT_FALSE(seen.flag);
  EXPECT_EQ(parsed.operands, (std::vector<std::string>{"prog", "--flag", "--", "-x"}));
}

TEST(CommandOptions, NumbersOfOtherTypes) {
  std::uint32_t baud = 7;
  double ratio = 0;
  EXPECT_FALSE(Into(baud)("-1"));
  EXPECT_FALSE(Into(baud)("4294967296"));
  EXPECT_EQ(baud, 7u);
  EXPECT_TRUE(Into(baud)("4294967295"));
  EXPECT_EQ(baud, 4294967295u);
  EXPECT_TRUE(Into(ratio)("1.25"));
  EXPECT_EQ(ratio, 1.25);
  EXPECT_FALSE(Into(ratio)("1.2.5"));
}

}  // namespace
}  // namespace ql::command_options

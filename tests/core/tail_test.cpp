#include <gtest/gtest.h>
#include <string>
#include "core/tail.h"

namespace {

struct TailCase {
    const char* name;
    std::string bytes;
    std::string expected;
};

void PrintTo(const TailCase& c, std::ostream* os) {
    *os << c.name;
}

class StderrTail : public ::testing::TestWithParam<TailCase> {};

TEST_P(StderrTail, FindsLastNonBlankLine) {
    EXPECT_EQ(LastNonBlankLine(GetParam().bytes), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, StderrTail,
    ::testing::Values(
        TailCase{"MessageThenEmptyThenTwoSpacesWithCrLf", "fatal: bad\r\n\r\n  \r\n", "fatal: bad"},
        TailCase{"LeadingSpacesKeptTrailingRemoved", "first\n  last line  \n", "  last line"},
        TailCase{"TabsStay", "a\n\tindented\t\n", "\tindented\t"},
        TailCase{"PieceAfterLastLineFeedCounts", "one\ntwo", "two"},
        TailCase{"RepeatedCarriageReturnsAndSpaces", "x \r \r\r\n", "x"},
        TailCase{"EveryLineBlank", "\r\n  \n\n", ""}, TailCase{"Empty", "", ""},
        TailCase{"BytesKeptAsTheyAre", "caf\xc3\xa9 \xff\n", "caf\xc3\xa9 \xff"}),
    [](const ::testing::TestParamInfo<TailCase>& info) { return std::string(info.param.name); });

TEST(StderrTailWindow, LooksOnlyAtTheLast4096Bytes) {
    std::string early = "early message\n" + std::string(10000 - 14, '\n');
    ASSERT_EQ(early.size(), 10000u);
    EXPECT_EQ(LastNonBlankLine(early), "");

    std::string longLine(10000, 'x');
    EXPECT_EQ(LastNonBlankLine(longLine), std::string(4096, 'x'));
}

}  // namespace

#include "Public.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <regex>
#include <utility>
#include <string>
#include <time.h>
#include <unistd.h>
#include <vector>

// The links and read cycles rely on these never throwing.
static_assert(noexcept(LOG_Str("[USB]", "frame")));
static_assert(noexcept(LOG_Bytes("[USB]", nullptr, 0)));
static_assert(noexcept(LOG_Int("ret", 0)));
static_assert(noexcept(split(std::declval<std::string>(), std::declval<std::string>())));

namespace {

uint32_t MonotonicMs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint32_t>(ts.tv_sec) * 1000u + static_cast<uint32_t>(ts.tv_nsec / 1000000);
}

std::vector<std::string> V(std::initializer_list<const char*> items)
{
    return std::vector<std::string>(items.begin(), items.end());
}

} // namespace

TEST(TickTest, ElapsedAcrossWrap)
{
    EXPECT_EQ(TickElapsed(0xFFFFFFF0u, 0x00000010u), 0x20u);
    EXPECT_EQ(TickElapsed(0xFFFFFFFFu, 0u), 1u);
    EXPECT_EQ(TickElapsed(1000u, 3000u), 2000u);
    EXPECT_EQ(TickElapsed(5u, 5u), 0u);
}

TEST(TickTest, FollowsMonotonicClockInMilliseconds)
{
    // Bracketed by the monotonic clock: a wall clock or a wrong unit falls
    // outside the bracket.
    uint32_t before = MonotonicMs();
    uint32_t tick = GetTickCount();
    uint32_t after = MonotonicMs();
    EXPECT_LE(TickElapsed(before, tick), TickElapsed(before, after));

    uint32_t start = GetTickCount();
    uint32_t prev = start;
    for (int i = 0; i < 10000; ++i) {
        uint32_t now = GetTickCount();
        ASSERT_LT(TickElapsed(prev, now), 1000u) << "clock went backwards at " << i;
        prev = now;
    }

    start = GetTickCount();
    usleep(50 * 1000);
    uint32_t elapsed = TickElapsed(start, GetTickCount());
    EXPECT_GE(elapsed, 40u);
    EXPECT_LE(elapsed, 2000u);
}

TEST(LogTest, FormatsUnpaddedFields)
{
    tm t{};
    t.tm_year = 2024 - 1900;
    t.tm_mon = 0;
    t.tm_mday = 2;
    t.tm_hour = 3;
    t.tm_min = 4;
    t.tm_sec = 5;
    char buf[128];
    int n = FormatLogInt(buf, sizeof buf, t, 6, "ret", -1);
    EXPECT_STREQ(buf, "2024-1-2 3:4:5.6[ret==-1]\n");
    EXPECT_EQ(n, static_cast<int>(strlen(buf)));

    t.tm_mon = 11;
    t.tm_mday = 31;
    t.tm_hour = 7;
    t.tm_min = 9;
    t.tm_sec = 59;
    FormatLogInt(buf, sizeof buf, t, 51234, "count", 2147483647);
    EXPECT_STREQ(buf, "2024-12-31 7:9:59.51234[count==2147483647]\n");

    // A view into a longer text prints only the viewed part.
    std::string longer = "labelXYZ";
    FormatLogInt(buf, sizeof buf, t, 0, std::string_view(longer).substr(0, 5), 0);
    EXPECT_STREQ(buf, "2024-12-31 7:9:59.0[label==0]\n");

    FormatLogInt(buf, sizeof buf, t, 0, std::string_view(), 3);
    EXPECT_STREQ(buf, "2024-12-31 7:9:59.0[==3]\n");
}

TEST(LogTest, LogIntPrintsOneLineToStdout)
{
    fflush(stdout);
    testing::internal::CaptureStdout();
    LOG_Int("ret", -1);
    fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();

    std::smatch m;
    ASSERT_TRUE(std::regex_match(out, m,
        std::regex(R"((\d{4})-(\d{1,2})-(\d{1,2}) (\d{1,2}):(\d{1,2}):(\d{1,2})\.(\d{1,6})\[ret==-1\]\n)")))
        << out;
    EXPECT_GE(std::stoi(m[2]), 1);
    EXPECT_LE(std::stoi(m[2]), 12);
    EXPECT_LE(std::stoi(m[4]), 23);
    if (m[7].length() > 1) {
        EXPECT_NE(m[7].str()[0], '0') << "microseconds must not be padded";
    }
}

TEST(LogTest, SilentCallsPrintNothing)
{
    const unsigned char frame[] = {0xAA, 0x00, 0x03};
    fflush(stdout);
    testing::internal::CaptureStdout();
    LOG_Str("[USB]", "usb connect ok");
    LOG_Bytes("[USB]", frame, static_cast<int>(sizeof frame));
    fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(TrimTest, RemovesTrailingBlanksOnly)
{
    char ab[] = "ab  ";
    EXPECT_EQ(chartrimright(ab), ab);
    EXPECT_STREQ(ab, "ab");
    EXPECT_EQ(ab[3], '\0');

    char blanks[] = "   ";
    EXPECT_STREQ(chartrimright(blanks), " ");

    char empty[] = "";
    EXPECT_STREQ(chartrimright(empty), "");

    char other[] = "a\t\r\n";
    EXPECT_STREQ(chartrimright(other), "a\t\r\n");

    char inner[] = " a b ";
    EXPECT_STREQ(chartrimright(inner), " a b");

    EXPECT_EQ(chartrimright(nullptr), nullptr);
}

TEST(SplitTest, KeepsEmptyPieces)
{
    EXPECT_EQ(split("x", ";"), V({"x"}));
    EXPECT_EQ(split(";x", ";"), V({"", "x"}));
    EXPECT_EQ(split("x;", ";"), V({"x", ""}));
    EXPECT_EQ(split("a,,b", ","), V({"a", "", "b"}));
    EXPECT_EQ(split("", ","), V({""}));
    EXPECT_EQ(split(";", ";"), V({"", ""}));
}

TEST(SplitTest, MultiCharacterAndEmptyDelimiter)
{
    EXPECT_EQ(split("a::b::", "::"), V({"a", "b", ""}));
    EXPECT_EQ(split("a:b", "::"), V({"a:b"}));
    EXPECT_EQ(split("a:b", ""), V({"a:b"}));
    EXPECT_EQ(split("", ""), V({""}));
}

#include "Common.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

constexpr unsigned char kGuard = 0xCD;
constexpr size_t kGuardLen = 64;

// Output buffer of `size` bytes followed by a guard region that no call
// may touch.
struct Guarded {
    explicit Guarded(size_t size) : size(size), buf(size + kGuardLen, kGuard) {}
    unsigned char* data() { return buf.data(); }
    Bytes head(size_t n) const { return Bytes(buf.begin(), buf.begin() + n); }
    bool guardIntact(size_t from) const
    {
        for (size_t i = from; i < buf.size(); ++i)
            if (buf[i] != kGuard)
                return false;
        return true;
    }
    size_t size;
    Bytes buf;
};

unsigned char Checksum(const Bytes& b)
{
    unsigned sum = 0;
    for (unsigned char c : b)
        sum += c;
    return static_cast<unsigned char>(sum);
}

Bytes Packet(const Bytes& id)
{
    Bytes p;
    p.reserve(id.size() + 6);
    p.push_back(0xFF);
    p.push_back(0xBB);
    p.push_back(static_cast<unsigned char>(id.size() >> 8));
    p.push_back(static_cast<unsigned char>(id.size() & 0xFF));
    for (unsigned char b : id)
        p.push_back(b);
    p.push_back(Checksum(id));
    p.push_back(0xAA);
    return p;
}

// Hex text of `pairs` bytes counting up from 0 (with wrap).
std::string CountingHex(int pairs)
{
    std::string s;
    char two[3];
    for (int i = 0; i < pairs; ++i) {
        snprintf(two, sizeof two, "%02x", i & 0xFF);
        s += two;
    }
    return s;
}

} // namespace

TEST(CommonHexTest, ByteToHexIsUpperCaseTwoDigits)
{
    EXPECT_EQ(CCommon::ByteToHex(0x0F), "0F");
    EXPECT_EQ(CCommon::ByteToHex(0xA0), "A0");
    char expect[3];
    for (int b = 0; b < 256; ++b) {
        snprintf(expect, sizeof expect, "%02X", b);
        ASSERT_EQ(CCommon::ByteToHex(static_cast<unsigned char>(b)), expect) << b;
    }
}

TEST(CommonHexTest, ByteToStringFollowsEveryByteWithBlank)
{
    const unsigned char frame[] = {0x55, 0xAA, 0x00, 0x03, 0xEE};
    EXPECT_EQ(CCommon::ByteToString(frame, 1, 3), "AA 00 03 ");
    EXPECT_EQ(CCommon::ByteToString(frame, 4, 1), "EE ");
    EXPECT_EQ(CCommon::ByteToString(frame, 0, 0), "");
    EXPECT_EQ(CCommon::ByteToString(frame, 0, -5), "");
    EXPECT_EQ(CCommon::ByteToString(nullptr, 0, 3), "");
}

TEST(CommonHexTest, Hex2Int)
{
    EXPECT_EQ(CCommon::hex2int("7f"), 127);
    EXPECT_EQ(CCommon::hex2int("FF"), 255);
    EXPECT_EQ(CCommon::hex2int("0x1A"), 26);
    EXPECT_EQ(CCommon::hex2int("zz"), 0);
    EXPECT_EQ(CCommon::hex2int(""), 0);
    EXPECT_EQ(CCommon::hex2int("0x"), 0);
    EXPECT_EQ(CCommon::hex2int("1g"), 1);
    EXPECT_EQ(CCommon::hex2int("7fffffff"), INT_MAX);
    // Same on 64-bit hosts as on the 32-bit target, where strtol saturates.
    EXPECT_EQ(CCommon::hex2int("80000000"), INT_MAX);
    EXPECT_EQ(CCommon::hex2int("0xFFFFFFFFFFFFFFFFFFFF"), INT_MAX);
    EXPECT_EQ(CCommon::hex2int("-80000001"), INT_MIN);
}

TEST(CommonTextTest, IntTextRoundTrip)
{
    const int values[] = {0, 7, -5, 1000000, INT_MAX, INT_MIN};
    for (int v : values) {
        std::string text = "stale";
        CCommon::int2str(v, text);
        std::ostringstream os;
        os << v;
        EXPECT_EQ(text, os.str());
        int back = 12345;
        CCommon::str2int(back, text);
        EXPECT_EQ(back, v) << text;
    }
}

TEST(CommonTextTest, Str2IntReadsLikeAStream)
{
    const char* texts[] = {"42", "  -17", "+8", "12abc", "abc", "-", " \t\n9",
                           "2147483647", "2147483648", "-2147483649",
                           "99999999999999999999999", "0x10", "1 2"};
    for (const char* t : texts) {
        int expect = -777;
        std::istringstream is{std::string(t)};
        is >> expect;
        int got = -777;
        CCommon::str2int(got, t);
        EXPECT_EQ(got, expect) << '"' << t << '"';
    }

    // A stream would leave the destination untouched here; no number is 0.
    for (const char* t : {"", "   "}) {
        int got = -777;
        CCommon::str2int(got, t);
        EXPECT_EQ(got, 0) << '"' << t << '"';
    }
}

TEST(CommonTextTest, StrReplaceString)
{
    std::string text = "aba";
    EXPECT_EQ(CCommon::strReplaceString(text, "a", "aa"), "aabaa");
    EXPECT_EQ(text, "aabaa");

    text = "6B29FC40-CA47-1067";
    EXPECT_EQ(CCommon::strReplaceString(text, "-", ""), "6B29FC40CA471067");
    EXPECT_EQ(text, "6B29FC40CA471067");

    text = "aaa";
    CCommon::strReplaceString(text, "aa", "b");
    EXPECT_EQ(text, "ba");

    text = "abc";
    EXPECT_EQ(CCommon::strReplaceString(text, "abcd", "x"), "abc");
    EXPECT_EQ(CCommon::strReplaceString(text, "", "x"), "abc");
    EXPECT_EQ(text, "abc");
}

TEST(CommonBytesTest, SubBytesCopiesRange)
{
    const unsigned char src[] = {1, 2, 3, 4, 5, 6};
    unsigned char dst[4] = {9, 9, 9, 9};
    EXPECT_EQ(CCommon::subBytes(src, 2, 3, dst), 3);
    EXPECT_EQ(Bytes(dst, dst + 4), (Bytes{3, 4, 5, 9}));

    EXPECT_EQ(CCommon::subBytes(src, 0, 0, dst), 0);
    EXPECT_EQ(CCommon::subBytes(src, 0, -2, dst), -2);
    EXPECT_EQ(Bytes(dst, dst + 4), (Bytes{3, 4, 5, 9}));
}

TEST(CommonGuidTest, ReordersLikeAGuid)
{
    Guarded out(8);
    EXPECT_EQ(CCommon::GuidToBytearry("0102030405060708", 16, out.data()), 8);
    EXPECT_EQ(out.head(8), (Bytes{4, 3, 2, 1, 6, 5, 8, 7}));
    EXPECT_TRUE(out.guardIntact(8));

    Guarded guid(16);
    EXPECT_EQ(CCommon::GuidToBytearry("6b29fc40ca471067b31d00dd010662da", 32, guid.data()), 16);
    EXPECT_EQ(guid.head(16), (Bytes{0x40, 0xFC, 0x29, 0x6B, 0x47, 0xCA, 0x67, 0x10,
                                    0xB3, 0x1D, 0x00, 0xDD, 0x01, 0x06, 0x62, 0xDA}));
    EXPECT_TRUE(guid.guardIntact(16));
}

TEST(CommonGuidTest, ShortAndOddIdentifiersFillFirstEight)
{
    // Pairs land at their GUID positions; zeros fill the rest of the eight.
    Guarded out(8);
    EXPECT_EQ(CCommon::GuidToBytearry("0A0B0C", 6, out.data()), 3);
    EXPECT_EQ(out.head(8), (Bytes{0x00, 0x0C, 0x0B, 0x0A, 0, 0, 0, 0}));
    EXPECT_TRUE(out.guardIntact(8));

    Guarded odd(8);
    EXPECT_EQ(CCommon::GuidToBytearry("0A0B0C", 5, odd.data()), 2);
    EXPECT_EQ(odd.head(8), (Bytes{0, 0, 0x0B, 0x0A, 0, 0, 0, 0}));

    // A length past the text reads only the text.
    Guarded over(8);
    EXPECT_EQ(CCommon::GuidToBytearry("0A0B", 100, over.data()), 2);
    EXPECT_EQ(over.head(8), (Bytes{0, 0, 0x0B, 0x0A, 0, 0, 0, 0}));

    Guarded neg(8);
    EXPECT_EQ(CCommon::GuidToBytearry("0A0B", -4, neg.data()), 0);
    EXPECT_EQ(neg.head(8), Bytes(8, 0));
    EXPECT_TRUE(neg.guardIntact(8));

    EXPECT_EQ(CCommon::GuidToBytearry("0A0B", 4, nullptr), 0);
}

TEST(CommonGuidTest, LongIdentifierIsCutToScratch)
{
    const std::string id = CountingHex(300);
    Guarded out(CCommon::kMaxIdBytes);
    EXPECT_EQ(CCommon::GuidToBytearry(id, static_cast<int>(id.size()), out.data()), 128);
    EXPECT_EQ(out.head(8), (Bytes{3, 2, 1, 0, 5, 4, 7, 6}));
    for (int i = 8; i < 128; ++i)
        ASSERT_EQ(out.buf[i], i) << i;
    EXPECT_TRUE(out.guardIntact(128));
}

TEST(CommonPacketTest, GuidGivesFramedPacket)
{
    const Bytes idBytes = {0x40, 0xFC, 0x29, 0x6B, 0x47, 0xCA, 0x67, 0x10,
                           0xB3, 0x1D, 0x00, 0xDD, 0x01, 0x06, 0x62, 0xDA};
    Guarded dashed(22);
    EXPECT_EQ(CCommon::getSecretkeyPacket("6B29FC40-CA47-1067-B31D-00DD010662DA", dashed.data()), 22);
    EXPECT_EQ(dashed.head(22), Packet(idBytes));
    EXPECT_EQ(dashed.buf[2], 0);
    EXPECT_EQ(dashed.buf[3], 16);
    EXPECT_TRUE(dashed.guardIntact(22));

    Guarded plain(22);
    EXPECT_EQ(CCommon::getSecretkeyPacket("6B29FC40CA471067B31D00DD010662DA", plain.data()), 22);
    EXPECT_EQ(plain.buf, dashed.buf);
}

TEST(CommonPacketTest, ShortIdentifiers)
{
    Guarded eight(14);
    EXPECT_EQ(CCommon::getSecretkeyPacket("0102030405060708", eight.data()), 14);
    EXPECT_EQ(eight.head(14), Packet({4, 3, 2, 1, 6, 5, 8, 7}));
    EXPECT_TRUE(eight.guardIntact(14));

    // Only the first n reordered bytes go in, zeros from the GUID layout
    // included.
    Guarded three(9);
    EXPECT_EQ(CCommon::getSecretkeyPacket("0A0B0C", three.data()), 9);
    EXPECT_EQ(three.head(9), Packet({0x00, 0x0C, 0x0B}));
    EXPECT_TRUE(three.guardIntact(9));

    Guarded none(6);
    EXPECT_EQ(CCommon::getSecretkeyPacket("", none.data()), 6);
    EXPECT_EQ(none.head(6), (Bytes{0xFF, 0xBB, 0x00, 0x00, 0x00, 0xAA}));
    EXPECT_TRUE(none.guardIntact(6));

    EXPECT_EQ(CCommon::getSecretkeyPacket("0102", nullptr), 0);
}

TEST(CommonPacketTest, LongIdentifierStaysWithin134Bytes)
{
    std::string id = CountingHex(300);
    id.insert(8, "-");
    Guarded out(134);
    EXPECT_EQ(CCommon::getSecretkeyPacket(id, out.data()), 134);
    Bytes expectId = {3, 2, 1, 0, 5, 4, 7, 6};
    for (int i = 8; i < 128; ++i)
        expectId.push_back(static_cast<unsigned char>(i));
    EXPECT_EQ(out.head(134), Packet(expectId));
    EXPECT_EQ(out.buf[2], 0x00);
    EXPECT_EQ(out.buf[3], 0x80);
    EXPECT_TRUE(out.guardIntact(134));
}

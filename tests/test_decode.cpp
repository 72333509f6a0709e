// Decoding of the decode server's final answer into the idInfo record.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "CardMain.h"
#include "SimCard.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes Ucs2(const std::u16string &s)
{
    Bytes b;
    for (char16_t c : s) {
        b.push_back(static_cast<unsigned char>(c & 0xFF));
        b.push_back(static_cast<unsigned char>(c >> 8));
    }
    return b;
}

// A UCS-2 field of `bytes` bytes holding `s`, blank padded.
Bytes Field(const std::u16string &s, size_t bytes)
{
    Bytes b = Ucs2(s);
    while (b.size() < bytes) {
        b.push_back(0x20);
        b.push_back(0x00);
    }
    b.resize(bytes);
    return b;
}

std::string Str(const char *field, size_t size) { return std::string(field, strnlen(field, size)); }
#define FIELD(rec, f) Str((rec).f, sizeof (rec).f)

sim::CardFields SampleCard()
{
    sim::CardFields c;
    c.name = "张伟";
    c.sex = "1";
    c.nation = "01";
    c.birth = "19850312";
    c.address = "广东省广州市天河区体育西路103号";
    c.cardno = "44010619850312451X";
    c.authority = "广州市公安局天河分局";
    c.starttime = "20150601";
    c.endtime = "20350601";
    c.photoSeed = 7;
    return c;
}

struct Block {
    unsigned char bytes[sim::kDecodedBlockBytes];
    explicit Block(const sim::CardFields &c) { sim::BuildDecodedBlock(c, bytes); }
};

} // namespace

TEST(EncUnicodeToUtf8, EncodesOneTwoAndThreeByteForms)
{
    struct {
        unsigned short ch;
        Bytes utf8;
    } cases[] = {
        {0x41, {0x41}},
        {0x00E9, {0xC3, 0xA9}},
        {0x00B7, {0xC2, 0xB7}},
        {0x07FF, {0xDF, 0xBF}},
        {0x0800, {0xE0, 0xA0, 0x80}},
        {0x6C49, {0xE6, 0xB1, 0x89}},
        {0xD800, {0xED, 0xA0, 0x80}},
        {0xFFFF, {0xEF, 0xBF, 0xBF}},
    };
    for (const auto &c : cases) {
        unsigned char out[6] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
        int n = EncUnicodeToUtf8(c.ch, out, 6);
        ASSERT_EQ(n, static_cast<int>(c.utf8.size())) << std::hex << c.ch;
        EXPECT_EQ(Bytes(out, out + n), c.utf8) << std::hex << c.ch;
        EXPECT_EQ(out[n], 0xEE) << "wrote past the character";
    }
}

TEST(EncUnicodeToUtf8, RefusesSmallOrNullBuffer)
{
    unsigned char out[6] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(EncUnicodeToUtf8(0x41, out, 5), 0);
    EXPECT_EQ(EncUnicodeToUtf8(0x6C49, out, 0), 0);
    EXPECT_EQ(Bytes(out, out + 6), Bytes(6, 0xEE));
    EXPECT_EQ(EncUnicodeToUtf8(0x41, nullptr, 6), 0);
}

TEST(ParesCardChiness, StopsAtFirstBlank)
{
    Bytes src = Field(u"\u4E00\u4E8C", 30);
    unsigned char dst[40] = {};
    EXPECT_EQ(ParesCardChiness(src.data(), 30, dst, 30), 4);
    EXPECT_EQ(Bytes(dst, dst + 7), (Bytes{0xE4, 0xB8, 0x80, 0xE4, 0xBA, 0x8C, 0x00}));

    Bytes blankFirst = Field(u" \u4E00", 30);
    unsigned char untouched[30] = {};
    EXPECT_EQ(ParesCardChiness(blankFirst.data(), 30, untouched, 30), 0);
    EXPECT_EQ(Bytes(untouched, untouched + 30), Bytes(30, 0));

    // A blank in the middle ends the field too.
    Bytes mid = Field(u"AB CD", 30);
    unsigned char out[30] = {};
    EXPECT_EQ(ParesCardChiness(mid.data(), 30, out, 30), 4);
    EXPECT_STREQ(reinterpret_cast<char *>(out), "AB");
}

TEST(ParesCardChiness, FullFieldWithoutBlankFitsWideDestination)
{
    std::u16string fifteen(15, u'\u6C49');
    Bytes src = Ucs2(fifteen);
    unsigned char dst[64] = {};
    EXPECT_EQ(ParesCardChiness(src.data(), 30, dst, 64), 30);
    EXPECT_EQ(strlen(reinterpret_cast<char *>(dst)), 45u);

    std::u16string address(35, u'\u8DEF');
    Bytes addr = Ucs2(address);
    unsigned char a[140] = {};
    EXPECT_EQ(ParesCardChiness(addr.data(), 70, a, sizeof a), 70);
    EXPECT_EQ(strnlen(reinterpret_cast<char *>(a), sizeof a), 105u);
}

TEST(ParesCardChiness, LatinOneCharactersBecomeTwoByteUtf8)
{
    Bytes src = Field(u"A\u00B7\u00E9", 30);
    unsigned char dst[30] = {};
    ParesCardChiness(src.data(), 30, dst, 30);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(dst)), "A\u00B7\u00E9");
}

TEST(ParesCardChiness, LongTextIsCutAtAWholeCharacterAndStaysTerminated)
{
    // 15 CJK characters need 45 bytes; a 30-byte field takes 9 and its terminator.
    Bytes src = Ucs2(std::u16string(15, u'\u6C49'));
    unsigned char buf[40];
    memset(buf, 0xEE, sizeof buf);
    memset(buf, 0, 30);
    ParesCardChiness(src.data(), 30, buf, 30);
    EXPECT_EQ(strnlen(reinterpret_cast<char *>(buf), 30), 27u);
    EXPECT_EQ(buf[29], 0);
    EXPECT_EQ(Bytes(buf + 30, buf + 40), Bytes(10, 0xEE)) << "wrote past the field";

    // ASCII first shifts the boundary: 3 + 8 * 3 = 27, the ninth CJK would need 30.
    Bytes mixed = Ucs2(u"ABC" + std::u16string(12, u'\u6C49'));
    unsigned char m[30] = {};
    ParesCardChiness(mixed.data(), 30, m, 30);
    EXPECT_EQ(strnlen(reinterpret_cast<char *>(m), 30), 27u);
    EXPECT_EQ(m[26], 0x89) << "last byte must end a whole character";
}

TEST(ParesCardChiness, NullSourceWritesNothing)
{
    unsigned char dst[4] = {1, 2, 3, 4};
    EXPECT_EQ(ParesCardChiness(nullptr, 30, dst, 4), 0);
    EXPECT_EQ(Bytes(dst, dst + 4), (Bytes{1, 2, 3, 4}));
}

TEST(ParesCardNumber, CopiesDigitsAndBlanks)
{
    Bytes no = Ucs2(u"44010619850312451X");
    unsigned char dst[36] = {};
    EXPECT_EQ(ParesCardNumber(no.data(), 36, dst, 36), 18);
    EXPECT_STREQ(reinterpret_cast<char *>(dst), "44010619850312451X");

    Bytes padded = Field(u"19", 8);
    unsigned char p[16] = {};
    EXPECT_EQ(ParesCardNumber(padded.data(), 8, p, 16), 4);
    EXPECT_STREQ(reinterpret_cast<char *>(p), "19  ");

    EXPECT_EQ(ParesCardNumber(nullptr, 8, p, 16), 0);
}

TEST(ParesCardNumber, NonAsciiValidityTextStaysReadable)
{
    // Long-term validity is written as two CJK characters, then blanks.
    Bytes end = Field(u"\u957F\u671F", 16);
    unsigned char dst[16] = {};
    EXPECT_EQ(ParesCardNumber(end.data(), 16, dst, 16), 12);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(dst)), "\u957F\u671F      ");

    // Eight CJK characters would need 24 bytes: cut at a whole character.
    Bytes wide = Ucs2(std::u16string(8, u'\u957F'));
    unsigned char w[20];
    memset(w, 0xEE, sizeof w);
    memset(w, 0, 16);
    ParesCardNumber(wide.data(), 16, w, 16);
    EXPECT_EQ(strnlen(reinterpret_cast<char *>(w), 16), 15u);
    EXPECT_EQ(Bytes(w + 16, w + 20), Bytes(4, 0xEE));
}

TEST(GetNational, KnowsAllFiftySixCodes)
{
    const std::pair<int, std::string> examples[] = {
        {1, "汉"}, {2, "蒙古"}, {5, "维吾尔"}, {29, "柯尔克孜"}, {43, "乌孜别克"}, {56, "基诺"},
    };
    for (const auto &e : examples) {
        unsigned char dst[16] = {};
        int n = GetNational(e.first, dst, sizeof dst);
        EXPECT_EQ(n, static_cast<int>(e.second.size())) << e.first;
        EXPECT_EQ(std::string(reinterpret_cast<char *>(dst), n), e.second) << e.first;
    }
    std::vector<std::string> seen;
    for (int code = 1; code <= 56; code++) {
        unsigned char dst[16] = {};
        int n = GetNational(code, dst, sizeof dst);
        ASSERT_GE(n, 3) << code;
        ASSERT_LE(n, 12) << code;
        EXPECT_EQ(n % 3, 0) << "CJK names are three bytes a character: " << code;
        EXPECT_EQ(dst[0] & 0xF0, 0xE0) << code;
        seen.emplace_back(reinterpret_cast<char *>(dst), n);
    }
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(std::unique(seen.begin(), seen.end()), seen.end()) << "duplicate nationality name";
}

TEST(GetNational, UnknownCodesWriteNothing)
{
    for (int code : {0, -1, 57, 97, 1000}) {
        unsigned char dst[4] = {9, 9, 9, 9};
        EXPECT_EQ(GetNational(code, dst, sizeof dst), -1) << code;
        EXPECT_EQ(Bytes(dst, dst + 4), Bytes(4, 9)) << code;
    }
}

TEST(GetNational, SmallDestinationTakesWholeCharactersOnly)
{
    unsigned char dst[8];
    memset(dst, 0xEE, sizeof dst);
    EXPECT_EQ(GetNational(2, dst, 4), 3);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(dst), 3), "蒙");
    EXPECT_EQ(dst[3], 0xEE);
}

TEST(GetSEX, MapsOneAndTwoOnly)
{
    unsigned char dst[4] = {};
    EXPECT_EQ(GetSEX(1, dst), 3);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(dst), 3), "男");
    EXPECT_EQ(GetSEX(2, dst), 3);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(dst), 3), "女");
    unsigned char keep[4] = {7, 7, 7, 7};
    EXPECT_EQ(GetSEX(9, keep), 0);
    EXPECT_EQ(GetSEX(0, keep), 0);
    EXPECT_EQ(Bytes(keep, keep + 4), Bytes(4, 7));
}

TEST(FillIdInfo, FillsEveryFieldFromTheBlock)
{
    Block block(SampleCard());
    idInfo rec;
    memset(&rec, 0, sizeof rec);
    FillIdInfo(&rec, block.bytes);

    EXPECT_EQ(FIELD(rec, name), "张伟");
    EXPECT_EQ(FIELD(rec, sex), "1");
    EXPECT_EQ(FIELD(rec, nation), "汉");
    EXPECT_EQ(rec.nation[3], 0);
    EXPECT_EQ(FIELD(rec, birth), "19850312");
    EXPECT_EQ(FIELD(rec, address), "广东省广州市天河区体育西路103号");
    EXPECT_EQ(FIELD(rec, cardno), "44010619850312451X");
    EXPECT_EQ(FIELD(rec, authority), "广州市公安局天河分局");
    EXPECT_EQ(FIELD(rec, starttime), "20150601");
    EXPECT_EQ(FIELD(rec, endtime), "20350601");
    EXPECT_EQ(rec.photolen, 1024);
    EXPECT_EQ(0, memcmp(rec.photo, block.bytes + 256, 1024));
    EXPECT_EQ(Bytes(rec.photo + 1024, rec.photo + 2048), Bytes(1024, 0));
}

TEST(FillIdInfo, LeavesOtherCardFieldsAndHookAlone)
{
    Block block(SampleCard());
    idInfo rec;
    memset(&rec, 0, sizeof rec);
    auto hook = [](int, void *) {};
    rec.cardfoundcb = hook;
    rec.cardkind = 4;
    memset(rec.carddata, 0xA5, sizeof rec.carddata);
    rec.carddatalen = 41;
    FillIdInfo(&rec, block.bytes);
    EXPECT_EQ(rec.cardfoundcb, static_cast<void (*)(int, void *)>(hook));
    EXPECT_EQ(rec.cardkind, 4);
    EXPECT_EQ(Bytes(rec.carddata, rec.carddata + 51), Bytes(51, 0xA5));
    EXPECT_EQ(rec.carddatalen, 41);
}

TEST(FillIdInfo, MiddleDotNameIsProperUtf8)
{
    sim::CardFields c = SampleCard();
    c.name = "阿依古丽·买买提";
    c.nation = "05";
    Block block(c);
    idInfo rec = {};
    FillIdInfo(&rec, block.bytes);
    EXPECT_EQ(FIELD(rec, name), "阿依古丽·买买提");
    EXPECT_EQ(FIELD(rec, nation), "维");
}

TEST(FillIdInfo, LongNameDoesNotRunIntoTheNextFields)
{
    sim::CardFields c = SampleCard();
    c.name = "欧阳丹尼尔克里斯托弗斯坦利"; // 13 characters, 39 bytes of UTF-8
    c.sex = "2";
    Block block(c);
    idInfo rec = {};
    FillIdInfo(&rec, block.bytes);
    EXPECT_EQ(FIELD(rec, name), "欧阳丹尼尔克里斯托");
    EXPECT_EQ(rec.name[29], 0);
    EXPECT_EQ(FIELD(rec, sex), "2");
    EXPECT_EQ(FIELD(rec, nation), "汉");
    EXPECT_EQ(FIELD(rec, birth), "19850312");
}

TEST(FillIdInfo, NationalityCodes)
{
    struct {
        const char *code;
        std::string nation;
    } cases[] = {
        {"01", "汉"}, {"02", "蒙"}, {"43", "乌"}, {"97", "97"}, {"00", "00"}, {"5x", "维"}, {"ab", "ab"},
    };
    for (const auto &k : cases) {
        sim::CardFields c = SampleCard();
        c.nation = k.code;
        Block block(c);
        idInfo rec = {};
        FillIdInfo(&rec, block.bytes);
        EXPECT_EQ(FIELD(rec, nation), k.nation) << k.code;
        EXPECT_EQ(rec.nation[3], 0) << k.code;
        EXPECT_EQ(FIELD(rec, birth), "19850312") << "nation ran into birth for " << k.code;
    }
}

TEST(FillIdInfo, ReusedRecordShowsNothingOfThePreviousCard)
{
    sim::CardFields longer = SampleCard();
    longer.name = "欧阳丹尼尔克里斯托";
    longer.nation = "97";
    longer.address = "新疆维吾尔自治区乌鲁木齐市天山区解放南路一百二十八号院三单元";
    sim::CardFields shorter = SampleCard();
    shorter.name = "李娜";
    shorter.address = "北京市东城区";
    shorter.photoSeed = 99;

    idInfo rec = {};
    Block first(longer);
    FillIdInfo(&rec, first.bytes);
    memset(rec.photo + 1024, 0x77, 1024);
    Block second(shorter);
    FillIdInfo(&rec, second.bytes);

    EXPECT_EQ(Bytes(rec.name + 6, rec.name + 30), Bytes(24, 0));
    EXPECT_EQ(FIELD(rec, address), "北京市东城区");
    EXPECT_EQ(FIELD(rec, nation), "汉");
    EXPECT_EQ(0, memcmp(rec.photo, second.bytes + 256, 1024));
    EXPECT_EQ(Bytes(rec.photo + 1024, rec.photo + 2048), Bytes(1024, 0));
}

TEST(FillIdInfo, ArbitraryBlocksStayInsideTheRecord)
{
    // Any text block, however odd, fills the fields and leaves every
    // text field terminated.
    unsigned seed = 12345;
    for (int round = 0; round < 200; round++) {
        unsigned char block[sim::kDecodedBlockBytes];
        for (unsigned char &b : block) {
            seed = seed * 1103515245u + 12345u;
            b = static_cast<unsigned char>(seed >> 16);
        }
        idInfo rec;
        memset(&rec, 0, sizeof rec);
        rec.cardkind = 0x3C;
        FillIdInfo(&rec, block);
        EXPECT_EQ(rec.name[sizeof rec.name - 1], 0);
        EXPECT_EQ(rec.nation[sizeof rec.nation - 1], 0);
        EXPECT_EQ(rec.address[sizeof rec.address - 1], 0);
        EXPECT_EQ(rec.authority[sizeof rec.authority - 1], 0);
        EXPECT_EQ(rec.endtime[sizeof rec.endtime - 1], 0);
        EXPECT_EQ(rec.cardkind, 0x3C);
    }
}

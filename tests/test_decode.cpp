// Decoding of the decode server's final answer into the idInfo record.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "CardMain.h"
#include "SimCard.h"
#include "SimCards.h"

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

// --- document kinds ------------------------------------------------------------
// Each block is written field by field at the offsets of the published
// layouts, independently of the decoder.
namespace {

struct Placed {
    size_t at;
    std::u16string text;
    size_t bytes;
};

std::vector<unsigned char> Document(std::initializer_list<Placed> fields)
{
    std::vector<unsigned char> block(1280, 0);
    for (size_t i = 0; i < 256; i += 2)
        block[i] = 0x20; // blank padded throughout
    for (const Placed &f : fields) {
        Bytes b = Field(f.text, f.bytes);
        memcpy(block.data() + f.at, b.data(), b.size());
    }
    for (size_t i = 256; i < block.size(); i++)
        block[i] = static_cast<unsigned char>(i * 7);
    return block;
}

scanid_record Decode(const std::vector<unsigned char> &block)
{
    scanid_record r;
    memset(&r, 0x5A, sizeof r);
    r.size = sizeof r;
    DecodeDocument(block.data(), &r);
    return r;
}

} // namespace

TEST(Documents, ForeignPermanentResident2017)
{
    const auto block = Document({{0, u"SMITH, JOHN WILLIAM", 120}, {120, u"1", 2}, {122, u"USA110179050116", 30},
                                 {152, u"USA", 6}, {158, u"史密斯", 30}, {188, u"20200610", 16},
                                 {204, u"20300610", 16}, {220, u"19790501", 16}, {236, u"01", 4},
                                 {240, u"1100", 8}, {248, u"I", 2}});
    const scanid_record r = Decode(block);
    EXPECT_EQ(r.size, sizeof r);
    EXPECT_EQ(r.document, SCANID_DOC_FOREIGN_2017);
    EXPECT_STREQ(r.type_letter, "I");
    EXPECT_STREQ(r.name_en, "SMITH, JOHN WILLIAM");
    EXPECT_STREQ(r.name_zh, "史密斯");
    EXPECT_STREQ(r.sex, "1");
    EXPECT_STREQ(r.sex_text, "男");
    EXPECT_STREQ(r.number, "USA110179050116");
    EXPECT_EQ(r.number_valid, 1);
    EXPECT_STREQ(r.nationality, "USA");
    EXPECT_STREQ(r.birth, "19790501");
    EXPECT_STREQ(r.valid_from, "20200610");
    EXPECT_STREQ(r.valid_to, "20300610");
    EXPECT_STREQ(r.card_version, "01");
    EXPECT_STREQ(r.authority_code, "1100");
    // What this card does not have stays empty.
    EXPECT_STREQ(r.address, "");
    EXPECT_STREQ(r.authority, "");
    EXPECT_STREQ(r.ethnic, "");
    EXPECT_EQ(0, memcmp(r.text_block, block.data(), 256));
    EXPECT_EQ(0, memcmp(r.photo, block.data() + 256, 1024));
}

TEST(Documents, ForeignPermanentResident2017WithoutChineseName)
{
    const auto r = Decode(Document({{0, u"KOVALENKO, OLENA", 120}, {120, u"2", 2}, {122, u"KAZ110090123105", 30},
                                    {152, u"KAZ", 6}, {248, u"I", 2}}));
    EXPECT_STREQ(r.name_zh, "");
    EXPECT_STREQ(r.name_en, "KOVALENKO, OLENA");
    EXPECT_STREQ(r.sex_text, "女");
    EXPECT_EQ(r.number_valid, 1) << "the official sample number";
}

TEST(Documents, ForeignPermanentResident2023JoinsTheLongEnglishName)
{
    // The 35th character of the first part is the blank between two names.
    const auto block = Document({{0, u"史密斯", 30}, {30, u"1", 2}, {32, u"00", 4}, {36, u"19790501", 16},
                                 {52, u"HUTCHINSON-WAINWRIGHT, CHRISTOPHER ", 70}, {122, u"911840197905010118", 36},
                                 {188, u"20240105", 16}, {204, u"20340105", 16}, {220, u"JAMES", 22},
                                 {242, u"USA", 6}, {248, u"Y", 2}, {250, u"011", 6}});
    const scanid_record r = Decode(block);
    EXPECT_EQ(r.document, SCANID_DOC_FOREIGN_2023);
    EXPECT_STREQ(r.name_en, "HUTCHINSON-WAINWRIGHT, CHRISTOPHER JAMES");
    EXPECT_STREQ(r.name_zh, "史密斯");
    EXPECT_STREQ(r.renewal_count, "00");
    EXPECT_STREQ(r.ethnic, "") << "a renewal count is no ethnic group";
    EXPECT_STREQ(r.address, "") << "the English name is no address";
    EXPECT_STREQ(r.number, "911840197905010118");
    EXPECT_EQ(r.number_valid, 1);
    EXPECT_STREQ(r.nationality, "USA");
    EXPECT_STREQ(r.previous_number, "USA110179050116");
}

TEST(Documents, ForeignPermanentResident2023WithoutALink)
{
    const auto r = Decode(Document({{0, u"史密斯", 30}, {52, u"SMITH, JOHN WILLIAM", 70},
                                    {122, u"911840197905010118", 36}, {242, u"USA", 6}, {248, u"Y", 2}}));
    EXPECT_STREQ(r.name_en, "SMITH, JOHN WILLIAM");
    EXPECT_STREQ(r.previous_number, "");
}

TEST(Documents, HongKongMacaoTaiwanResidencePermit)
{
    const auto r = Decode(Document({{0, u"陈大文", 30}, {30, u"1", 2}, {36, u"19900315", 16},
                                    {52, u"广东省深圳市福田区福华一路88号", 70}, {122, u"810000199003150138", 36},
                                    {158, u"深圳市公安局福田分局", 30}, {188, u"20190901", 16}, {204, u"20240901", 16},
                                    {220, u"H12345678", 18}, {238, u"01", 4}, {248, u"J", 2}}));
    EXPECT_EQ(r.document, SCANID_DOC_HMT_PERMIT);
    EXPECT_STREQ(r.name_zh, "陈大文");
    EXPECT_STREQ(r.address, "广东省深圳市福田区福华一路88号");
    EXPECT_STREQ(r.number, "810000199003150138");
    EXPECT_EQ(r.number_valid, 1);
    EXPECT_STREQ(r.authority, "深圳市公安局福田分局");
    EXPECT_STREQ(r.travel_permit, "H12345678");
    EXPECT_STREQ(r.issue_count, "01");
    EXPECT_STREQ(r.ethnic_code, "");
}

TEST(Documents, SexCodesZeroAndNine)
{
    for (const auto &c : {std::make_pair(u"0", "未知的性别"), std::make_pair(u"9", "未说明的性别")}) {
        const auto r = Decode(Document({{0, u"林美玲", 30}, {30, c.first, 2}, {122, u"830000199211300245", 36},
                                        {248, u"J", 2}}));
        EXPECT_STREQ(r.sex_text, c.second);
        EXPECT_EQ(r.number_valid, 1);
    }
}

TEST(Documents, UnknownLetterIsNotDecodedAsAnIdentityCard)
{
    const auto block = Document({{0, u"SOMEBODY", 30}, {122, u"110101199001011234", 36}, {248, u"Q", 2}});
    const scanid_record r = Decode(block);
    EXPECT_EQ(r.document, SCANID_DOC_UNKNOWN);
    EXPECT_STREQ(r.type_letter, "Q");
    EXPECT_STREQ(r.name_zh, "");
    EXPECT_STREQ(r.number, "");
    EXPECT_EQ(0, memcmp(r.text_block, block.data(), 256)) << "the raw block is all there is";
}

TEST(Documents, NumberFailingItsCheckIsDecodedAndFlagged)
{
    // One digit of the 2017 sample changed; a resident number with a wrong
    // check character: the fields are given, marked as not passing.
    const auto permit = Decode(Document({{0, u"SMITH, JOHN", 120}, {122, u"USA110179050117", 30}, {248, u"I", 2}}));
    EXPECT_STREQ(permit.number, "USA110179050117");
    EXPECT_EQ(permit.number_valid, 0);
    const auto resident = Decode(Document({{0, u"张伟", 30}, {122, u"440106198503124510", 36}}));
    EXPECT_EQ(resident.document, SCANID_DOC_RESIDENT);
    EXPECT_STREQ(resident.name_zh, "张伟");
    EXPECT_EQ(resident.number_valid, 0);
    const auto hmt = Decode(Document({{122, u"840000199003150138", 36}, {248, u"J", 2}}));
    EXPECT_EQ(hmt.number_valid, 0) << "no such region prefix";
}

TEST(Documents, ResidentCardKeepsItsLayout)
{
    const auto r = Decode(Document({{0, u"阿依古丽·买买提", 30}, {30, u"2", 2}, {32, u"05", 4}, {36, u"19920708", 16},
                                    {122, u"650102199207082024", 36}, {204, u"长期", 16}}));
    EXPECT_EQ(r.document, SCANID_DOC_RESIDENT);
    EXPECT_STREQ(r.type_letter, "");
    EXPECT_STREQ(r.name_zh, "阿依古丽·买买提");
    EXPECT_STREQ(r.ethnic_code, "05");
    EXPECT_STREQ(r.ethnic, "维吾尔");
    EXPECT_STREQ(r.valid_to, "长期");
    EXPECT_EQ(r.number_valid, 1);
}

TEST(Documents, OtherKindsFillTheIdentityRecordFieldByField)
{
    idInfo rec;
    memset(&rec, 0, sizeof rec);
    FillIdInfo(&rec, Document({{0, u"SMITH, JOHN WILLIAM AND A VERY LONG FAMILY NAME", 120}, {120, u"1", 2},
                               {122, u"USA110179050116", 30}, {152, u"USA", 6}, {188, u"20200610", 16},
                               {204, u"20300610", 16}, {220, u"19790501", 16}, {236, u"01", 4}, {248, u"I", 2}})
                          .data());
    EXPECT_EQ(FIELD(rec, name), "SMITH, JOHN WILLIAM AND A VER") << "no Chinese name: the English one, cut";
    EXPECT_EQ(FIELD(rec, sex), "1");
    EXPECT_EQ(FIELD(rec, nation), "USA");
    EXPECT_EQ(FIELD(rec, birth), "19790501");
    EXPECT_EQ(FIELD(rec, cardno), "USA110179050116");
    EXPECT_EQ(FIELD(rec, address), "");
    EXPECT_EQ(FIELD(rec, authority), "");
    EXPECT_EQ(FIELD(rec, starttime), "20200610");
    EXPECT_EQ(rec.photolen, SCANID_PHOTO_BYTES);

    memset(&rec, 0, sizeof rec);
    FillIdInfo(&rec, Document({{0, u"史密斯", 30}, {30, u"1", 2}, {32, u"01", 4}, {36, u"19790501", 16},
                               {52, u"SMITH, JOHN WILLIAM", 70}, {122, u"911840197905010118", 36},
                               {242, u"USA", 6}, {248, u"Y", 2}})
                          .data());
    EXPECT_EQ(FIELD(rec, name), "史密斯");
    EXPECT_EQ(FIELD(rec, nation), "USA") << "the renewal count is no ethnic group";
    EXPECT_EQ(FIELD(rec, address), "") << "the English name is no address";
    EXPECT_EQ(FIELD(rec, cardno), "911840197905010118");
}

// The simulators' cards are made-up people with valid numbers: a read that
// flags one has lost or changed a character on the way.
TEST(Documents, EveryCatalogueCardHasAValidNumber)
{
    for (const sim::IdCard &card : sim::IdCards()) {
        std::vector<unsigned char> block(sim::kDecodedBlockBytes);
        sim::BuildDecodedBlock(card.fields, block.data());
        const scanid_record r = Decode(block);
        EXPECT_EQ(r.number_valid, 1) << r.number;
        EXPECT_NE(r.document, SCANID_DOC_UNKNOWN) << r.number;
    }
}

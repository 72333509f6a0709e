// Turns the decode server's final answer into the caller's idInfo record.
#include <cstdlib>
#include <cstring>

#include "CardMain.h"

namespace {

// Nationality names by code 1..56, without the trailing character for
// "nationality". UTF-8.
const char *const kNations[56] = {
    "汉", "蒙古", "回", "藏", "维吾尔", "苗", "彝", "壮", "布依", "朝鲜",
    "满", "侗", "瑶", "白", "土家", "哈尼", "哈萨克", "傣", "黎", "傈僳",
    "佤", "畲", "高山", "拉祜", "水", "东乡", "纳西", "景颇", "柯尔克孜", "土",
    "达斡尔", "仫佬", "羌", "布朗", "撒拉", "毛南", "仡佬", "锡伯", "阿昌", "普米",
    "塔吉克", "怒", "乌孜别克", "俄罗斯", "鄂温克", "德昂", "保安", "裕固", "京", "塔塔尔",
    "独龙", "鄂伦春", "赫哲", "门巴", "珞巴", "基诺",
};

inline unsigned short Ucs2At(const unsigned char *src, int i)
{
    return static_cast<unsigned short>(src[i] | (src[i + 1] << 8));
}

// Appends the UTF-8 form of ch at dst[*pos] if the whole character fits
// below dst[dstSize - 1]; returns false (writing nothing) when it does not.
bool AppendChar(unsigned short ch, unsigned char *dst, int dstSize, int *pos)
{
    unsigned char utf8[6];
    int n = EncUnicodeToUtf8(ch, utf8, sizeof utf8);
    if (*pos + n > dstSize - 1)
        return false;
    memcpy(dst + *pos, utf8, n);
    *pos += n;
    return true;
}

// Copies a whole-character prefix of a UTF-8 text that fits below
// dst[dstSize - 1]; returns the bytes written.
int CopyWholeChars(const char *text, unsigned char *dst, int dstSize)
{
    int len = static_cast<int>(strlen(text));
    int room = dstSize - 1;
    if (len > room) {
        len = room < 0 ? 0 : room;
        // Step back over continuation bytes so no character is split.
        while (len > 0 && (static_cast<unsigned char>(text[len]) & 0xC0) == 0x80)
            --len;
    }
    // No terminator: it is the zeroed field's last byte, never written here.
    memcpy(dst, text, len); // NOLINT(bugprone-not-null-terminated-result)
    return len;
}

} // namespace

int EncUnicodeToUtf8(unsigned short ch, unsigned char *out, int size)
{
    if (!out || size < 6)
        return 0;
    if (ch < 0x80) {
        out[0] = static_cast<unsigned char>(ch);
        return 1;
    }
    if (ch < 0x800) {
        out[0] = static_cast<unsigned char>(0xC0 | (ch >> 6));
        out[1] = static_cast<unsigned char>(0x80 | (ch & 0x3F));
        return 2;
    }
    out[0] = static_cast<unsigned char>(0xE0 | (ch >> 12));
    out[1] = static_cast<unsigned char>(0x80 | ((ch >> 6) & 0x3F));
    out[2] = static_cast<unsigned char>(0x80 | (ch & 0x3F));
    return 3;
}

// Text up to the field's first blank. Every character becomes proper UTF-8
// (U+0080..U+00FF included: the middle dot of minority names is U+00B7), and
// a text longer than the destination is cut at a whole character.
int ParesCardChiness(const unsigned char *src, int len, unsigned char *dst, int dstSize)
{
    if (!src)
        return 0;
    int run = 0;
    int pos = 0;
    bool full = !dst;
    for (int i = 0; i + 1 < len; i += 2) {
        unsigned short ch = Ucs2At(src, i);
        if (ch == 0x0020)
            break;
        run += 2;
        if (!full)
            full = !AppendChar(ch, dst, dstSize, &pos);
    }
    return run;
}

// Digit fields hold ASCII on every real card, but the end of validity may be
// a text ("long-term"); such characters are kept as UTF-8 instead of being
// cut down to their low bytes.
int ParesCardNumber(const unsigned char *src, int len, unsigned char *dst, int dstSize)
{
    if (!src || !dst)
        return 0;
    int pos = 0;
    for (int i = 0; i + 1 < len; i += 2) {
        if (!AppendChar(Ucs2At(src, i), dst, dstSize, &pos))
            break;
    }
    return pos;
}

int GetNational(int code, unsigned char *dst, int dstSize)
{
    if (code < 1 || code > 56)
        return -1;
    if (!dst)
        return 0;
    return CopyWholeChars(kNations[code - 1], dst, dstSize);
}

int GetSEX(int code, unsigned char *dst)
{
    static const char kMale[] = "男";
    static const char kFemale[] = "女";
    if (!dst || (code != 1 && code != 2))
        return 0;
    memcpy(dst, code == 1 ? kMale : kFemale, 3);
    return 3;
}

namespace {

// Another document kind in the record of the identity card: every field
// holds its own kind of data or nothing (a permit's nationality code in
// nation, the English name only where there is no Chinese one).
void FillOtherDocument(idInfo *info, const unsigned char *block)
{
    scanid_record r;
    r.size = sizeof r;
    DecodeDocument(block, &r);
    memset(info, 0, offsetof(idInfo, cardkind));
    auto put = [](char *field, size_t size, const char *text) {
        CopyWholeChars(text, reinterpret_cast<unsigned char *>(field), static_cast<int>(size));
    };
    put(info->name, sizeof info->name, r.name_zh[0] ? r.name_zh : r.name_en);
    put(info->sex, sizeof info->sex, r.sex);
    put(info->nation, sizeof info->nation, r.nationality);
    put(info->birth, sizeof info->birth, r.birth);
    put(info->address, sizeof info->address, r.address);
    put(info->cardno, sizeof info->cardno, r.number);
    put(info->authority, sizeof info->authority, r.authority);
    put(info->starttime, sizeof info->starttime, r.valid_from);
    put(info->endtime, sizeof info->endtime, r.valid_to);
    info->photolen = SCANID_PHOTO_BYTES;
    memcpy(info->photo, r.photo, SCANID_PHOTO_BYTES);
}

} // namespace

void FillIdInfo(idInfo *info, const unsigned char *block)
{
    if (!info || !block)
        return;
    if (DocumentOf(block) != SCANID_DOC_RESIDENT) {
        FillOtherDocument(info, block);
        return;
    }

    unsigned char text[kTextBlockBytes];
    memcpy(text, block, sizeof text);

    // Clear exactly what an identity-card read writes, so a reused record
    // shows nothing of the previous card; cardkind onward (and the caller's
    // cardfoundcb) stay as they are.
    memset(info, 0, offsetof(idInfo, cardkind));

    auto u8 = [](char *field) { return reinterpret_cast<unsigned char *>(field); };

    ParesCardChiness(text + 0, 30, u8(info->name), sizeof info->name);
    ParesCardNumber(text + 30, 2, u8(info->sex), sizeof info->sex);

    ParesCardNumber(text + 32, 4, u8(info->nation), sizeof info->nation);
    char digits[sizeof info->nation + 1] = {};
    memcpy(digits, info->nation, sizeof info->nation);
    int code = static_cast<int>(strtol(digits, nullptr, 10));
    unsigned char name[16] = {};
    int n = GetNational(code, name, sizeof info->nation);
    if (n > 0) {
        memset(info->nation, 0, sizeof info->nation);
        memcpy(info->nation, name, n);
    }

    ParesCardNumber(text + 36, 16, u8(info->birth), sizeof info->birth);
    ParesCardChiness(text + 52, 70, u8(info->address), sizeof info->address);
    ParesCardNumber(text + 122, 36, u8(info->cardno), sizeof info->cardno);
    ParesCardChiness(text + 158, 30, u8(info->authority), sizeof info->authority);
    ParesCardNumber(text + 188, 16, u8(info->starttime), sizeof info->starttime);
    ParesCardNumber(text + 204, 16, u8(info->endtime), sizeof info->endtime);

    info->photolen = SCANID_PHOTO_BYTES;
    memcpy(info->photo, block + kTextBlockBytes, SCANID_PHOTO_BYTES);
}

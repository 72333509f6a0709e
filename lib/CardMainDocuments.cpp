// The text block of every document kind: the layout its type letter names,
// each layout's fields, and the check on each kind's number.
#include <cstdio>
#include <cstring>

#include "CardMain.h"

namespace {

constexpr int kTypeLetterAt = 248;

inline unsigned short Unit(const unsigned char *b, int i)
{
    return static_cast<unsigned short>(b[i] | (b[i + 1] << 8));
}

// A field of len bytes as UTF-8: up to its first U+0000, trailing blanks
// trimmed, cut at a whole character to fit dst (which stays terminated).
template <size_t N>
void Text(const unsigned char *src, int len, char (&dst)[N])
{
    int end = 0;
    while (end + 1 < len && Unit(src, end) != 0)
        end += 2;
    while (end >= 2 && Unit(src, end - 2) == 0x0020)
        end -= 2;
    size_t pos = 0;
    for (int i = 0; i < end; i += 2) {
        unsigned char utf8[6];
        int n = EncUnicodeToUtf8(Unit(src, i), utf8, sizeof utf8);
        if (pos + static_cast<size_t>(n) > N - 1)
            break;
        memcpy(dst + pos, utf8, static_cast<size_t>(n));
        pos += static_cast<size_t>(n);
    }
    dst[pos] = '\0';
}

const char *SexText(const char *code)
{
    if (strcmp(code, "0") == 0)
        return "未知的性别";
    if (strcmp(code, "1") == 0)
        return "男";
    if (strcmp(code, "2") == 0)
        return "女";
    if (strcmp(code, "9") == 0)
        return "未说明的性别";
    return "";
}

bool Digits(const char *s, size_t from, size_t to)
{
    for (size_t i = from; i < to; i++)
        if (s[i] < '0' || s[i] > '9')
            return false;
    return true;
}

// ISO 7064 MOD 11-2 over 17 digits, as on the identity number.
bool Mod112(const char *n)
{
    static const int kWeights[17] = {7, 9, 10, 5, 8, 4, 2, 1, 6, 3, 7, 9, 10, 5, 8, 4, 2};
    if (strlen(n) != 18 || !Digits(n, 0, 17))
        return false;
    int sum = 0;
    for (int i = 0; i < 17; i++)
        sum += (n[i] - '0') * kWeights[i];
    return "10X98765432"[sum % 11] == n[17];
}

// The 7-3-1 check digit of the 15-character permit numbers over its first
// count characters (letters count A = 10 .. Z = 35); -1 for a bad character.
int Check731(const char *s, size_t count)
{
    static const int kWeights[3] = {7, 3, 1};
    int sum = 0;
    for (size_t i = 0; i < count; i++) {
        int v;
        if (s[i] >= '0' && s[i] <= '9')
            v = s[i] - '0';
        else if (s[i] >= 'A' && s[i] <= 'Z')
            v = s[i] - 'A' + 10;
        else
            return -1;
        sum += v * kWeights[i % 3];
    }
    return sum % 10;
}

bool ValidNumber(int document, const char *n)
{
    switch (document) {
    case SCANID_DOC_RESIDENT:
        return Mod112(n);
    case SCANID_DOC_FOREIGN_2023:
        return n[0] == '9' && Mod112(n);
    case SCANID_DOC_HMT_PERMIT:
        return (strncmp(n, "810000", 6) == 0 || strncmp(n, "820000", 6) == 0 || strncmp(n, "830000", 6) == 0) &&
               Mod112(n);
    case SCANID_DOC_FOREIGN_2017:
        return strlen(n) == 15 && n[0] >= 'A' && n[0] <= 'Z' && n[1] >= 'A' && n[1] <= 'Z' && n[2] >= 'A' &&
               n[2] <= 'Z' && Digits(n, 3, 15) && Check731(n, 14) == n[14] - '0';
    default:
        return false;
    }
}

// The 2023 card links to the 15-character number of an earlier card: its
// country code, the province digits and birth date of the new number, the
// three link characters, and a fresh check digit.
void PreviousNumber(scanid_record *r, const char *link)
{
    if (strlen(link) != 3 || strlen(r->nationality) != 3 || strlen(r->number) != 18)
        return;
    char old[16] = {};
    memcpy(old, r->nationality, 3);
    memcpy(old + 3, r->number + 1, 2);
    memcpy(old + 5, link, 2);
    memcpy(old + 7, r->number + 8, 6);
    old[13] = link[2];
    int check = Check731(old, 14);
    if (check < 0)
        return;
    old[14] = static_cast<char>('0' + check);
    memcpy(r->previous_number, old, sizeof old);
}

} // namespace

int DocumentOf(const unsigned char *block)
{
    switch (Unit(block, kTypeLetterAt)) {
    case 0x0020:
        return SCANID_DOC_RESIDENT;
    case 'I':
        return SCANID_DOC_FOREIGN_2017;
    case 'J':
        return SCANID_DOC_HMT_PERMIT;
    case 'Y':
        return SCANID_DOC_FOREIGN_2023;
    default:
        return SCANID_DOC_UNKNOWN;
    }
}

void DecodeDocument(const unsigned char *block, scanid_record *r)
{
    const unsigned int size = r->size;
    memset(r, 0, sizeof *r);
    r->size = size;
    r->document = DocumentOf(block);
    memcpy(r->text_block, block, sizeof r->text_block);
    memcpy(r->photo, block + kTextBlockBytes, sizeof r->photo);
    if (r->document != SCANID_DOC_RESIDENT)
        Text(block + kTypeLetterAt, 2, r->type_letter);
    if (r->document == SCANID_DOC_UNKNOWN)
        return;

    const unsigned char *b = block;
    switch (r->document) {
    case SCANID_DOC_RESIDENT:
    case SCANID_DOC_HMT_PERMIT:
        Text(b + 0, 30, r->name_zh);
        Text(b + 30, 2, r->sex);
        Text(b + 36, 16, r->birth);
        Text(b + 52, 70, r->address);
        Text(b + 122, 36, r->number);
        Text(b + 158, 30, r->authority);
        Text(b + 188, 16, r->valid_from);
        Text(b + 204, 16, r->valid_to);
        if (r->document == SCANID_DOC_RESIDENT) {
            Text(b + 32, 4, r->ethnic_code);
            char code[3] = {r->ethnic_code[0], r->ethnic_code[1], '\0'};
            int n = Digits(code, 0, 2) ? (code[0] - '0') * 10 + (code[1] - '0') : 0;
            GetNational(n, reinterpret_cast<unsigned char *>(r->ethnic), sizeof r->ethnic);
        } else {
            Text(b + 220, 18, r->travel_permit);
            Text(b + 238, 4, r->issue_count);
        }
        break;
    case SCANID_DOC_FOREIGN_2017:
        Text(b + 0, 120, r->name_en);
        Text(b + 120, 2, r->sex);
        Text(b + 122, 30, r->number);
        Text(b + 152, 6, r->nationality);
        Text(b + 158, 30, r->name_zh);
        Text(b + 188, 16, r->valid_from);
        Text(b + 204, 16, r->valid_to);
        Text(b + 220, 16, r->birth);
        Text(b + 236, 4, r->card_version);
        Text(b + 240, 8, r->authority_code);
        break;
    case SCANID_DOC_FOREIGN_2023: {
        Text(b + 0, 30, r->name_zh);
        Text(b + 30, 2, r->sex);
        Text(b + 32, 4, r->renewal_count);
        Text(b + 36, 16, r->birth);
        // 35 and 11 characters, joined before the end is trimmed: the 35th
        // may be a blank inside the name.
        unsigned char english[92];
        memcpy(english, b + 52, 70);
        memcpy(english + 70, b + 220, 22);
        Text(english, sizeof english, r->name_en);
        Text(b + 122, 36, r->number);
        Text(b + 188, 16, r->valid_from);
        Text(b + 204, 16, r->valid_to);
        Text(b + 242, 6, r->nationality);
        char link[4] = {};
        Text(b + 250, 6, link);
        PreviousNumber(r, link);
        break;
    }
    default:
        break;
    }
    (void)snprintf(r->sex_text, sizeof r->sex_text, "%s", SexText(r->sex)); // every text fits
    r->number_valid = ValidNumber(r->document, r->number) ? 1 : 0;
}

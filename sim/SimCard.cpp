#include "SimCard.h"

#include <cstring>



namespace sim {

std::u16string Utf8ToUcs2(const std::string &utf8)
{
    std::u16string out;
    const auto *s = reinterpret_cast<const unsigned char *>(utf8.data());
    size_t n = utf8.size();
    for (size_t i = 0; i < n;) {
        unsigned c = s[i];
        unsigned cp = 0xFFFD;
        size_t len = 1;
        auto cont = [&](size_t k) { return i + k < n && (s[i + k] & 0xC0) == 0x80; };
        if (c < 0x80) {
            cp = c;
        } else if ((c & 0xE0) == 0xC0 && cont(1)) {
            cp = ((c & 0x1F) << 6) | (s[i + 1] & 0x3F);
            len = 2;
        } else if ((c & 0xF0) == 0xE0 && cont(1) && cont(2)) {
            cp = ((c & 0x0F) << 12) | ((s[i + 1] & 0x3F) << 6) | (s[i + 2] & 0x3F);
            len = 3;
        } else if ((c & 0xF8) == 0xF0 && cont(1) && cont(2) && cont(3)) {
            len = 4; // outside UCS-2
        }
        out.push_back(static_cast<char16_t>(cp));
        i += len;
    }
    return out;
}

void PutUcs2Field(uint8_t *dst, int bytes, const std::string &utf8)
{
    std::u16string units = Utf8ToUcs2(utf8);
    for (int i = 0; i + 1 < bytes; i += 2) {
        size_t k = static_cast<size_t>(i / 2);
        char16_t ch = k < units.size() ? units[k] : u' ';
        dst[i] = static_cast<uint8_t>(ch & 0xFF);
        dst[i + 1] = static_cast<uint8_t>(ch >> 8);
    }
}

void BuildDecodedBlock(const CardFields &card, uint8_t *block)
{
    if (!card.placed.empty()) {
        PutUcs2Field(block, kTextBlockBytes, "");
        for (const PlacedField &f : card.placed)
            PutUcs2Field(block + f.offset, f.bytes, f.text);
        MakePortrait(card.photoSeed, block + kTextBlockBytes);
        return;
    }
    PutUcs2Field(block + 0, 30, card.name);
    PutUcs2Field(block + 30, 2, card.sex);
    PutUcs2Field(block + 32, 4, card.nation);
    PutUcs2Field(block + 36, 16, card.birth);
    PutUcs2Field(block + 52, 70, card.address);
    PutUcs2Field(block + 122, 36, card.cardno);
    PutUcs2Field(block + 158, 30, card.authority);
    PutUcs2Field(block + 188, 16, card.starttime);
    PutUcs2Field(block + 204, 16, card.endtime);
    PutUcs2Field(block + 220, 36, "");
    MakePortrait(card.photoSeed, block + kTextBlockBytes);
}

} // namespace sim

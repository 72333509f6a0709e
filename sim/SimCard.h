// Simulated identity cards: builds the decode server's final answer (the
// decoded block) from readable field values.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "SimPhoto.h"

namespace sim {

constexpr int kTextBlockBytes = 256;
constexpr int kDecodedBlockBytes = kTextBlockBytes + kPhotoBytes;

// A text field at its place in the block of another document kind.
struct PlacedField {
    int offset;
    int bytes;
    std::string text; // UTF-8
};

struct CardFields {
    std::string name;      // UTF-8
    std::string sex;       // "1" or "2"
    std::string nation;    // two-digit code, e.g. "01"
    std::string birth;     // YYYYMMDD
    std::string address;   // UTF-8
    std::string cardno;    // 18 characters
    std::string authority; // UTF-8
    std::string starttime; // YYYYMMDD
    std::string endtime;   // YYYYMMDD or a text such as "长期"
    uint32_t photoSeed = 0;
    // Another document kind (a foreign permanent resident card, an HMT
    // residence permit): its whole text block, type letter included, from
    // these; the resident-card fields above are then unused.
    std::vector<PlacedField> placed;
};

// UTF-8 to UCS-2 code units; characters outside the BMP and malformed
// bytes become U+FFFD.
std::u16string Utf8ToUcs2(const std::string &utf8);

// Writes text as UCS-2, low byte first, into a field of `bytes` bytes:
// padded with blanks, cut if longer.
void PutUcs2Field(uint8_t *dst, int bytes, const std::string &utf8);

// The 1280-byte decoded block: text fields at their fixed offsets, the rest
// of the text block blank, then the photo made from photoSeed.
void BuildDecodedBlock(const CardFields &card, uint8_t *block);

} // namespace sim

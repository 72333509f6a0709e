// Photos for simulated cards, in the compressed form libwlt decodes.
#pragma once

#include <cstdint>

#include "wlt.h"

namespace sim {

constexpr int kPhotoBytes = WLT_PHOTO_BYTES;
constexpr int kPhotoWidth = WLT_SOURCE_WIDTH;
constexpr int kPhotoHeight = WLT_SOURCE_HEIGHT;

// Packs a 4-bit grey image (top row first; bits above 15 are dropped) into a
// complete compressed photo, filler behind the pixels included.
void EncodePhoto(const uint8_t grey[kPhotoHeight][kPhotoWidth], uint8_t out[kPhotoBytes]);

// Draws a head-and-shoulders portrait whose features follow from `seed`,
// so different simulated people get different photos, then encodes it.
void MakePortrait(uint32_t seed, uint8_t out[kPhotoBytes]);

// Checks a compressed photo the way libwlt does and unpacks its pixels.
// Returns false, leaving `grey` untouched, if the photo would be rejected.
bool DecodePhotoPixels(const uint8_t in[kPhotoBytes], uint8_t grey[kPhotoHeight][kPhotoWidth]);

} // namespace sim

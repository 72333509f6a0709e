// The simulated cards both simulators know: identity cards by serial number
// (the module announces the serial, the decode server knows the holder), and
// the other card kinds the module reports by itself.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Protocol.h"
#include "SimCard.h"

namespace sim {

struct IdCard {
    uint8_t serial[proto::kSerialLen];
    CardFields fields;
};

// A small fixed set with realistic names and addresses: a name with a
// middle dot (U+00B7), one longer than the record's name field, several
// nationality codes, a long-term validity.
// The last four are the other document kinds, from the public sample
// values: a foreign permanent resident card of 2017 ('I') and of 2023 ('Y',
// with a long English name split 35 + 11), and residence permits of a Hong
// Kong and a Taiwan resident ('J').
const std::vector<IdCard> &IdCards();
// A document whose type letter no reader knows: the decode server answers
// it like any other, the library must not take it for an identity card.
const IdCard &UnknownDocument();
// Any of the above.
const IdCard *FindIdCard(const uint8_t *serial);

// The other kinds, each with fixed sample data.
enum class CardKind { IdCard, M1, Yct, Kind3, Kind2, IcCard };

// The frame the module sends for a non-identity card of this kind.
proto::Bytes OtherCardAnnouncement(CardKind kind);

} // namespace sim

// The JSON form of a read cycle's outcome, shared by the programs built on
// libscanid (scanid watch, scanidd): one object per result, the same keys
// everywhere.
#ifndef SCANID_TOOLS_RECORD_JSON_H
#define SCANID_TOOLS_RECORD_JSON_H

#include <cstddef>
#include <string>

#include <nlohmann/json.hpp>

#include "scanid.h"

namespace scanid_tools {

using Json = nlohmann::ordered_json;

struct TextField {
    const char *key;   // JSON key
    const char *label; // text output
    size_t offset;
    size_t size;
};

extern const TextField kTextFields[];
extern const size_t kTextFieldCount;

struct Outcome {
    int result = SCANID_ERR_INVALID;
    scanid_record rec{};
    std::string error;      // failures: the library's last event text
    std::string photoFile;  // written
    std::string photoError; // asked for, not written
};

std::string FieldText(const scanid_record &rec, const TextField &f);
std::string Hex(const unsigned char *data, size_t len);
std::string ResultName(int result);
std::string DocumentName(int document);
bool IsDocument(int result);
// A failure worth an "error" text: not a card, not just an empty reader.
bool IsFailure(int result);
// The other card's data, bounded by the record's buffer.
size_t CardDataLength(const scanid_record &rec);

Json ToJson(const Outcome &o);
// Card text is UTF-8 from the library; anything else is replaced, not fatal.
std::string Dump(const Json &j);

} // namespace scanid_tools

#endif

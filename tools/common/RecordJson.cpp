#include "RecordJson.h"

#include <cstring>

namespace scanid_tools {

#define SCANID_FIELD(name, label) {#name, label, offsetof(scanid_record, name), sizeof(scanid_record::name)}
const TextField kTextFields[] = {
    SCANID_FIELD(type_letter, "type letter"),
    SCANID_FIELD(name_zh, "name"),
    SCANID_FIELD(name_en, "English name"),
    SCANID_FIELD(sex, "sex"),
    SCANID_FIELD(sex_text, "sex (text)"),
    SCANID_FIELD(ethnic_code, "ethnic group code"),
    SCANID_FIELD(ethnic, "ethnic group"),
    SCANID_FIELD(nationality, "nationality"),
    SCANID_FIELD(birth, "birth date"),
    SCANID_FIELD(address, "address"),
    SCANID_FIELD(number, "number"),
    SCANID_FIELD(authority, "issuing authority"),
    SCANID_FIELD(valid_from, "valid from"),
    SCANID_FIELD(valid_to, "valid to"),
    SCANID_FIELD(travel_permit, "travel permit"),
    SCANID_FIELD(issue_count, "issue count"),
    SCANID_FIELD(renewal_count, "renewal count"),
    SCANID_FIELD(card_version, "card version"),
    SCANID_FIELD(authority_code, "authority code"),
    SCANID_FIELD(previous_number, "previous number"),
};
#undef SCANID_FIELD
const size_t kTextFieldCount = sizeof kTextFields / sizeof kTextFields[0];

// The library terminates every field; the bound only guards against a
// library that would not.
std::string FieldText(const scanid_record &rec, const TextField &f)
{
    const char *p = reinterpret_cast<const char *>(&rec) + f.offset;
    return std::string(p, strnlen(p, f.size));
}

std::string Hex(const unsigned char *data, size_t len)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string s;
    s.reserve(len * 2);
    for (size_t i = 0; i < len; i++) {
        s += kDigits[data[i] >> 4];
        s += kDigits[data[i] & 0x0F];
    }
    return s;
}

std::string ResultName(int result)
{
    switch (result) {
    case SCANID_IDCARD: return "idcard";
    case SCANID_OTHERCARD: return "othercard";
    case SCANID_ERR_SERVER_CONNECT: return "server_connect";
    case SCANID_ERR_SERIAL_OPEN: return "serial_open";
    case SCANID_ERR_USB_OPEN: return "usb_open";
    case SCANID_ERR_SERVER_TIMEOUT: return "server_timeout";
    case SCANID_ERR_MODULE: return "module";
    case SCANID_ERR_SERVER_DATA: return "server_data";
    case SCANID_NO_CARD: return "no_card";
    case SCANID_ERR_HEARTBEAT: return "heartbeat";
    case SCANID_CANCELLED: return "cancelled";
    case SCANID_UNKNOWN_DOCUMENT: return "unknown_document";
    case SCANID_ERR_INVALID: return "invalid";
    case SCANID_ERR_FIRST_PACKET: return "first_packet";
    default: return "result_" + std::to_string(result); // from a newer library
    }
}

std::string DocumentName(int document)
{
    switch (document) {
    case SCANID_DOC_RESIDENT: return "resident";
    case SCANID_DOC_FOREIGN_2017: return "foreign_2017";
    case SCANID_DOC_FOREIGN_2023: return "foreign_2023";
    case SCANID_DOC_HMT_PERMIT: return "hmt_permit";
    case SCANID_DOC_UNKNOWN: return "unknown";
    default: return "document_" + std::to_string(document); // from a newer library
    }
}

bool IsDocument(int result) { return result == SCANID_IDCARD || result == SCANID_UNKNOWN_DOCUMENT; }

bool IsFailure(int result)
{
    return result != SCANID_IDCARD && result != SCANID_OTHERCARD && result != SCANID_UNKNOWN_DOCUMENT &&
           result != SCANID_NO_CARD;
}

size_t CardDataLength(const scanid_record &rec)
{
    size_t len = rec.card_data_len < 0 ? 0 : static_cast<size_t>(rec.card_data_len);
    return len > sizeof rec.card_data ? sizeof rec.card_data : len;
}

Json ToJson(const Outcome &o)
{
    Json j;
    j["result"] = o.result;
    j["result_name"] = ResultName(o.result);
    const scanid_record &r = o.rec;
    j["document"] = IsDocument(o.result) && r.document != SCANID_DOC_NONE ? Json(DocumentName(r.document)) : Json();
    if (IsDocument(o.result)) {
        for (size_t i = 0; i < kTextFieldCount; i++)
            j[kTextFields[i].key] = FieldText(r, kTextFields[i]);
        j["number_valid"] = r.number_valid != 0;
        j["text_block_hex"] = Hex(r.text_block, sizeof r.text_block);
    }
    if (!o.photoFile.empty())
        j["photo_file"] = o.photoFile;
    if (!o.photoError.empty())
        j["photo_error"] = o.photoError;
    if (o.result == SCANID_OTHERCARD) {
        j["card_kind"] = r.card_kind;
        j["card_data_hex"] = Hex(r.card_data, CardDataLength(r));
    }
    if (IsFailure(o.result))
        j["error"] = o.error.empty() ? Json() : Json(o.error);
    return j;
}

std::string Dump(const Json &j) { return j.dump(-1, ' ', false, Json::error_handler_t::replace); }

} // namespace scanid_tools

// The public records as this build lays them out, for bindings that declare
// them without the header.
#include "scanid.h"

#include <cstddef>

#define SCANID_RECORD(r) {#r, nullptr, 0, sizeof(r)}
#define SCANID_FIELD(r, f) {#r, #f, offsetof(r, f), sizeof(r::f)}

namespace {

const scanid_field kLayout[] = {
    SCANID_RECORD(idInfo),
    SCANID_FIELD(idInfo, name),
    SCANID_FIELD(idInfo, sex),
    SCANID_FIELD(idInfo, nation),
    SCANID_FIELD(idInfo, birth),
    SCANID_FIELD(idInfo, address),
    SCANID_FIELD(idInfo, cardno),
    SCANID_FIELD(idInfo, authority),
    SCANID_FIELD(idInfo, starttime),
    SCANID_FIELD(idInfo, endtime),
    SCANID_FIELD(idInfo, photo),
    SCANID_FIELD(idInfo, photolen),
    SCANID_FIELD(idInfo, cardkind),
    SCANID_FIELD(idInfo, carddata),
    SCANID_FIELD(idInfo, carddatalen),
    SCANID_FIELD(idInfo, cardfoundcb),

    SCANID_RECORD(scanid_record),
    SCANID_FIELD(scanid_record, size),
    SCANID_FIELD(scanid_record, document),
    SCANID_FIELD(scanid_record, type_letter),
    SCANID_FIELD(scanid_record, name_zh),
    SCANID_FIELD(scanid_record, name_en),
    SCANID_FIELD(scanid_record, sex),
    SCANID_FIELD(scanid_record, sex_text),
    SCANID_FIELD(scanid_record, ethnic_code),
    SCANID_FIELD(scanid_record, ethnic),
    SCANID_FIELD(scanid_record, nationality),
    SCANID_FIELD(scanid_record, birth),
    SCANID_FIELD(scanid_record, address),
    SCANID_FIELD(scanid_record, number),
    SCANID_FIELD(scanid_record, authority),
    SCANID_FIELD(scanid_record, valid_from),
    SCANID_FIELD(scanid_record, valid_to),
    SCANID_FIELD(scanid_record, travel_permit),
    SCANID_FIELD(scanid_record, issue_count),
    SCANID_FIELD(scanid_record, renewal_count),
    SCANID_FIELD(scanid_record, card_version),
    SCANID_FIELD(scanid_record, authority_code),
    SCANID_FIELD(scanid_record, previous_number),
    SCANID_FIELD(scanid_record, number_valid),
    SCANID_FIELD(scanid_record, photo),
    SCANID_FIELD(scanid_record, text_block),
    SCANID_FIELD(scanid_record, card_kind),
    SCANID_FIELD(scanid_record, card_data_len),
    SCANID_FIELD(scanid_record, card_data),

    SCANID_RECORD(scanid_device),
    SCANID_FIELD(scanid_device, name),
    SCANID_FIELD(scanid_device, serial),
    SCANID_FIELD(scanid_device, bus),
    SCANID_FIELD(scanid_device, address),

    {nullptr, nullptr, 0, 0},
};

} // namespace

extern "C" SCANID_API const scanid_field *scanid_layout(void)
{
    return kLayout;
}

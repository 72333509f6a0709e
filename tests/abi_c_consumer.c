/* A plain C caller: the public header must compile as C11, the record must
 * have the same layout as the library sees it, and the exports must link. */
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include "scanid.h"

_Static_assert(offsetof(idInfo, sex) == 30, "idInfo layout");
_Static_assert(offsetof(idInfo, nation) == 32, "idInfo layout");
_Static_assert(offsetof(idInfo, birth) == 36, "idInfo layout");
_Static_assert(offsetof(idInfo, address) == 52, "idInfo layout");
_Static_assert(offsetof(idInfo, cardno) == 192, "idInfo layout");
_Static_assert(offsetof(idInfo, authority) == 228, "idInfo layout");
_Static_assert(offsetof(idInfo, starttime) == 292, "idInfo layout");
_Static_assert(offsetof(idInfo, endtime) == 308, "idInfo layout");
_Static_assert(offsetof(idInfo, photo) == 324, "idInfo layout");
_Static_assert(offsetof(idInfo, photolen) == 2372, "idInfo layout");
_Static_assert(offsetof(idInfo, cardkind) == 2376, "idInfo layout");
_Static_assert(offsetof(idInfo, carddata) == 2377, "idInfo layout");
_Static_assert(offsetof(idInfo, carddatalen) == 2428, "idInfo layout");
_Static_assert(offsetof(idInfo, cardfoundcb) == 2432, "idInfo layout");
_Static_assert(sizeof(idInfo) == 2432 + sizeof(void *), "idInfo layout");
_Static_assert(sizeof(Cardtype) == sizeof(int), "Cardtype is passed as an int");
_Static_assert(sizeof(Cardtype) == 4, "Cardtype is 32 bits");

/* The record's size per target: the hook pointer is its only
 * architecture-dependent member. */
#if defined(__arm__)
_Static_assert(sizeof(void *) == 4 && sizeof(idInfo) == 2436, "idInfo on 32-bit ARM");
#define ABI_TARGET "armhf"
#elif defined(__x86_64__) || defined(__aarch64__)
_Static_assert(sizeof(void *) == 8 && sizeof(idInfo) == 2440, "idInfo on 64-bit targets");
#define ABI_TARGET "64-bit"
#else
#define ABI_TARGET "other"
#endif

static int events;
static void on_event(int kind, void *message)
{
    (void)kind;
    (void)message;
    events++;
}

int main(void)
{
    int failures = 0;
    idInfo rec;
    memset(&rec, 0x5A, sizeof rec);

    if (SetServiceInfo(NULL, 1) != SCANID_ERR_SETTING) { puts("SetServiceInfo(NULL)"); failures++; }
    if (SetServiceInfo("127.0.0.1", 19904) != 0) { puts("SetServiceInfo"); failures++; }
    if (SetComInfo(NULL, 115200) != -101) { puts("SetComInfo(NULL)"); failures++; }
    CARD_SetReadInfoCB(on_event);
    if (ReadIDCardLib(&rec, (Cardtype)2) != SCANID_ERR_INVALID) { puts("ReadIDCardLib(2)"); failures++; }
    if (events != 0) { puts("events for an invalid transport"); failures++; }
    if (rec.photolen != 0x5A5A5A5A) { puts("record touched"); failures++; }
    if (g_OnecOpen != 0) { puts("g_OnecOpen"); failures++; }
    if (SCANID_CANCELLED != 12) { puts("SCANID_CANCELLED"); failures++; }
    /* The header and the library loaded agree, and the version text says the same. */
    if (GetScanIdVersion() != SCANID_VERSION) { puts("GetScanIdVersion"); failures++; }
    {
        char want[32];
        snprintf(want, sizeof want, "%d.%d.%d", SCANID_VERSION_MAJOR, SCANID_VERSION_MINOR, SCANID_VERSION_MICRO);
        if (strcmp(GetScanIdVersionString(), want) != 0) { puts("GetScanIdVersionString"); failures++; }
    }
    {
        scanid_record ex;
        memset(&ex, 0x5A, sizeof ex);
        ex.size = 8; /* smaller than any version of the record */
        if (ReadIDCardEx(&ex, CARDTYPE_USB) != SCANID_ERR_INVALID || ex.document != 0x5A5A5A5A) {
            puts("ReadIDCardEx with a short size");
            failures++;
        }
        if (ReadIDCardEx(NULL, CARDTYPE_USB) != SCANID_ERR_INVALID) { puts("ReadIDCardEx(NULL)"); failures++; }
    }
    /* No cycle runs: nothing to end, and nothing remembered for the next. */
    if (CancelReadIDCard() != 0) { puts("CancelReadIDCard without a cycle"); failures++; }
    if (ReadIDCardLib(&rec, (Cardtype)2) != SCANID_ERR_INVALID) { puts("ReadIDCardLib(2) after a cancel"); failures++; }

    {
        /* The library's layout table agrees with this header on each record's
         * size and on the last field of each, and every field lies inside. */
        static const struct { const char *record, *last; size_t size, last_offset; } want[] = {
            {"idInfo", "cardfoundcb", sizeof(idInfo), offsetof(idInfo, cardfoundcb)},
            {"scanid_record", "card_data", sizeof(scanid_record), offsetof(scanid_record, card_data)},
            {"scanid_device", "address", sizeof(scanid_device), offsetof(scanid_device, address)},
        };
        const scanid_field *f = scanid_layout();
        size_t seen = 0, i;
        for (i = 0; i < sizeof want / sizeof want[0]; i++) {
            const scanid_field *last = NULL;
            if (!f->record || strcmp(f->record, want[i].record) != 0 || f->field || f->size != want[i].size) {
                printf("layout: %s not where expected\n", want[i].record);
                failures++;
                break;
            }
            for (f++; f->record && f->field; f++) {
                if (f->offset + f->size > want[i].size) { printf("layout: %s.%s outside\n", f->record, f->field); failures++; }
                last = f;
            }
            if (!last || strcmp(last->field, want[i].last) != 0 || last->offset != want[i].last_offset) {
                printf("layout: %s ends elsewhere\n", want[i].record);
                failures++;
            }
            seen++;
        }
        if (seen == 3 && f->record) { puts("layout: more records than known"); failures++; }
    }
    printf("idInfo on %s: %u bytes, photolen at %u, cardfoundcb at %u\n", ABI_TARGET, (unsigned)sizeof(idInfo),
           (unsigned)offsetof(idInfo, photolen), (unsigned)offsetof(idInfo, cardfoundcb));
    if (failures)
        printf("abi_c_consumer: %d checks failed\n", failures);
    else
        puts("abi_c_consumer: all checks passed");
    return failures != 0;
}

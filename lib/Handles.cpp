// Reader handles: each a reader object of its own with its own context,
// exported as the interface 1.3 calls.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "CardMain.h"
#include "Public.h"
#include "Reader.h"

struct scanid_reader {
    CardMain main;
    ReaderContext context;
    int transport = CARDTYPE_USB;
    char name[SCANID_MAX_READER_NAME] = {};
    // One cycle at a time: a second caller is turned away, not queued.
    std::atomic<bool> busy{false};
};

namespace {

// Decimal number of the whole text, within 1..max; false otherwise.
bool ParseNumber(const char *text, size_t len, long max, long *out)
{
    if (len == 0 || len > 10)
        return false;
    long v = 0;
    for (size_t i = 0; i < len; i++) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        v = v * 10 + (text[i] - '0');
    }
    if (v < 1 || v > max)
        return false;
    *out = v;
    return true;
}

// "B-P.P...": bus, then one to seven ports, every number 1..255.
bool ParseUsbPort(const char *text, UsbPort *port)
{
    const char *dash = strchr(text, '-');
    long v = 0;
    if (!dash || !ParseNumber(text, static_cast<size_t>(dash - text), 255, &v))
        return false;
    port->bus = static_cast<int>(v);
    port->depth = 0;
    for (const char *p = dash + 1;;) {
        const char *end = strchr(p, '.');
        size_t len = end ? static_cast<size_t>(end - p) : strlen(p);
        if (port->depth == UsbPort::kMaxDepth || !ParseNumber(p, len, 255, &v))
            return false;
        port->ports[port->depth++] = static_cast<uint8_t>(v);
        if (!end)
            return true;
        p = end + 1;
    }
}

int ParseName(scanid_reader *r, const char *name)
{
    if (strnlen(name, SCANID_MAX_READER_NAME) >= SCANID_MAX_READER_NAME)
        return SCANID_ERR_NAME;
    if (strcmp(name, "usb") == 0) {
        r->transport = CARDTYPE_USB;
        (void)snprintf(r->name, sizeof r->name, "usb");
        return 0;
    }
    if (strncmp(name, "usb:", 4) == 0) {
        if (!ParseUsbPort(name + 4, &r->context.usb))
            return SCANID_ERR_NAME;
        r->transport = CARDTYPE_USB;
        const UsbPort &p = r->context.usb;
        return FormatUsbName(r->name, sizeof r->name, p.bus, p.ports, p.depth) ? 0 : SCANID_ERR_NAME;
    }
    if (strncmp(name, "serial:", 7) == 0) {
        const char *path = name + 7;
        const char *at = strrchr(path, '@');
        long baud = 0;
        if (!at || at == path || !ParseNumber(at + 1, strlen(at + 1), INT_MAX, &baud))
            return SCANID_ERR_NAME;
        char device[SCANID_MAX_DEVICE_PATH + 1] = {};
        size_t len = static_cast<size_t>(at - path);
        if (len > SCANID_MAX_DEVICE_PATH)
            return SCANID_ERR_NAME;
        memcpy(device, path, len);
        if (r->main.setComInfo(device, static_cast<int>(baud)) != 0)
            return SCANID_ERR_NAME;
        r->transport = CARDTYPE_SERIAL;
        (void)snprintf(r->name, sizeof r->name, "serial:%s@%ld", device, baud);
        return 0;
    }
    return SCANID_ERR_NAME;
}

// Claims the handle for one cycle: false when another thread holds it.
bool Claim(scanid_reader *r)
{
    return !r->busy.exchange(true, std::memory_order_acquire);
}

void Unclaim(scanid_reader *r)
{
    r->busy.store(false, std::memory_order_release);
}

// Runs one cycle or wait on the handle, on the calling thread, if no other
// thread runs one.
template <typename Run> int OnHandle(scanid_reader *r, Run run)
{
    if (!Claim(r))
        return SCANID_ERR_BUSY;
    int code;
    {
        ReaderScope scope(r->context);
        code = run();
    }
    Unclaim(r);
    return code;
}

// What a read found, for scanid_wait_removal().
void Remember(scanid_reader *r, int code, int cardKind, const unsigned char *data, int len)
{
    SeenCard &seen = r->context.seen;
    seen = SeenCard{};
    if (code == SCANID_IDCARD || code == SCANID_UNKNOWN_DOCUMENT) {
        seen.kind = SeenCard::kIdentity;
    } else if (code == SCANID_OTHERCARD) {
        seen.kind = r->transport == CARDTYPE_SERIAL ? (SeenCard::kSerialIc | cardKind) : cardKind;
        seen.len = len < 0 ? 0 : (len > static_cast<int>(sizeof seen.data) ? static_cast<int>(sizeof seen.data) : len);
        memcpy(seen.data, data, static_cast<size_t>(seen.len));
    }
}

} // namespace

extern "C" {

SCANID_API int scanid_open(const char *name, scanid_reader **reader)
{
    if (!reader)
        return SCANID_ERR_ARGUMENT;
    *reader = nullptr;
    auto *r = new (std::nothrow) scanid_reader;
    if (!r)
        return SCANID_ERR_RESOURCE;
    if (!r->context.wake.Ok()) {
        delete r;
        return SCANID_ERR_RESOURCE;
    }
    r->context.handle = r;
    int rc = ParseName(r, name ? name : "usb");
    if (rc != 0) {
        delete r;
        return rc;
    }
    *reader = r;
    return 0;
}

SCANID_API void scanid_close(scanid_reader *reader)
{
    if (!reader)
        return;
    // Whatever the links still print on the way out is the handle's.
    ReaderScope scope(reader->context);
    delete reader;
}

SCANID_API const char *scanid_reader_name(const scanid_reader *reader)
{
    return reader ? reader->name : "";
}

SCANID_API int scanid_set_server(scanid_reader *reader, const char *address, int port)
{
    if (!reader)
        return SCANID_ERR_ARGUMENT;
    return reader->main.setServiceinfo(address, port);
}

SCANID_API int scanid_set_standby(scanid_reader *reader, const char *host, int port)
{
    if (!reader)
        return SCANID_ERR_ARGUMENT;
    ReaderContext &c = reader->context;
    if (!host) {
        c.standbyHost[0] = '\0';
        return 0;
    }
    size_t len = strnlen(host, sizeof c.standbyHost);
    if (len >= sizeof c.standbyHost)
        return SCANID_ERR_SETTING;
    memcpy(c.standbyHost, host, len + 1);
    c.standbyPort = port;
    return 0;
}

SCANID_API void scanid_set_event_cb(scanid_reader *reader, scanid_event_cb callback, void *user)
{
    if (!reader)
        return;
    reader->context.event = callback;
    reader->context.eventUser = user;
}

SCANID_API void scanid_set_console_cb(scanid_reader *reader, scanid_console_cb callback, void *user)
{
    ReaderContext &c = reader ? reader->context : DefaultReader();
    c.console = callback;
    c.consoleUser = user;
}

SCANID_API int scanid_read(scanid_reader *reader, idInfo *info)
{
    if (!reader || !info)
        return SCANID_ERR_ARGUMENT;
    return OnHandle(reader, [&] {
        int code = reader->main.IScanIdInfo(info, reader->transport);
        Remember(reader, code, info->cardkind, info->carddata, info->carddatalen);
        return code;
    });
}

SCANID_API int scanid_read_ex(scanid_reader *reader, scanid_record *record)
{
    if (!reader)
        return SCANID_ERR_ARGUMENT;
    if (!record || record->size < sizeof(scanid_record))
        return SCANID_ERR_INVALID;
    return OnHandle(reader, [&] {
        int code = reader->main.ScanRecord(record, reader->transport);
        Remember(reader, code, record->card_kind, record->card_data, record->card_data_len);
        return code;
    });
}

// Async-signal-safe: an atomic exchange and a write() to an eventfd.
SCANID_API int scanid_cancel(scanid_reader *reader)
{
    return reader && reader->context.Cancel() ? 1 : 0;
}

SCANID_API int scanid_wait_removal(scanid_reader *reader, int timeout_ms)
{
    if (!reader || timeout_ms < -1)
        return SCANID_ERR_ARGUMENT;
    return OnHandle(reader, [&] {
        int code = reader->main.WaitRemoval(reader->transport, timeout_ms, reader->context.seen);
        // Gone is gone: a later wait waits for whatever card comes.
        if (code == SCANID_CARD_REMOVED)
            reader->context.seen = SeenCard{};
        return code;
    });
}

} // extern "C"

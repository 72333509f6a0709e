#include "CardMain.h"
#include "Public.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

// Copies a setting into its fixed field. Texts that do not fit are refused
// rather than cut: a cut address or device path would silently name
// something else.
int StoreSetting(char *field, size_t fieldSize, const char *text)
{
    if (!text)
        return SCANID_ERR_SETTING;
    size_t len = strnlen(text, fieldSize);
    if (len >= fieldSize)
        return SCANID_ERR_SETTING;
    memset(field, 0, fieldSize);
    memcpy(field, text, len);
    return 0;
}

} // namespace

CardMain::CardMain() noexcept
    : m_pReadInfoCB(nullptr), m_iCardKind(0), m_iReadCount(0), m_szServerIp{}, m_iServerPort(0),
      m_szComPath{}, m_iBaudRate(0), m_cardType(0), m_record(nullptr)
{
}

// Members are destroyed in reverse order: server connection, serial link,
// then the USB link, each closing what it still holds.
CardMain::~CardMain() = default;

void CardMain::IDCARD_SetReadInfoCB(ReadInfoCallback callback)
{
    if (callback)
        m_pReadInfoCB = callback;
}

int CardMain::setServiceinfo(const char *address, int port)
{
    int ret = StoreSetting(m_szServerIp, sizeof m_szServerIp, address);
    if (ret == 0)
        m_iServerPort = port;
    return ret;
}

int CardMain::setComInfo(const char *path, int baud)
{
    int ret = StoreSetting(m_szComPath, sizeof m_szComPath, path);
    if (ret == 0)
        m_iBaudRate = baud;
    return ret;
}

void CardMain::Emit(int kind, char *text)
{
    if (m_pReadInfoCB) {
        m_pReadInfoCB(kind, text);
        return;
    }
    const ReaderContext &reader = CurrentReader();
    if (reader.event)
        reader.event(reader.handle, kind, text, reader.eventUser);
}

void CardMain::Report(int kind, const char *text)
{
    if (!m_pReadInfoCB && !CurrentReader().event)
        return;
    // The callback gets a writable copy: it is handed a void* and must not be
    // able to scribble over the library's constant texts.
    char buf[kEventTextSize];
    (void)snprintf(buf, sizeof buf, "%s", text); // cut to the event buffer on purpose
    Emit(kind, buf);
}

// Varargs with a printf format attribute: the compiler checks every call.
void CardMain::ReportF(int kind, const char *format, ...) // NOLINT(cert-dcl50-cpp)
{
    if (!m_pReadInfoCB && !CurrentReader().event)
        return;
    char buf[kEventTextSize];
    va_list ap;
    va_start(ap, format);
    (void)vsnprintf(buf, sizeof buf, format, ap); // cut to the event buffer on purpose
    va_end(ap);
    Emit(kind, buf);
}

int CardMain::IScanIdInfo(idInfo *info, int type)
{
    m_iReadCount = 0;
    m_cardType = type;
    if (type != CARDTYPE_USB && type != CARDTYPE_SERIAL)
        return SCANID_ERR_INVALID;
    CycleBegin();
    int code = type == CARDTYPE_USB ? UsbReadCycle(info) : SerialReadCycle(info);
    CycleEnd();
    return code;
}

int CardMain::ScanRecord(scanid_record *record, int type)
{
    memset(reinterpret_cast<unsigned char *>(record) + sizeof record->size, 0,
           sizeof(scanid_record) - sizeof record->size);
    // The cycles fill an idInfo as well; other cards come from it.
    idInfo scratch;
    memset(&scratch, 0, sizeof scratch);
    m_record = record;
    int code = IScanIdInfo(&scratch, type);
    m_record = nullptr;
    if (code == SCANID_OTHERCARD) {
        record->card_kind = scratch.cardkind;
        record->card_data_len = scratch.carddatalen;
        memcpy(record->card_data, scratch.carddata, sizeof scratch.carddata);
    }
    return code;
}

int CardMain::Deliver(idInfo *info, const unsigned char *block)
{
    if (m_record)
        DecodeDocument(block, m_record);
    // Never read as an identity card: its fields would be another layout's.
    // For the idInfo call the answer is as unusable as any other it cannot
    // decode; only the extended record can carry the raw block.
    if (DocumentOf(block) == SCANID_DOC_UNKNOWN) {
        Report(SCANID_EVENT_PROGRESS, "unknown document kind");
        return ScanIdCompleted(m_record ? SCANID_UNKNOWN_DOCUMENT : SCANID_ERR_SERVER_DATA);
    }
    FillIdInfo(info, block);
    return ScanIdCompleted(SCANID_IDCARD);
}

int CardMain::ScanIdCompleted(int code)
{
    // The cycles look at a cancel after every wait; a failure that still
    // comes out of a cancelled wait is the cancel's doing.
    if (code != SCANID_IDCARD && code != SCANID_OTHERCARD && code != SCANID_UNKNOWN_DOCUMENT && CycleCancelled())
        code = SCANID_CANCELLED;
    if (code == SCANID_CANCELLED)
        Report(SCANID_EVENT_PROGRESS, "read cancelled");
    if (m_serial.iSerialFd >= 0) {
        Report(SCANID_EVENT_PROGRESS, "disconnect serial");
        m_serial.Close_port(m_serial.iSerialFd);
    } else if (m_usb.Release()) {
        Report(SCANID_EVENT_PROGRESS, "disconnect usb");
    }
    m_socket.DisconnectServer();
    return code;
}

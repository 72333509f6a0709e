// Waiting for a card to be taken away: the module's side of a cycle only.
// A module repeats its notice while a card lies on it (over USB by itself,
// over serial once per link check); a card counts as gone once the notices
// have stopped for SCANID_REMOVAL_QUIET_MS, or another card's notice came.
#include <cstring>

#include "CardMain.h"
#include "Public.h"

namespace {

constexpr uint32_t kQuietMs = SCANID_REMOVAL_QUIET_MS;
// A failed USB read comes back at once (an unplugged module): not again
// sooner than this, so that the wait does not spin.
constexpr uint32_t kFailedReadPauseUs = 20 * 1000;
// Serial: link checks no closer together than this, and how long the
// notice that follows one may take.
constexpr uint32_t kSerialPassPauseUs = 100 * 1000;
constexpr int kSerialNoticeAttempts = 300;
constexpr int kNoticeBytes = 26;

bool TimeUp(uint32_t start, int timeoutMs)
{
    return timeoutMs >= 0 && TickElapsed(start, GetTickCount()) >= static_cast<uint32_t>(timeoutMs);
}

// Another card than the one seen: a card is the same when its kind is, and
// for the other card kinds when its data is too.
bool IsOtherCard(const SeenCard &seen, int kind, const unsigned char *data, int len)
{
    if (seen.kind == 0)
        return false;
    if (kind != seen.kind)
        return true;
    if (kind == SeenCard::kIdentity)
        return false;
    return len != seen.len || memcmp(data, seen.data, static_cast<size_t>(len)) != 0;
}

} // namespace

int CardMain::WaitRemoval(int type, int timeoutMs, const SeenCard &seen)
{
    m_cardType = type;
    if (type != CARDTYPE_USB && type != CARDTYPE_SERIAL)
        return SCANID_ERR_INVALID;
    CycleBegin();
    int code = type == CARDTYPE_USB ? UsbRemoval(timeoutMs, seen) : SerialRemoval(timeoutMs, seen);
    CycleEnd();
    return code;
}

int CardMain::UsbRemoval(int timeoutMs, const SeenCard &seen)
{
    if (int ended = UsbOpen())
        return ended;

    const uint32_t start = GetTickCount();
    uint32_t lastSeen = start;
    unsigned char frame[kModuleFrameBytes];
    for (;;) {
        uint32_t quiet = TickElapsed(lastSeen, GetTickCount());
        if (quiet >= kQuietMs)
            return ScanIdCompleted(SCANID_CARD_REMOVED);
        if (TimeUp(start, timeoutMs))
            return ScanIdCompleted(SCANID_CARD_PRESENT);
        int n = m_usb.ReadUsb(frame, static_cast<int>(kQuietMs - quiet));
        if (CycleCancelled())
            return Cancelled();
        int kind = ClassifyCardFrame(frame, n);
        if (kind == 0) {
            if (n <= 0 && !PauseCancellable(kFailedReadPauseUs))
                return Cancelled();
            continue;
        }
        if (IsOtherCard(seen, kind, frame, n))
            return ScanIdCompleted(SCANID_CARD_REMOVED);
        lastSeen = GetTickCount();
    }
}

int CardMain::SerialRemoval(int timeoutMs, const SeenCard &seen)
{
    if (int ended = SerialOpen())
        return ended;

    const uint32_t start = GetTickCount();
    uint32_t lastSeen = start;
    const int fd = m_serial.iSerialFd;
    unsigned char frame[kSerialModuleBytes];
    for (bool first = true;; first = false) {
        int beat = heartbeat(CARDTYPE_SERIAL);
        if (CycleCancelled())
            return Cancelled();
        if (beat != 1) {
            Report(SCANID_EVENT_HEARTBEAT, "NOT Detect the heart");
            return ScanIdCompleted(SCANID_ERR_HEARTBEAT);
        }
        if (first)
            Report(SCANID_EVENT_HEARTBEAT, "Detect the heart");

        memset(frame, 0, sizeof frame);
        int count = 0;
        m_serial.readserial(fd, frame, kNoticeBytes, &count, kSerialNoticeAttempts);
        if (CycleCancelled())
            return Cancelled();
        unsigned char icKind = 0;
        unsigned char icData[kIcDataBytes] = {};
        int copied = 0;
        bool card = false;
        if (count == kNoticeBytes && frame[0] == 0xAA) {
            card = true;
            if (IsOtherCard(seen, SeenCard::kIdentity, frame, count))
                return ScanIdCompleted(SCANID_CARD_REMOVED);
        } else if (count > 0 && ICCard(frame, &icKind, count, icData, &copied)) {
            card = true;
            if (IsOtherCard(seen, SeenCard::kSerialIc | icKind, icData, copied))
                return ScanIdCompleted(SCANID_CARD_REMOVED);
        }
        if (card)
            lastSeen = GetTickCount();
        else if (TickElapsed(lastSeen, GetTickCount()) >= kQuietMs)
            return ScanIdCompleted(SCANID_CARD_REMOVED);
        if (TimeUp(start, timeoutMs))
            return ScanIdCompleted(SCANID_CARD_PRESENT);
        if (!PauseCancellable(kSerialPassPauseUs))
            return Cancelled();
    }
}

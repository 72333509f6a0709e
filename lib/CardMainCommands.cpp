// Commands the library itself makes sense of: link check, card detection,
// IC-card answers and the module self check.
#include <cstdio>
#include <cstring>

#include "CardMain.h"
#include "Public.h"
#include "Reader.h"

namespace {

const unsigned char kLinkCheck[6] = {0xAA, 0x00, 0x03, 0x00, 0x00, 0x03};
const unsigned char kHwRestart[6] = {0xAA, 0x00, 0x03, 0xF0, 0x00, 0xF3};

constexpr int kHeartbeatAnswerBytes = 8;
constexpr int kHeartbeatSerialLimit = 500;
constexpr int kHeartbeatUsbTries = 3;
constexpr int kHeartbeatUsbTimeout = 50;
constexpr int kCardWaitTimeout = 10000;
constexpr int kIcHeaderBytes = 8;

} // namespace

int ClassifyCardFrame(const unsigned char *frame, int length)
{
    if (length < 1 || frame[0] != 0xAA)
        return 0;
    if (length == 26 && frame[2] == 0x17 && frame[3] == 0x01)
        return 5;
    if (length == 12 && frame[3] == 0x03 && frame[4] == 0x01)
        return 1;
    if (length == 41 && frame[3] == 0x03 && frame[4] == 0x02)
        return 4;
    if (length == 39 && frame[3] == 0x03 && frame[4] == 0x03)
        return 3;
    if (length == 25 && frame[3] == 0x03 && frame[4] == 0x04)
        return 2;
    return 0;
}

int GetICCard(const unsigned char *frame, int frameLen, unsigned char *kind, unsigned char *data)
{
    *kind = frame[6];
    // The answer announces its own data length; the data area and the bytes
    // actually received bound what is taken.
    int n = frame[7];
    if (n > kIcDataBytes)
        n = kIcDataBytes;
    if (n > frameLen - kIcHeaderBytes)
        n = frameLen - kIcHeaderBytes;
    memcpy(data, frame + kIcHeaderBytes, n);
    return n;
}

int CardMain::heartbeat(int type)
{
    if (!PauseCancellable(1000))
        return 0;
    if (type == CARDTYPE_SERIAL) {
        int fd = m_serial.iSerialFd;
        m_serial.WriteSerial(fd, kLinkCheck, sizeof kLinkCheck);
        unsigned char answer[kHeartbeatAnswerBytes] = {};
        return m_serial.ReadSerial(fd, answer, sizeof answer, kHeartbeatSerialLimit) > 0 ? 1 : 0;
    }
    if (type == CARDTYPE_USB) {
        unsigned char answer[kModuleFrameBytes];
        for (int i = 0; i < kHeartbeatUsbTries; i++) {
            if (m_usb.WriteUsb(kLinkCheck, sizeof kLinkCheck) < 0) {
                m_usb.Resetep();
                ConsolePuts("Failed to write data.Enabling read/write reset");
            }
            memset(answer, 0, sizeof answer);
            if (m_usb.ReadUsb(answer, kHeartbeatUsbTimeout) > 0)
                return 1;
            if (CycleCancelled())
                return 0;
        }
    }
    return 0;
}

int CardMain::HasCard(unsigned char *buffer, int &length, unsigned char *, int &)
{
    length = m_usb.ReadUsb(buffer, kCardWaitTimeout);
    return ClassifyCardFrame(buffer, length);
}

unsigned char CardMain::ICCard(const unsigned char *frame, unsigned char *kind, int frameLen,
                               unsigned char *data, int *copied)
{
    // A frame too short to hold its kind and length bytes is no IC card,
    // whatever its first bytes say.
    if (frameLen < kIcHeaderBytes || frame[0] != 0xAA || frame[3] != 0x03)
        return 0;
    int n = GetICCard(frame, frameLen, kind, data);
    if (copied)
        *copied = n;
    return 1;
}

void CardMain::self_check()
{
    PauseUs(1000);
    if (m_usb.WriteUsb(kLinkCheck, sizeof kLinkCheck) < 0) {
        m_usb.Resetep();
        LOG_Str("Failed to write data", "Enabling read/write reset");
    }
    PauseUs(1000);
    unsigned char answer[kModuleFrameBytes] = {};
    if (m_usb.ReadUsb(answer, 2000) > 0) {
        ConsolePuts("Data detected successfully");
        return;
    }
    m_usb.WriteUsb(kHwRestart, sizeof kHwRestart);
    unsigned char again[kModuleFrameBytes] = {};
    if (m_usb.ReadUsb(again, 1000) < 0)
        LOG_Str("Failed to detect data", "Hardware restart failed");
}

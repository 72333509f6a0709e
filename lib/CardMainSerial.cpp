// The serial read cycle: wait for a card, read IC cards directly, and carry an
// identity card through the fixed packet script between module and server.
#include <cstring>

#include "CardMain.h"
#include "Public.h"

namespace {

constexpr uint32_t kCardWaitLimitMs = 3000;
constexpr int kNoticeBytes = 26;
constexpr int kConnectTimeoutSec = 2;
constexpr int kFirstAnswerCeiling = 500;
constexpr int kPacket3Ceiling = 120;
constexpr int kPacket5Ceiling = 500;
constexpr int kFinalCeiling = 1500;
// The pause after a receive attempt without a packet.
constexpr uint32_t kFirstAnswerPauseUs = 2000;
constexpr uint32_t kServerPauseUs = 1000;
constexpr int kStepPacketBytes = 21;
constexpr int kGoOnBytes = 7;
constexpr int kCachedAnswerMin = 1001;

const unsigned char kReadStart[7] = {0xAA, 0x00, 0x04, 0x01, 0x00, 0x00, 0x05};

bool ExchangeHeader(const unsigned char *p) { return p[0] == 0xAA && p[3] == 0x10; }

// Packets 6 to 16, which the module sends unasked after packet 5.
struct TailPacket {
    bool attemptsOnly; // read with readserial (attempts) rather than ReadSerial (time)
    int length;
    int limit;
    bool status90;     // byte 5 must be 0x90
    int pauseUs;       // after forwarding
    const char *lengthError;
    const char *lengthTag;
    const char *headerTag;
};

const TailPacket kTail[] = {
    {false, 8, 180, true, 10, " recv 6 packet data error for MCU", "6 packet fail for MCU", "6 packet is failure"},
    {false, 222, 200, false, 0, " recv 7 packet data error for MCU", "7 packet fail for MCU", "7 packet is failure"},
    {true, 8, 10, false, 100, " recv 8 packet data error for MCU", "8 packet fail for MCU", "8 packet is failure"},
    {false, 254, 200, false, 0, " recv 9 packet data error for MCU", "9 packet fail for MCU", "9 packet is failure"},
    {true, 18, 200, false, 100, " recv 10 packet data error for MCU", "A packet fail for MCU", "A packet is failure"},
    {false, 8, 200, false, 0, " recv 11 packet data error for MCU", "B packet fail for MCU", "B packet is failure"},
    {false, 254, 200, false, 0, " recv 12 packet data error for MCU", "C packet fail for MCU", "C packet is failure"},
    {false, 254, 200, false, 200, " recv 13 packet data error for MCU", "D packet fail for MCU", "D packet is failure"},
    {false, 254, 300, false, 100, " recv 14 packet data error for MCU", "E packet fail for MCU", "E packet is failure"},
    {false, 254, 300, false, 100, " recv 15 packet data error for MCU", "F packet fail for MCU", "F packet is failure"},
    {false, 48, 100, false, 1000, " recv 16 packet data error for MCU", "Last packet fail for MCU", "Last packet is failure"},
};

} // namespace

int CardMain::SerialOpen()
{
    if (m_serial.ConnectSerial(m_szComPath, m_iBaudRate) < 0) {
        Report(SCANID_EVENT_PROGRESS, "serial connect err");
        m_serial.DisConnectSerial();
        if (!PauseCancellable(1000 * 1000))
            return Cancelled();
        return SCANID_ERR_SERIAL_OPEN;
    }
    Report(SCANID_EVENT_PROGRESS, "serial connect successed");
    if (!PauseCancellable(50 * 1000))
        return Cancelled();
    return 0;
}

int CardMain::SerialReadCycle(idInfo *info)
{
    if (int ended = SerialOpen())
        return ended;
    int beat = heartbeat(m_cardType);
    if (CycleCancelled())
        return Cancelled();
    if (beat == 1)
        Report(SCANID_EVENT_HEARTBEAT, "Detect the heart");
    else
        Report(SCANID_EVENT_HEARTBEAT, "NOT Detect the heart");
    uint32_t start = GetTickCount();

    int fd = m_serial.iSerialFd;
    unsigned char moduleBuf[kSerialModuleBytes];
    unsigned char serverBuf[kServerBufferBytes];
    int retry = 0;
    for (;;) {
        memset(moduleBuf, 0, sizeof moduleBuf);
        memset(serverBuf, 0, sizeof serverBuf);
        unsigned char icKind = 0;
        unsigned char icData[kIcDataBytes] = {};
        retry = 0;
        m_iReadCount++;
        if (!PauseCancellable(1000))
            return Cancelled();

        int count = 0;
        m_serial.readserial(fd, moduleBuf, kNoticeBytes, &count, 1000);
        if (CycleCancelled())
            return Cancelled();
        if (count == kNoticeBytes && moduleBuf[0] == 0xAA)
            break;
        int copied = 0;
        if (count != kNoticeBytes && ICCard(moduleBuf, &icKind, count, icData, &copied)) {
            info->cardkind = icKind;
            memcpy(info->carddata, icData, sizeof icData);
            info->carddatalen = copied;
            Report(SCANID_EVENT_PROGRESS, "read ICCard successful");
            return ScanIdCompleted(SCANID_OTHERCARD);
        }
        if (TickElapsed(start, GetTickCount()) > kCardWaitLimitMs)
            return ScanIdCompleted(SCANID_NO_CARD);
    }

    if (info->cardfoundcb)
        info->cardfoundcb(1, nullptr);
    Report(SCANID_EVENT_CARD, "find ID card");
    if (m_socket.unblock_connect(m_szServerIp, m_iServerPort, kConnectTimeoutSec) < 0) {
        if (CycleCancelled())
            return Cancelled();
        Report(SCANID_EVENT_PROGRESS, "connect server failed");
        LOG_Str("connect server failed", "");
        return ScanIdCompleted(SCANID_ERR_SERVER_CONNECT);
    }
    ReportF(SCANID_EVENT_PROGRESS, "Connect server: %s,port: %d  success", m_szServerIp, m_iServerPort);
    LOG_Str("connect server successed", "");

    m_socket.SendBytestoServer(moduleBuf, kNoticeBytes);
    int n = AwaitServer(serverBuf, kFirstAnswerCeiling, kFirstAnswerPauseUs, false, retry);
    if (CycleCancelled())
        return Cancelled();
    if (n <= 0) {
        LOG_Str("timeout", "from server");
        Report(SCANID_EVENT_PROGRESS, "0 packet timeoutfrom server");
        return ScanIdCompleted(SCANID_ERR_FIRST_PACKET);
    }
    if (n >= kCachedAnswerMin) {
        // The server held this card's data and answered at once.
        if (CompleteFinalAnswer(serverBuf, n) < kFinalAnswerFull) {
            if (CycleCancelled())
                return Cancelled();
            Report(SCANID_EVENT_PROGRESS, "recv len is not match from server");
            return ScanIdCompleted(SCANID_ERR_SERVER_DATA);
        }
        Report(SCANID_EVENT_PROGRESS, "read card cache successful");
        LOG_Str("[TCP->USB rec last package is ok]", "read card cache successful\r\n");
        return Deliver(info, serverBuf + kAnswerBlockOffset);
    }
    if (n != kGoOnBytes) {
        Report(SCANID_EVENT_PROGRESS, "recv len is not match from server");
        return ScanIdCompleted(SCANID_ERR_SERVER_DATA);
    }
    LOG_Bytes("0 packet from server ", serverBuf, n);
    return SerialExchange(info, moduleBuf, serverBuf, retry);
}

// Packets 1&2 to the final answer. Every wait for the server adds to the one
// retry counter of the cycle.
int CardMain::SerialExchange(idInfo *info, unsigned char *moduleBuf, unsigned char *serverBuf, int &retry)
{
    int fd = m_serial.iSerialFd;
    char *moduleIn = reinterpret_cast<char *>(moduleBuf);

    m_serial.WriteSerial(fd, kReadStart, sizeof kReadStart);
    m_serial.WriteSerial(fd, kReadStart, sizeof kReadStart);
    if (!PauseCancellable(10 * 1000))
        return Cancelled();
    int r = m_serial.ReadSerial(fd, moduleBuf, 48, 500);
    if (CycleCancelled())
        return Cancelled();
    ReportF(SCANID_EVENT_PROGRESS, "The number of read %d", r);
    if (r != 48) {
        Report(SCANID_EVENT_PROGRESS, "recv 1&2 packet data  error from MCU");
        LOG_Bytes("1&2 packet is failure", moduleBuf, r);
        return ScanIdCompleted(SCANID_ERR_MODULE);
    }
    if (!ExchangeHeader(moduleBuf))
        return ScanIdCompleted(SCANID_ERR_MODULE);
    m_socket.SendBytestoServer(moduleBuf, 48);

    int n = AwaitServer(serverBuf, kPacket3Ceiling, kServerPauseUs, true, retry);
    if (CycleCancelled())
        return Cancelled();
    if (n <= 0)
        return ScanIdCompleted(SCANID_ERR_SERVER_TIMEOUT);
    if (n != kStepPacketBytes) {
        LOG_Bytes("3 packet is failure from server", serverBuf, n);
        return ScanIdCompleted(SCANID_ERR_SERVER_DATA);
    }

    r = m_serial.WorkProcess2Serial(fd, serverBuf, kStepPacketBytes, moduleIn, 32);
    if (CycleCancelled())
        return Cancelled();
    if (r != 32) {
        Report(SCANID_EVENT_PROGRESS, " recv 3&4 packet data  error from MCU");
        LOG_Bytes("3&4 packet fail for MCU", moduleBuf, 32);
        return ScanIdCompleted(SCANID_ERR_MODULE);
    }
    if (!ExchangeHeader(moduleBuf) || moduleBuf[13] != 0x90) {
        LOG_Bytes("3&4 packet is failure", moduleBuf, 32);
        return ScanIdCompleted(SCANID_ERR_MODULE);
    }
    m_socket.SendBytestoServer(moduleBuf, 32);

    n = AwaitServer(serverBuf, kPacket5Ceiling, kServerPauseUs, true, retry);
    if (CycleCancelled())
        return Cancelled();
    if (n <= 0) {
        Report(SCANID_EVENT_PROGRESS, " recv 5 packet data  timeout from Server");
        return ScanIdCompleted(SCANID_ERR_SERVER_TIMEOUT);
    }
    if (n != kStepPacketBytes) {
        Report(SCANID_EVENT_PROGRESS, " recv 5 packet data  error from Server");
        LOG_Bytes("5 packet is failure from server", serverBuf, n);
        return ScanIdCompleted(SCANID_ERR_SERVER_DATA);
    }

    r = m_serial.WorkProcess2Serial(fd, serverBuf, kStepPacketBytes, moduleIn, 8);
    if (CycleCancelled())
        return Cancelled();
    if (r != 8) {
        LOG_Bytes("5 packet fail for MCU", moduleBuf, 8);
        return ScanIdCompleted(SCANID_ERR_MODULE);
    }
    if (!ExchangeHeader(moduleBuf) || moduleBuf[5] != 0x90) {
        LOG_Bytes("5 packet is failure", moduleBuf, 8);
        return ScanIdCompleted(SCANID_ERR_INVALID);
    }
    m_socket.SendBytestoServer(moduleBuf, 8);
    if (!PauseCancellable(100))
        return Cancelled();

    for (const TailPacket &t : kTail) {
        int got = 0;
        r = t.attemptsOnly ? m_serial.readserial(fd, moduleBuf, t.length, &got, t.limit)
                           : m_serial.ReadSerial(fd, moduleBuf, t.length, t.limit);
        if (CycleCancelled())
            return Cancelled();
        if (r != t.length) {
            Report(SCANID_EVENT_PROGRESS, t.lengthError);
            LOG_Str(t.lengthTag, "");
            return ScanIdCompleted(SCANID_ERR_MODULE);
        }
        if (!ExchangeHeader(moduleBuf) || (t.status90 && moduleBuf[5] != 0x90)) {
            LOG_Bytes(t.headerTag, moduleBuf, t.length);
            return ScanIdCompleted(SCANID_ERR_INVALID);
        }
        m_socket.SendBytestoServer(moduleBuf, t.length);
        if (t.pauseUs > 0 && !PauseCancellable(t.pauseUs))
            return Cancelled();
    }

    n = AwaitServer(serverBuf, kFinalCeiling, kServerPauseUs, false, retry);
    if (CycleCancelled())
        return Cancelled();
    if (n <= 0) {
        Report(SCANID_EVENT_PROGRESS, "recv lsat packet data timeout for Server");
        LOG_Str("16 packet", "timeout from server");
        return ScanIdCompleted(SCANID_ERR_SERVER_TIMEOUT);
    }
    if (n < kFinalAnswerMin) {
        Report(SCANID_EVENT_PROGRESS, "recv last packet data error for Server");
        return ScanIdCompleted(SCANID_ERR_SERVER_DATA);
    }
    if (CompleteFinalAnswer(serverBuf, n) < kFinalAnswerFull) {
        if (CycleCancelled())
            return Cancelled();
        Report(SCANID_EVENT_PROGRESS, "recv last packet data error for Server");
        return ScanIdCompleted(SCANID_ERR_SERVER_DATA);
    }
    Report(SCANID_EVENT_PROGRESS, "read card successful");
    LOG_Str("[TCP->USB rec last package is ok]", "read card successful\r\n");
    return Deliver(info, serverBuf + kAnswerBlockOffset);
}

// The server waits count receive attempts: each waited up to
// kSocketRecvWaitMs for a packet, then paused, and every one that brought no
// packet the wait takes (any packet, or for a step one with the exchange
// header) cost a retry, until the retries passed the ceiling. The thread now
// sleeps until the server sends or those attempts would have run out, and
// the attempts that passed meanwhile are counted from the time. Returns the
// packet's length, or 0 (given up, or cancelled).
int CardMain::AwaitServer(unsigned char *serverBuf, int ceiling, uint32_t pauseUs, bool stepPacket, int &retry)
{
    const int64_t pauseNs = static_cast<int64_t>(pauseUs) * 1000;
    const int64_t attemptNs = static_cast<int64_t>(kSocketRecvWaitMs) * 1000000 + pauseNs;
    for (;;) {
        // A wait that starts past its ceiling still makes one attempt.
        const int left = retry > ceiling ? 1 : ceiling - retry + 1;
        const int64_t start = MonotonicNs();
        int ready = m_socket.WaitReadable(CeilMs(left * attemptNs));
        if (ready < 0 && CycleCancelled())
            return 0;
        // A packet that came in an attempt's pause was the next attempt's.
        int64_t passed = (MonotonicNs() - start + pauseNs) / attemptNs;
        if (ready <= 0 || passed >= left) {
            retry += left;
            return 0;
        }
        retry += static_cast<int>(passed);
        int n = m_socket.RvcBytesFromServer(serverBuf);
        if (n > 0 && (!stepPacket || ExchangeHeader(serverBuf)))
            return n;
        if (n < 0) {
            // Closed for good: every attempt left fails at once, and their
            // pauses pass in one.
            const int rest = retry > ceiling ? 1 : ceiling - retry + 1;
            retry += rest;
            (void)PauseCancellable(static_cast<uint32_t>(rest) * pauseUs);
            return 0;
        }
        // Another packet: one attempt.
        if (!PauseCancellable(pauseUs))
            return 0;
        if (++retry > ceiling)
            return 0;
    }
}

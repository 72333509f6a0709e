// The USB read cycle: open the module, check it, wait for a card, and for an
// identity card relay the exchange between module and decode server.
#include <arpa/inet.h>
#include <netdb.h>
#include <cstdio>
#include <cstring>

#include "CardMain.h"
#include "Public.h"
#include "Reader.h"

namespace {

constexpr int kMaxDetectPasses = 5;
constexpr uint32_t kDetectLimitMs = 2000;
constexpr uint32_t kRelayLimitMs = 3000;
constexpr int kConnectTimeoutSec = 1;

// The standby server's first IPv4 address as dotted text, or false (also
// when the reader has none).
bool ResolveStandby(const char *host, char *out, size_t size)
{
    struct hostent entry;
    struct hostent *found = nullptr;
    char scratch[1024];
    int err = 0;
    if (host[0] == '\0')
        return false;
    if (gethostbyname_r(host, &entry, scratch, sizeof scratch, &found, &err) != 0 ||
        !found || found->h_addrtype != AF_INET || !found->h_addr_list[0])
        return false;
    struct in_addr addr;
    memcpy(&addr, found->h_addr_list[0], sizeof addr);
    return inet_ntop(AF_INET, &addr, out, size) != nullptr;
}

bool IsRestartNotice(const unsigned char *f, int n) { return n == 26 && f[3] == 0x01; }
bool IsModuleError(const unsigned char *f) { return f[2] == 0x05 && f[5] == 0x69 && f[6] == 0x86; }
bool IsFailureNotice(const unsigned char *p, int n) { return n == 17 && p[3] == 0xA0; }

} // namespace

int CardMain::UsbOpen()
{
    if (m_usb.ConnectUsb() != 0) {
        Report(SCANID_EVENT_PROGRESS, "usb connect err");
        m_usb.DisConnectUsb();
        if (!PauseCancellable(1000 * 1000))
            return Cancelled();
        return ScanIdCompleted(SCANID_ERR_USB_OPEN);
    }
    Report(SCANID_EVENT_PROGRESS, "usb connect ok");
    if (!PauseCancellable(100 * 1000))
        return Cancelled();

    if (heartbeat(CARDTYPE_USB) != 1) {
        if (CycleCancelled())
            return Cancelled();
        Report(SCANID_EVENT_HEARTBEAT, "NOT Detect the heart");
        return ScanIdCompleted(SCANID_ERR_HEARTBEAT);
    }
    Report(SCANID_EVENT_HEARTBEAT, "Detect the heart");
    return 0;
}

int CardMain::UsbReadCycle(idInfo *info)
{
    if (int ended = UsbOpen())
        return ended;
    uint32_t detectStart = GetTickCount();

    unsigned char moduleBuf[kModuleFrameBytes];
    unsigned char serverBuf[kServerBufferBytes];
    int unusedLen = 0;
    for (;;) {
        memset(moduleBuf, 0, sizeof moduleBuf);
        memset(serverBuf, 0, sizeof serverBuf);
        int moduleLen = 0;
        m_iReadCount++;
        if (!PauseCancellable(1000))
            return Cancelled();

        m_iCardKind = HasCard(moduleBuf, moduleLen, nullptr, unusedLen);
        if (CycleCancelled())
            return Cancelled();
        switch (m_iCardKind) {
        case 0:
            if (m_iReadCount > kMaxDetectPasses || TickElapsed(detectStart, GetTickCount()) > kDetectLimitMs)
                return ScanIdCompleted(SCANID_NO_CARD);
            continue;
        case 1:
        case 2:
        case 3:
        case 4:
            if (m_iCardKind == 1)
                Report(SCANID_EVENT_CARD, "find M1 card");
            else if (m_iCardKind == 4)
                Report(SCANID_EVENT_CARD, "find YCT card");
            // Detection accepts only frames of 12 to 41 bytes: they fit carddata.
            info->cardkind = static_cast<unsigned char>(m_iCardKind);
            memcpy(info->carddata, moduleBuf, moduleLen);
            info->carddatalen = moduleLen;
            return ScanIdCompleted(SCANID_OTHERCARD);
        default:
            break;
        }

        if (info->cardfoundcb)
            info->cardfoundcb(1, nullptr);
        Report(SCANID_EVENT_CARD, "find ID card");

        if (m_socket.unblock_connect(m_szServerIp, m_iServerPort, kConnectTimeoutSec) >= 0)
            return UsbRelay(info, moduleBuf, moduleLen, serverBuf);
        if (CycleCancelled())
            return Cancelled();

        Report(SCANID_EVENT_PROGRESS, "Server connection failure, Connect the standby server");
        char standby[INET_ADDRSTRLEN] = {};
        const ReaderContext &reader = CurrentReader();
        if (!ResolveStandby(reader.standbyHost, standby, sizeof standby)) {
            Report(SCANID_EVENT_PROGRESS, "Gethostbyname error for host");
            return ScanIdCompleted(SCANID_ERR_SERVER_CONNECT);
        }
        memset(m_szServerIp, 0, sizeof m_szServerIp);
        memcpy(m_szServerIp, standby, strlen(standby));
        m_iServerPort = reader.standbyPort;
        if (m_socket.unblock_connect(m_szServerIp, m_iServerPort, kConnectTimeoutSec) < 0) {
            if (CycleCancelled())
                return Cancelled();
            Report(SCANID_EVENT_PROGRESS, "Server connection failure");
            return ScanIdCompleted(SCANID_ERR_SERVER_CONNECT);
        }
        // The probe only shows the standby server answers; the card is read
        // anew and relayed over a fresh connection to it.
        m_socket.DisconnectServer();
    }
}

// The relay waits on module and server at once and passes each frame or
// packet on as soon as it arrives. Within a direction the order is kept;
// a module frame and a server packet that are ready together go module
// first.
int CardMain::UsbRelay(idInfo *info, unsigned char *moduleBuf, int moduleLen, unsigned char *serverBuf)
{
    ReportF(SCANID_EVENT_PROGRESS, "ConncetServer Success,serverip :%s,port:%d", m_szServerIp, m_iServerPort);
    m_socket.SendBytestoServer(moduleBuf, moduleLen);
    LOG_Bytes("[USB->TCP send frist package is ok]", moduleBuf, moduleLen);
    uint32_t relayStart = GetTickCount();

    for (;;) {
        // Nothing to do before the time limit can end the relay.
        uint32_t spent = TickElapsed(relayStart, GetTickCount());
        int wait = spent > kRelayLimitMs ? 0 : static_cast<int>(kRelayLimitMs - spent) + 1;
        int ready = m_usb.WaitModuleOr(m_socket.iSocketFd, wait);
        if (ready < 0 && CycleCancelled())
            return Cancelled();

        if (ready > 0 && (ready & LinkUsb::kModuleFrame)) {
            memset(moduleBuf, 0, kModuleFrameBytes);
            moduleLen = m_usb.TakeFrame(moduleBuf);
            if (moduleLen > 3 && moduleBuf[0] == 0xAA) {
                if (IsRestartNotice(moduleBuf, moduleLen)) {
                    Report(SCANID_EVENT_PROGRESS, "Rereader MCU data");
                    return ScanIdCompleted(SCANID_ERR_MODULE);
                }
                if (IsModuleError(moduleBuf)) {
                    Report(SCANID_EVENT_PROGRESS, "Rereader error");
                    return ScanIdCompleted(SCANID_ERR_MODULE);
                }
                m_socket.SendBytestoServer(moduleBuf, moduleLen);
                LOG_Bytes("[USB->TCP]", moduleBuf, moduleLen);
            }
        }

        int serverLen = 0;
        if (ready > 0 && (ready & LinkUsb::kPeerReady))
            serverLen = m_socket.ReadReady(serverBuf);
        if (serverLen > 5 && serverBuf[0] == 0xAA) {
            ReportF(SCANID_EVENT_PROGRESS, "[ReveServerSize:] %d", serverLen);
            if (IsFailureNotice(serverBuf, serverLen)) {
                LOG_Str("Last Packet", "Read the card failure");
                Report(SCANID_EVENT_PROGRESS, "Blue box Parse error");
                return ScanIdCompleted(SCANID_ERR_SERVER_DATA);
            }
            if (serverLen >= kFinalAnswerMin) {
                if (CompleteFinalAnswer(serverBuf, serverLen) < kFinalAnswerFull) {
                    if (CycleCancelled())
                        return Cancelled();
                    Report(SCANID_EVENT_PROGRESS, "recv last packet data error for Server");
                    return ScanIdCompleted(SCANID_ERR_SERVER_DATA);
                }
                return Deliver(info, serverBuf + kAnswerBlockOffset);
            }
            // A command for the module; the short form is sent twice, as the
            // module expects it.
            m_usb.WriteUsb(serverBuf, serverLen);
            if (serverLen == 7)
                m_usb.WriteUsb(serverBuf, serverLen);
            continue;
        }

        uint32_t elapsed = TickElapsed(relayStart, GetTickCount());
        if (serverLen == -1 || elapsed > kRelayLimitMs) {
            ConsolePrintf("iTcpRvcLen %d\n", serverLen);
            ConsolePrintf("==============%u\n", static_cast<unsigned>(elapsed));
            return ScanIdCompleted(SCANID_NO_CARD);
        }
    }
}

// Shared by both cycles: a final answer of at most a full answer's length
// may have been split by the network; one more receive goes behind it, and
// while the answer is still short and pieces keep coming, a few more. The
// caller must not decode an answer that stays short: the missing bytes would
// read as zeros and a cut record would pass for a read card.
int CardMain::CompleteFinalAnswer(unsigned char *serverBuf, int n)
{
    if (n > kFinalAnswerFull)
        return n;
    for (int i = 0; i < kFinalAnswerPieces; i++) {
        // The buffer holds kServerBufferBytes, so a full receive fits behind
        // any n up to kFinalAnswerFull.
        int more = m_socket.RvcBytesFromServer(serverBuf + n);
        if (more <= 0)
            break;
        n += more;
        if (n >= kFinalAnswerFull)
            break;
    }
    return n;
}

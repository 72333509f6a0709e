// The reader object behind the exported functions: settings, links, the
// event callback, the entry and the end of a read cycle, and the decoding
// of the decode server's answer into the caller's record.
#pragma once

#include <cstddef>
#include <cstdint>

#include "LinkSerial.h"
#include "LinkSocket.h"
#include "LinkUsb.h"
#include "Reader.h"
#include "scanid.h"

// The record is shared with callers compiled elsewhere: its layout must never
// drift, whatever the compiler or architecture.
static_assert(offsetof(idInfo, name) == 0, "idInfo layout");
static_assert(offsetof(idInfo, sex) == 30, "idInfo layout");
static_assert(offsetof(idInfo, nation) == 32, "idInfo layout");
static_assert(offsetof(idInfo, birth) == 36, "idInfo layout");
static_assert(offsetof(idInfo, address) == 52, "idInfo layout");
static_assert(offsetof(idInfo, cardno) == 192, "idInfo layout");
static_assert(offsetof(idInfo, authority) == 228, "idInfo layout");
static_assert(offsetof(idInfo, starttime) == 292, "idInfo layout");
static_assert(offsetof(idInfo, endtime) == 308, "idInfo layout");
static_assert(offsetof(idInfo, photo) == 324, "idInfo layout");
static_assert(offsetof(idInfo, photolen) == 2372, "idInfo layout");
static_assert(offsetof(idInfo, cardkind) == 2376, "idInfo layout");
static_assert(offsetof(idInfo, carddata) == 2377, "idInfo layout");
static_assert(offsetof(idInfo, carddatalen) == 2428, "idInfo layout");
static_assert(offsetof(idInfo, cardfoundcb) == 2432, "idInfo layout");
static_assert(sizeof(idInfo) == 2432 + sizeof(void *), "idInfo layout");

// Event texts are built in a buffer of this size before they reach the callback.
constexpr int kEventTextSize = 100;

// Working buffers of a read cycle, all on the caller's stack.
constexpr int kModuleFrameBytes = 2048;       // one USB read
constexpr int kSerialModuleBytes = 1320;      // everything read from a serial module
constexpr int kFinalAnswerMin = 1201;         // a server packet this long is the final answer
constexpr int kFinalAnswerFull = 1299;        // header + decoded block
constexpr int kAnswerBlockOffset = 19;        // where the decoded block starts in the answer
constexpr int kFinalAnswerPieces = 8;         // receives that may complete a split final answer
// A final answer of at most kFinalAnswerFull bytes gets one more receive
// appended behind it; the buffer has room for that whole receive.
constexpr int kServerBufferBytes = 61440 + kFinalAnswerFull;
constexpr int kIcDataBytes = 20;              // IC-card data the serial cycle keeps
constexpr int kStandbyPort = 19977;

// Host name of the standby decode server, fixed at build time.
#ifndef SCANID_STANDBY_HOST
#define SCANID_STANDBY_HOST "scanid-standby"
#endif

class CardMain {
public:
    CardMain() noexcept;
    ~CardMain();
    CardMain(const CardMain &) = delete;
    CardMain &operator=(const CardMain &) = delete;

    void IDCARD_SetReadInfoCB(ReadInfoCallback callback);
    int setServiceinfo(const char *address, int port);
    int setComInfo(const char *path, int baud);

    int IScanIdInfo(idInfo *info, int type);
    // A cycle filling the extended record (its size checked by the caller).
    int ScanRecord(scanid_record *record, int type);
    // Runs the module's side until the card seen has left the reader, at
    // most timeoutMs (no limit when negative).
    int WaitRemoval(int type, int timeoutMs, const SeenCard &seen);
    int ScanIdCompleted(int code);
    // Ends the running cycle at the caller's request (SCANID_CANCELLED).
    int Cancelled() { return ScanIdCompleted(SCANID_CANCELLED); }
    // Ends a cycle that got the decoded block: the record(s) filled, 1; or
    // SCANID_UNKNOWN_DOCUMENT for a kind no layout is known for.
    int Deliver(idInfo *info, const unsigned char *block);

    // Reader module commands.
    int heartbeat(int type);
    int HasCard(unsigned char *buffer, int &length, unsigned char *unused, int &unusedLen);
    // Unpacks an IC-card answer of frameLen bytes: kind byte and at most
    // kIcDataBytes data bytes (never more than the frame holds). *copied, if
    // given, receives the number of data bytes written.
    unsigned char ICCard(const unsigned char *frame, unsigned char *kind, int frameLen,
                         unsigned char *data, int *copied = nullptr);
    void self_check();

    // Hands a text to the event callback, if one is registered: the one
    // registered here, else that of the reader the thread works for.
    void Report(int kind, const char *text);
    // printf-style Report; the text is cut to the event buffer.
    void ReportF(int kind, const char *format, ...) __attribute__((format(printf, 3, 4)));

    ReadInfoCallback m_pReadInfoCB;
    LinkUsb m_usb;
    LinkSerial m_serial;
    LinkSocket m_socket;
    int m_iCardKind;
    int m_iReadCount;
    char m_szServerIp[32];
    int m_iServerPort;
    char m_szComPath[256];
    int m_iBaudRate;
    int m_cardType;
    // The extended record of a ReadIDCardEx() cycle, else null.
    scanid_record *m_record;

private:
    void Emit(int kind, char *text);
    // Open the port (USB: and check the module's link) with the events of a
    // cycle's start: 0, or the code the cycle ends with.
    int UsbOpen();
    int SerialOpen();
    int UsbRemoval(int timeoutMs, const SeenCard &seen);
    int SerialRemoval(int timeoutMs, const SeenCard &seen);
    int UsbReadCycle(idInfo *info);
    int UsbRelay(idInfo *info, unsigned char *moduleBuf, int moduleLen, unsigned char *serverBuf);
    int SerialReadCycle(idInfo *info);
    int SerialExchange(idInfo *info, unsigned char *moduleBuf, unsigned char *serverBuf, int &retry);
    int AwaitServer(unsigned char *serverBuf, int ceiling, uint32_t pauseUs, bool stepPacket, int &retry);
    // The final answer's length once completed; below kFinalAnswerFull it is
    // incomplete and must not be decoded.
    int CompleteFinalAnswer(unsigned char *serverBuf, int n);
};

// Exported by its plain name and maybe copied into programs linked against
// it: its size is part of the interface and must never change.
#if defined(__x86_64__) || defined(__aarch64__)
static_assert(sizeof(CardMain) == 2512, "the reader object's size is fixed");
#elif defined(__arm__)
static_assert(sizeof(CardMain) == 2480, "the reader object's size is fixed");
#endif

// Card detection: the kind a module frame announces (0 for none).
int ClassifyCardFrame(const unsigned char *frame, int length);
int GetICCard(const unsigned char *frame, int frameLen, unsigned char *kind, unsigned char *data);

// The one reader object, exported under its plain name.
extern "C" SCANID_API CardMain g_IdCardMain;

// Decoding of the server's final answer (the decoded block: 256 bytes of
// UCS-2 text, then the 1024-byte compressed photo). dstSize is the room in
// the destination: nothing is written at or past dst[dstSize - 1], so a
// zeroed field always keeps its terminator.
constexpr int kTextBlockBytes = 256;
constexpr int kDecodedBlockBytes = kTextBlockBytes + SCANID_PHOTO_BYTES;

int EncUnicodeToUtf8(unsigned short ch, unsigned char *out, int size);
int ParesCardChiness(const unsigned char *src, int len, unsigned char *dst, int dstSize);
int ParesCardNumber(const unsigned char *src, int len, unsigned char *dst, int dstSize);
int GetNational(int code, unsigned char *dst, int dstSize);
int GetSEX(int code, unsigned char *dst);
void FillIdInfo(idInfo *info, const unsigned char *block);

// Document kinds: the layout a text block's type letter names, and every
// field of it (the block is the 256-byte text block, then the photo).
int DocumentOf(const unsigned char *block);
void DecodeDocument(const unsigned char *block, scanid_record *record);

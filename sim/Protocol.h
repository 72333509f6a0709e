// The reader module's frames and the decode server's packets as the
// simulators speak them. The library itself knows only a few fixed bytes of
// these; everything else here is the simulated module's and server's own
// design, shared so that both ends agree.
//
// Every module frame: AA, length (high, low) = bytes after the length field,
// type byte, parameters, check byte = XOR of all bytes after AA but itself.
//
// Identity-card exchange (the same over USB and serial):
//   module -> server  notice            26 bytes  AA 00 17 01 00 00 serial[8] 0.. chk
//   server -> module  read-start         7 bytes  AA 00 04 01 00 00 05   (or, cached,
//                                                  the final answer at once)
//   module -> server  packets 1&2       48 bytes  AA 00 2D 10 00 00 serial[8] nonce[8] ..
//   server -> module  packet 3          21 bytes  AA 00 12 10 03 challenge[15] chk
//   module -> server  packets 3&4       32 bytes  AA 00 1D 10 03 response[8] 90 ..
//   server -> module  packet 5          21 bytes  AA 00 12 10 05 challenge[15] chk
//   module -> server  packet 5           8 bytes  AA 00 05 10 05 90 seq chk
//   module -> server  packets 6..16, unasked, lengths kSerialTail: the card's
//                     data sectors, each AA len 10 seq ...
//   server -> module  final answer    1299 bytes  AA 05 10 90 + 15 header bytes,
//                     then the 1280-byte decoded block (text, photo)
//   server            failure notice    17 bytes  AA 00 0E A0 ...
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim {
namespace proto {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kStart = 0xAA;

// Check byte of a frame: XOR of every byte after the start byte, except the
// last (which is where the check byte goes).
uint8_t CheckByte(const uint8_t *frame, size_t len);

// A frame of exactly totalLen bytes (at least 5): AA, length, `type`, the
// parameters (cut or zero-padded to fit), and the check byte.
Bytes MakeFrame(uint8_t type, const Bytes &params, size_t totalLen);

// Host -> module.
extern const Bytes kLinkCheck;   // AA 00 03 00 00 03
extern const Bytes kHwRestart;   // AA 00 03 F0 00 F3
extern const Bytes kReadStart;   // AA 00 04 01 00 00 05

// Module -> host: answer to the link check (8 bytes; the serial heartbeat
// reads exactly 8) and to the hardware restart.
Bytes HeartbeatAnswer();
Bytes RestartAnswer();

constexpr size_t kSerialLen = 8;
using Serial = uint8_t[kSerialLen];

// Identity-card notice: 26 bytes, AA 00 17 01, serial at bytes 6..13.
constexpr size_t kNoticeLen = 26;
constexpr size_t kNoticeSerialOffset = 6;
Bytes IdCardNotice(const uint8_t *serial);

// Cards the module recognises by itself, as card detection sees them:
// AA, length, 03, kind byte, data (check byte last).
constexpr uint8_t kKindM1 = 0x01;   // 12 bytes
constexpr uint8_t kKindYct = 0x02;  // 41 bytes
constexpr uint8_t kKind3 = 0x03;    // 39 bytes
constexpr uint8_t kKind2 = 0x04;    // 25 bytes
constexpr uint8_t kKindIc = 0x05;   // IC-card answer, shorter than 26 bytes
size_t OtherCardLength(uint8_t kindByte); // 0 for kKindIc and unknown kinds
Bytes OtherCardFrame(uint8_t kindByte, const Bytes &data);
// IC-card answer: AA len 03 05 00 kind n data[n] chk (n <= 16: under 26 bytes).
Bytes IcCardFrame(uint8_t kind, const Bytes &data);

// Exchange packets. Offsets count from the frame start.
constexpr uint8_t kExchangeType = 0x10;   // byte 3 of every exchange packet
constexpr uint8_t kStatusOk = 0x90;
constexpr size_t kPacket12Len = 48;       // module's answer to read-start
constexpr size_t kServerStepLen = 21;     // server packets 3 and 5
constexpr size_t kPacket34Len = 32;       // module's answer to packet 3; byte 13 = 90
constexpr size_t kPacket5Len = 8;         // module's answer to packet 5; byte 5 = 90
constexpr size_t kChallengeOffset = 5;    // in server packets 3 and 5
constexpr size_t kChallengeLen = 15;
constexpr size_t kResponseOffset = 5;     // in packets 3&4
constexpr size_t kResponseLen = 8;
constexpr size_t kNonceOffset = 14;       // in packets 1&2, after the serial
constexpr size_t kNonceLen = 8;
// Unasked packets 6..16 in order, and which of them carry 0x90 at byte 5.
constexpr size_t kTailCount = 11;
constexpr size_t kSerialTail[kTailCount] = {8, 222, 8, 254, 18, 8, 254, 254, 254, 254, 48};

// The module's response to a challenge: challenge bytes XOR the card's
// serial and the session nonce, so a server can tell a real card answer
// from garbage.
void ChallengeResponse(const uint8_t *challenge, const uint8_t *serial, const uint8_t *nonce,
                       uint8_t *response /* kResponseLen */);

// Server side.
constexpr size_t kAnswerHeaderLen = 19;   // decoded block starts here
constexpr size_t kFinalAnswerLen = 1299;  // header + 256 text + 1024 photo
constexpr size_t kFailureLen = 17;        // byte 3 = A0
Bytes ServerStep(uint8_t step, const uint8_t *challenge);
Bytes FinalAnswer(const uint8_t *decodedBlock /* 1280 bytes */);
Bytes FailureNotice();

// Module error frame as the USB relay recognises it: 8 bytes, byte 2 = 05,
// bytes 5..6 = 69 86.
Bytes ModuleErrorFrame();

} // namespace proto
} // namespace sim

// An in-process world for running whole read cycles from a byte script: a
// reader module (behind a fake libusb-1.0, or a fake serial port: a socket
// pair, which the library sets up and reads through SCANID_PROGRAM_PORT) and a
// decode server (a real TCP listener on 127.0.0.1) that play back the
// script's frames, on a virtual clock. The library is built with
// SCANID_PROGRAM_CLOCK, so its pauses and waits come here: a wait for
// something the script never sends costs no real time, and a cycle that runs
// into its time limits still ends in milliseconds.
//
// The world is single-threaded: it acts whenever the library pauses or
// waits ("pumps"), so by the time the library looks, everything the script
// has for that moment is already on the wire.
//
// Script: one option byte, then events until the input ends:
//   flags, length (2 bytes, little endian), bytes
// flags bit 0: 1 = server packet, 0 = module frame
//       bit 1: unasked: delivered at the next pump, not only in answer to
//              bytes from the library
//       bit 2: after this event the peer goes away (server: closes the
//              connection; module: USB device removed / serial port hung up)
//       bit 3: (server) not before every module frame has been delivered,
//              as a final answer comes after the module's last packet
// Option byte bit 0: the decode server refuses connections.
//             bit 1: the standby server (SCANID_STANDBY_HOST:19977) listens.
//             bit 2: the program cancels the cycle (CancelReadIDCard) when
//                    the library pauses or waits for the Nth time, N being
//                    bits 3 to 7 (0 to 31).
// USB: each IN transfer takes the next module frame whether asked or not; an
// empty frame is one wait in which the module stays quiet, and with none
// left the module is silent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "scanid.h"

namespace fuzzworld {

enum class Link { Usb, Serial };

constexpr uint8_t kToServer = 0x01;
constexpr uint8_t kUnasked = 0x02;
constexpr uint8_t kThenGone = 0x04;
constexpr uint8_t kAfterModule = 0x08;
constexpr uint8_t kOptionRefuse = 0x01;
constexpr uint8_t kOptionStandby = 0x02;
constexpr uint8_t kOptionCancel = 0x04;

// Appends one event to a script.
void AddEvent(std::vector<uint8_t> &script, uint8_t flags, const uint8_t *data, size_t len);
inline void AddEvent(std::vector<uint8_t> &script, uint8_t flags, const std::vector<uint8_t> &bytes)
{
    AddEvent(script, flags, bytes.data(), bytes.size());
}

struct Outcome {
    int code = 0;
    int64_t virtualMs = 0;   // how long the cycle took on the virtual clock
    int events = 0;          // event callback calls
    int cardFound = 0;       // cardfoundcb calls
};

// Runs one read cycle on `link` against the script and checks what must
// hold for any script (aborting on a violation, so that a fuzzer reports
// it): a result code the transport can give, a record touched only as that
// code allows, text fields terminated, event texts within their buffer, the
// time limits kept, and nothing left open afterwards.
Outcome RunCycle(Link link, const uint8_t *script, size_t size, idInfo *info);

} // namespace fuzzworld

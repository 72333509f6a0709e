// What belongs to one reader besides its reader object: the cancel of its
// cycle, where its events and console lines go, which USB port it reads,
// its standby server and the card its last read found.
//
// The reader object's layout is fixed for good (it is exported), so this
// lives beside it. The cycle code reaches it through CurrentReader(): a read
// cycle runs wholly on one thread, and ReaderScope names the reader the
// calling thread works for while it runs. Threads outside any scope work for
// the default reader, the one behind the exported functions of interface 1.
#pragma once

#include <atomic>
#include <cstdint>
#include <sys/types.h>

#include "scanid.h"

// Which USB module a reader opens: the first 0400:C355 found (bus < 0), or
// the one at a bus and port chain.
struct UsbPort {
    static constexpr int kMaxDepth = 7; // the chain libusb can report
    int bus = -1;
    int depth = 0;
    uint8_t ports[kMaxDepth] = {};

    bool Any() const noexcept { return bus < 0; }
    bool Matches(int devBus, const uint8_t *devPorts, int devDepth) const noexcept;
};

// Formats "usb:B-P.P..." into out; false when it does not fit.
bool FormatUsbName(char *out, size_t size, int bus, const uint8_t *ports, int depth) noexcept;

// The descriptor a cycle's waits poll besides their own, so that a cancel
// from another thread or a signal handler wakes them.
class Wake {
public:
    Wake() noexcept { Make(); }
    ~Wake();
    Wake(const Wake &) = delete;
    Wake &operator=(const Wake &) = delete;

    bool Ok() const noexcept { return Fd() >= 0; }
    int Fd() const noexcept { return m_fd.load(std::memory_order_relaxed); }
    // A program that closes descriptors it did not open (a daemon closing
    // everything from 3 up) takes ours away, and the number may now be
    // someone else's: write nothing to it, make a new one.
    void Check() noexcept;
    void Drain() const noexcept;
    void Signal() const noexcept;

private:
    void Make() noexcept;

    std::atomic<int> m_fd{-1};
    dev_t m_dev = 0;
    ino_t m_ino = 0;
    dev_t m_rdev = 0;
    mode_t m_mode = 0;
};

// The card a read found, for the wait until it is taken away.
struct SeenCard {
    static constexpr int kIdentity = 5;      // card-detection kind of an identity card
    static constexpr int kSerialIc = 0x100;  // or-ed with a serial IC card's kind byte
    int kind = 0;                       // 0: no card
    int len = 0;
    unsigned char data[64] = {};
};

class ReaderContext {
public:
    ReaderContext() noexcept;
    ReaderContext(const ReaderContext &) = delete;
    ReaderContext &operator=(const ReaderContext &) = delete;

    // Cycle brackets and cancel; Cancel is async-signal-safe and false,
    // without effect, when no cycle runs.
    void Begin() noexcept;
    void End() noexcept;
    bool Cancel() noexcept;
    bool Cancelled() const noexcept { return m_cycle.load() == kCancelled; }

    Wake wake;
    scanid_reader *handle = nullptr; // null for the default reader
    scanid_event_cb event = nullptr;
    void *eventUser = nullptr;
    scanid_console_cb console = nullptr;
    void *consoleUser = nullptr;
    UsbPort usb;
    char standbyHost[256];
    int standbyPort;
    SeenCard seen;

private:
    enum : int { kIdle = 0, kRuns = 1, kCancelled = 2 };
    std::atomic<int> m_cycle{kIdle};
    // Read from signal handlers: must be a plain lock-free atomic.
    static_assert(std::atomic<int>::is_always_lock_free, "cancel must be async-signal-safe");
};

// The reader of interface 1 (ReadIDCardLib and friends).
ReaderContext &DefaultReader() noexcept;
// The reader the calling thread works for.
ReaderContext &CurrentReader() noexcept;

// Names the calling thread's reader until the scope ends.
class ReaderScope {
public:
    explicit ReaderScope(ReaderContext &reader) noexcept;
    ~ReaderScope();
    ReaderScope(const ReaderScope &) = delete;
    ReaderScope &operator=(const ReaderScope &) = delete;

private:
    ReaderContext *m_previous;
};

// Console lines of the links and cycles: printed exactly as puts(),
// printf() and perror() print them, unless the current reader routes them
// to its console callback (the text without its line end, and perror's
// error text apart). Nothing is allocated either way.
void ConsolePuts(const char *line) noexcept;
void ConsolePrintf(const char *format, ...) noexcept __attribute__((format(printf, 1, 2)));
void ConsolePerror(const char *text) noexcept;

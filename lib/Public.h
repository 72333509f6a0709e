// Clock, log calls and small text helpers shared by the whole library.
// Internal to libscanid: nothing here is exported.
#ifndef SCANID_PUBLIC_H
#define SCANID_PUBLIC_H

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <poll.h>
#include <string>
#include <string_view>
#include <vector>

// Time and waiting. Every pause and every wait of the read cycles and links
// goes through these four, so that a program can run a read cycle on a clock
// of its own: built with SCANID_PROGRAM_CLOCK, the library leaves them to the
// program (the in-process fuzz harness runs time virtually that way).
//
// Nanoseconds of the monotonic clock; setting the date does not move it.
int64_t MonotonicNs() noexcept;
// usleep(): the calling thread pauses for us microseconds.
void PauseUs(uint32_t us) noexcept;
// Pauses until MonotonicNs() reaches deadlineNs (at once if it has).
void PauseUntilNs(int64_t deadlineNs) noexcept;
// poll() on the descriptors for at most timeoutMs; poll's result and errno.
int WaitPoll(struct pollfd* fds, nfds_t count, int timeoutMs) noexcept;

// Cancelling a read cycle. The reader object brackets each cycle with
// CycleBegin() and CycleEnd(), which with CycleCancelled() and the waits below
// act on the calling thread's reader (Reader.h); CycleCancel() cancels the
// default reader's cycle and may come from any thread or a signal handler. A
// cancel wakes every wait below at once: the waits poll an event descriptor
// the reader keeps for its whole life, so the caller's thread needs no signal
// to get out of poll().
void CycleBegin() noexcept;
void CycleEnd() noexcept;
// Async-signal-safe. False, and no effect, when the default reader runs no cycle.
bool CycleCancel() noexcept;
bool CycleCancelled() noexcept;

// WaitPoll() that also ends when the running cycle is cancelled: then -1
// with errno ECANCELED, and the revents of fds are 0. At most
// kMaxWaitDescriptors descriptors. An interrupting signal gives -1 with EINTR,
// as poll() does.
constexpr nfds_t kMaxWaitDescriptors = 15;
int WaitCancellable(struct pollfd* fds, nfds_t count, int timeoutMs) noexcept;
// PauseUs() that ends early when the running cycle is cancelled: false then.
bool PauseCancellable(uint32_t us) noexcept;

// Nanoseconds as a poll() timeout: whole milliseconds, rounded up so that a
// wait never ends before its deadline.
inline int CeilMs(int64_t ns) noexcept
{
    if (ns <= 0)
        return 0;
    int64_t ms = (ns + 999999) / 1000000;
    return ms > 1000000000 ? 1000000000 : static_cast<int>(ms);
}

// Milliseconds of MonotonicNs(), wrapping modulo 2^32 (about 49.7 days).
uint32_t GetTickCount() noexcept;

// Elapsed milliseconds between two GetTickCount() values. Unsigned subtraction
// stays correct when the counter wraps between start and now, so time limits
// must always be checked as TickElapsed(start, now) > limit, never now > end.
inline uint32_t TickElapsed(uint32_t start, uint32_t now) noexcept
{
    return now - start;
}

// The log calls of the links and read cycles print nothing, and a log call
// that prints nothing must cost nothing inside a read cycle: no allocation,
// no formatting. Callers pass literals or views of strings they already
// have, and frame dumps go through LOG_Bytes as raw bytes instead of being
// turned into hex text first.
inline void LOG_Str(std::string_view /*tag*/, std::string_view /*text*/) noexcept {}
inline void LOG_Bytes(std::string_view /*tag*/, const unsigned char* /*data*/,
                      int /*len*/) noexcept {}

// Prints "Y-M-D h:m:s.usec[label==value]\n" (no padding) to stdout, using
// the local wall-clock time.
void LOG_Int(std::string_view label, int value) noexcept;

// The line LOG_Int prints, for a given broken-down time and microseconds,
// formatted into buf like snprintf (returns the full length it needed).
int FormatLogInt(char* buf, size_t size, const struct tm& t, long usec,
                 std::string_view label, int value) noexcept;

// Overwrites trailing blanks (0x20 only) with NUL, but never the first
// character. Returns text; a null text is returned as is.
char* chartrimright(char* text) noexcept;

// Pieces of text between occurrences of delim, empty pieces kept; a
// trailing delim gives a final empty piece, an empty text one empty piece.
// An empty delim would never advance, so the whole text comes back as one
// piece. On allocation failure the list is empty.
std::vector<std::string> split(std::string text, const std::string& delim) noexcept;

#endif

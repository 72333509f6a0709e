#include "Public.h"
#include "Reader.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

// Kept as a literal so that the compiler checks both uses against their
// arguments.
#define LOG_INT_FORMAT "%d-%d-%d %d:%d:%d.%ld[%.*s==%d]\n"

namespace {

// "%.*s" takes an int length and must not be handed a null pointer, which
// an empty string_view may carry.
int LabelLen(std::string_view label) noexcept
{
    return label.size() > static_cast<size_t>(INT_MAX) ? INT_MAX
                                                       : static_cast<int>(label.size());
}

const char* LabelPtr(std::string_view label) noexcept
{
    return label.data() != nullptr ? label.data() : "";
}

} // namespace

#ifndef SCANID_PROGRAM_CLOCK
int64_t MonotonicNs() noexcept
{
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void PauseUs(uint32_t us) noexcept
{
    // Obsolescent in POSIX, kept by glibc; the pause is defined as usleep's.
    // cppcheck-suppress usleepCalled
    usleep(us);
}

void PauseUntilNs(int64_t deadlineNs) noexcept
{
    struct timespec at {};
    at.tv_sec = static_cast<time_t>(deadlineNs / 1000000000);
    at.tv_nsec = static_cast<long>(deadlineNs % 1000000000);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
    }
}

int WaitPoll(struct pollfd* fds, nfds_t count, int timeoutMs) noexcept
{
    return poll(fds, count, timeoutMs);
}
#endif

namespace {

int CancelledResult(struct pollfd *fds, nfds_t count) noexcept
{
    for (nfds_t i = 0; i < count; i++)
        fds[i].revents = 0;
    errno = ECANCELED;
    return -1;
}

} // namespace

void CycleBegin() noexcept
{
    CurrentReader().Begin();
}

void CycleEnd() noexcept
{
    CurrentReader().End();
}

bool CycleCancel() noexcept
{
    return DefaultReader().Cancel();
}

bool CycleCancelled() noexcept
{
    return CurrentReader().Cancelled();
}

int WaitCancellable(struct pollfd *fds, nfds_t count, int timeoutMs) noexcept
{
    if (count > kMaxWaitDescriptors) {
        errno = EINVAL;
        return -1;
    }
    ReaderContext &reader = CurrentReader();
    struct pollfd all[kMaxWaitDescriptors + 1];
    const int64_t deadline = MonotonicNs() + static_cast<int64_t>(timeoutMs) * 1000000;
    int wait = timeoutMs;
    for (;;) {
        if (reader.Cancelled())
            return CancelledResult(fds, count);
        for (nfds_t i = 0; i < count; i++)
            all[i] = fds[i];
        all[count].fd = reader.wake.Fd();
        all[count].events = POLLIN;
        all[count].revents = 0;
        int r = WaitPoll(all, count + 1, wait);
        if (r > 0 && all[count].revents != 0) {
            if (reader.Cancelled())
                return CancelledResult(fds, count);
            // A cancel that came too late for the cycle it was meant for.
            reader.wake.Drain();
            r--;
            if (r == 0 && timeoutMs > 0) {
                int64_t left = deadline - MonotonicNs();
                if (left > 0) {
                    wait = static_cast<int>((left + 999999) / 1000000);
                    continue;
                }
            }
        }
        for (nfds_t i = 0; i < count; i++)
            fds[i].revents = all[i].revents;
        return r;
    }
}

bool PauseCancellable(uint32_t us) noexcept
{
    if (CycleCancelled())
        return false;
    if (us < 1000) {
        PauseUs(us);
        return !CycleCancelled();
    }
    const int64_t deadline = MonotonicNs() + static_cast<int64_t>(us) * 1000;
    for (;;) {
        int64_t left = deadline - MonotonicNs();
        if (left <= 0)
            return true;
        if (WaitCancellable(nullptr, 0, static_cast<int>((left + 999999) / 1000000)) < 0 &&
            errno == ECANCELED)
            return false;
    }
}

uint32_t GetTickCount() noexcept
{
    // Unsigned arithmetic: the wrap is intended, overflow of a signed type
    // would not be.
    return static_cast<uint32_t>(static_cast<uint64_t>(MonotonicNs()) / 1000000u);
}

int FormatLogInt(char* buf, size_t size, const struct tm& t, long usec,
                 std::string_view label, int value) noexcept
{
    return snprintf(buf, size, LOG_INT_FORMAT, t.tm_year + 1900, t.tm_mon + 1,
                    t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, usec,
                    LabelLen(label), LabelPtr(label), value);
}

void LOG_Int(std::string_view label, int value) noexcept
{
    struct timeval tv {};
    gettimeofday(&tv, nullptr);
    struct tm t {};
    time_t secs = tv.tv_sec;
    localtime_r(&secs, &t); // re-entrant: the caller's thread may not be the only one
    printf(LOG_INT_FORMAT, t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour,
           t.tm_min, t.tm_sec, static_cast<long>(tv.tv_usec), LabelLen(label),
           LabelPtr(label), value);
}

char* chartrimright(char* text) noexcept
{
    if (text == nullptr)
        return text;
    size_t i = strlen(text);
    if (i == 0)
        return text;
    for (--i; i > 0 && text[i] == ' '; --i)
        text[i] = '\0';
    return text;
}

std::vector<std::string> split(std::string text, const std::string& delim) noexcept
{
    std::vector<std::string> pieces;
    try {
        if (delim.empty()) {
            pieces.push_back(std::move(text));
            return pieces;
        }
        // The appended delimiter closes the last piece, so every piece is
        // ended by a match.
        text += delim;
        size_t pos = 0;
        while (pos < text.size()) {
            size_t hit = text.find(delim, pos);
            if (hit == std::string::npos)
                break; // nothing later can match either
            pieces.push_back(text.substr(pos, hit - pos));
            pos = hit + delim.size();
        }
    } catch (...) {
        pieces.clear();
    }
    return pieces;
}

#include "LinkSerial.h"

#include "Public.h"
#include "Reader.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

struct BaudEntry {
    int iBaudRate;
    speed_t speed;
};

constexpr BaudEntry kBaudRates[] = {
    {2400, B2400},     {4800, B4800},     {9600, B9600},
    {19200, B19200},   {38400, B38400},   {57600, B57600},
    {115200, B115200}, {230400, B230400}, {460800, B460800},
};

// Answer limit of WorkProcess2Serial, in milliseconds.
constexpr int kAnswerLimitMs = 200;

constexpr int64_t kAttemptNs = 1000000;

// Sleeps until fd has input (or a hang-up to report), deadlineNs passes or
// the cycle is cancelled. True when a read may find something.
bool AwaitInput(int fd, int64_t deadlineNs)
{
    pollfd pfd{};
    pfd.fd = fd;
    pfd.events = POLLIN;
    for (;;) {
        int64_t left = deadlineNs - MonotonicNs();
        if (left <= 0)
            return false;
        int rc = WaitCancellable(&pfd, 1, CeilMs(left));
        if (rc > 0)
            return true;
        if (rc < 0 && errno != EINTR)
            return false; // cancelled, or poll itself failed
    }
}

} // namespace

#ifndef SCANID_PROGRAM_PORT
int PortOpen(const char *path, int flags) noexcept
{
    return open(path, flags);
}

ssize_t PortRead(int fd, void *buf, size_t n) noexcept
{
    return read(fd, buf, n);
}

int PortGetAttr(int fd, struct termios *tio) noexcept
{
    return tcgetattr(fd, tio);
}

int PortSetAttr(int fd, const struct termios *tio) noexcept
{
    return tcsetattr(fd, TCSANOW, tio);
}

int PortFlush(int fd) noexcept
{
    return tcflush(fd, TCIFLUSH);
}
#endif

LinkSerial::LinkSerial() noexcept : iSerialFd(-1) {}

LinkSerial::~LinkSerial()
{
    DisConnectSerial();
}

int LinkSerial::ConnectSerial(const char *path, int iBaudRate)
{
    int fd = Open_port(path);
    if (fd < 0) {
        ConsolePerror("Open_port error!");
        return -1;
    }
    if (setport(fd, iBaudRate, 8, 'N', 1) < 0) {
        ConsolePerror("set_port error !\n");
        return -1;
    }
    return fd;
}

int LinkSerial::Open_port(const char *path)
{
    if (path == nullptr) {
        errno = EINVAL;
        LOG_Str("cannot open serial port", ".....");
        return -1;
    }
    // Non-blocking only so that open does not wait for a modem's carrier.
    // Close-on-exec keeps the port out of programs the host process starts.
    int fd = PortOpen(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        LOG_Str("cannot open serial port", ".....");
        return -1;
    }
    if (fcntl(fd, F_SETFL, 0) < 0) {
        int saved = errno;
        close(fd);
        errno = saved;
        LOG_Str("fcntl failed!\n", "......");
        return -1;
    }
    iSerialFd = fd;
    return fd;
}

int LinkSerial::setport(int fd, int iBaudRate, int iDataSize, char cParity, int iStopBit)
{
    termios tio;
    if (PortGetAttr(fd, &tio) != 0) {
        ConsolePerror("Cannot get old terminal description");
        return -1;
    }
    // Nothing of the old settings may survive: raw means every flag clear.
    memset(&tio, 0, sizeof tio);
    tio.c_cflag |= CLOCAL | CREAD;

    const BaudEntry *baud = nullptr;
    for (const BaudEntry &entry : kBaudRates) {
        if (entry.iBaudRate == iBaudRate) {
            baud = &entry;
            break;
        }
    }
    if (baud == nullptr) {
        ConsolePrintf("donot exist iBaudRate %d!\n", iBaudRate);
        // A caller's perror then names the real cause, not a stale errno.
        errno = EINVAL;
        return -1;
    }
    cfsetispeed(&tio, baud->speed);
    cfsetospeed(&tio, baud->speed);

    tio.c_cflag &= ~CSIZE;
    if (iDataSize == 7) {
        tio.c_cflag |= CS7;
    } else if (iDataSize == 8) {
        tio.c_cflag |= CS8;
    } else {
        ConsolePrintf("donot exist iDataSize %d\n", iDataSize);
        errno = EINVAL;
        return -1;
    }

    switch (cParity) {
    case 'N':
        tio.c_cflag &= ~PARENB;
        break;
    case 'O':
        tio.c_cflag |= PARENB | PARODD;
        tio.c_cflag = (tio.c_cflag & ~CSIZE) | CS8;
        break;
    case 'E':
        tio.c_cflag |= PARENB;
        tio.c_cflag &= ~PARODD;
        tio.c_cflag = (tio.c_cflag & ~CSIZE) | CS8;
        break;
    default:
        ConsolePrintf("donot exist cParity %c !\n", cParity);
        errno = EINVAL;
        return -1;
    }

    if (iStopBit == 2) {
        tio.c_cflag |= CSTOPB;
    } else {
        if (iStopBit != 1)
            ConsolePrintf("donot exist iStopBit %d\n", iStopBit);
        tio.c_cflag &= ~CSTOPB;
    }

    // A read returns at once with whatever is there; the reads below wait in poll().
    tio.c_cc[VTIME] = 0;
    tio.c_cc[VMIN] = 0;
    PortFlush(fd);
    if (PortSetAttr(fd, &tio) != 0) {
        ConsolePerror("Set new terminal description error!\n");
        return -1;
    }
    return 0;
}

int LinkSerial::ReadSerial(int fd, unsigned char *buf, int len, int iLimitMs)
{
    if (buf == nullptr)
        return -1;
    if (len <= 0)
        return 0;

    // The limit serves twice: as a budget for waiting on input, spent only
    // while none comes, and as a number of attempts, each a read and a 1 ms
    // pause. The thread sleeps until input comes or both have run out; input
    // that trickles in is read once per attempt, as it always was.
    const int limit = iLimitMs > 0 ? iLimitMs : 0;
    int64_t budgetNs = static_cast<int64_t>(limit) * kAttemptNs;
    int attempts = 0;
    int count = 0;
    for (;;) {
        const int64_t start = MonotonicNs();
        bool ready = AwaitInput(fd, start + budgetNs + static_cast<int64_t>(limit - attempts) * kAttemptNs);
        if (CycleCancelled())
            return -1;
        const int64_t waited = MonotonicNs() - start;
        if (waited <= budgetNs) {
            budgetNs -= waited;
        } else {
            attempts += static_cast<int>((waited - budgetNs) / kAttemptNs);
            budgetNs = 0;
        }

        ssize_t got = PortRead(fd, buf + count, static_cast<size_t>(len - count));
        if (got > 0)
            count += static_cast<int>(got);
        if (count == len)
            return len;
        if (!ready)
            break;

        if (!PauseCancellable(1000))
            return -1;
        if (++attempts >= limit)
            break;
    }
    ConsolePuts("timeout from MCU\r");
    return -1;
}

int LinkSerial::readserial(int fd, unsigned char *buf, int len, int *pGot, int iLimit)
{
    if (buf == nullptr) {
        if (pGot != nullptr)
            *pGot = 0;
        return -1;
    }
    if (len <= 0) {
        if (pGot != nullptr)
            *pGot = 0;
        return 0;
    }

    // iLimit + 1 attempts a millisecond apart, the first at once: the same
    // span, asleep until input comes, and never two reads within 1 ms.
    int count = 0;
    const int64_t start = MonotonicNs();
    const int64_t end = start + static_cast<int64_t>(iLimit > 0 ? iLimit + 1 : 1) * kAttemptNs;
    for (;;) {
        const int64_t at = MonotonicNs();
        ssize_t got = PortRead(fd, buf + count, static_cast<size_t>(len - count));
        if (got > 0)
            count += static_cast<int>(got);
        if (count == len) {
            if (pGot != nullptr)
                *pGot = count;
            return count;
        }
        // A port that has hung up is always ready: this pause keeps it from
        // spinning.
        PauseUntilNs(at + kAttemptNs < end ? at + kAttemptNs : end);
        // A cancel comes between two attempts, a millisecond at most.
        if (CycleCancelled() || !AwaitInput(fd, end))
            break;
    }
    if (pGot != nullptr)
        *pGot = count;
    return -1;
}

int LinkSerial::WriteSerial(int fd, const void *data, int len)
{
    // A negative length would reach write as a huge size_t and send
    // whatever memory follows the data.
    if (len <= 0) {
        ConsolePuts("write byte number error !");
        return 0;
    }
    if (data == nullptr) {
        errno = EFAULT;
        return -1;
    }
    return static_cast<int>(write(fd, data, static_cast<size_t>(len)));
}

int LinkSerial::WorkProcess2Serial(int fd, const unsigned char *out, int outLen, char *in, int inLen)
{
    int written = WriteSerial(fd, out, outLen);
    if (in != nullptr)
        return ReadSerial(fd, reinterpret_cast<unsigned char *>(in), inLen, kAnswerLimitMs);
    return written;
}

int LinkSerial::Close_port(int fd)
{
    int ret = close(fd);
    iSerialFd = -1;
    return ret;
}

void LinkSerial::DisConnectSerial()
{
    if (iSerialFd >= 0) {
        ConsolePuts("disconnect serial\r");
        Close_port(iSerialFd);
    }
}

int LinkSerial::mystrcat(char *dst, const char *src)
{
    if (dst == nullptr || src == nullptr)
        return 0;
    size_t at = strlen(dst);
    size_t n = strlen(src);
    memmove(dst + at, src, n);
    dst[at + n] = '\0';
    return 1;
}

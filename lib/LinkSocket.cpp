#include "LinkSocket.h"

#include "Public.h"
#include "Reader.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

// poll() rather than select(): a descriptor at or above FD_SETSIZE would
// overrun an fd_set. A signal does not end the wait early: it goes on for
// the time that is left; a cancelled read cycle does (-1, ECANCELED).
// Returns poll's result.
int WaitFor(int fd, short events, int timeoutMs, short *revents)
{
    const uint32_t start = GetTickCount();
    for (;;) {
        uint32_t spent = TickElapsed(start, GetTickCount());
        int left = spent >= static_cast<uint32_t>(timeoutMs) ? 0 : timeoutMs - static_cast<int>(spent);
        pollfd p{};
        p.fd = fd;
        p.events = events;
        int ret = WaitCancellable(&p, 1, left);
        if (ret < 0 && errno == EINTR && left > 0)
            continue;
        *revents = p.revents;
        return ret;
    }
}

} // namespace

LinkSocket::LinkSocket() noexcept : iSocketFd(-1) {}

LinkSocket::~LinkSocket() { DisconnectServer(); }

int LinkSocket::setnonblocking(int fd)
{
    int old = fcntl(fd, F_GETFL);
    if (old < 0)
        return -1;
    if (fcntl(fd, F_SETFL, old | O_NONBLOCK) < 0)
        return -1;
    return old;
}

int LinkSocket::unblock_connect(const char *address, int port, int timeout)
{
    // The standby probe of a read cycle leaves a connection up and then
    // connects again: drop the old one, or it leaks for good.
    DisconnectServer();

    if (address == nullptr) {
        ConsolePuts("unblock connect failed!");
        return -1;
    }

    sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    // Text that does not convert leaves 0.0.0.0, which Linux takes as the
    // local host.
    inet_pton(AF_INET, address, &addr.sin_addr);
    addr.sin_port = htons(static_cast<uint16_t>(port));

    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        ConsolePerror("socket");
        return -1;
    }
    iSocketFd = fd;

    int oldFlags = setnonblocking(fd);
    if (oldFlags < 0) {
        // A socket left blocking would make the wait below unbounded.
        ConsolePerror("fcntl");
        DisconnectServer();
        return -1;
    }

    int ret = connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr);
    if (ret == 0) {
        ConsolePuts("connect with server immediately");
        fcntl(fd, F_SETFL, oldFlags);
        return fd;
    }
    // An interrupted non-blocking connect carries on in the background just
    // like one in progress.
    if (errno != EINPROGRESS && errno != EINTR) {
        ConsolePrintf("ret = %d\n", ret);
        ConsolePuts("unblock connect failed!");
        DisconnectServer();
        return -1;
    }

    int waitMs = timeout <= 0 ? 0 : (timeout > 2000000 ? 2000000000 : timeout * 1000);
    short revents = 0;
    ret = WaitFor(fd, POLLOUT, waitMs, &revents);
    if (ret <= 0) {
        if (!CycleCancelled())
            ConsolePuts("connection time out");
        DisconnectServer();
        return -1;
    }
    // A refused connect shows as error/hang-up, maybe without POLLOUT; the
    // pending error below tells which.
    if ((revents & (POLLOUT | POLLERR | POLLHUP)) == 0) {
        ConsolePuts("no events on sockfd found");
        DisconnectServer();
        return -1;
    }

    // Relay packets are small: send each at once. The time-outs bound a
    // blocking send on a server that stopped reading (seconds, not ms).
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    timeval tv;
    tv.tv_sec = kSocketIoTimeoutSec;
    tv.tv_usec = 0;
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);

    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0) {
        ConsolePuts("get socket option failed");
        DisconnectServer();
        return -1;
    }
    if (err != 0) {
        ConsolePrintf("connection failed after select with the error: %d \n", err);
        DisconnectServer();
        return -1;
    }
    // Hung up with no error recorded: there is no connection to hand out.
    if ((revents & POLLOUT) == 0) {
        ConsolePuts("no events on sockfd found");
        DisconnectServer();
        return -1;
    }

    fcntl(fd, F_SETFL, oldFlags);
    return fd;
}

int LinkSocket::WriteSocket(const unsigned char *buffer, int length)
{
    // A negative length would reach send() as a huge size_t.
    if (length < 0 || (buffer == nullptr && length > 0)) {
        LOG_Str("[NETSOCKET]", "WriteSocket error");
        return -1;
    }
    // A server that has gone must not kill the host process with SIGPIPE.
    ssize_t ret = send(iSocketFd, buffer, static_cast<size_t>(length), MSG_NOSIGNAL);
    if (ret < 1)
        LOG_Str("[NETSOCKET]", "WriteSocket error");
    return static_cast<int>(ret);
}

int LinkSocket::SendBytestoServer(const unsigned char *buffer, int length)
{
    if (!IsConnect())
        return 0;
    return WriteSocket(buffer, length);
}

int LinkSocket::ReadSocket(unsigned char *buffer)
{
    if (iSocketFd < 0 || buffer == nullptr)
        return -1;
    short revents = 0;
    if (WaitFor(iSocketFd, POLLIN, kSocketRecvWaitMs, &revents) <= 0)
        return 0;
    return ReadReady(buffer);
}

int LinkSocket::ReadReady(unsigned char *buffer)
{
    if (iSocketFd < 0 || buffer == nullptr)
        return -1;
    for (;;) {
        // Never block here: the wait above already said there is something.
        ssize_t n = recv(iSocketFd, buffer, kSocketRecvMax, MSG_DONTWAIT);
        if (n > 0)
            return static_cast<int>(n);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return 0;
        return -1;
    }
}

int LinkSocket::WaitReadable(int timeoutMs)
{
    if (iSocketFd < 0)
        return 1;
    short revents = 0;
    int ret = WaitFor(iSocketFd, POLLIN, timeoutMs, &revents);
    return ret > 0 ? 1 : ret;
}

int LinkSocket::RvcBytesFromServer(unsigned char *buffer)
{
    if (!IsConnect()) {
        ConsolePuts("disConnect Server\r");
        return -1;
    }
    return ReadSocket(buffer);
}

void LinkSocket::DisconnectServer()
{
    if (iSocketFd >= 0) {
        close(iSocketFd);
        iSocketFd = -1;
    }
}

// The server connection against real TCP sockets on 127.0.0.1 only.
#include "LinkSocket.h"

#include <gtest/gtest.h>

#include "test_support.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using testsupport::NowMs;

int CountFds() { return testsupport::OpenDescriptors(); }

// A socket bound to 127.0.0.1 on an ephemeral port; listening unless told not to.
struct Server {
    int fd = -1;
    int port = 0;
    explicit Server(int backlog = 16, bool listening = true)
    {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
        if (listening)
            listen(fd, backlog);
        socklen_t n = sizeof a;
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &n);
        port = ntohs(a.sin_port);
    }
    ~Server() { close(fd); }
    int Accept(int ms = 3000) const
    {
        pollfd p{fd, POLLIN, 0};
        return poll(&p, 1, ms) == 1 ? accept(fd, nullptr, nullptr) : -1;
    }
};

// Non-blocking client connect to 127.0.0.1:port.
int StartConnect(int port)
{
    int c = socket(AF_INET, SOCK_STREAM, 0);
    fcntl(c, F_SETFL, O_NONBLOCK);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    connect(c, reinterpret_cast<sockaddr *>(&a), sizeof a);
    return c;
}

// Fills the accept queue of a listen(fd, 0) server until a further connect
// stays pending, so a new connect can only time out.
std::vector<int> FillBacklog(const Server &s)
{
    std::vector<int> held;
    for (int i = 0; i < 64; ++i) {
        int c = StartConnect(s.port);
        held.push_back(c);
        pollfd p{c, POLLOUT, 0};
        if (poll(&p, 1, 300) == 0)
            return held;
    }
    ADD_FAILURE() << "backlog never filled";
    return held;
}

void CloseAll(std::vector<int> &fds)
{
    for (int f : fds)
        close(f);
    fds.clear();
}

using Capture = testsupport::ConsoleCapture;

// Interrupts the calling thread with SIGALRM every periodUs while alive;
// the handler is installed without SA_RESTART so waits really see EINTR.
struct SignalStorm {
    struct sigaction old {};
    explicit SignalStorm(long periodUs)
    {
        struct sigaction sa {};
        sa.sa_handler = [](int) {};
        sigaction(SIGALRM, &sa, &old);
        itimerval t{{0, periodUs}, {0, periodUs}};
        setitimer(ITIMER_REAL, &t, nullptr);
    }
    ~SignalStorm()
    {
        itimerval t{};
        setitimer(ITIMER_REAL, &t, nullptr);
        sigaction(SIGALRM, &old, nullptr);
    }
};

// Reads from a peer until EOF or error; true for a clean EOF within ms.
bool PeerSeesEof(int fd, int ms = 3000)
{
    char b[256];
    long long end = NowMs() + ms;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(end - NowMs())) != 1)
            return false;
        ssize_t n = recv(fd, b, sizeof b, 0);
        if (n <= 0)
            return n == 0;
    }
}

// Repeats a receive until it gives something other than 0 (nothing yet).
int ReceiveSomething(LinkSocket &s, unsigned char *buf, int ms = 3000)
{
    long long end = NowMs() + ms;
    int n = 0;
    while (n == 0 && NowMs() < end)
        n = s.RvcBytesFromServer(buf);
    return n;
}

// What a freshly connected socket must look like; waited tells whether the
// connect reported it had to wait (the options are set only then).
void ExpectConnectedSocket(int fd, bool waited)
{
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0) << "socket left non-blocking";
    if (!waited)
        return;
    int nodelay = 0;
    socklen_t n = sizeof nodelay;
    getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &nodelay, &n);
    EXPECT_NE(nodelay, 0);
    for (int opt : {SO_SNDTIMEO, SO_RCVTIMEO}) {
        timeval tv{};
        n = sizeof tv;
        getsockopt(fd, SOL_SOCKET, opt, &tv, &n);
        EXPECT_EQ(tv.tv_sec, kSocketIoTimeoutSec);
        EXPECT_EQ(tv.tv_usec, 0);
    }
}

} // namespace

TEST(LinkSocketConnect, ConnectsAndCarriesBytesBothWays)
{
    Server srv;
    LinkSocket link;
    Capture cap;
    int fd = link.unblock_connect("127.0.0.1", srv.port, 1);
    std::string out = cap.Stop();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(link.iSocketFd, fd);
    EXPECT_TRUE(link.IsConnect());
    bool immediate = out == "connect with server immediately\n";
    EXPECT_TRUE(immediate || out.empty()) << out;
    ExpectConnectedSocket(fd, !immediate);

    int peer = srv.Accept();
    ASSERT_GE(peer, 0);
    const unsigned char msg[] = {0xAA, 0x00, 0x03, 0x01, 0x02};
    EXPECT_EQ(link.SendBytestoServer(msg, sizeof msg), static_cast<int>(sizeof msg));
    unsigned char got[16] = {};
    pollfd p{peer, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 3000), 1);
    ASSERT_EQ(recv(peer, got, sizeof got, 0), static_cast<ssize_t>(sizeof msg));
    EXPECT_EQ(memcmp(got, msg, sizeof msg), 0);

    ASSERT_EQ(send(peer, "reply", 5, 0), 5);
    std::vector<unsigned char> buf(kSocketRecvMax);
    ASSERT_EQ(ReceiveSomething(link, buf.data()), 5);
    EXPECT_EQ(memcmp(buf.data(), "reply", 5), 0);
    close(peer);
}

TEST(LinkSocketConnect, DelayedConnectFinishesWithinTheWait)
{
    // After 300 ms the other clients go and the server frees its queue; the
    // link's retried SYN (about 1 s later; 3 s or 7 s when the queue was
    // freed late) then gets through inside the 10 s wait.
    Server srv(0);
    std::vector<int> filler = FillBacklog(srv);
    std::atomic<bool> done{false};
    std::thread drain([&] {
        usleep(300000);
        CloseAll(filler);
        while (!done) {
            int c = srv.Accept(50);
            if (c >= 0)
                close(c);
        }
    });
    LinkSocket link;
    Capture cap;
    long long t0 = NowMs();
    int fd = link.unblock_connect("127.0.0.1", srv.port, 10);
    long long took = NowMs() - t0;
    std::string out = cap.Stop();
    done = true;
    drain.join();
    ASSERT_GE(fd, 0) << out;
    EXPECT_EQ(out, "");
    EXPECT_GE(took, 250);
    EXPECT_LT(took, 10000 + 3000);
    ExpectConnectedSocket(fd, true);
}

TEST(LinkSocketConnect, RefusedConnectLeavesNothingOpen)
{
    Server closedPort(0, false); // bound, not listening: connects are refused
    LinkSocket link;
    int before = CountFds();
    Capture cap;
    EXPECT_EQ(link.unblock_connect("127.0.0.1", closedPort.port, 1), -1);
    std::string out = cap.Stop();
    char refused[80];
    snprintf(refused, sizeof refused, "connection failed after select with the error: %d \n", ECONNREFUSED);
    EXPECT_TRUE(out == refused ||
                out == "ret = -1\nunblock connect failed!\n")
        << out;
    EXPECT_FALSE(link.IsConnect());
    EXPECT_EQ(link.iSocketFd, -1);
    EXPECT_EQ(CountFds(), before);
}

TEST(LinkSocketConnect, TimesOutOnServerThatNeverAnswers)
{
    Server srv(0);
    std::vector<int> filler = FillBacklog(srv);
    LinkSocket link;
    int before = CountFds();
    for (bool interrupted : {false, true}) {
        SCOPED_TRACE(interrupted ? "with signals during the wait" : "quiet");
        std::optional<SignalStorm> storm;
        if (interrupted)
            storm.emplace(50000);
        Capture cap;
        long long t0 = NowMs();
        int fd = link.unblock_connect("127.0.0.1", srv.port, 1);
        long long took = NowMs() - t0;
        std::string out = cap.Stop();
        storm.reset();
        EXPECT_EQ(fd, -1);
        EXPECT_EQ(out, "connection time out\n");
        EXPECT_GE(took, 990);
        EXPECT_LT(took, 1000 * 3 + 500);
        EXPECT_FALSE(link.IsConnect());
        EXPECT_EQ(CountFds(), before);
    }
    CloseAll(filler);
}

TEST(LinkSocketConnect, FullDescriptorTable)
{
    Server srv;
    LinkSocket link;
    Capture cap;
    ASSERT_GE(link.unblock_connect("127.0.0.1", srv.port, 1), 0);
    // Cap the table at the lowest free descriptor: only the held socket's
    // slot can make room for a new one.
    rlimit old{};
    getrlimit(RLIMIT_NOFILE, &old);
    int lowest = dup(2);
    close(lowest);
    rlimit tight = old;
    tight.rlim_cur = lowest;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    int again = link.unblock_connect("127.0.0.1", srv.port, 1);
    link.DisconnectServer();
    int blocker = dup(2);
    int failed = link.unblock_connect("127.0.0.1", srv.port, 1);
    setrlimit(RLIMIT_NOFILE, &old);
    cap.Stop();
    close(blocker);
    EXPECT_GE(again, 0) << "the held socket was not given up first";
    EXPECT_GE(blocker, 0);
    EXPECT_EQ(failed, -1);
    EXPECT_FALSE(link.IsConnect());
}

TEST(LinkSocketConnect, UnparsableAddressGoesToZeroAddress)
{
    // 0.0.0.0 reaches the local host on Linux; our own loopback listener
    // proves the attempt went there.
    Server srv;
    LinkSocket link;
    Capture cap;
    int fd = link.unblock_connect("no.such.address", srv.port, 1);
    cap.Stop();
    ASSERT_GE(fd, 0);
    int peer = srv.Accept();
    EXPECT_GE(peer, 0);
    close(peer);
    EXPECT_EQ(link.unblock_connect(nullptr, srv.port, 1), -1);
    EXPECT_FALSE(link.IsConnect());
}

TEST(LinkSocketConnect, ReconnectAndDestructionCloseTheHeldSocket)
{
    Server srv;
    int before = CountFds();
    int second = -1;
    {
        LinkSocket link;
        Capture cap;
        ASSERT_GE(link.unblock_connect("127.0.0.1", srv.port, 1), 0);
        int first = srv.Accept();
        ASSERT_GE(link.unblock_connect("127.0.0.1", srv.port, 1), 0);
        second = srv.Accept();
        cap.Stop();
        ASSERT_GE(first, 0);
        ASSERT_GE(second, 0);
        EXPECT_TRUE(PeerSeesEof(first)) << "reconnect left the first socket open";
        close(first);
    }
    EXPECT_TRUE(PeerSeesEof(second)) << "destructor left the socket open";
    close(second);
    EXPECT_EQ(CountFds(), before);
}

TEST(LinkSocketConnect, ManyRoundsLeakNoDescriptors)
{
    Server srv;
    Server closedPort(0, false);
    LinkSocket link;
    int before = CountFds();
    Capture cap;
    for (int i = 0; i < 30; ++i) {
        ASSERT_GE(link.unblock_connect("127.0.0.1", srv.port, 1), 0);
        close(srv.Accept());
        if (i % 2)
            link.DisconnectServer();
        EXPECT_EQ(link.unblock_connect("127.0.0.1", closedPort.port, 1), -1);
        link.DisconnectServer();
        link.DisconnectServer();
    }
    cap.Stop();
    EXPECT_EQ(CountFds(), before);
}

TEST(LinkSocketConnect, DescriptorZeroIsAConnection)
{
    Server srv;
    int savedIn = dup(0);
    Capture cap;
    close(0); // as in a daemon without stdin: the socket becomes descriptor 0
    LinkSocket link;
    int fd = link.unblock_connect("127.0.0.1", srv.port, 1);
    cap.Stop();
    int peer = srv.Accept();
    EXPECT_EQ(fd, 0);
    EXPECT_TRUE(link.IsConnect());
    const unsigned char b[] = {1, 2, 3};
    EXPECT_EQ(link.SendBytestoServer(b, 3), 3);
    link.DisconnectServer();
    EXPECT_FALSE(link.IsConnect());
    EXPECT_EQ(fcntl(0, F_GETFD), -1) << "descriptor 0 not closed";
    dup2(savedIn, 0);
    close(savedIn);
    ASSERT_GE(peer, 0);
    EXPECT_TRUE(PeerSeesEof(peer));
    close(peer);
}

TEST(LinkSocketConnect, WorksAboveFdSetSize)
{
    rlimit rl{};
    getrlimit(RLIMIT_NOFILE, &rl);
    const rlim_t want = FD_SETSIZE + 200;
    if (rl.rlim_cur < want) {
        if (rl.rlim_max != RLIM_INFINITY && rl.rlim_max < want)
            GTEST_SKIP() << "descriptor limit too low";
        rl.rlim_cur = want;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &rl), 0);
    }
    Server srv;
    // Take every free descriptor below FD_SETSIZE + 10, so the link's socket
    // lands above an fd_set's reach.
    std::vector<int> filler;
    for (int d; (d = dup(2)) >= 0;) {
        if (d >= FD_SETSIZE + 10) {
            close(d);
            break;
        }
        filler.push_back(d);
    }
    LinkSocket link;
    Capture cap;
    int fd = link.unblock_connect("127.0.0.1", srv.port, 1);
    cap.Stop();
    CloseAll(filler);
    ASSERT_GE(fd, FD_SETSIZE);
    int peer = srv.Accept();
    ASSERT_GE(peer, 0);

    std::vector<unsigned char> buf(kSocketRecvMax);
    EXPECT_EQ(link.RvcBytesFromServer(buf.data()), 0);
    ASSERT_EQ(send(peer, "x", 1, 0), 1);
    EXPECT_EQ(ReceiveSomething(link, buf.data()), 1);
    EXPECT_EQ(link.SendBytestoServer(buf.data(), 1), 1);
    close(peer);
    EXPECT_EQ(ReceiveSomething(link, buf.data()), -1);
}

TEST(LinkSocketTransfer, UnconnectedObject)
{
    LinkSocket link;
    std::vector<unsigned char> buf(kSocketRecvMax);
    Capture cap;
    EXPECT_EQ(link.RvcBytesFromServer(buf.data()), -1);
    std::string recvOut = cap.Stop();
    Capture cap2;
    EXPECT_EQ(link.SendBytestoServer(buf.data(), 10), 0);
    link.DisconnectServer();
    link.DisconnectServer();
    EXPECT_EQ(cap2.Stop(), "");
    EXPECT_EQ(recvOut, "disConnect Server\r\n");
    EXPECT_EQ(link.ReadSocket(buf.data()), -1);
}

TEST(LinkSocketTransfer, ReceiveWaitsBrieflyThenSeesTheServerClose)
{
    Server srv;
    LinkSocket link;
    Capture cap;
    ASSERT_GE(link.unblock_connect("127.0.0.1", srv.port, 1), 0);
    cap.Stop();
    int peer = srv.Accept();
    ASSERT_GE(peer, 0);
    std::vector<unsigned char> buf(kSocketRecvMax);
    for (bool interrupted : {false, true}) {
        SCOPED_TRACE(interrupted ? "with signals during the wait" : "quiet");
        std::optional<SignalStorm> storm;
        if (interrupted)
            storm.emplace(3000);
        long long t0 = NowMs();
        int n = link.RvcBytesFromServer(buf.data());
        long long took = NowMs() - t0;
        storm.reset();
        EXPECT_EQ(n, 0);
        EXPECT_GE(took, kSocketRecvWaitMs - 1);
        EXPECT_LT(took, 3000); // well short of the socket's 5 s timeout
    }
    close(peer);
    EXPECT_EQ(ReceiveSomething(link, buf.data()), -1);
}

TEST(LinkSocketTransfer, LargeBurstArrivesInCappedPieces)
{
    Server srv;
    LinkSocket link;
    Capture cap;
    ASSERT_GE(link.unblock_connect("127.0.0.1", srv.port, 1), 0);
    cap.Stop();
    int peer = srv.Accept();
    ASSERT_GE(peer, 0);

    const int total = kSocketRecvMax + 38560;
    std::vector<unsigned char> sent(total);
    for (int i = 0; i < total; ++i)
        sent[i] = static_cast<unsigned char>(i * 7 + i / 251);
    std::thread writer([&] {
        ssize_t n = send(peer, sent.data(), sent.size(), 0);
        (void)n;
    });
    // Wait until more than one receive's worth is queued on our side.
    long long end = NowMs() + 5000;
    int queued = 0;
    while (NowMs() < end && queued <= kSocketRecvMax) {
        ioctl(link.iSocketFd, FIONREAD, &queued);
        usleep(2000);
    }
    ASSERT_GT(queued, kSocketRecvMax);

    const int guard = 256;
    std::vector<unsigned char> buf(kSocketRecvMax + guard, 0xA5);
    std::vector<unsigned char> got;
    int first = link.RvcBytesFromServer(buf.data());
    EXPECT_EQ(first, kSocketRecvMax);
    for (int i = 0; i < guard; ++i)
        ASSERT_EQ(buf[kSocketRecvMax + i], 0xA5) << "written past the receive limit at " << i;
    got.insert(got.end(), buf.begin(), buf.begin() + (first > 0 ? first : 0));
    while (static_cast<int>(got.size()) < total) {
        int n = ReceiveSomething(link, buf.data());
        ASSERT_GT(n, 0);
        EXPECT_LE(n, kSocketRecvMax);
        got.insert(got.end(), buf.begin(), buf.begin() + n);
    }
    writer.join();
    EXPECT_EQ(got, sent);
    close(peer);
}

TEST(LinkSocketTransfer, SendAfterServerLeftFailsWithoutKillingUs)
{
    signal(SIGPIPE, SIG_DFL);
    sigset_t pipeSet;
    sigemptyset(&pipeSet);
    sigaddset(&pipeSet, SIGPIPE);
    pthread_sigmask(SIG_UNBLOCK, &pipeSet, nullptr);

    Server srv;
    LinkSocket link;
    Capture cap;
    ASSERT_GE(link.unblock_connect("127.0.0.1", srv.port, 1), 0);
    cap.Stop();
    close(srv.Accept());
    const unsigned char b[64] = {0xAA};
    int ret = 1;
    for (long long end = NowMs() + 3000; ret > 0 && NowMs() < end; usleep(10000))
        ret = link.SendBytestoServer(b, sizeof b);
    EXPECT_LE(ret, 0);
    EXPECT_EQ(link.WriteSocket(b, -1), -1);
}

TEST(LinkSocketTransfer, SetNonBlockingReportsOldFlags)
{
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    LinkSocket link;
    int before = fcntl(p[0], F_GETFL);
    EXPECT_EQ(link.setnonblocking(p[0]), before);
    EXPECT_NE(fcntl(p[0], F_GETFL) & O_NONBLOCK, 0);
    EXPECT_EQ(link.setnonblocking(p[0]) & O_NONBLOCK, O_NONBLOCK);
    close(p[0]);
    close(p[1]);
    EXPECT_EQ(link.setnonblocking(p[0]), -1);
}

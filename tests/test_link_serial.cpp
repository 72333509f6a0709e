// The serial link against a real pseudo-terminal: the link opens the slave
// side, the test plays the reader module on the master side.
#include "LinkSerial.h"

#include <gtest/gtest.h>

#include "test_support.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <pty.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

using namespace std::string_literals;

namespace {

using Clock = std::chrono::steady_clock;

long MsSince(Clock::time_point start)
{
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

struct Pty {
    int master = -1;
    int slave = -1; // kept open so the pair lives while the link reopens it
    char path[PATH_MAX] = {};

    Pty()
    {
        if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0 ||
            ptsname_r(master, path, sizeof path) != 0)
            ADD_FAILURE() << "openpty: " << strerror(errno);
    }
    ~Pty()
    {
        close(master);
        close(slave);
    }

    void Send(const std::string &bytes) const
    {
        ASSERT_EQ(write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    // What the link wrote, until n bytes came or nothing more came for quietMs.
    std::string Received(size_t n, int quietMs = 1000) const
    {
        std::string got;
        pollfd pfd{master, POLLIN, 0};
        while (got.size() < n && poll(&pfd, 1, quietMs) > 0) {
            char chunk[512];
            ssize_t r = read(master, chunk, sizeof chunk);
            if (r <= 0)
                break;
            got.append(chunk, static_cast<size_t>(r));
        }
        return got;
    }
};

using Capture = testsupport::ConsoleCapture;

std::string AllByteValues()
{
    std::string bytes;
    for (int i = 0; i < 256; ++i)
        bytes.push_back(static_cast<char>(i));
    return bytes;
}

bool IsOpen(int fd)
{
    return fcntl(fd, F_GETFD) != -1;
}

int OpenDescriptorCount() { return testsupport::OpenDescriptors(); }

// Waits until the link's side of the terminal holds n unread bytes.
bool WaitPending(int fd, int n)
{
    for (int i = 0; i < 2000; ++i) {
        int pending = 0;
        if (ioctl(fd, FIONREAD, &pending) == 0 && pending >= n)
            return true;
        usleep(500);
    }
    return false;
}

// Sends bytes one piece at a time, pausing between pieces, until stopped.
class Trickle {
public:
    Trickle(const Pty &pty, std::string bytes, size_t piece, int pauseMs)
        : m_thread([this, &pty, bytes, piece, pauseMs] {
              for (size_t at = 0; at < bytes.size() && !m_stop; at += piece) {
                  std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
                  pty.Send(bytes.substr(at, piece));
              }
          })
    {
    }
    ~Trickle()
    {
        m_stop = true;
        m_thread.join();
    }

private:
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

class SerialTest : public ::testing::Test {
protected:
    int Connect(int baud = 115200)
    {
        int fd = link.ConnectSerial(pty.path, baud);
        EXPECT_GE(fd, 0);
        return fd;
    }

    Pty pty;
    LinkSerial link;
};

} // namespace

TEST_F(SerialTest, ConnectGivesBlockingRaw8N1AtEveryAcceptedSpeed)
{
    const struct {
        int baud;
        speed_t speed;
    } speeds[] = {{2400, B2400},     {4800, B4800},     {9600, B9600},
                  {19200, B19200},   {38400, B38400},   {57600, B57600},
                  {115200, B115200}, {230400, B230400}, {460800, B460800}};
    for (const auto &s : speeds) {
        SCOPED_TRACE(s.baud);
        Capture out(STDOUT_FILENO);
        int fd = Connect(s.baud);
        EXPECT_EQ(out.Stop(), "");
        ASSERT_GE(fd, 0);
        EXPECT_EQ(link.iSerialFd, fd);

        termios tio{};
        ASSERT_EQ(tcgetattr(fd, &tio), 0);
        EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
        EXPECT_EQ(tio.c_cflag & (PARENB | PARODD | CSTOPB | CRTSCTS), 0u);
        EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
        EXPECT_EQ(tio.c_iflag, 0u);
        EXPECT_EQ(tio.c_oflag, 0u);
        EXPECT_EQ(tio.c_lflag, 0u);
        EXPECT_EQ(tio.c_cc[VMIN], 0);
        EXPECT_EQ(tio.c_cc[VTIME], 0);
        EXPECT_EQ(cfgetispeed(&tio), s.speed);
        EXPECT_EQ(cfgetospeed(&tio), s.speed);
        EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
        EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);

        Capture bye(STDOUT_FILENO);
        link.DisConnectSerial();
        EXPECT_EQ(bye.Stop(), "disconnect serial\r\n");
        EXPECT_EQ(link.iSerialFd, -1);
        EXPECT_FALSE(IsOpen(fd));
    }
}

TEST_F(SerialTest, EveryByteValuePassesUnchangedBothWays)
{
    // Flow control, echo, CR/NL translation or bit stripping would each
    // change or swallow some of these.
    int fd = Connect();
    const std::string bytes = AllByteValues();
    pty.Send(bytes);
    unsigned char in[256];
    ASSERT_EQ(link.ReadSerial(fd, in, 256, 1000), 256);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(in), 256), bytes);

    EXPECT_EQ(link.WriteSerial(fd, bytes.data(), 256), 256);
    EXPECT_EQ(pty.Received(256), bytes);
    EXPECT_EQ(pty.Received(1, 300), ""); // and no echo of the input
}

TEST_F(SerialTest, RejectedSettingsFailAndLeaveThePortAsItWas)
{
    // Bad speed inside ConnectSerial: the port stays stored for the caller.
    Capture out(STDOUT_FILENO), err(STDERR_FILENO);
    EXPECT_EQ(link.ConnectSerial(pty.path, 1200), -1);
    EXPECT_EQ(err.Stop(), std::string("set_port error !\n: ") + strerror(EINVAL) + "\n");
    EXPECT_EQ(out.Stop(), "donot exist iBaudRate 1200!\n");
    int kept = link.iSerialFd;
    ASSERT_GE(kept, 0);
    EXPECT_TRUE(IsOpen(kept));
    Capture bye(STDOUT_FILENO);
    link.DisConnectSerial();
    EXPECT_EQ(bye.Stop(), "disconnect serial\r\n");
    EXPECT_FALSE(IsOpen(kept));

    // Bad data bits or parity on a configured port change nothing.
    int fd = Connect(9600);
    const struct {
        int bits;
        char parity;
        const char *line;
    } bad[] = {{6, 'N', "donot exist iDataSize 6\n"},
               {8, 'X', "donot exist cParity X !\n"},
               {5, 'E', "donot exist iDataSize 5\n"}};
    for (const auto &b : bad) {
        Capture line(STDOUT_FILENO);
        errno = 0;
        EXPECT_EQ(link.setport(fd, 115200, b.bits, b.parity, 1), -1);
        EXPECT_EQ(errno, EINVAL);
        EXPECT_EQ(line.Stop(), b.line);
        termios tio{};
        ASSERT_EQ(tcgetattr(fd, &tio), 0);
        EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B9600));
    }
}

TEST_F(SerialTest, ParityAndStopBitOptions)
{
    // A pseudo-terminal always reports 8 bits without parity enable, so
    // only the odd/even choice and the stop bits can be seen here.
    int fd = Connect();
    termios tio{};
    ASSERT_EQ(link.setport(fd, 57600, 7, 'O', 2), 0);
    ASSERT_EQ(tcgetattr(fd, &tio), 0);
    EXPECT_NE(tio.c_cflag & PARODD, 0u);
    EXPECT_NE(tio.c_cflag & CSTOPB, 0u);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B57600));

    // Nothing of the odd setting may survive into the next one.
    Capture out(STDOUT_FILENO);
    EXPECT_EQ(link.setport(fd, 115200, 7, 'E', 3), 0);
    EXPECT_EQ(out.Stop(), "donot exist iStopBit 3\n");
    ASSERT_EQ(tcgetattr(fd, &tio), 0);
    EXPECT_EQ(tio.c_cflag & (PARODD | CSTOPB), 0u);
}

TEST_F(SerialTest, SetportDiscardsStaleInput)
{
    int fd = Connect();
    pty.Send("stale");
    ASSERT_TRUE(WaitPending(fd, 5));
    ASSERT_EQ(link.setport(fd, 115200, 8, 'N', 1), 0);
    unsigned char buf[5];
    int got = -1;
    EXPECT_EQ(link.readserial(fd, buf, 5, &got, 20), -1);
    EXPECT_EQ(got, 0);
}

TEST_F(SerialTest, OpenFailuresStoreNothingOrLeaveTheOpenPortForTheCaller)
{
    Capture out(STDOUT_FILENO), err(STDERR_FILENO);
    EXPECT_EQ(link.ConnectSerial("/nonexistent/ttyS9", 115200), -1);
    EXPECT_EQ(link.iSerialFd, -1);
    EXPECT_EQ(link.ConnectSerial(nullptr, 115200), -1);
    EXPECT_EQ(link.iSerialFd, -1);
    EXPECT_EQ(err.Stop(), "Open_port error!: "s + strerror(ENOENT) + "\nOpen_port error!: " +
                              strerror(EINVAL) + "\n");
    EXPECT_EQ(out.Stop(), "");

    // Not a terminal: opens, but cannot be configured.
    char file[] = "/tmp/serial_test_XXXXXX";
    int tmp = mkstemp(file);
    ASSERT_GE(tmp, 0);
    close(tmp);
    Capture err2(STDERR_FILENO);
    EXPECT_EQ(link.ConnectSerial(file, 115200), -1);
    const std::string why = std::string(": ") + strerror(ENOTTY) + "\n";
    EXPECT_EQ(err2.Stop(),
              "Cannot get old terminal description" + why + "set_port error !\n" + why);
    unlink(file);
    EXPECT_GE(link.iSerialFd, 0);
    EXPECT_TRUE(IsOpen(link.iSerialFd));
}

TEST_F(SerialTest, ReadSerialCollectsExactLength)
{
    int fd = Connect();

    // Bytes already waiting: one poll and one read, never a sleep. A
    // millisecond's sleep would put every call over the mark; a loaded
    // machine puts off only the odd one.
    int quick = 0;
    for (int round = 0; round < 100; ++round) {
        std::string bytes(32, static_cast<char>('A' + round % 26));
        pty.Send(bytes);
        ASSERT_TRUE(WaitPending(fd, 32));
        unsigned char buf[32];
        auto start = Clock::now();
        ASSERT_EQ(link.ReadSerial(fd, buf, 32, 1000), 32);
        quick += Clock::now() - start < std::chrono::milliseconds(1);
        ASSERT_EQ(std::string(reinterpret_cast<char *>(buf), 32), bytes);
    }
    EXPECT_GE(quick, 90);

    // Bytes arriving in pieces.
    const std::string bytes = AllByteValues().substr(0, 90);
    unsigned char buf[90];
    {
        Trickle writer(pty, bytes, 30, 40);
        ASSERT_EQ(link.ReadSerial(fd, buf, 90, 1000), 90);
    }
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buf), 90), bytes);
}

TEST_F(SerialTest, ReadSerialTimesOutWithinItsLimit)
{
    int fd = Connect();
    for (int arriving : {0, 10}) {
        SCOPED_TRACE(arriving);
        pty.Send(std::string(static_cast<size_t>(arriving), 'k'));
        unsigned char buf[40];
        memset(buf, 0xEE, sizeof buf);
        Capture out(STDOUT_FILENO);
        auto start = Clock::now();
        long wakeups = testsupport::Wakeups();
        EXPECT_EQ(link.ReadSerial(fd, buf, 26, 200), -1);
        wakeups = testsupport::Wakeups() - wakeups;
        long ms = MsSince(start);
        EXPECT_EQ(out.Stop(), "timeout from MCU\r\n");
        // The 200 ms of waiting and the 200 attempts of a millisecond, asleep
        // rather than trying every millisecond.
        EXPECT_GE(ms, 400);
        EXPECT_LT(ms, 3000);
        EXPECT_LT(wakeups, 40);
        EXPECT_EQ(std::string(reinterpret_cast<char *>(buf), static_cast<size_t>(arriving)),
                  std::string(static_cast<size_t>(arriving), 'k'));
        for (size_t i = static_cast<size_t>(arriving); i < sizeof buf; ++i)
            ASSERT_EQ(buf[i], 0xEE) << i;
    }
}

TEST_F(SerialTest, ReadSerialWaitBudgetCoversTheWholeCall)
{
    // A byte every 50 ms would keep a per-attempt wait busy for 4 s and
    // complete the read; the shared 200 ms budget must end it long before.
    int fd = Connect();
    unsigned char buf[80];
    Capture out(STDOUT_FILENO);
    auto start = Clock::now();
    int r;
    {
        Trickle writer(pty, std::string(80, 't'), 1, 50);
        r = link.ReadSerial(fd, buf, 80, 200);
    }
    long ms = MsSince(start);
    EXPECT_EQ(out.Stop(), "timeout from MCU\r\n");
    EXPECT_EQ(r, -1);
    EXPECT_LT(ms, 3000 + 50);
}

namespace {
void IgnoreSignal(int) {}
} // namespace

TEST_F(SerialTest, ReadSerialSurvivesSignalStorm)
{
    struct sigaction act {}, old {};
    act.sa_handler = IgnoreSignal; // no SA_RESTART: every wait is cut short
    sigemptyset(&act.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &act, &old), 0);

    int fd = Connect();
    std::atomic<bool> stop{false};
    pthread_t reader = pthread_self();
    std::thread storm([&] {
        while (!stop) {
            pthread_kill(reader, SIGUSR1);
            usleep(2000);
        }
    });

    unsigned char buf[16];
    Capture out(STDOUT_FILENO);
    auto start = Clock::now();
    int silent = link.ReadSerial(fd, buf, 16, 200);
    long ms = MsSince(start);
    std::string said = out.Stop();
    int answered;
    {
        Trickle writer(pty, "0123456789abcdef", 4, 30);
        answered = link.ReadSerial(fd, buf, 16, 1000);
    }
    stop = true;
    storm.join();
    sigaction(SIGUSR1, &old, nullptr);

    EXPECT_EQ(silent, -1);
    EXPECT_EQ(said, "timeout from MCU\r\n");
    EXPECT_GE(ms, 200);
    EXPECT_LT(ms, 3000);
    EXPECT_EQ(answered, 16);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buf), 16), "0123456789abcdef");
}

TEST_F(SerialTest, ReadSerialOddArgumentsReturnPromptly)
{
    int fd = Connect();
    unsigned char buf[8] = {};
    auto start = Clock::now();
    EXPECT_EQ(link.ReadSerial(fd, nullptr, 8, 10000), -1);
    EXPECT_EQ(link.ReadSerial(fd, buf, 0, 10000), 0);
    EXPECT_EQ(link.ReadSerial(fd, buf, -4, 10000), 0);
    // No limit, or a negative one, must not turn into an endless wait.
    Capture out(STDOUT_FILENO);
    EXPECT_EQ(link.ReadSerial(fd, buf, 8, 0), -1);
    EXPECT_EQ(link.ReadSerial(fd, buf, 8, -5), -1);
    EXPECT_EQ(out.Stop(), "timeout from MCU\r\ntimeout from MCU\r\n");
    EXPECT_LT(MsSince(start), 3000);

    // The calls that asked for nothing consumed nothing.
    pty.Send("abcdefgh");
    ASSERT_TRUE(WaitPending(fd, 8));
    EXPECT_EQ(link.ReadSerial(fd, buf, 0, 100), 0);
    EXPECT_EQ(link.ReadSerial(fd, buf, 8, 100), 8);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buf), 8), "abcdefgh");
}

TEST_F(SerialTest, ReadserialCountsAttemptsAndReportsPartialCount)
{
    int fd = Connect();
    const std::string twelve = "\xAA\x00\x0A" "123456789"s;
    pty.Send(twelve);
    unsigned char buf[26];
    int got = -1;
    Capture out(STDOUT_FILENO);
    auto start = Clock::now();
    long wakeups = testsupport::Wakeups();
    EXPECT_EQ(link.readserial(fd, buf, 26, &got, 1000), -1);
    wakeups = testsupport::Wakeups() - wakeups;
    long ms = MsSince(start);
    EXPECT_EQ(out.Stop(), "");
    EXPECT_EQ(got, 12);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buf), 12), twelve);
    EXPECT_GE(ms, 1001); // the span of 1001 attempts a millisecond apart
    EXPECT_LT(ms, 3500);
    EXPECT_LT(wakeups, 40) << "asleep between the pieces, not trying every millisecond";

    // Pieces within the limit; the count pointer may be absent.
    const std::string bytes = AllByteValues().substr(100, 26);
    {
        Trickle writer(pty, bytes, 9, 30);
        EXPECT_EQ(link.readserial(fd, buf, 26, nullptr, 1000), 26);
    }
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buf), 26), bytes);

    got = -1;
    EXPECT_EQ(link.readserial(fd, nullptr, 26, &got, 10), -1);
    EXPECT_EQ(got, 0);
    got = -1;
    EXPECT_EQ(link.readserial(fd, buf, 0, &got, 10), 0);
    EXPECT_EQ(got, 0);
}

TEST_F(SerialTest, WriteSerialSendsOrRefuses)
{
    int fd = Connect();
    const std::string frame = "\xAA\x00\x04\x01\x00\x00\x05"s;
    EXPECT_EQ(link.WriteSerial(fd, frame.data(), 7), 7);
    EXPECT_EQ(pty.Received(7), frame);

    Capture out(STDOUT_FILENO);
    EXPECT_EQ(link.WriteSerial(fd, frame.data(), 0), 0);
    EXPECT_EQ(link.WriteSerial(fd, frame.data(), -3), 0);
    EXPECT_EQ(out.Stop(), "write byte number error !\nwrite byte number error !\n");
    EXPECT_EQ(link.WriteSerial(fd, nullptr, 7), -1);
    EXPECT_EQ(pty.Received(1, 100), "");
    EXPECT_EQ(link.WriteSerial(-1, frame.data(), 7), -1);
}

TEST_F(SerialTest, WorkProcess2SerialWritesThenReadsTheAnswer)
{
    int fd = Connect();
    const std::string request = "\xAA\x00\x12\x34\x56"s;
    const std::string answer = "\xAA\x00\x1C\x10"s + std::string(28, '\x90');
    // The answer waits on the line already: a module answering within the
    // link's 200 ms is not what is tested here.
    pty.Send(answer);
    ASSERT_TRUE(WaitPending(fd, static_cast<int>(answer.size())));
    char in[40];
    memset(in, 0, sizeof in);
    int r = link.WorkProcess2Serial(fd, reinterpret_cast<const unsigned char *>(request.data()), 5,
                                    in, 32);
    EXPECT_EQ(r, 32);
    EXPECT_EQ(std::string(in, 32), answer);
    EXPECT_EQ(pty.Received(request.size()), request);

    // Without an answer buffer: the write's result.
    EXPECT_EQ(link.WorkProcess2Serial(fd, reinterpret_cast<const unsigned char *>(request.data()),
                                      5, nullptr, 32),
              5);
    EXPECT_EQ(pty.Received(5), request);

    // A silent module: the read's timeout.
    Capture out(STDOUT_FILENO);
    auto start = Clock::now();
    EXPECT_EQ(link.WorkProcess2Serial(fd, reinterpret_cast<const unsigned char *>(request.data()),
                                      5, in, 8),
              -1);
    long ms = MsSince(start);
    EXPECT_EQ(out.Stop(), "timeout from MCU\r\n");
    EXPECT_GE(ms, 200);
    EXPECT_LT(ms, 3000);
}

TEST_F(SerialTest, DescriptorZeroIsARealPort)
{
    int savedStdin = dup(STDIN_FILENO); // -1 when already closed
    close(STDIN_FILENO);
    int fd = link.ConnectSerial(pty.path, 9600);
    pty.Send("zero");
    unsigned char buf[4];
    int r = link.ReadSerial(fd, buf, 4, 1000);
    Capture out(STDOUT_FILENO);
    link.DisConnectSerial();
    std::string said = out.Stop();
    bool closed = !IsOpen(STDIN_FILENO);
    if (savedStdin >= 0) {
        dup2(savedStdin, STDIN_FILENO);
        close(savedStdin);
    }

    EXPECT_EQ(fd, 0);
    EXPECT_EQ(r, 4);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buf), 4), "zero");
    EXPECT_EQ(said, "disconnect serial\r\n");
    EXPECT_TRUE(closed);
    EXPECT_EQ(link.iSerialFd, -1);
}

TEST_F(SerialTest, DescriptorAboveSelectLimitWorks)
{
    const int high = FD_SETSIZE + 476;
    rlimit lim{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &lim), 0);
    if (lim.rlim_cur <= static_cast<rlim_t>(high)) {
        if (lim.rlim_max != RLIM_INFINITY && lim.rlim_max <= static_cast<rlim_t>(high))
            GTEST_SKIP() << "descriptor limit too low";
        lim.rlim_cur = high + 1;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lim), 0);
    }
    int fd = Connect();
    ASSERT_EQ(dup2(fd, high), high);
    close(fd);
    link.iSerialFd = high;

    pty.Send("high");
    unsigned char buf[8];
    EXPECT_EQ(link.ReadSerial(high, buf, 4, 1000), 4);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buf), 4), "high");
    Capture out(STDOUT_FILENO);
    EXPECT_EQ(link.WorkProcess2Serial(high, buf, 4, reinterpret_cast<char *>(buf), 8), -1);
    EXPECT_EQ(out.Stop(), "timeout from MCU\r\n");
    EXPECT_EQ(pty.Received(4), "high");

    Capture bye(STDOUT_FILENO);
    link.DisConnectSerial();
    EXPECT_EQ(bye.Stop(), "disconnect serial\r\n");
    EXPECT_FALSE(IsOpen(high));
}

TEST_F(SerialTest, ClosingIsIdempotentAndTheDestructorCloses)
{
    Capture out(STDOUT_FILENO);
    link.DisConnectSerial();
    EXPECT_EQ(out.Stop(), "");

    int fd = Connect();
    EXPECT_EQ(link.Close_port(fd), 0);
    EXPECT_EQ(link.iSerialFd, -1);
    EXPECT_FALSE(IsOpen(fd));
    EXPECT_EQ(link.Close_port(fd), -1);

    int owned;
    Capture bye(STDOUT_FILENO);
    {
        LinkSerial scoped;
        owned = scoped.ConnectSerial(pty.path, 115200);
    }
    EXPECT_EQ(bye.Stop(), "disconnect serial\r\n");
    ASSERT_GE(owned, 0);
    EXPECT_FALSE(IsOpen(owned));
}

TEST_F(SerialTest, ManyRoundsLeakNoDescriptor)
{
    char file[] = "/tmp/serial_test_XXXXXX";
    int tmp = mkstemp(file);
    ASSERT_GE(tmp, 0);
    close(tmp);

    int before = OpenDescriptorCount();
    {
        Capture out(STDOUT_FILENO), err(STDERR_FILENO);
        for (int round = 0; round < 200; ++round) {
            switch (round % 4) {
            case 0:
                link.ConnectSerial(pty.path, 115200);
                break;
            case 1:
                link.ConnectSerial(pty.path, 1200);
                break;
            case 2:
                link.ConnectSerial("/nonexistent/ttyS9", 115200);
                break;
            default:
                link.ConnectSerial(file, 9600);
                break;
            }
            link.DisConnectSerial();
        }
    }
    unlink(file);
    EXPECT_EQ(OpenDescriptorCount(), before);
}

TEST(SerialStrcatTest, AppendsWithTerminatorOrRefusesNull)
{
    char dst[16];
    memset(dst, 'x', sizeof dst);
    strcpy(dst, "AB");
    EXPECT_EQ(LinkSerial::mystrcat(dst, "cde"), 1);
    EXPECT_STREQ(dst, "ABcde");
    EXPECT_EQ(dst[6], 'x');
    EXPECT_EQ(LinkSerial::mystrcat(dst, ""), 1);
    EXPECT_STREQ(dst, "ABcde");
    EXPECT_EQ(LinkSerial::mystrcat(nullptr, "a"), 0);
    EXPECT_EQ(LinkSerial::mystrcat(dst, nullptr), 0);
    EXPECT_STREQ(dst, "ABcde");
}

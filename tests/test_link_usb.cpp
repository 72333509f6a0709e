// The USB link through the real libusb-1.0, talking to the emulated reader
// module (umockdev). Each test builds its own module before any libusb
// context exists, as umockdev requires.
#include <gtest/gtest.h>

#include "test_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "CardMain.h"
#include "LinkUsb.h"
#include "UsbModuleDevice.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

long ElapsedMs(Clock::time_point start)
{
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

Bytes Pattern(size_t n, uint8_t seed)
{
    Bytes b(n);
    for (size_t i = 0; i < n; i++)
        b[i] = static_cast<uint8_t>(seed + i * 7 + i / 251);
    return b;
}

using Capture = testsupport::ConsoleCapture;

size_t Occurrences(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1))
        n++;
    return n;
}

#define ASSERT_DEVICE_OK(dev)                                                                      \
    do {                                                                                           \
        ASSERT_TRUE(UsbModuleDevice::PreloadActive())                                              \
            << "run under ctest (LD_PRELOAD=libumockdev-preload.so.0)";                           \
        ASSERT_TRUE((dev).Ok()) << (dev).Error();                                                  \
    } while (0)

// Opens the link on a working module, keeping its console line out of the log.
void ConnectQuietly(LinkUsb &link, int *result)
{
    Capture err(STDERR_FILENO);
    *result = link.ConnectUsb();
}

// --- connecting ------------------------------------------------------------

TEST(UsbConnect, OpensClaimsAndDetachesOnlyABoundDriver)
{
    for (bool bound : {false, true}) {
        SCOPED_TRACE(bound ? "kernel driver bound" : "no kernel driver");
        UsbModuleDevice dev;
        ASSERT_DEVICE_OK(dev);
        if (bound)
            dev.SetKernelDriver("usbhid");
        LinkUsb link;
        int ret;
        ConnectQuietly(link, &ret);
        ASSERT_EQ(ret, 0);
        EXPECT_NE(link.pDevHandle, nullptr);
        EXPECT_NE(link.pUsbContext, nullptr);

        UsbModuleDevice::Stats s = dev.GetStats();
        EXPECT_EQ(s.detaches, bound ? 1 : 0);
        EXPECT_EQ(s.detachRequests, bound ? 1 : 0);
        EXPECT_EQ(s.claims, 1);
        EXPECT_EQ(s.setConfigurations, 1);
        EXPECT_EQ(s.lastConfiguration, 1);
        EXPECT_EQ(s.openClients, 1);
        EXPECT_EQ(link.GetUsbStatus(), 0);

        Capture out(STDOUT_FILENO);
        link.DisConnectUsb();
        EXPECT_EQ(out.Stop(), "disconnect usb \n");
        EXPECT_EQ(link.pDevHandle, nullptr);
        EXPECT_EQ(link.pUsbContext, nullptr);
        EXPECT_TRUE(dev.WaitFor([](const UsbModuleDevice::Stats &st) {
            return st.releases == 1 && st.openClients == 0;
        }, 10000));
        EXPECT_TRUE(dev.UnknownRequests().empty());
    }
}

TEST(UsbConnect, ConfigurationThatCannotBeSetStillConnects)
{
    UsbModuleDevice dev;
    ASSERT_DEVICE_OK(dev);
    dev.SetConfigurationFails(true);
    LinkUsb link;
    Capture out(STDOUT_FILENO);
    Capture err(STDERR_FILENO);
    EXPECT_EQ(link.ConnectUsb(), 0);
    EXPECT_EQ(err.Stop(), "");
    EXPECT_EQ(out.Stop(), "");
    EXPECT_EQ(dev.GetStats().setConfigurations, 1);
    EXPECT_EQ(dev.GetStats().claims, 1);
    EXPECT_NE(link.pDevHandle, nullptr);
}

TEST(UsbConnect, UnclaimableInterfaceFailsAndDisconnectReleasesWhatWasLeft)
{
    UsbModuleDevice dev;
    ASSERT_DEVICE_OK(dev);
    dev.SetClaimFails(true);
    LinkUsb link;
    Capture err(STDERR_FILENO);
    EXPECT_EQ(link.ConnectUsb(), -1);
    std::string text = err.Stop();
    EXPECT_EQ(text.rfind("Cannot Claim Interface\n: ", 0), 0u) << text;
    EXPECT_EQ(text.back(), '\n');
    EXPECT_EQ(Occurrences(text, "\n: "), 1u);
    // Left open for the caller's release.
    EXPECT_NE(link.pDevHandle, nullptr);
    EXPECT_NE(link.pUsbContext, nullptr);
    EXPECT_EQ(dev.GetStats().openClients, 1);

    Capture out(STDOUT_FILENO);
    link.DisConnectUsb();
    EXPECT_EQ(out.Stop(), "disconnect usb \n");
    EXPECT_EQ(link.pDevHandle, nullptr);
    EXPECT_EQ(link.pUsbContext, nullptr);
    EXPECT_TRUE(dev.WaitFor([](const UsbModuleDevice::Stats &s) { return s.openClients == 0; },
                            10000));
    EXPECT_EQ(dev.GetStats().claims, 0);
}

TEST(UsbConnect, AbsentDeviceFailsWithItsLine)
{
    UsbModuleDevice dev(false);
    ASSERT_DEVICE_OK(dev);
    LinkUsb link;
    Capture err(STDERR_FILENO);
    EXPECT_EQ(link.ConnectUsb(), -1);
    std::string text = err.Stop();
    EXPECT_EQ(text.rfind("Cannot open device,Please check device...\n: ", 0), 0u) << text;
    EXPECT_EQ(link.pDevHandle, nullptr);
    EXPECT_NE(link.pUsbContext, nullptr);

    Capture out(STDOUT_FILENO);
    link.DisConnectUsb();
    EXPECT_EQ(out.Stop(), "");
    EXPECT_EQ(link.pUsbContext, nullptr);

    // Plugged in later, the same link finds it.
    ASSERT_TRUE(dev.Plug()) << dev.Error();
    int ret;
    ConnectQuietly(link, &ret);
    EXPECT_EQ(ret, 0);
}

TEST(UsbConnect, ConnectingAgainReleasesTheEarlierDevice)
{
    UsbModuleDevice dev;
    ASSERT_DEVICE_OK(dev);
    LinkUsb link;
    int ret;
    ConnectQuietly(link, &ret);
    ASSERT_EQ(ret, 0);
    Capture out(STDOUT_FILENO);
    ConnectQuietly(link, &ret);
    EXPECT_EQ(ret, 0);
    EXPECT_EQ(out.Stop(), "disconnect usb \n");
    EXPECT_TRUE(dev.WaitFor([](const UsbModuleDevice::Stats &s) {
        return s.openClients == 1 && s.releases == 1 && s.claims == 2;
    }, 10000));
    // The new handle works.
    dev.QueueIn({0xAA, 0x01});
    unsigned char buf[2048];
    EXPECT_EQ(link.ReadUsb(buf, 1000), 2);
}

// --- reading ---------------------------------------------------------------

class UsbOpen : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_DEVICE_OK(dev);
        int ret;
        ConnectQuietly(link, &ret);
        ASSERT_EQ(ret, 0);
    }

    UsbModuleDevice dev;
    LinkUsb link; // closed before the device goes away
};

TEST_F(UsbOpen, ReadWithNothingSentTimesOutAndLeavesTheBufferAlone)
{
    for (int timeout : {50, 300}) {
        SCOPED_TRACE(timeout);
        unsigned char buf[2048];
        memset(buf, 0x5A, sizeof buf);
        Clock::time_point start = Clock::now();
        EXPECT_EQ(link.ReadUsb(buf, timeout), 0);
        long ms = ElapsedMs(start);
        EXPECT_GE(ms, timeout);
        EXPECT_LT(ms, timeout + 2000);
        for (unsigned char c : buf)
            ASSERT_EQ(c, 0x5A);
    }
    // One transfer stays pending across the time-outs; the frame that lands
    // in it meanwhile is the next read's, not lost.
    EXPECT_EQ(dev.GetStats().pendingIn, 1);
    Bytes frame = Pattern(26, 3);
    dev.QueueIn(frame);
    unsigned char buf[2048];
    ASSERT_EQ(link.ReadUsb(buf, 1000), 26);
    EXPECT_EQ(Bytes(buf, buf + 26), frame);
    // Closing withdraws the pending transfer.
    ASSERT_EQ(link.ReadUsb(buf, 50), 0);
    link.DisConnectUsb();
    EXPECT_EQ(dev.GetStats().pendingIn, 0);
}

TEST_F(UsbOpen, FrameArrivingLaterIsReturnedWhenItComes)
{
    Bytes frame = Pattern(120, 9);
    Clock::time_point start = Clock::now();
    dev.QueueIn(frame, 250);
    unsigned char buf[2048] = {};
    ASSERT_EQ(link.ReadUsb(buf, 10000), 120);
    long ms = ElapsedMs(start);
    EXPECT_GE(ms, 250);
    EXPECT_LT(ms, 8000) << "not when the frame came";
    EXPECT_EQ(Bytes(buf, buf + 120), frame);
}

TEST_F(UsbOpen, LongBurstIsSplitAt2048AndNothingWrittenPastIt)
{
    Bytes burst = Pattern(3000, 1);
    dev.QueueIn(burst);
    struct {
        unsigned char data[2048];
        unsigned char guard[256];
    } area;
    memset(&area, 0xC3, sizeof area);
    ASSERT_EQ(link.ReadUsb(area.data, 1000), 2048);
    EXPECT_EQ(Bytes(area.data, area.data + 2048), Bytes(burst.begin(), burst.begin() + 2048));
    for (unsigned char c : area.guard)
        ASSERT_EQ(c, 0xC3);
    EXPECT_EQ(dev.PendingInBytes(), 952u);

    unsigned char rest[2048];
    memset(rest, 0xC3, sizeof rest);
    ASSERT_EQ(link.ReadUsb(rest, 1000), 952);
    EXPECT_EQ(Bytes(rest, rest + 952), Bytes(burst.begin() + 2048, burst.end()));
    EXPECT_EQ(rest[952], 0xC3);
    EXPECT_EQ(dev.PendingInFrames(), 0u);
}

TEST_F(UsbOpen, FailedReadCopiesNothingAndResetRecovers)
{
    // libusb reports a babbling transfer as an error with a byte count.
    dev.QueueIn(Pattern(100, 6));
    dev.BabbleIn(1);
    unsigned char babble[2048];
    memset(babble, 0x11, sizeof babble);
    EXPECT_EQ(link.ReadUsb(babble, 1000), 0);
    for (unsigned char c : babble)
        ASSERT_EQ(c, 0x11);
    EXPECT_EQ(dev.GetStats().inTransfers, 1);

    dev.QueueIn(Pattern(40, 5));
    dev.StallIn(1);
    unsigned char buf[2048];
    memset(buf, 0x11, sizeof buf);
    Clock::time_point start = Clock::now();
    EXPECT_EQ(link.ReadUsb(buf, 2000), 0);
    EXPECT_LT(ElapsedMs(start), 1500); // a stall is an answer, not a timeout
    for (unsigned char c : buf)
        ASSERT_EQ(c, 0x11);
    // The endpoint stays halted until the device is reset.
    EXPECT_EQ(link.ReadUsb(buf, 200), 0);
    link.Resetep();
    EXPECT_EQ(dev.GetStats().resets, 1);
    EXPECT_EQ(link.ReadUsb(buf, 1000), 40);
    EXPECT_EQ(Bytes(buf, buf + 40), Pattern(40, 5));
}

TEST_F(UsbOpen, ReadArgumentsThatWouldMisbehave)
{
    dev.QueueIn(Pattern(10, 2));
    EXPECT_EQ(link.ReadUsb(nullptr, 100), -1);
    EXPECT_EQ(dev.PendingInFrames(), 1u); // no transfer took it

    unsigned char buf[2048];
    ASSERT_EQ(link.ReadUsb(buf, 500), 10);

    // 0 or a negative timeout must come back rather than wait for ever.
    for (int timeout : {0, -5}) {
        SCOPED_TRACE(timeout);
        std::future<int> f = std::async(std::launch::async, [&] { return link.ReadUsb(buf, timeout); });
        if (f.wait_for(std::chrono::seconds(3)) != std::future_status::ready) {
            dev.Remove(); // ends the hung transfer so the test can finish
            f.wait();
            FAIL() << "ReadUsb with timeout " << timeout << " did not return";
        }
        EXPECT_EQ(f.get(), 0);
    }
}

TEST_F(UsbOpen, ModuleAnswerToACommandIsRead)
{
    const Bytes command = {0xAA, 0x00, 0x03, 0x11, 0x22, 0x30};
    const Bytes answer = Pattern(26, 0xAA);
    dev.SetOutHandler([&](const Bytes &out) {
        if (out == command)
            dev.QueueIn(answer);
    });
    EXPECT_EQ(link.WriteUsb(command.data(), static_cast<int>(command.size())), 6);
    unsigned char buf[2048];
    ASSERT_EQ(link.ReadUsb(buf, 50), 26);
    EXPECT_EQ(Bytes(buf, buf + 26), answer);
}

// --- writing ---------------------------------------------------------------

TEST_F(UsbOpen, WriteReachesTheDeviceExactly)
{
    const Bytes small = {0xAA, 0x00, 0x03, 0x00, 0x00, 0x03};
    const Bytes large = Pattern(1500, 77);
    EXPECT_EQ(link.WriteUsb(small.data(), static_cast<int>(small.size())), 6);
    EXPECT_EQ(link.WriteUsb(large.data(), static_cast<int>(large.size())), 1500);
    std::vector<Bytes> seen = dev.OutTransfers();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], small);
    EXPECT_EQ(seen[1], large);
    EXPECT_TRUE(dev.GetStats().clearedHalts.empty());
}

TEST_F(UsbOpen, StalledWriteClearsTheHaltAndReportsNothingSent)
{
    dev.SetOutFault(UsbModuleDevice::OutFault::Stall, 0, 1);
    const Bytes data = Pattern(64, 4);
    EXPECT_EQ(link.WriteUsb(data.data(), 64), 0);
    EXPECT_EQ(dev.GetStats().clearedHalts, Bytes{0x03});
    // Only because the halt was cleared does the next write go through.
    EXPECT_EQ(link.WriteUsb(data.data(), 64), 64);
    ASSERT_EQ(dev.OutTransfers().size(), 1u);
    EXPECT_EQ(dev.OutTransfers()[0], data);
}

TEST_F(UsbOpen, WriteTimingOutReportsTheBytesActuallySent)
{
    dev.SetOutFault(UsbModuleDevice::OutFault::Timeout, 10, 1);
    const Bytes data = Pattern(200, 8);
    Clock::time_point start = Clock::now();
    EXPECT_EQ(link.WriteUsb(data.data(), 200), 10);
    long ms = ElapsedMs(start);
    EXPECT_GE(ms, 100);
    EXPECT_LT(ms, 2100);
    EXPECT_EQ(dev.GetStats().clearedHalts, Bytes{0x03});
    ASSERT_EQ(dev.OutTransfers().size(), 1u);
    EXPECT_EQ(dev.OutTransfers()[0], Bytes(data.begin(), data.begin() + 10));
}

TEST_F(UsbOpen, WriteArgumentsThatWouldMisbehave)
{
    const unsigned char data[4] = {1, 2, 3, 4};
    EXPECT_EQ(link.WriteUsb(nullptr, 4), -1);
    EXPECT_EQ(link.WriteUsb(data, -1), 0);
    EXPECT_TRUE(dev.OutTransfers().empty());
    EXPECT_EQ(link.WriteUsb(data, 4), 4);
}

// --- closed link, status, reset --------------------------------------------

TEST(UsbClosed, OperationsReturnMinusOneAndTouchNothing)
{
    UsbModuleDevice dev;
    ASSERT_DEVICE_OK(dev);
    dev.QueueIn(Pattern(8, 1));
    LinkUsb link;
    unsigned char buf[2048];
    memset(buf, 0x77, sizeof buf);
    Capture out(STDOUT_FILENO);
    EXPECT_EQ(link.ReadUsb(buf, 100), -1);
    EXPECT_EQ(link.WriteUsb(buf, 16), -1);
    EXPECT_EQ(link.GetUsbStatus(), -1);
    link.Resetep();
    link.DisConnectUsb();
    EXPECT_EQ(out.Stop(), "");
    for (unsigned char c : buf)
        ASSERT_EQ(c, 0x77);
    UsbModuleDevice::Stats s = dev.GetStats();
    EXPECT_EQ(s.resets, 0);
    EXPECT_EQ(s.openClients, 0);
    EXPECT_TRUE(dev.OutTransfers().empty());
    EXPECT_EQ(dev.PendingInFrames(), 1u);
    EXPECT_EQ(link.pDevHandle, nullptr);
    EXPECT_EQ(link.pUsbContext, nullptr);
}

TEST_F(UsbOpen, StatusIsZeroWhileOpenAndMinusOneAfterDisconnect)
{
    EXPECT_EQ(link.GetUsbStatus(), 0);
    link.Resetep();
    EXPECT_EQ(dev.GetStats().resets, 1);
    EXPECT_EQ(link.GetUsbStatus(), 0);

    Capture out(STDOUT_FILENO);
    link.DisConnectUsb();
    link.DisConnectUsb();
    EXPECT_EQ(out.Stop(), "disconnect usb \n");
    EXPECT_EQ(link.GetUsbStatus(), -1);
    link.Resetep();
    EXPECT_EQ(dev.GetStats().resets, 1);
}

TEST_F(UsbOpen, UnpluggedModuleEndsAWaitingReadAndReportsAnError)
{
    Clock::time_point start = Clock::now();
    std::thread unplug([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        dev.Remove();
    });
    unsigned char buf[2048];
    memset(buf, 0x42, sizeof buf);
    int n = link.ReadUsb(buf, 10000);
    long ms = ElapsedMs(start);
    unplug.join();
    EXPECT_EQ(n, 0);
    EXPECT_GE(ms, 150);
    EXPECT_LT(ms, 8000) << "the read waited out its time";
    EXPECT_EQ(buf[0], 0x42);

    EXPECT_LT(link.GetUsbStatus(), 0);
    start = Clock::now();
    EXPECT_EQ(link.ReadUsb(buf, 10000), 0);
    EXPECT_LT(ElapsedMs(start), 5000); // refused at once, no wait
    EXPECT_EQ(link.WriteUsb(buf, 8), 0);

    Capture out(STDOUT_FILENO);
    link.DisConnectUsb();
    EXPECT_EQ(out.Stop(), "disconnect usb \n");
    EXPECT_EQ(link.pUsbContext, nullptr);
}

// A daemon with many descriptors open: everything the link and libusb open
// lands above FD_SETSIZE, where select() could not wait on it.
TEST(UsbManyDescriptors, LinkWorksWithDescriptorsAboveFdSetSize)
{
    rlimit lim{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &lim), 0);
    const rlim_t want = FD_SETSIZE + 512;
    if (lim.rlim_cur < want) {
        if (lim.rlim_max < want)
            GTEST_SKIP() << "RLIMIT_NOFILE hard limit below " << want;
        rlimit raised = lim;
        raised.rlim_cur = want;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);
    }
    UsbModuleDevice dev;
    ASSERT_DEVICE_OK(dev);

    std::vector<int> fillers;
    int probe = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(probe, 0);
    fillers.push_back(probe);
    while (fillers.back() < FD_SETSIZE + 16) {
        int fd = dup(probe);
        ASSERT_GE(fd, 0);
        fillers.push_back(fd);
    }
    // Free nothing below: the next descriptor handed out is above FD_SETSIZE.
    {
        LinkUsb link;
        int ret;
        ConnectQuietly(link, &ret);
        ASSERT_EQ(ret, 0);
        unsigned char buf[2048];
        Clock::time_point start = Clock::now();
        EXPECT_EQ(link.ReadUsb(buf, 100), 0);
        long ms = ElapsedMs(start);
        EXPECT_GE(ms, 100);
        EXPECT_LT(ms, 2100);
        dev.QueueIn(Pattern(64, 3), 100);
        EXPECT_EQ(link.ReadUsb(buf, 2000), 64);
        EXPECT_EQ(Bytes(buf, buf + 64), Pattern(64, 3));
        const Bytes cmd = {0xAA, 0x00, 0x02, 0x01, 0x03};
        EXPECT_EQ(link.WriteUsb(cmd.data(), 5), 5);
        Capture out(STDOUT_FILENO);
        link.DisConnectUsb();
        EXPECT_EQ(out.Stop(), "disconnect usb \n");
    }
    for (int fd : fillers)
        close(fd);
    setrlimit(RLIMIT_NOFILE, &lim);
}

// --- the reader object's end of cycle -----------------------------------------

std::vector<std::pair<int, std::string>> g_events;

void RecordEvent(int kind, void *message)
{
    g_events.emplace_back(kind, static_cast<const char *>(message));
}

TEST(UsbCardMain, EndOfCycleReleasesAnOpenModuleSilently)
{
    UsbModuleDevice dev;
    ASSERT_DEVICE_OK(dev);
    g_events.clear();
    {
        CardMain reader;
        reader.IDCARD_SetReadInfoCB(RecordEvent);
        int ret;
        ConnectQuietly(reader.m_usb, &ret);
        ASSERT_EQ(ret, 0);

        Capture out(STDOUT_FILENO);
        EXPECT_EQ(reader.ScanIdCompleted(7), 7);
        EXPECT_EQ(reader.m_usb.pDevHandle, nullptr);
        EXPECT_EQ(reader.m_usb.pUsbContext, nullptr);
        EXPECT_TRUE(dev.WaitFor([](const UsbModuleDevice::Stats &s) {
            return s.releases == 1 && s.openClients == 0;
        }, 10000));
        reader.m_usb.DisConnectUsb(); // already released: nothing left to say
        EXPECT_EQ(out.Stop(), "");
    }
    ASSERT_EQ(g_events.size(), 1u);
    EXPECT_EQ(g_events[0].first, SCANID_EVENT_PROGRESS);
    EXPECT_EQ(g_events[0].second, "disconnect usb");
}

// --- many cycles -------------------------------------------------------------

TEST(UsbRounds, HundredOpenCloseRoundsLeakNoDescriptorOrThread)
{
    UsbModuleDevice dev;
    ASSERT_DEVICE_OK(dev);
    Capture out(STDOUT_FILENO);
    Capture err(STDERR_FILENO);
    {
        // The first context sets up libusb's process-wide parts.
        LinkUsb warm;
        ASSERT_EQ(warm.ConnectUsb(), 0);
    }
    // umockdev's worker closes its end of a handle's socket on its own time.
    ASSERT_TRUE(dev.WaitFor([](const UsbModuleDevice::Stats &s) { return s.openClients == 0; },
                            10000));
    const int fds = testsupport::Steady(testsupport::OpenDescriptors);
    const int threads = testsupport::Steady(testsupport::Threads);
    int opened = 0, failed = 0, expectFailed = 0;
    LinkUsb link;
    unsigned char buf[2048];
    for (int round = 0; round < 100; round++) {
        const bool claimFails = round % 3 == 1;
        expectFailed += claimFails ? 1 : 0;
        dev.SetClaimFails(claimFails);
        dev.SetKernelDriver(round % 4 == 2 ? "usbhid" : "");
        if (round % 5 == 0)
            dev.QueueIn(Pattern(30, static_cast<uint8_t>(round)));
        int ret = link.ConnectUsb();
        if (ret == 0) {
            opened++;
            link.ReadUsb(buf, round % 5 == 0 ? 500 : 5);
            link.WriteUsb(buf, 8);
        } else {
            failed++;
        }
        if (round % 2 == 0)
            link.DisConnectUsb(); // otherwise the next connect releases it
    }
    link.DisConnectUsb();
    EXPECT_TRUE(dev.WaitFor([](const UsbModuleDevice::Stats &s) { return s.openClients == 0; },
                            10000));
    // libusb's event thread may take a moment to go after the last exit.
    // Counted while the captures still hold their descriptors, as at the start.
    const std::string fdsLeft = testsupport::DescriptorsBackTo(fds);
    const std::string threadsLeft = testsupport::ThreadsBackTo(threads);
    std::string printed = out.Stop();
    err.Stop();
    EXPECT_EQ(fdsLeft, "");
    EXPECT_EQ(threadsLeft, "");
    EXPECT_EQ(failed, expectFailed);
    EXPECT_EQ(opened, 100 - expectFailed);
    // Every round held a handle (a failed claim leaves it open), plus the warm-up.
    EXPECT_EQ(Occurrences(printed, "disconnect usb \n"), 101u);
    EXPECT_EQ(dev.GetStats().claims, 1 + opened);
    EXPECT_EQ(dev.GetStats().releases, 1 + opened);
}

} // namespace

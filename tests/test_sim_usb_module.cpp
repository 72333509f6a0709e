// The simulated reader module on the emulated USB bus, through the real
// libusb-1.0. Needs libumockdev-preload.so.0 in LD_PRELOAD (like usb_tests).
#include "UsbModule.h"
#include "SimCards.h"

#include <gtest/gtest.h>

#include <libusb.h>

#include <chrono>
#include <numeric>
#include <thread>
#include <vector>

namespace {

// The model counts a vanish when it decides to leave; the device leaves the
// testbed a moment later, on the model's thread.
bool GoneWithin(sim::UsbModule &m, int ms)
{
    for (int waited = 0; m.Device().Present(); waited += 5) {
        if (waited >= ms)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

namespace proto = sim::proto;
using proto::Bytes;
using Clock = std::chrono::steady_clock;

long MsSince(Clock::time_point t)
{
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

// For a frame that must come: long enough for a loaded or emulated machine,
// and over as soon as the frame is there.
constexpr int kArrives = 3000;

// A host session: the library's way of opening the module.
struct UsbHost {
    libusb_context *ctx = nullptr;
    libusb_device_handle *h = nullptr;

    UsbHost()
    {
        if (libusb_init(&ctx) != 0)
            return;
        h = libusb_open_device_with_vid_pid(ctx, UsbModuleDevice::kVendorId, UsbModuleDevice::kProductId);
        if (h && libusb_claim_interface(h, 0) != 0) {
            libusb_close(h);
            h = nullptr;
        }
    }
    ~UsbHost()
    {
        Release();
        if (ctx)
            libusb_exit(ctx);
    }
    void Release()
    {
        if (h) {
            libusb_release_interface(h, 0);
            libusb_close(h);
        }
        h = nullptr;
    }
    void Write(const Bytes &b) const
    {
        int done = 0;
        ASSERT_EQ(libusb_bulk_transfer(h, UsbModuleDevice::kEndpointOut, const_cast<uint8_t *>(b.data()),
                                       static_cast<int>(b.size()), &done, 100),
                  0);
    }
    // The link check, and its answer that must come.
    void CheckLink() const
    {
        Write(proto::kLinkCheck);
        EXPECT_EQ(Read(kArrives), proto::HeartbeatAnswer());
    }
    // One IN frame, or nothing within timeoutMs.
    Bytes Read(int timeoutMs) const
    {
        uint8_t buf[2048];
        int got = 0;
        int rc = libusb_bulk_transfer(h, UsbModuleDevice::kEndpointIn, buf, sizeof buf, &got, timeoutMs);
        if (rc != 0 && rc != LIBUSB_ERROR_TIMEOUT)
            ADD_FAILURE() << libusb_error_name(rc);
        return Bytes(buf, buf + got);
    }
};

sim::ModuleConfig Config(int interval)
{
    sim::ModuleConfig c;
    c.announceIntervalMs = interval;
    return c;
}

TEST(UsbModuleSmoke, AnnouncesOneAtATimeAndDropsLeftoversOnRelease)
{
    sim::UsbModule m(Config(200));
    ASSERT_TRUE(m.Ok()) << m.Error();
    const uint8_t *serial = sim::IdCards()[0].serial;
    m.Module().PlaceIdCard(serial);
    {
        UsbHost host;
        ASSERT_NE(host.h, nullptr);
        EXPECT_TRUE(host.Read(150).empty()); // nothing before the heartbeat
        host.CheckLink();
        // Taken: the next comes after the interval, and only one waits. The
        // interval runs from the take, which is after t.
        const Clock::time_point t = Clock::now();
        EXPECT_EQ(host.Read(kArrives), proto::IdCardNotice(serial));
        EXPECT_EQ(host.Read(kArrives), proto::IdCardNotice(serial));
        EXPECT_GE(MsSince(t), 200);
        for (int i = 0; i < 500 && m.Device().PendingInFrames() == 0; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        EXPECT_EQ(m.Device().PendingInFrames(), 1u);
    }
    // Released with a notice unread: gone, and the next session starts unarmed.
    EXPECT_EQ(m.Device().PendingInFrames(), 0u);
    EXPECT_FALSE(m.Module().IsHostConnected());
    UsbHost again;
    ASSERT_NE(again.h, nullptr);
    EXPECT_TRUE(again.Read(400).empty());
}

// The library tries the link check again when its answer is late; the
// retry must not announce the card a second time behind the first notice,
// where a slow host would meet it inside the exchange. A new session, or a
// link check after the host started reading, announces as always.
TEST(UsbModuleSmoke, LinkCheckRetryAnnouncesNothingMore)
{
    sim::UsbModule m(Config(60000));
    ASSERT_TRUE(m.Ok()) << m.Error();
    const uint8_t *serial = sim::IdCards()[2].serial;
    m.Module().PlaceIdCard(serial);
    UsbHost host;
    ASSERT_NE(host.h, nullptr);
    host.CheckLink();
    EXPECT_EQ(host.Read(kArrives), proto::IdCardNotice(serial));
    host.CheckLink();
    EXPECT_TRUE(host.Read(400).empty());
    EXPECT_EQ(m.Module().Stats().announcements, 1);

    // A read-start, then a link check: a new cycle, announced again.
    host.Write(proto::kReadStart);
    EXPECT_EQ(host.Read(kArrives).size(), proto::kPacket12Len);
    host.CheckLink();
    EXPECT_EQ(host.Read(kArrives), proto::IdCardNotice(serial));
}

TEST(UsbModuleSmoke, ExchangeComesAsSeparateFrames)
{
    sim::UsbModule m(Config(300));
    ASSERT_TRUE(m.Ok()) << m.Error();
    const uint8_t *serial = sim::IdCards()[1].serial;
    m.Module().PlaceIdCard(serial);
    UsbHost host;
    ASSERT_NE(host.h, nullptr);
    host.CheckLink();
    EXPECT_EQ(host.Read(kArrives), proto::IdCardNotice(serial));

    // The relay writes a 7-byte packet twice.
    host.Write(proto::kReadStart);
    host.Write(proto::kReadStart);
    EXPECT_EQ(host.Read(kArrives).size(), proto::kPacket12Len);
    uint8_t challenge[proto::kChallengeLen] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    host.Write(proto::ServerStep(0x03, challenge));
    Bytes p34 = host.Read(kArrives);
    ASSERT_EQ(p34.size(), proto::kPacket34Len);
    EXPECT_EQ(p34[13], proto::kStatusOk);
    host.Write(proto::ServerStep(0x05, challenge));
    EXPECT_EQ(host.Read(kArrives).size(), proto::kPacket5Len);
    for (size_t len : proto::kSerialTail)
        EXPECT_EQ(host.Read(kArrives).size(), len);
    // Nothing more: no repeat of the card while the host awaits the answer.
    EXPECT_TRUE(host.Read(600).empty());
    EXPECT_EQ(m.Module().Stats().exchangesCompleted, 1);
    EXPECT_EQ(m.Module().Stats().duplicateReadStarts, 1);
}

// The model's Vanish fault unplugs the device where its frame was due; a
// replugged device serves a new host session as if it were new.
TEST(UsbModuleSmoke, VanishUnplugsAtItsStepAndReplugComesBack)
{
    sim::UsbModule m(Config(60000)); // no repeat to hold the vanish up
    ASSERT_TRUE(m.Ok()) << m.Error();
    const uint8_t *serial = sim::IdCards()[2].serial;
    m.Module().PlaceIdCard(serial);
    EXPECT_FALSE(m.Replug()) << "not while it is plugged";
    m.Module().InjectFault(sim::kFaultStepPacket34, sim::ModuleFault::Vanish);
    {
        UsbHost host;
        ASSERT_NE(host.h, nullptr);
        host.CheckLink();
        EXPECT_EQ(host.Read(kArrives), proto::IdCardNotice(serial));
        host.Write(proto::kReadStart);
        EXPECT_EQ(host.Read(kArrives).size(), proto::kPacket12Len);
        uint8_t challenge[proto::kChallengeLen] = {};
        Bytes p3 = proto::ServerStep(0x03, challenge);
        int sent = 0;
        // The module may be gone before this write completes.
        libusb_bulk_transfer(host.h, UsbModuleDevice::kEndpointOut, p3.data(), static_cast<int>(p3.size()), &sent, 100);
        ASSERT_TRUE(m.Module().WaitFor([](const sim::ModuleStats &st) { return st.vanished == 1; }, 10000));
        EXPECT_TRUE(GoneWithin(m, 10000));
        uint8_t buf[64];
        int got = 0;
        EXPECT_EQ(libusb_bulk_transfer(host.h, UsbModuleDevice::kEndpointIn, buf, sizeof buf, &got, 200),
                  LIBUSB_ERROR_NO_DEVICE);
        EXPECT_EQ(libusb_bulk_transfer(host.h, UsbModuleDevice::kEndpointOut, buf, 6, &got, 200),
                  LIBUSB_ERROR_NO_DEVICE);
    }
    {
        UsbHost gone;
        EXPECT_EQ(gone.h, nullptr) << "an unplugged module still opens";
    }
    ASSERT_TRUE(m.Device().WaitFor([](const UsbModuleDevice::Stats &st) { return st.openClients == 0; }, 10000));
    ASSERT_TRUE(m.Replug());
    EXPECT_TRUE(m.Device().Present());
    UsbHost back;
    ASSERT_NE(back.h, nullptr);
    back.Write(proto::kLinkCheck);
    EXPECT_EQ(back.Read(kArrives), proto::HeartbeatAnswer());
    EXPECT_EQ(back.Read(kArrives), proto::IdCardNotice(serial));

    // Gone at the link check: no answer, and the host's next write fails.
    m.Module().InjectHeartbeatFault(sim::ModuleFault::Vanish);
    Bytes check = proto::kLinkCheck;
    int sent = 0;
    libusb_bulk_transfer(back.h, UsbModuleDevice::kEndpointOut, check.data(), static_cast<int>(check.size()), &sent, 100);
    ASSERT_TRUE(m.Module().WaitFor([](const sim::ModuleStats &st) { return st.vanished == 2; }, 10000));
    EXPECT_TRUE(GoneWithin(m, 10000));
}

// A module that leaves during its unasked tail first lets the host take
// what it sent before, however slowly the host reads.
TEST(UsbModuleSmoke, VanishWaitsForTheFramesAheadToBeTaken)
{
    sim::UsbModule m(Config(60000));
    ASSERT_TRUE(m.Ok()) << m.Error();
    const uint8_t *serial = sim::IdCards()[0].serial;
    m.Module().PlaceIdCard(serial);
    m.Module().InjectFault(sim::kFaultStepTailFirst + 2, sim::ModuleFault::Vanish); // packet 8
    UsbHost host;
    ASSERT_NE(host.h, nullptr);
    host.CheckLink();
    EXPECT_EQ(host.Read(kArrives), proto::IdCardNotice(serial));
    host.Write(proto::kReadStart);
    EXPECT_EQ(host.Read(kArrives).size(), proto::kPacket12Len);
    uint8_t challenge[proto::kChallengeLen] = {};
    host.Write(proto::ServerStep(0x03, challenge));
    EXPECT_EQ(host.Read(kArrives).size(), proto::kPacket34Len);
    host.Write(proto::ServerStep(0x05, challenge));
    for (size_t len : {proto::kPacket5Len, proto::kSerialTail[0], proto::kSerialTail[1]}) {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        EXPECT_TRUE(m.Device().Present());
        EXPECT_EQ(host.Read(kArrives).size(), len);
    }
    ASSERT_TRUE(m.Module().WaitFor([](const sim::ModuleStats &st) { return st.vanished == 1; }, 10000));
    EXPECT_TRUE(GoneWithin(m, 10000));
}

} // namespace

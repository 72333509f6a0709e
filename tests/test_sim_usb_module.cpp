// The simulated reader module on the emulated USB bus, through the real
// libusb-1.0. Needs libumockdev-preload.so.0 in LD_PRELOAD (like usb_tests).
#include "UsbModule.h"
#include "SimCards.h"

#include <gtest/gtest.h>

#include <libusb.h>

#include <atomic>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <ostream>
#include <numeric>
#include <string>
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

// The module's port chain as libusb tells it, and its address.
struct Seen {
    std::vector<uint8_t> chain;
    int bus;
    int address;
    bool operator==(const Seen &o) const { return chain == o.chain && bus == o.bus && address == o.address; }
};

void PrintTo(const Seen &s, std::ostream *os)
{
    *os << "bus " << s.bus << " ports";
    for (uint8_t p : s.chain)
        *os << ' ' << int(p);
    *os << " address " << s.address;
}

Seen SeenOf(libusb_device *dev)
{
    uint8_t ports[8];
    int n = libusb_get_port_numbers(dev, ports, sizeof ports);
    return {std::vector<uint8_t>(ports, ports + std::max(n, 0)), libusb_get_bus_number(dev),
            libusb_get_device_address(dev)};
}

// Every module (not hub) libusb lists, by port chain.
std::vector<Seen> ListModules(libusb_context *ctx)
{
    std::vector<Seen> seen;
    libusb_device **list = nullptr;
    ssize_t n = libusb_get_device_list(ctx, &list);
    for (ssize_t i = 0; i < n; i++) {
        libusb_device_descriptor d{};
        if (libusb_get_device_descriptor(list[i], &d) == 0 && d.idVendor == UsbModuleDevice::kVendorId &&
            d.idProduct == UsbModuleDevice::kProductId)
            seen.push_back(SeenOf(list[i]));
    }
    libusb_free_device_list(list, 1);
    std::sort(seen.begin(), seen.end(), [](const Seen &a, const Seen &b) { return a.chain < b.chain; });
    return seen;
}

// A host session: the library's way of opening the module, the first one
// libusb finds or the one at a port chain.
struct UsbHost {
    libusb_context *ctx = nullptr;
    libusb_device_handle *h = nullptr;

    explicit UsbHost(const std::vector<uint8_t> &chain = {})
    {
        if (libusb_init(&ctx) != 0)
            return;
        if (chain.empty()) {
            h = libusb_open_device_with_vid_pid(ctx, UsbModuleDevice::kVendorId, UsbModuleDevice::kProductId);
        } else {
            libusb_device **list = nullptr;
            ssize_t n = libusb_get_device_list(ctx, &list);
            for (ssize_t i = 0; i < n && !h; i++) {
                if (SeenOf(list[i]).chain == chain && libusb_open(list[i], &h) != 0)
                    h = nullptr;
            }
            libusb_free_device_list(list, 1);
        }
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
        uint8_t buf[2048] = {}; // valgrind: umockdev copies the whole buffer across
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

// Modules with the same ids on different ports, as the reader handles open
// them: libusb tells them apart by port chain, each serves its own host and
// card, and one leaving does not disturb the other.
TEST(UsbModules, PortsAreListedApartAndEachServesItsOwnHost)
{
    sim::UsbModule a(Config(60000)), b(Config(60000), "1-2"), deep(Config(60000), "1-3.4");
    for (sim::UsbModule *m : {&a, &b, &deep})
        ASSERT_TRUE(m->Ok()) << m->Port() << ": " << m->Error();
    EXPECT_EQ(a.Device().DevNode(), "/dev/bus/usb/001/002") << "the first module keeps its old place";
    EXPECT_EQ(a.Port(), "1-1");
    {
        UsbHost lister;
        ASSERT_NE(lister.ctx, nullptr);
        EXPECT_EQ(ListModules(lister.ctx), (std::vector<Seen>{{{1}, 1, a.Device().Address()},
                                                              {{2}, 1, b.Device().Address()},
                                                              {{3, 4}, 1, deep.Device().Address()}}));
    }
    EXPECT_NE(a.Device().Address(), b.Device().Address());

    const uint8_t *serialA = sim::IdCards()[0].serial;
    const uint8_t *serialB = sim::IdCards()[1].serial;
    a.Module().PlaceIdCard(serialA);
    b.Module().PlaceIdCard(serialB);
    UsbHost hostA({1}), hostB({2});
    ASSERT_NE(hostA.h, nullptr);
    ASSERT_NE(hostB.h, nullptr);
    hostB.CheckLink();
    EXPECT_EQ(hostB.Read(kArrives), proto::IdCardNotice(serialB));
    hostA.CheckLink();
    EXPECT_EQ(hostA.Read(kArrives), proto::IdCardNotice(serialA));
    EXPECT_EQ(a.Module().Stats().announcements, 1);
    EXPECT_EQ(b.Module().Stats().announcements, 1);

    b.Device().Remove();
    uint8_t buf[64];
    int got = 0;
    EXPECT_EQ(libusb_bulk_transfer(hostB.h, UsbModuleDevice::kEndpointIn, buf, sizeof buf, &got, 200),
              LIBUSB_ERROR_NO_DEVICE);
    hostA.Write(proto::kReadStart);
    EXPECT_EQ(hostA.Read(kArrives).size(), proto::kPacket12Len) << "the other module went with it";
    UsbHost lister;
    EXPECT_EQ(ListModules(lister.ctx).size(), 2u);
}

TEST(UsbModules, PortsTakenOrMisspeltAreRefused)
{
    UsbModuleDevice first(true, "1-1");
    ASSERT_TRUE(first.Ok()) << first.Error();
    for (const char *port : {"1-1", "1-1.4", "1-01", "1", "0-1", "1-1.", "1-1.2.3.4.5.6.7.8", "x"}) {
        UsbModuleDevice dev(true, port);
        EXPECT_FALSE(dev.Ok()) << port;
        EXPECT_FALSE(dev.Present()) << port;
    }
    UsbModuleDevice second(true, "1-2");
    EXPECT_TRUE(second.Ok()) << "a refused port left something behind: " << second.Error();
}

// Real hardware comes back at a new address; only the port chain stays.
TEST(UsbModules, ReplugAtANewAddressKeepsThePort)
{
    sim::UsbModule other(Config(60000)), m(Config(60000), "1-2");
    ASSERT_TRUE(m.Ok()) << m.Error();
    const int before = m.Device().Address();
    const std::string nodeBefore = m.Device().DevNode();
    m.Device().Remove();
    ASSERT_TRUE(m.Replug(true));
    EXPECT_NE(m.Device().Address(), before);
    EXPECT_NE(m.Device().DevNode(), nodeBefore);
    EXPECT_NE(m.Device().Address(), other.Device().Address());
    UsbHost host({2});
    ASSERT_NE(host.h, nullptr);
    EXPECT_EQ(SeenOf(libusb_get_device(host.h)), (Seen{{2}, 1, m.Device().Address()}));
    host.CheckLink();

    // Without a new address it comes back where it was.
    host.Release();
    ASSERT_TRUE(m.Device().WaitFor([](const UsbModuleDevice::Stats &st) { return st.openClients == 0; }, 10000));
    const int now = m.Device().Address();
    m.Device().Remove();
    ASSERT_TRUE(m.Replug());
    EXPECT_EQ(m.Device().Address(), now);
}

// libusb's hotplug callbacks hear of a module plugged, unplugged and plugged
// in again at a new address, through the uevents the testbed sends.
TEST(UsbModules, HotplugCallbackSeesArrivalAndRemoval)
{
    if (!libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG))
        GTEST_SKIP() << "this libusb has no hotplug support";
    UsbModuleDevice dev(false, "1-2"); // the testbed must be there before libusb_init
    ASSERT_TRUE(dev.Ok()) << dev.Error();
    struct Events {
        std::mutex mu;
        std::condition_variable cv;
        std::vector<std::pair<bool, Seen>> seen; // arrived?, where
    } ev;
    libusb_context *ctx = nullptr;
    ASSERT_EQ(libusb_init(&ctx), 0);
    libusb_hotplug_callback_handle cb = 0;
    auto onEvent = [](libusb_context *, libusb_device *d, libusb_hotplug_event e, void *data) {
        auto *events = static_cast<Events *>(data);
        std::lock_guard<std::mutex> lk(events->mu);
        events->seen.push_back({e == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED, SeenOf(d)});
        events->cv.notify_all();
        return 0;
    };
    ASSERT_EQ(libusb_hotplug_register_callback(
                  ctx, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT, 0,
                  UsbModuleDevice::kVendorId, UsbModuleDevice::kProductId, LIBUSB_HOTPLUG_MATCH_ANY, onEvent, &ev, &cb),
              LIBUSB_SUCCESS);
    std::atomic<bool> stop{false};
    std::thread events([&] {
        while (!stop) {
            timeval tv{0, 50000};
            libusb_handle_events_timeout_completed(ctx, &tv, nullptr);
        }
    });
    auto next = [&ev](size_t count) {
        std::unique_lock<std::mutex> lk(ev.mu);
        ev.cv.wait_for(lk, std::chrono::milliseconds(kArrives), [&] { return ev.seen.size() >= count; });
        return ev.seen.size() >= count ? ev.seen[count - 1] : std::pair<bool, Seen>{false, {{}, 0, 0}};
    };
    ASSERT_TRUE(dev.Plug());
    const int first = dev.Address();
    EXPECT_EQ(next(1), (std::pair<bool, Seen>{true, {{2}, 1, first}}));
    dev.Remove();
    EXPECT_EQ(next(2), (std::pair<bool, Seen>{false, {{2}, 1, first}}));
    ASSERT_TRUE(dev.Replug(true));
    EXPECT_EQ(next(3), (std::pair<bool, Seen>{true, {{2}, 1, dev.Address()}}));
    EXPECT_NE(dev.Address(), first);
    stop = true;
    events.join();
    libusb_hotplug_deregister_callback(ctx, cb);
    libusb_exit(ctx);
    std::lock_guard<std::mutex> lk(ev.mu);
    EXPECT_EQ(ev.seen.size(), 3u) << "an event too many";
}

} // namespace

// Several readers in one process through reader handles: two emulated USB
// modules with the same ids on ports 1-1 and 1-2 and a serial module on a
// pseudo-terminal, each with its own decode server on loopback.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <thread>

#include "DecodeServer.h"
#include "SerialModule.h"
#include "UsbModule.h"
#include "e2e_support.h"

namespace {

const char *const kPorts[] = {"1-1", "1-2"};
constexpr int kUsbModules = 2;
constexpr int kReadIntervalMs = 60000; // no repeated notice in the middle of a read

// The emulated devices must exist before the library's first libusb_init.
sim::UsbModule *g_usb[kUsbModules] = {};

sim::ModuleConfig Config()
{
    sim::ModuleConfig c;
    c.stepLatencyMs = 5;
    c.announceIntervalMs = kReadIntervalMs;
    return c;
}

class ReadersEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        for (int i = 0; i < kUsbModules; i++)
            g_usb[i] = new sim::UsbModule(Config(), kPorts[i]);
    }
    void TearDown() override
    {
        for (auto *&m : g_usb) {
            delete m;
            m = nullptr;
        }
    }
};

::testing::Environment *const g_env = ::testing::AddGlobalTestEnvironment(new ReadersEnvironment);

const sim::IdCard &Card(size_t i) { return sim::IdCards().at(i); }

// Events of one handle, with the handle they came with.
struct HandleEvents {
    std::mutex mu;
    std::vector<e2e::Event> events;
    scanid_reader *from = nullptr;
    bool wrongHandle = false;
};

void OnHandleEvent(scanid_reader *reader, int kind, const char *message, void *user)
{
    auto *h = static_cast<HandleEvents *>(user);
    std::lock_guard<std::mutex> lock(h->mu);
    if (reader != h->from)
        h->wrongHandle = true;
    h->events.emplace_back(kind, message);
}

struct ConsoleLine {
    scanid_reader *reader;
    int stream;
    std::string line;
    std::string error; // "-" when none was given
};

void OnConsole(scanid_reader *reader, int stream, const char *line, const char *error, void *user)
{
    static_cast<std::vector<ConsoleLine> *>(user)->push_back({reader, stream, line, error ? error : "-"});
}

// One reader under test: its handle, decode server and events.
struct Lane {
    explicit Lane(const std::string &name)
    {
        EXPECT_EQ(scanid_open(name.c_str(), &reader), 0) << name;
        EXPECT_TRUE(server.Start()) << server.LastError();
        if (!reader)
            return;
        events.from = reader;
        scanid_set_event_cb(reader, OnHandleEvent, &events);
        EXPECT_EQ(scanid_set_server(reader, "127.0.0.1", server.Port()), 0);
        // Nothing may fall over to another lane's standby server.
        EXPECT_EQ(scanid_set_standby(reader, nullptr, 0), 0);
    }
    ~Lane() { scanid_close(reader); }

    int Read()
    {
        memset(&rec, 0, sizeof rec);
        return scanid_read(reader, &rec);
    }

    scanid_reader *reader = nullptr;
    sim::DecodeServer server;
    HandleEvents events;
    idInfo rec{};
};

class Readers : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (auto *m : g_usb) {
            ASSERT_TRUE(m && m->Ok()) << (m ? m->Error() : "no module");
            m->Module().RemoveCard();
            m->Module().ClearFaults();
            m->Module().SetAnnounceInterval(kReadIntervalMs);
        }
        ASSERT_TRUE(serial.Ok()) << serial.Error();
    }
    void TearDown() override
    {
        for (auto *m : g_usb)
            if (m)
                m->Module().RemoveCard();
    }
    static sim::ReaderModule &Usb(int i) { return g_usb[i]->Module(); }
    std::string SerialName() const { return "serial:" + serial.SlavePath() + "@115200"; }

    sim::SerialModule serial{Config()};
};

std::vector<std::pair<std::string, int>> ListNames()
{
    scanid_device *list = nullptr;
    int n = scanid_list_usb(&list);
    std::vector<std::pair<std::string, int>> names;
    for (int i = 0; i < n; i++)
        names.emplace_back(list[i].name, list[i].address);
    if (n >= 0) {
        EXPECT_EQ(list[n].name, nullptr) << "the list ends with an empty entry";
    }
    scanid_free_list(list);
    return names;
}

} // namespace

TEST(ReaderNames, ParseToTheirCanonicalFormOrAreRefused)
{
    struct Case {
        const char *name;
        int rc;
        const char *canonical;
    };
    const Case cases[] = {
        {nullptr, 0, "usb"},
        {"usb", 0, "usb"},
        {"usb:1-1.4", 0, "usb:1-1.4"},
        {"usb:003-02", 0, "usb:3-2"},
        {"usb:1-1.2.3.4.5.6.7", 0, "usb:1-1.2.3.4.5.6.7"},
        {"serial:/dev/ttyS1@115200", 0, "serial:/dev/ttyS1@115200"},
        {"serial:/dev/odd@name@9600", 0, "serial:/dev/odd@name@9600"},
        {"usb:1-1.2.3.4.5.6.7.8", SCANID_ERR_NAME, ""}, // deeper than USB goes
        {"usb:1", SCANID_ERR_NAME, ""},
        {"usb:1-", SCANID_ERR_NAME, ""},
        {"usb:1-1.", SCANID_ERR_NAME, ""},
        {"usb:0-1", SCANID_ERR_NAME, ""},
        {"usb:1-256", SCANID_ERR_NAME, ""},
        {"usb:a-1", SCANID_ERR_NAME, ""},
        {"usb1-1", SCANID_ERR_NAME, ""},
        {"serial:/dev/ttyS1", SCANID_ERR_NAME, ""},
        {"serial:@9600", SCANID_ERR_NAME, ""},
        {"serial:/dev/ttyS1@fast", SCANID_ERR_NAME, ""},
        {"serial:/dev/ttyS1@-9600", SCANID_ERR_NAME, ""},
        {"serial:/dev/ttyS1@99999999999", SCANID_ERR_NAME, ""},
        {"", SCANID_ERR_NAME, ""},
        {"pcsc:reader", SCANID_ERR_NAME, ""},
    };
    for (const Case &c : cases) {
        scanid_reader *r = reinterpret_cast<scanid_reader *>(1);
        EXPECT_EQ(scanid_open(c.name, &r), c.rc) << (c.name ? c.name : "(null)");
        if (c.rc == 0) {
            EXPECT_STREQ(scanid_reader_name(r), c.canonical);
        } else {
            EXPECT_EQ(r, nullptr) << "a refused name leaves no handle";
        }
        scanid_close(r);
    }
    std::string tooLong = "serial:/" + std::string(SCANID_MAX_DEVICE_PATH, 'x') + "@9600";
    scanid_reader *r = nullptr;
    EXPECT_EQ(scanid_open(tooLong.c_str(), &r), SCANID_ERR_NAME);
    EXPECT_EQ(scanid_open("usb", nullptr), SCANID_ERR_ARGUMENT);
    EXPECT_EQ(scanid_read(nullptr, nullptr), SCANID_ERR_ARGUMENT);
    EXPECT_EQ(scanid_cancel(nullptr), 0);
}

TEST_F(Readers, ListShowsEachModuleByItsPort)
{
    auto names = ListNames();
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names[0].first, "usb:1-1");
    EXPECT_EQ(names[1].first, "usb:1-2");
    scanid_device *list = nullptr;
    ASSERT_EQ(scanid_list_usb(&list), 2);
    EXPECT_EQ(list[0].bus, 1);
    EXPECT_EQ(list[0].serial, nullptr) << "the emulated modules have no serial number";
    scanid_free_list(list);
}

TEST_F(Readers, ThreeReadersReadAtOnceEachItsOwnCard)
{
    Lane lanes[3] = {Lane("usb:1-1"), Lane("usb:1-2"), Lane(SerialName())};
    Usb(0).PlaceIdCard(Card(0).serial);
    Usb(1).PlaceIdCard(Card(1).serial);
    serial.Module().PlaceIdCard(Card(2).serial);

    int rc[3] = {};
    std::vector<std::thread> threads;
    for (int i = 0; i < 3; i++)
        threads.emplace_back([&, i] { rc[i] = lanes[i].Read(); });
    for (auto &t : threads)
        t.join();
    for (int i = 0; i < 3; i++) {
        ASSERT_EQ(rc[i], SCANID_IDCARD) << scanid_reader_name(lanes[i].reader) << "\n"
                                        << e2e::Describe(lanes[i].events.events);
        e2e::ExpectSameIdentity(lanes[i].rec, e2e::ExpectedRecord(Card(static_cast<size_t>(i))));
        EXPECT_FALSE(lanes[i].events.wrongHandle);
        EXPECT_EQ(lanes[i].server.ConnectionsAccepted(), 1) << "each reader talks to its own server";
    }
    EXPECT_EQ(lanes[0].events.events.front(), (e2e::Event{3, "usb connect ok"}));
    EXPECT_EQ(lanes[2].events.events.front(), (e2e::Event{3, "serial connect successed"}));
}

TEST_F(Readers, CancelEndsOnlyItsOwnReadersCycle)
{
    Lane a("usb:1-1"), b("usb:1-2");
    std::atomic<int> rcA{-1000}, rcB{-1000};
    std::atomic<long long> endA{0};
    auto t0 = std::chrono::steady_clock::now();
    // No card: both sit in the card wait, which lasts up to 10 s.
    const int beatsA = Usb(0).Stats().heartbeats, beatsB = Usb(1).Stats().heartbeats;
    std::thread ta([&] {
        rcA = a.Read();
        endA = e2e::MsSince(t0);
    });
    std::thread tb([&] { rcB = b.Read(); });
    ASSERT_TRUE(Usb(0).WaitFor([&](const sim::ModuleStats &s) { return s.heartbeats > beatsA; }, 5000));
    ASSERT_TRUE(Usb(1).WaitFor([&](const sim::ModuleStats &s) { return s.heartbeats > beatsB; }, 5000));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));

    EXPECT_EQ(scanid_cancel(a.reader), 1);
    long long cancelAt = e2e::MsSince(t0);
    ta.join();
    EXPECT_EQ(rcA.load(), SCANID_CANCELLED);
    EXPECT_LT(endA - cancelAt, 500) << "the cancelled cycle ends at once (50 ms on an idle machine)";
    EXPECT_EQ(rcB.load(), -1000) << "the other reader's cycle goes on";

    Usb(1).PlaceCard(sim::CardKind::M1);
    tb.join();
    EXPECT_EQ(rcB.load(), SCANID_OTHERCARD);
    EXPECT_EQ(b.rec.cardkind, 1);
    EXPECT_EQ(scanid_cancel(a.reader), 0) << "no cycle runs on it now";
}

TEST_F(Readers, OneCycleAtATimePerHandle)
{
    Lane a("usb:1-1");
    std::atomic<int> rc{-1000};
    const int beats = Usb(0).Stats().heartbeats;
    std::thread t([&] { rc = a.Read(); });
    ASSERT_TRUE(Usb(0).WaitFor([&](const sim::ModuleStats &s) { return s.heartbeats > beats; }, 5000));
    idInfo other{};
    EXPECT_EQ(scanid_read(a.reader, &other), SCANID_ERR_BUSY);
    EXPECT_EQ(scanid_wait_removal(a.reader, 0), SCANID_ERR_BUSY);
    scanid_cancel(a.reader);
    t.join();
    EXPECT_EQ(rc.load(), SCANID_CANCELLED);
}

TEST_F(Readers, ModuleUnpluggedDuringItsReadFailsThatReadOnly)
{
    Lane a("usb:1-1"), b("usb:1-2"), s(SerialName());
    Usb(0).PlaceIdCard(Card(0).serial);
    Usb(1).PlaceIdCard(Card(1).serial);
    serial.Module().PlaceIdCard(Card(2).serial);
    // Module 1-2 leaves the bus where it would send packets 3&4.
    Usb(1).InjectFault(sim::kFaultStepPacket34, sim::ModuleFault::Vanish);

    int rc[3] = {};
    std::thread ta([&] { rc[0] = a.Read(); });
    std::thread tb([&] { rc[1] = b.Read(); });
    std::thread ts([&] { rc[2] = s.Read(); });
    ta.join();
    tb.join();
    ts.join();
    EXPECT_EQ(rc[0], SCANID_IDCARD) << e2e::Describe(a.events.events);
    EXPECT_NE(rc[1], SCANID_IDCARD) << e2e::Describe(b.events.events);
    EXPECT_NE(rc[1], SCANID_OTHERCARD);
    EXPECT_EQ(rc[2], SCANID_IDCARD) << e2e::Describe(s.events.events);

    // Back in the same port: the same name reads it again.
    ASSERT_TRUE(g_usb[1]->Device().WaitFor([](const UsbModuleDevice::Stats &st) { return st.openClients == 0; },
                                           10000));
    ASSERT_TRUE(g_usb[1]->Device().Replug(true));
    Usb(1).ClearFaults();
    EXPECT_EQ(b.Read(), SCANID_IDCARD) << e2e::Describe(b.events.events);
    e2e::ExpectSameIdentity(b.rec, e2e::ExpectedRecord(Card(1)));
}

TEST_F(Readers, NameFindsTheSameModuleAfterAReplug)
{
    auto before = ListNames();
    ASSERT_EQ(before.size(), 2u);
    g_usb[0]->Device().Remove();
    EXPECT_EQ(ListNames().size(), 1u);
    Lane a("usb:1-1");
    EXPECT_EQ(a.Read(), SCANID_ERR_USB_OPEN) << "nothing in that port now";

    ASSERT_TRUE(g_usb[0]->Device().Replug(true));
    auto after = ListNames();
    ASSERT_EQ(after.size(), 2u);
    EXPECT_EQ(after[0].first, "usb:1-1");
    EXPECT_NE(after[0].second, before[0].second) << "a replug gives a new address";
    Usb(0).PlaceCard(sim::CardKind::Yct);
    Usb(1).PlaceCard(sim::CardKind::M1);
    ASSERT_EQ(a.Read(), SCANID_OTHERCARD);
    EXPECT_EQ(a.rec.cardkind, 4) << "the card on module 1-1, not 1-2's";
}

TEST_F(Readers, HotplugReportsArrivalAndRemoval)
{
    for (int flags : {0, static_cast<int>(SCANID_HOTPLUG_POLL)}) {
        SCOPED_TRACE(flags ? "re-enumerating" : "libusb notices");
        struct Seen {
            std::mutex mu;
            std::condition_variable cv;
            std::vector<std::pair<int, std::string>> events;
        } seen;
        auto cb = [](int event, const scanid_device *d, void *user) {
            auto *s = static_cast<Seen *>(user);
            std::lock_guard<std::mutex> lock(s->mu);
            s->events.emplace_back(event, d->name);
            s->cv.notify_all();
        };
        auto waitFor = [&](size_t n, int ms) {
            std::unique_lock<std::mutex> lock(seen.mu);
            return seen.cv.wait_for(lock, std::chrono::milliseconds(ms), [&] { return seen.events.size() >= n; });
        };
        scanid_hotplug *hp = nullptr;
        ASSERT_EQ(scanid_hotplug_register(cb, &seen, flags | SCANID_HOTPLUG_ENUMERATE, &hp), 0);
        ASSERT_TRUE(waitFor(2, 2000)) << "the attached modules come first";
        const int limit = flags ? SCANID_HOTPLUG_POLL_MS + 1000 : 1000 + 500; // noisy machines

        g_usb[1]->Device().Remove();
        auto t0 = std::chrono::steady_clock::now();
        ASSERT_TRUE(waitFor(3, 5000));
        EXPECT_LT(e2e::MsSince(t0), limit);
        ASSERT_TRUE(g_usb[1]->Device().Replug(true));
        t0 = std::chrono::steady_clock::now();
        ASSERT_TRUE(waitFor(4, 5000));
        EXPECT_LT(e2e::MsSince(t0), limit);
        scanid_hotplug_deregister(hp);

        std::lock_guard<std::mutex> lock(seen.mu);
        EXPECT_EQ(seen.events, (std::vector<std::pair<int, std::string>>{{SCANID_HOTPLUG_ARRIVED, "usb:1-1"},
                                                                          {SCANID_HOTPLUG_ARRIVED, "usb:1-2"},
                                                                          {SCANID_HOTPLUG_LEFT, "usb:1-2"},
                                                                          {SCANID_HOTPLUG_ARRIVED, "usb:1-2"}}));
    }
}

TEST_F(Readers, WaitRemovalTellsTakenAwayFromStillThere)
{
    Lane a("usb:1-1"), s(SerialName());
    Usb(0).PlaceCard(sim::CardKind::M1);
    serial.Module().PlaceIdCard(Card(0).serial);
    ASSERT_EQ(a.Read(), SCANID_OTHERCARD);
    ASSERT_EQ(s.Read(), SCANID_IDCARD) << e2e::Describe(s.events.events);
    Usb(0).SetAnnounceInterval(300); // the module's own repeat while a card lies there

    for (Lane *lane : {&a, &s}) {
        SCOPED_TRACE(scanid_reader_name(lane->reader));
        int accepted = lane->server.ConnectionsAccepted();
        EXPECT_EQ(scanid_wait_removal(lane->reader, 2000), SCANID_CARD_PRESENT);
        EXPECT_EQ(lane->server.ConnectionsAccepted(), accepted) << "no decode server while waiting";
    }

    std::atomic<int> rc{-1000};
    std::atomic<long long> ms{0};
    std::thread t([&] {
        auto t0 = std::chrono::steady_clock::now();
        rc = scanid_wait_removal(a.reader, -1);
        ms = e2e::MsSince(t0);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    EXPECT_EQ(rc.load(), -1000) << "still there";
    Usb(0).RemoveCard();
    auto removedAt = std::chrono::steady_clock::now();
    t.join();
    EXPECT_EQ(rc.load(), SCANID_CARD_REMOVED);
    EXPECT_LT(e2e::MsSince(removedAt), 1500) << "told within about a second";

    serial.Module().RemoveCard();
    EXPECT_EQ(scanid_wait_removal(s.reader, 5000), SCANID_CARD_REMOVED);

    // Another card in its place counts as the first one gone, at once.
    Usb(0).SetAnnounceInterval(kReadIntervalMs);
    Usb(0).PlaceCard(sim::CardKind::M1);
    ASSERT_EQ(a.Read(), SCANID_OTHERCARD);
    Usb(0).PlaceCard(sim::CardKind::Yct);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(scanid_wait_removal(a.reader, 5000), SCANID_CARD_REMOVED);
    EXPECT_LT(e2e::MsSince(t0), SCANID_REMOVAL_QUIET_MS + 200) << "not by silence";
    ASSERT_EQ(a.Read(), SCANID_OTHERCARD);
    EXPECT_EQ(a.rec.cardkind, 4);
}

TEST_F(Readers, ConsoleLinesGoToTheirReadersCallback)
{
    std::vector<ConsoleLine> handleLines, defaultLines;
    Lane absent("usb:1-9");
    scanid_set_console_cb(absent.reader, OnConsole, &handleLines);
    scanid_set_console_cb(nullptr, OnConsole, &defaultLines);
    ASSERT_EQ(SetComInfo("/dev/scanid-no-such-port", 115200), 0);
    idInfo rec{};
    std::string printed;
    {
        e2e::StdoutCapture out(1), err(2);
        EXPECT_EQ(absent.Read(), SCANID_ERR_USB_OPEN);
        EXPECT_EQ(ReadIDCardLib(&rec, CARDTYPE_SERIAL), SCANID_ERR_SERIAL_OPEN);
        printed = out.Stop() + err.Stop();
    }
    EXPECT_EQ(printed, "") << "routed lines are not printed";
    ASSERT_EQ(handleLines.size(), 1u);
    EXPECT_EQ(handleLines[0].reader, absent.reader);
    EXPECT_EQ(handleLines[0].stream, SCANID_STREAM_ERR);
    EXPECT_EQ(handleLines[0].line, "Cannot open device,Please check device...");
    EXPECT_EQ(handleLines[0].error, strerror(ENODEV));
    ASSERT_GE(defaultLines.size(), 1u);
    EXPECT_EQ(defaultLines[0].reader, nullptr);
    EXPECT_EQ(defaultLines[0].line, "Open_port error!");
    EXPECT_EQ(defaultLines[0].error, strerror(ENOENT));

    // Without a callback the lines are printed exactly as before.
    scanid_set_console_cb(nullptr, nullptr, nullptr);
    {
        e2e::StdoutCapture err(2);
        EXPECT_EQ(ReadIDCardLib(&rec, CARDTYPE_SERIAL), SCANID_ERR_SERIAL_OPEN);
        printed = err.Stop();
    }
    EXPECT_EQ(printed, std::string("Open_port error!: ") + strerror(ENOENT) + "\n");
}

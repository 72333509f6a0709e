// The USB read cycle end to end: ReadIDCardLib through the real libusb-1.0
// against the simulated module on the umockdev-emulated device, and the
// simulated decode server on loopback TCP.
#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <thread>

#include "DecodeServer.h"
#include "UsbModule.h"
#include "e2e_support.h"

using e2e::Event;
using e2e::Events;

namespace {

// umockdev allows one testbed per process, and it must exist before the
// library's first libusb_init.
sim::UsbModule *g_module = nullptr;

class UsbEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        sim::ModuleConfig c;
        c.stepLatencyMs = 5;
        // A read must not meet a repeated notice: a loaded machine can take
        // longer than the usual 300 ms from the notice to the read-start.
        c.announceIntervalMs = 60000;
        g_module = new sim::UsbModule(c);
        // What the emulation and libusb open once per process is opened
        // here, before any test takes a descriptor count.
        if (g_module->Ok()) {
            {
                LinkUsb warm;
                (void)warm.ConnectUsb();
            }
            g_module->Device().WaitFor([](const UsbModuleDevice::Stats &s) { return s.openClients == 0; }, 10000);
        }
    }
    void TearDown() override
    {
        delete g_module;
        g_module = nullptr;
    }
};

::testing::Environment *const g_env = ::testing::AddGlobalTestEnvironment(new UsbEnvironment);

const sim::IdCard &Card(size_t i) { return sim::IdCards().at(i); }

class UsbCycle : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(g_module && g_module->Ok()) << (g_module ? g_module->Error() : "no module");
        Model().RemoveCard();
        Model().ClearFaults();
        Model().SetHeartbeatAnswers(true);
        g_module->Device().SetClaimFails(false);
        ASSERT_TRUE(server.Start()) << server.LastError();
        ASSERT_EQ(SetServiceInfo("127.0.0.1", server.Port()), 0);
        CARD_SetReadInfoCB(e2e::OnEvent);
        e2e::ResetEvents();
        memset(&rec, 0, sizeof rec);
        framesBefore = Model().HostFrames().size();
    }
    void TearDown() override { Model().RemoveCard(); }

    int Read() { return ReadIDCardLib(&rec, CARDTYPE_USB); }
    sim::ReaderModule &Model() { return g_module->Module(); }
    void PlaceId(size_t i) { Model().PlaceIdCard(Card(i).serial); }
    std::vector<sim::proto::Bytes> NewHostFrames()
    {
        auto all = Model().HostFrames();
        return std::vector<sim::proto::Bytes>(all.begin() + static_cast<long>(framesBefore), all.end());
    }
    static std::string Connected(uint16_t port)
    {
        return "ConncetServer Success,serverip :127.0.0.1,port:" + std::to_string(port);
    }
    static std::vector<Event> Sizes(std::initializer_list<int> sizes)
    {
        std::vector<Event> v;
        for (int n : sizes)
            v.emplace_back(3, "[ReveServerSize:] " + std::to_string(n));
        return v;
    }
    static std::vector<Event> Join(std::initializer_list<std::vector<Event>> parts)
    {
        std::vector<Event> v;
        for (const auto &p : parts)
            v.insert(v.end(), p.begin(), p.end());
        return v;
    }
    // The first receive of a final answer sent in pieces gets the first
    // piece, or more when the relay comes to it late: the size event shows
    // what it got, the record that the pieces were joined.
    static std::vector<Event> FirstPiece(std::vector<Event> events, int first)
    {
        for (Event &e : events) {
            const std::string size = "[ReveServerSize:] ";
            if (e.second.rfind(size, 0) == 0 && atoi(e.second.c_str() + size.size()) > first)
                e.second = size + std::to_string(first);
        }
        return events;
    }
    std::vector<Event> Opening() const
    {
        return {{3, "usb connect ok"}, {2, "Detect the heart"}, {1, "find ID card"}, {3, Connected(server.Port())}};
    }

    sim::DecodeServer server;
    idInfo rec;
    size_t framesBefore = 0;
};

} // namespace

TEST_F(UsbCycle, ReadsAnIdentityCardThroughTheRelay)
{
    PlaceId(1);
    rec.cardfoundcb = e2e::OnCardFound;
    ASSERT_EQ(Read(), SCANID_IDCARD) << e2e::Describe(Events());

    EXPECT_EQ(Events(), Join({Opening(), Sizes({7, 21, 21, 1299}), {{3, "disconnect usb"}}}))
        << e2e::Describe(Events());
    EXPECT_EQ(e2e::Rec().cardFoundCalls, 1);
    EXPECT_EQ(e2e::Rec().eventsAtCardFound, 2u);
    e2e::ExpectSameIdentity(rec, e2e::ExpectedRecord(Card(1)));
    EXPECT_STREQ(rec.name, "阿依古丽·买买提");
    EXPECT_STREQ(rec.nation, "维");
    EXPECT_EQ(rec.carddatalen, 0);

    // The module got the link check, the server's read-start twice (a 7-byte
    // packet goes out twice), then packets 3 and 5.
    auto frames = NewHostFrames();
    ASSERT_GE(frames.size(), 5u);
    EXPECT_EQ(frames[0], sim::proto::kLinkCheck);
    size_t k = frames.size() - 4;
    EXPECT_EQ(frames[k], sim::proto::kReadStart);
    EXPECT_EQ(frames[k + 1], sim::proto::kReadStart);
    EXPECT_EQ(frames[k + 2].size(), 21u);
    EXPECT_EQ(frames[k + 2][4], 0x03);
    EXPECT_EQ(frames[k + 3][4], 0x05);

    ASSERT_TRUE(server.WaitSettled(1, 2000));
    sim::ConnectionRecord c = server.Connection(0);
    EXPECT_EQ(c.outcome, sim::SessionOutcome::ReadCompleted);
    EXPECT_EQ(sim::proto::Bytes(c.received.begin(), c.received.begin() + 26),
              sim::proto::IdCardNotice(Card(1).serial));
    EXPECT_EQ(g_IdCardMain.m_iCardKind, 5);
}

TEST_F(UsbCycle, CardLeftOnTheReaderIsAnsweredFromTheCache)
{
    PlaceId(0);
    ASSERT_EQ(Read(), SCANID_IDCARD);
    e2e::ResetEvents();
    memset(&rec, 0, sizeof rec);
    ASSERT_EQ(Read(), SCANID_IDCARD) << e2e::Describe(Events());
    EXPECT_EQ(Events(), Join({Opening(), Sizes({1299}), {{3, "disconnect usb"}}}));
    e2e::ExpectSameIdentity(rec, e2e::ExpectedRecord(Card(0)));
}

struct OtherCard {
    const char *name;
    sim::CardKind kind;
    int cardKind;
    int length;
    std::vector<Event> events;
};

void PrintTo(const OtherCard &c, std::ostream *os) { *os << c.name; }

class UsbOtherCard : public UsbCycle, public ::testing::WithParamInterface<OtherCard> {};

TEST_P(UsbOtherCard, IsReportedWithItsFrame)
{
    const OtherCard &c = GetParam();
    Model().PlaceCard(c.kind);
    ASSERT_EQ(Read(), SCANID_OTHERCARD) << e2e::Describe(Events());
    std::vector<Event> want = {{3, "usb connect ok"}, {2, "Detect the heart"}};
    want.insert(want.end(), c.events.begin(), c.events.end());
    want.emplace_back(3, "disconnect usb");
    EXPECT_EQ(Events(), want) << e2e::Describe(Events());
    EXPECT_EQ(rec.cardkind, c.cardKind);
    EXPECT_EQ(rec.carddatalen, c.length);
    sim::proto::Bytes frame = sim::OtherCardAnnouncement(c.kind);
    ASSERT_EQ(frame.size(), static_cast<size_t>(c.length));
    EXPECT_EQ(0, memcmp(rec.carddata, frame.data(), frame.size()));
    EXPECT_EQ(rec.name[0], 0);
    EXPECT_EQ(rec.photolen, 0);
    EXPECT_EQ(server.ConnectionsAccepted(), 0);

    // The extended record carries the same frame, and no document.
    Model().PlaceCard(c.kind);
    scanid_record ex;
    memset(&ex, 0x5A, sizeof ex);
    ex.size = sizeof ex;
    ASSERT_EQ(ReadIDCardEx(&ex, CARDTYPE_USB), SCANID_OTHERCARD);
    EXPECT_EQ(ex.document, SCANID_DOC_NONE);
    EXPECT_EQ(ex.card_kind, c.cardKind);
    EXPECT_EQ(ex.card_data_len, c.length);
    EXPECT_EQ(0, memcmp(ex.card_data, frame.data(), frame.size()));
}

INSTANTIATE_TEST_SUITE_P(Kinds, UsbOtherCard,
                         ::testing::Values(OtherCard{"M1", sim::CardKind::M1, 1, 12, {{1, "find M1 card"}}},
                                           OtherCard{"Yct", sim::CardKind::Yct, 4, 41, {{1, "find YCT card"}}},
                                           OtherCard{"Kind3", sim::CardKind::Kind3, 3, 39, {}},
                                           OtherCard{"Kind2", sim::CardKind::Kind2, 2, 25, {}}),
                         [](const ::testing::TestParamInfo<OtherCard> &i) { return std::string(i.param.name); });

TEST_F(UsbCycle, ModuleThatDoesNotAnswerTheHeartbeat)
{
    Model().SetHeartbeatAnswers(false);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(Read(), SCANID_ERR_HEARTBEAT);
    EXPECT_GE(e2e::MsSince(t0), 150) << "three tries of 50 ms";
    EXPECT_EQ(Events(), (std::vector<Event>{{3, "usb connect ok"}, {2, "NOT Detect the heart"},
                                            {3, "disconnect usb"}}));
    auto frames = NewHostFrames();
    EXPECT_EQ(frames.size(), 3u);
    EXPECT_EQ(g_IdCardMain.m_usb.pDevHandle, nullptr);
    EXPECT_EQ(g_IdCardMain.m_usb.pUsbContext, nullptr);
}

TEST_F(UsbCycle, InterfaceThatCannotBeClaimed)
{
    g_module->Device().SetClaimFails(true);
    auto t0 = std::chrono::steady_clock::now();
    e2e::StdoutCapture out;
    EXPECT_EQ(Read(), SCANID_ERR_USB_OPEN);
    std::string text = out.Stop();
    EXPECT_GE(e2e::MsSince(t0), 1000);
    EXPECT_EQ(Events(), (std::vector<Event>{{3, "usb connect err"}}));
    EXPECT_EQ(text, "disconnect usb \n") << "the half-open link is released";
    EXPECT_EQ(g_IdCardMain.m_usb.pDevHandle, nullptr);
    EXPECT_EQ(g_IdCardMain.m_usb.pUsbContext, nullptr);
}

TEST_F(UsbCycle, ServerFailureNotice)
{
    PlaceId(2);
    server.InjectFault(sim::kStepPacket3, sim::ServerFault::FailureNotice);
    EXPECT_EQ(Read(), SCANID_ERR_SERVER_DATA);
    EXPECT_EQ(Events(), Join({Opening(), Sizes({7, 17}), {{3, "Blue box Parse error"}, {3, "disconnect usb"}}}))
        << e2e::Describe(Events());
    EXPECT_EQ(rec.name[0], 0);
}

TEST_F(UsbCycle, ServerClosingEndsTheRelayAtOnce)
{
    PlaceId(2);
    server.InjectFault(sim::kStepPacket5, sim::ServerFault::Close);
    e2e::StdoutCapture out;
    EXPECT_EQ(Read(), SCANID_NO_CARD);
    long long relayMs = e2e::MsSinceEvent("ConncetServer Success");
    std::string text = out.Stop();
    EXPECT_GE(relayMs, 0);
    EXPECT_LT(relayMs, 2500) << "no need to wait out the relay limit";
    EXPECT_EQ(text.rfind("iTcpRvcLen -1\n==============", 0), 0u) << text;
    EXPECT_EQ(Events(), Join({Opening(), Sizes({7, 21}), {{3, "disconnect usb"}}})) << e2e::Describe(Events());
}

TEST_F(UsbCycle, SilentServerEndsTheRelayAfterThreeSeconds)
{
    PlaceId(3);
    server.InjectFault(sim::kStepFinal, sim::ServerFault::Silence);
    e2e::StdoutCapture out;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(Read(), SCANID_NO_CARD);
    long long ms = e2e::MsSince(t0);
    std::string text = out.Stop();
    EXPECT_GE(ms, 3000);
    EXPECT_LT(ms, 8000);
    EXPECT_EQ(text.rfind("iTcpRvcLen 0\n==============", 0), 0u) << text;
    EXPECT_EQ(Events(), Join({Opening(), Sizes({7, 21, 21}), {{3, "disconnect usb"}}})) << e2e::Describe(Events());
}

TEST_F(UsbCycle, ModuleRestartingTheRead)
{
    PlaceId(3);
    Model().InjectFault(sim::kFaultStepPacket34, sim::ModuleFault::RestartNotice);
    EXPECT_EQ(Read(), SCANID_ERR_MODULE);
    EXPECT_EQ(Events(), Join({Opening(), Sizes({7, 21}), {{3, "Rereader MCU data"}, {3, "disconnect usb"}}}))
        << e2e::Describe(Events());
}

TEST_F(UsbCycle, ModuleErrorFrame)
{
    PlaceId(3);
    Model().InjectFault(sim::kFaultStepPacket12, sim::ModuleFault::ErrorFrame);
    EXPECT_EQ(Read(), SCANID_ERR_MODULE);
    EXPECT_EQ(Events(), Join({Opening(), Sizes({7}), {{3, "Rereader error"}, {3, "disconnect usb"}}}))
        << e2e::Describe(Events());
}

TEST_F(UsbCycle, FinalAnswerInTwoPiecesIsJoined)
{
    PlaceId(4);
    server.SetFinalAnswerLength(1250, 1);
    ASSERT_EQ(Read(), SCANID_IDCARD) << e2e::Describe(Events());
    EXPECT_EQ(FirstPiece(Events(), 1250), Join({Opening(), Sizes({7, 21, 21, 1250}), {{3, "disconnect usb"}}}));
    e2e::ExpectSameIdentity(rec, e2e::ExpectedRecord(Card(4)));
}

TEST_F(UsbCycle, FinalAnswerInThreePiecesIsJoined)
{
    PlaceId(1);
    server.SetFinalAnswerLength(1210, 1, 40);
    ASSERT_EQ(Read(), SCANID_IDCARD) << e2e::Describe(Events());
    EXPECT_EQ(FirstPiece(Events(), 1210), Join({Opening(), Sizes({7, 21, 21, 1210}), {{3, "disconnect usb"}}}));
    e2e::ExpectSameIdentity(rec, e2e::ExpectedRecord(Card(1)));
}

// A final answer that stays short would decode as a record with its end
// (the photo) zeroed: no read.
TEST_F(UsbCycle, FinalAnswerCutShortIsNoRead)
{
    PlaceId(1);
    server.SetShortFinalLength(1250);
    server.InjectFault(sim::kStepFinal, sim::ServerFault::Short);
    EXPECT_EQ(Read(), SCANID_ERR_SERVER_DATA) << e2e::Describe(Events());
    EXPECT_EQ(Events(), Join({Opening(), Sizes({7, 21, 21, 1250}),
                              {{3, "recv last packet data error for Server"}, {3, "disconnect usb"}}}));
    idInfo zero;
    memset(&zero, 0, sizeof zero);
    EXPECT_EQ(0, memcmp(&rec, &zero, offsetof(idInfo, cardfoundcb))) << "a failed read fills nothing";
}

TEST_F(UsbCycle, OversizedFinalAnswerDecodesItsBlock)
{
    PlaceId(4);
    server.InjectFault(sim::kStepFinal, sim::ServerFault::Oversized);
    ASSERT_EQ(Read(), SCANID_IDCARD) << e2e::Describe(Events());
    e2e::ExpectSameIdentity(rec, e2e::ExpectedRecord(Card(4)));
}

TEST_F(UsbCycle, ShortFinalAnswerIsNoAnswer)
{
    PlaceId(4);
    server.InjectFault(sim::kStepFinal, sim::ServerFault::Short);
    e2e::StdoutCapture out;
    EXPECT_EQ(Read(), SCANID_NO_CARD) << e2e::Describe(Events());
    out.Stop();
    EXPECT_EQ(rec.name[0], 0);
}

TEST_F(UsbCycle, StandbyServerTakesOverAndStays)
{
    if (std::string(SCANID_STANDBY_HOST) != "localhost")
        GTEST_SKIP() << "built with standby host " << SCANID_STANDBY_HOST;
    sim::ServerConfig sc;
    sc.port = kStandbyPort;
    sim::DecodeServer standby(sc);
    // The fail-over reads the card anew from its next notice.
    e2e::AnnounceAgainOnProbe(standby, Model());
    ASSERT_TRUE(standby.Start()) << standby.LastError();
    server.Stop(); // the primary refuses from now on
    PlaceId(0);
    rec.cardfoundcb = e2e::OnCardFound;

    int fds = e2e::SteadyDescriptors();
    ASSERT_EQ(Read(), SCANID_IDCARD) << e2e::Describe(Events());
    std::vector<Event> want = {{3, "usb connect ok"},
                               {2, "Detect the heart"},
                               {1, "find ID card"},
                               {3, "Server connection failure, Connect the standby server"},
                               {1, "find ID card"},
                               {3, Connected(kStandbyPort)}};
    EXPECT_EQ(Events(), Join({want, Sizes({7, 21, 21, 1299}), {{3, "disconnect usb"}}})) << e2e::Describe(Events());
    EXPECT_EQ(e2e::Rec().cardFoundCalls, 2);
    e2e::ExpectSameIdentity(rec, e2e::ExpectedRecord(Card(0)));
    EXPECT_STREQ(g_IdCardMain.m_szServerIp, "127.0.0.1");
    EXPECT_EQ(g_IdCardMain.m_iServerPort, kStandbyPort);
    EXPECT_EQ(standby.ConnectionsAccepted(), 2) << "the probe, then the relay";
    EXPECT_EQ(e2e::DescriptorsBackTo(fds), "") << "the probe socket must not leak";

    // The next cycle goes to the standby server first.
    e2e::ResetEvents();
    memset(&rec, 0, sizeof rec);
    ASSERT_EQ(Read(), SCANID_IDCARD) << e2e::Describe(Events());
    EXPECT_EQ(Events(), Join({{{3, "usb connect ok"}, {2, "Detect the heart"}, {1, "find ID card"},
                               {3, Connected(kStandbyPort)}},
                              Sizes({1299}),
                              {{3, "disconnect usb"}}}));

    // With the standby gone too, the cycle looks it up again and gives up.
    standby.Stop();
    e2e::ResetEvents();
    EXPECT_EQ(Read(), SCANID_ERR_SERVER_CONNECT);
    EXPECT_EQ(Events(), (std::vector<Event>{{3, "usb connect ok"},
                                            {2, "Detect the heart"},
                                            {1, "find ID card"},
                                            {3, "Server connection failure, Connect the standby server"},
                                            {3, "Server connection failure"},
                                            {3, "disconnect usb"}}));
    SetServiceInfo("127.0.0.1", server.Port());
    Model().SetAnnounceInterval(60000);
}

TEST_F(UsbCycle, ManyCyclesLeaveNothingOpen)
{
    server.SetCache(false);
    int fds = e2e::SteadyDescriptors();
    for (int i = 0; i < 3; i++) {
        PlaceId(static_cast<size_t>(i));
        memset(&rec, 0, sizeof rec);
        EXPECT_EQ(Read(), SCANID_IDCARD);
        Model().PlaceCard(sim::CardKind::M1);
        EXPECT_EQ(Read(), SCANID_OTHERCARD);
        PlaceId(static_cast<size_t>(i));
        server.InjectFault(sim::kStepPacket3, sim::ServerFault::FailureNotice);
        EXPECT_EQ(Read(), SCANID_ERR_SERVER_DATA);
    }
    EXPECT_EQ(e2e::DescriptorsBackTo(fds), "");
    EXPECT_EQ(g_IdCardMain.m_usb.pDevHandle, nullptr);
    EXPECT_EQ(g_IdCardMain.m_usb.pUsbContext, nullptr);
    EXPECT_EQ(g_IdCardMain.m_socket.iSocketFd, -1);
}

// The only wait that takes the full ten seconds: a module that stays silent.
TEST_F(UsbCycle, NoCardWaitsOneFullDetectionRead)
{
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(Read(), SCANID_NO_CARD);
    long long ms = e2e::MsSince(t0);
    EXPECT_GE(ms, 10000);
    EXPECT_LT(ms, 20000);
    EXPECT_EQ(Events(), (std::vector<Event>{{3, "usb connect ok"}, {2, "Detect the heart"}, {3, "disconnect usb"}}));
    EXPECT_EQ(server.ConnectionsAccepted(), 0);
}

// A cancel with no cycle running is forgotten: the next cycle reads.
TEST_F(UsbCycle, CancelWithoutACycleIsHarmless)
{
    EXPECT_EQ(CancelReadIDCard(), 0);
    EXPECT_EQ(CancelReadIDCard(), 0);
    PlaceId(1);
    ASSERT_EQ(Read(), SCANID_IDCARD) << e2e::Describe(Events());
    e2e::ExpectSameIdentity(rec, e2e::ExpectedRecord(Card(1)));
}

namespace {
void CancelOnSignal(int) { CancelReadIDCard(); }
} // namespace

// The handler runs on the reading thread itself, inside the card wait's
// poll(): the wait must end, not go on for its 10 s.
TEST_F(UsbCycle, CancelFromASignalHandlerEndsTheCardWait)
{
    struct sigaction sa {}, old {};
    sa.sa_handler = CancelOnSignal;
    sigemptyset(&sa.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
    const int fds = e2e::SteadyDescriptors();
    const pthread_t reader = pthread_self();
    std::atomic<bool> done{false};
    std::atomic<long long> sentAt{-1};
    std::thread sender([&] {
        // No card is placed: once the heart is detected the cycle waits.
        while (!done && e2e::MsSinceEvent("Detect the heart") < 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        if (done)
            return;
        sentAt = testsupport::NowMs();
        pthread_kill(reader, SIGUSR1);
    });
    const int code = Read();
    const long long end = testsupport::NowMs();
    done = true;
    sender.join();
    sigaction(SIGUSR1, &old, nullptr);

    EXPECT_EQ(code, SCANID_CANCELLED) << e2e::Describe(Events());
    EXPECT_EQ(Events(), (std::vector<Event>{{3, "usb connect ok"}, {2, "Detect the heart"}, {3, "read cancelled"},
                                            {3, "disconnect usb"}}))
        << e2e::Describe(Events());
    ASSERT_GE(sentAt, 0);
    EXPECT_LT(end - sentAt, 2000) << "the card wait went on after the signal";
    EXPECT_EQ(g_IdCardMain.m_usb.pDevHandle, nullptr);
    EXPECT_EQ(e2e::DescriptorsBackTo(fds), "");
    // The cancel ended with its cycle: the next one reads.
    EXPECT_EQ(CancelReadIDCard(), 0);
    PlaceId(0);
    e2e::ResetEvents();
    EXPECT_EQ(Read(), SCANID_IDCARD) << e2e::Describe(Events());
}

// The other document kinds read through the same relay, with their kind and
// every field in the extended record, and field by field in idInfo.
class UsbDocuments : public UsbCycle, public ::testing::WithParamInterface<e2e::DocumentCase> {};

TEST_P(UsbDocuments, ReadWithTheirKindAndFields)
{
    const e2e::DocumentCase &c = GetParam();
    PlaceId(c.card);
    scanid_record ex;
    memset(&ex, 0x5A, sizeof ex);
    ex.size = sizeof ex;
    ASSERT_EQ(ReadIDCardEx(&ex, CARDTYPE_USB), SCANID_IDCARD) << e2e::Describe(Events());
    EXPECT_EQ(ex.document, c.document);
    EXPECT_STREQ(ex.number, c.number);
    EXPECT_EQ(ex.number_valid, 1);
    e2e::ExpectSameDocument(ex, Card(c.card));
    EXPECT_EQ(ex.card_kind, 0);

    e2e::ResetEvents();
    ASSERT_EQ(Read(), SCANID_IDCARD) << e2e::Describe(Events());
    e2e::ExpectSameIdentity(rec, e2e::ExpectedRecord(Card(c.card)));
    EXPECT_STREQ(rec.cardno, c.number);
}

INSTANTIATE_TEST_SUITE_P(Kinds, UsbDocuments, ::testing::ValuesIn(e2e::DocumentCases()), e2e::DocumentCaseName);

// A type letter no layout is known for: never an identity card.
TEST_F(UsbCycle, UnknownDocumentIsNoIdentityCard)
{
    Model().PlaceIdCard(sim::UnknownDocument().serial);
    ASSERT_EQ(Read(), SCANID_ERR_SERVER_DATA) << e2e::Describe(Events());
    EXPECT_EQ(Events().at(Events().size() - 2), (Event{3, "unknown document kind"}));
    EXPECT_EQ(rec.name[0], 0);
    EXPECT_EQ(rec.cardno[0], 0);
    EXPECT_EQ(rec.photolen, 0);
    scanid_record ex;
    memset(&ex, 0, sizeof ex);
    ex.size = sizeof ex;
    ASSERT_EQ(ReadIDCardEx(&ex, CARDTYPE_USB), SCANID_UNKNOWN_DOCUMENT);
    EXPECT_EQ(ex.document, SCANID_DOC_UNKNOWN);
    EXPECT_STREQ(ex.type_letter, "Q");
    EXPECT_STREQ(ex.number, "");
    EXPECT_EQ(ex.text_block[248], 'Q');
}

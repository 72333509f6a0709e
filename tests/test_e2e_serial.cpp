// The serial read cycle end to end: ReadIDCardLib against the simulated
// module on a real pseudo-terminal and the simulated decode server on
// loopback TCP.
#include <gtest/gtest.h>

#include "DecodeServer.h"
#include "SerialModule.h"
#include "e2e_support.h"

using e2e::Event;
using e2e::Events;

namespace {

sim::ModuleConfig SerialConfig()
{
    sim::ModuleConfig c;
    c.stepLatencyMs = 5;
    return c;
}

const sim::IdCard &Card(size_t i) { return sim::IdCards().at(i); }

class SerialCycle : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(module.Ok()) << module.Error();
        ASSERT_TRUE(server.Start()) << server.LastError();
        ASSERT_EQ(SetComInfo(module.SlavePath().c_str(), 115200), 0);
        ASSERT_EQ(SetServiceInfo("127.0.0.1", server.Port()), 0);
        CARD_SetReadInfoCB(e2e::OnEvent);
        e2e::ResetEvents();
        memset(&rec, 0, sizeof rec);
    }

    int Read() { return ReadIDCardLib(&rec, CARDTYPE_SERIAL); }
    sim::ReaderModule &Model() { return module.Module(); }
    void PlaceId(size_t i) { Model().PlaceIdCard(Card(i).serial); }
    std::string Connected() const
    {
        return "Connect server: 127.0.0.1,port: " + std::to_string(server.Port()) + "  success";
    }
    // Events up to and including the server connection of an identity card.
    std::vector<Event> Opening() const
    {
        return {{3, "serial connect successed"}, {2, "Detect the heart"}, {1, "find ID card"}, {3, Connected()}};
    }
    static std::vector<Event> Then(std::vector<Event> a, const std::vector<Event> &b)
    {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    }

    sim::SerialModule module{SerialConfig()};
    sim::DecodeServer server;
    idInfo rec;
};

size_t TailBytes()
{
    size_t n = 0;
    for (size_t len : sim::proto::kSerialTail)
        n += len;
    return n;
}

} // namespace

TEST_F(SerialCycle, ReadsAnIdentityCardThroughTheWholeScript)
{
    PlaceId(0);
    rec.cardfoundcb = e2e::OnCardFound;
    ASSERT_EQ(Read(), SCANID_IDCARD) << e2e::Describe(Events());

    EXPECT_EQ(Events(), Then(Opening(), {{3, "The number of read 48"}, {3, "read card successful"},
                                         {3, "disconnect serial"}}))
        << e2e::Describe(Events());
    EXPECT_EQ(e2e::Rec().cardFoundCalls, 1);
    EXPECT_EQ(e2e::Rec().eventsAtCardFound, 2u) << "the hook runs just before \"find ID card\"";

    e2e::ExpectSameIdentity(rec, e2e::ExpectedRecord(Card(0)));
    EXPECT_STREQ(rec.name, "张伟");
    EXPECT_STREQ(rec.cardno, "440106198503124518");
    EXPECT_EQ(rec.photolen, 1024);
    EXPECT_EQ(rec.carddatalen, 0) << "identity reads leave the other-card fields alone";

    // What reached the server, in order: notice, 48, 32, 8, the eleven tail packets.
    ASSERT_TRUE(server.WaitSettled(1, 2000));
    sim::ConnectionRecord c = server.Connection(0);
    EXPECT_EQ(c.outcome, sim::SessionOutcome::ReadCompleted);
    ASSERT_EQ(c.received.size(), 26 + 48 + 32 + 8 + TailBytes());
    EXPECT_EQ(sim::proto::Bytes(c.received.begin(), c.received.begin() + 26),
              sim::proto::IdCardNotice(Card(0).serial));

    // What reached the module: link check, read-start twice, packets 3 and 5.
    auto frames = Model().HostFrames();
    ASSERT_EQ(frames.size(), 5u);
    EXPECT_EQ(frames[0], sim::proto::kLinkCheck);
    EXPECT_EQ(frames[1], sim::proto::kReadStart);
    EXPECT_EQ(frames[2], sim::proto::kReadStart);
    EXPECT_EQ(frames[3].size(), 21u);
    EXPECT_EQ(frames[3][4], 0x03);
    EXPECT_EQ(frames[4].size(), 21u);
    EXPECT_EQ(frames[4][4], 0x05);
}

TEST_F(SerialCycle, CardLeftOnTheReaderComesFromTheServerCache)
{
    PlaceId(2);
    ASSERT_EQ(Read(), SCANID_IDCARD);
    e2e::ResetEvents();
    memset(&rec, 0, sizeof rec);
    size_t framesBefore = Model().HostFrames().size();

    ASSERT_EQ(Read(), SCANID_IDCARD) << e2e::Describe(Events());
    EXPECT_EQ(Events(), Then(Opening(), {{3, "read card cache successful"}, {3, "disconnect serial"}}));
    e2e::ExpectSameIdentity(rec, e2e::ExpectedRecord(Card(2)));
    EXPECT_STREQ(rec.endtime, "长期      ") << "long-term validity, blank padded like the digits";
    auto frames = Model().HostFrames();
    ASSERT_EQ(frames.size(), framesBefore + 1) << "a cached read writes nothing but the link check";
    EXPECT_EQ(frames.back(), sim::proto::kLinkCheck);
}

TEST_F(SerialCycle, IcCardIsReadWithoutTheServer)
{
    Model().PlaceCard(sim::CardKind::IcCard);
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(Read(), SCANID_OTHERCARD) << e2e::Describe(Events());
    EXPECT_GE(e2e::MsSince(t0), 900) << "the 26-byte read runs out its limit first";
    EXPECT_EQ(Events(), (std::vector<Event>{{3, "serial connect successed"}, {2, "Detect the heart"},
                                            {3, "read ICCard successful"}, {3, "disconnect serial"}}));
    EXPECT_EQ(rec.cardkind, 0x07);
    const unsigned char data[] = {0x3B, 0x6E, 0x00, 0x00, 0x80, 0x31, 0x80, 0x66};
    EXPECT_EQ(0, memcmp(rec.carddata, data, sizeof data));
    for (int i = 8; i < 51; i++)
        EXPECT_EQ(rec.carddata[i], 0) << i;
    EXPECT_EQ(rec.carddatalen, 8);
    EXPECT_EQ(rec.name[0], 0);
    EXPECT_EQ(server.ConnectionsAccepted(), 0);
}

TEST_F(SerialCycle, NoCardEndsAfterThreeSeconds)
{
    auto t0 = std::chrono::steady_clock::now();
    long wakeups = testsupport::Wakeups();
    EXPECT_EQ(Read(), SCANID_NO_CARD);
    wakeups = testsupport::Wakeups() - wakeups;
    long long ms = e2e::MsSince(t0);
    EXPECT_GE(ms, 3000);
    EXPECT_LT(ms, 9000);
    // Asleep while the reader is empty, not trying every millisecond.
    EXPECT_LT(wakeups, 100);
    EXPECT_EQ(Events(), (std::vector<Event>{{3, "serial connect successed"}, {2, "Detect the heart"},
                                            {3, "disconnect serial"}}));
    EXPECT_GE(g_IdCardMain.m_iReadCount, 2);
    EXPECT_EQ(server.ConnectionsAccepted(), 0);
}

TEST_F(SerialCycle, SlowServerSpendsTheOneRetryCounterOfTheCycle)
{
    // Every answer 1.2 s late: the first answer costs about 54 attempts of
    // 22 ms, which leaves packet 3 time enough; at 1.4 s it costs 63, and
    // the 58 left to packet 3 run out before it comes.
    server.SetCache(false);
    PlaceId(0);
    server.SetLatency(1200);
    EXPECT_EQ(Read(), SCANID_IDCARD) << e2e::Describe(Events());
    server.SetLatency(1400);
    e2e::ResetEvents();
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(Read(), SCANID_ERR_SERVER_TIMEOUT) << e2e::Describe(Events());
    EXPECT_LT(e2e::MsSince(t0), 5000) << "packet 3 must not get a wait of its own";
}

TEST_F(SerialCycle, PortThatCannotBeOpened)
{
    ASSERT_EQ(SetComInfo("/dev/scanid-no-such-port", 115200), 0);
    e2e::StdoutCapture out;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(Read(), SCANID_ERR_SERIAL_OPEN);
    EXPECT_GE(e2e::MsSince(t0), 1000);
    EXPECT_EQ(Events(), (std::vector<Event>{{3, "serial connect err"}}));
    EXPECT_EQ(out.Stop(), "") << "nothing was open, so nothing to disconnect";
    EXPECT_EQ(server.ConnectionsAccepted(), 0);
}

TEST_F(SerialCycle, BadBaudRateClosesThePortItOpened)
{
    ASSERT_EQ(SetComInfo(module.SlavePath().c_str(), 1200), 0);
    int fds = e2e::SteadyDescriptors();
    e2e::StdoutCapture out;
    EXPECT_EQ(Read(), SCANID_ERR_SERIAL_OPEN);
    std::string text = out.Stop();
    EXPECT_NE(text.find("donot exist iBaudRate 1200!\n"), std::string::npos) << text;
    EXPECT_NE(text.find("disconnect serial\r\n"), std::string::npos) << text;
    EXPECT_EQ(e2e::DescriptorsBackTo(fds), "");
    EXPECT_EQ(g_IdCardMain.m_serial.iSerialFd, -1);
}

TEST_F(SerialCycle, SilentModuleStillWaitsForACard)
{
    Model().SetHeartbeatAnswers(false);
    e2e::StdoutCapture out;
    EXPECT_EQ(Read(), SCANID_NO_CARD);
    EXPECT_NE(out.Stop().find("timeout from MCU\r\n"), std::string::npos);
    EXPECT_EQ(Events(), (std::vector<Event>{{3, "serial connect successed"}, {2, "NOT Detect the heart"},
                                            {3, "disconnect serial"}}));
}

TEST_F(SerialCycle, ServerNotListening)
{
    PlaceId(0);
    server.Stop();
    EXPECT_EQ(Read(), SCANID_ERR_SERVER_CONNECT);
    EXPECT_EQ(Events(), (std::vector<Event>{{3, "serial connect successed"}, {2, "Detect the heart"},
                                            {1, "find ID card"}, {3, "connect server failed"},
                                            {3, "disconnect serial"}}));
}

// Endings of the script, each at the step where the module or the server
// fails. `events` are those after the opening ones, before "disconnect serial".
struct ScriptFault {
    const char *name;
    int moduleStep;  // -1: none
    sim::ModuleFault moduleFault;
    int serverStep;  // -1: none
    sim::ServerFault serverFault;
    int result;
    std::vector<Event> events;
};

void PrintTo(const ScriptFault &f, std::ostream *os) { *os << f.name; }

class SerialScriptFault : public SerialCycle, public ::testing::WithParamInterface<ScriptFault> {};

TEST_P(SerialScriptFault, EndsWithItsCodeAndReports)
{
    const ScriptFault &f = GetParam();
    PlaceId(1);
    if (f.moduleStep >= 0)
        Model().InjectFault(f.moduleStep, f.moduleFault);
    if (f.serverStep >= 0)
        server.InjectFault(f.serverStep, f.serverFault);
    int fds = e2e::SteadyDescriptors();
    EXPECT_EQ(Read(), f.result) << e2e::Describe(Events());
    std::vector<Event> want = Then(Opening(), f.events);
    want.emplace_back(3, "disconnect serial");
    EXPECT_EQ(Events(), want) << e2e::Describe(Events());
    EXPECT_EQ(rec.name[0], 0) << "a failed read fills nothing";
    EXPECT_EQ(rec.photolen, 0);
    EXPECT_EQ(e2e::DescriptorsBackTo(fds), "");
}

using MF = sim::ModuleFault;
using SF = sim::ServerFault;
const Event kRead48{3, "The number of read 48"};

INSTANTIATE_TEST_SUITE_P(
    Steps, SerialScriptFault,
    ::testing::Values(
        ScriptFault{"FirstAnswerServerCloses", -1, MF::None, sim::kStepNotice, SF::Close, -1,
                    {{3, "0 packet timeoutfrom server"}}},
        ScriptFault{"FirstAnswerWrongLength", -1, MF::None, sim::kStepNotice, SF::Short, 8,
                    {{3, "recv len is not match from server"}}},
        ScriptFault{"FirstAnswerFailureNotice", -1, MF::None, sim::kStepNotice, SF::FailureNotice, 8,
                    {{3, "recv len is not match from server"}}},
        ScriptFault{"Packet12Silent", sim::kFaultStepPacket12, MF::Silence, -1, SF::None, 7,
                    {{3, "The number of read -1"}, {3, "recv 1&2 packet data  error from MCU"}}},
        ScriptFault{"Packet12WrongHeader", sim::kFaultStepPacket12, MF::WrongHeader, -1, SF::None, 7, {kRead48}},
        ScriptFault{"Packet3ServerSilent", -1, MF::None, sim::kStepPacket3, SF::Silence, 6, {kRead48}},
        ScriptFault{"Packet3ServerShort", -1, MF::None, sim::kStepPacket3, SF::Short, 8, {kRead48}},
        ScriptFault{"Packet34WrongLength", sim::kFaultStepPacket34, MF::WrongLength, -1, SF::None, 7,
                    {kRead48, {3, " recv 3&4 packet data  error from MCU"}}},
        ScriptFault{"Packet34WrongStatus", sim::kFaultStepPacket34, MF::WrongStatus, -1, SF::None, 7, {kRead48}},
        ScriptFault{"Packet5ServerCloses", -1, MF::None, sim::kStepPacket5, SF::Close, 6,
                    {kRead48, {3, " recv 5 packet data  timeout from Server"}}},
        ScriptFault{"Packet5ServerOversized", -1, MF::None, sim::kStepPacket5, SF::Oversized, 8,
                    {kRead48, {3, " recv 5 packet data  error from Server"}}},
        ScriptFault{"Packet5ModuleSilent", sim::kFaultStepPacket5, MF::Silence, -1, SF::None, 7, {kRead48}},
        ScriptFault{"Packet5ModuleWrongStatus", sim::kFaultStepPacket5, MF::WrongStatus, -1, SF::None, 0, {kRead48}},
        ScriptFault{"Packet6WrongStatus", sim::kFaultStepTailFirst, MF::WrongStatus, -1, SF::None, 0, {kRead48}},
        ScriptFault{"Packet7WrongHeader", sim::kFaultStepTailFirst + 1, MF::WrongHeader, -1, SF::None, 0,
                    {kRead48}},
        ScriptFault{"Packet9Silent", sim::kFaultStepTailFirst + 3, MF::Silence, -1, SF::None, 7,
                    {kRead48, {3, " recv 9 packet data error for MCU"}}},
        ScriptFault{"Packet16WrongLength", sim::kFaultStepTailFirst + 10, MF::WrongLength, -1, SF::None, 7,
                    {kRead48, {3, " recv 16 packet data error for MCU"}}},
        ScriptFault{"FinalAnswerServerCloses", -1, MF::None, sim::kStepFinal, SF::Close, 6,
                    {kRead48, {3, "recv lsat packet data timeout for Server"}}},
        ScriptFault{"FinalAnswerShort", -1, MF::None, sim::kStepFinal, SF::Short, 8,
                    {kRead48, {3, "recv last packet data error for Server"}}}),
    [](const ::testing::TestParamInfo<ScriptFault> &info) { return std::string(info.param.name); });

TEST_F(SerialCycle, FinalAnswerInTwoPiecesIsJoined)
{
    PlaceId(3);
    server.SetFinalAnswerLength(1250, 1);
    ASSERT_EQ(Read(), SCANID_IDCARD) << e2e::Describe(Events());
    e2e::ExpectSameIdentity(rec, e2e::ExpectedRecord(Card(3)));
}

TEST_F(SerialCycle, FinalAnswerInThreePiecesIsJoined)
{
    PlaceId(1);
    server.SetFinalAnswerLength(1210, 1, 40);
    ASSERT_EQ(Read(), SCANID_IDCARD) << e2e::Describe(Events());
    e2e::ExpectSameIdentity(rec, e2e::ExpectedRecord(Card(1)));
}

// A final answer that stays short would decode as a record with its end
// (the photo) zeroed: no read.
TEST_F(SerialCycle, FinalAnswerCutShortIsNoRead)
{
    PlaceId(1);
    server.SetShortFinalLength(1250);
    server.InjectFault(sim::kStepFinal, sim::ServerFault::Short);
    EXPECT_EQ(Read(), SCANID_ERR_SERVER_DATA) << e2e::Describe(Events());
    EXPECT_EQ(Events(), Then(Opening(), {{3, "The number of read 48"}, {3, "recv last packet data error for Server"},
                                         {3, "disconnect serial"}}))
        << e2e::Describe(Events());
    idInfo zero;
    memset(&zero, 0, sizeof zero);
    EXPECT_EQ(0, memcmp(&rec, &zero, sizeof rec)) << "a failed read fills nothing";
}

TEST_F(SerialCycle, CachedAnswerCutShortIsNoRead)
{
    PlaceId(2);
    ASSERT_EQ(Read(), SCANID_IDCARD);
    e2e::ResetEvents();
    memset(&rec, 0, sizeof rec);
    server.SetShortFinalLength(1250);
    server.InjectFault(sim::kStepNotice, sim::ServerFault::Short);
    EXPECT_EQ(Read(), SCANID_ERR_SERVER_DATA) << e2e::Describe(Events());
    EXPECT_EQ(Events(), Then(Opening(), {{3, "recv len is not match from server"}, {3, "disconnect serial"}}));
    EXPECT_EQ(rec.name[0], 0);
    EXPECT_EQ(rec.photolen, 0);
}

TEST_F(SerialCycle, OversizedFinalAnswerDecodesItsBlock)
{
    PlaceId(4);
    server.InjectFault(sim::kStepFinal, sim::ServerFault::Oversized);
    ASSERT_EQ(Read(), SCANID_IDCARD) << e2e::Describe(Events());
    e2e::ExpectSameIdentity(rec, e2e::ExpectedRecord(Card(4)));
}

TEST_F(SerialCycle, ManyCyclesLeaveNothingOpen)
{
    server.SetCache(false);
    int fds = e2e::SteadyDescriptors();
    for (int i = 0; i < 4; i++) {
        PlaceId(static_cast<size_t>(i));
        memset(&rec, 0, sizeof rec);
        EXPECT_EQ(Read(), SCANID_IDCARD);
        Model().PlaceCard(sim::CardKind::IcCard);
        EXPECT_EQ(Read(), SCANID_OTHERCARD);
        PlaceId(static_cast<size_t>(i));
        server.InjectFault(sim::kStepPacket3, sim::ServerFault::Short);
        EXPECT_EQ(Read(), SCANID_ERR_SERVER_DATA);
    }
    Model().RemoveCard();
    EXPECT_EQ(e2e::DescriptorsBackTo(fds), "");
    EXPECT_EQ(g_IdCardMain.m_serial.iSerialFd, -1);
    EXPECT_EQ(g_IdCardMain.m_socket.iSocketFd, -1);
}

TEST_F(SerialCycle, CardsFollowingEachOtherAreEachRead)
{
    // A card taken off right after a read and another put on: the next
    // cycle must see the new one, whatever the last cycle ended with.
    for (int round = 0; round < 3; round++) {
        PlaceId(0);
        EXPECT_EQ(Read(), SCANID_IDCARD) << "round " << round;
        Model().RemoveCard();
        Model().PlaceCard(sim::CardKind::IcCard);
        EXPECT_EQ(Read(), SCANID_OTHERCARD) << "round " << round << e2e::Describe(Events());
        Model().RemoveCard();
    }
}

// The other document kinds read through the same relay, with their kind and
// every field in the extended record, and field by field in idInfo.
class SerialDocuments : public SerialCycle, public ::testing::WithParamInterface<e2e::DocumentCase> {};

TEST_P(SerialDocuments, ReadWithTheirKindAndFields)
{
    const e2e::DocumentCase &c = GetParam();
    PlaceId(c.card);
    scanid_record ex;
    memset(&ex, 0x5A, sizeof ex);
    ex.size = sizeof ex;
    ASSERT_EQ(ReadIDCardEx(&ex, CARDTYPE_SERIAL), SCANID_IDCARD) << e2e::Describe(Events());
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

INSTANTIATE_TEST_SUITE_P(Kinds, SerialDocuments, ::testing::ValuesIn(e2e::DocumentCases()), e2e::DocumentCaseName);

// A type letter no layout is known for: never an identity card.
TEST_F(SerialCycle, UnknownDocumentIsNoIdentityCard)
{
    Model().PlaceIdCard(sim::UnknownDocument().serial);
    ASSERT_EQ(Read(), SCANID_ERR_SERVER_DATA) << e2e::Describe(Events());
    EXPECT_EQ(Events().at(Events().size() - 2), (e2e::Event{3, "unknown document kind"}));
    EXPECT_EQ(rec.name[0], 0);
    EXPECT_EQ(rec.cardno[0], 0);
    EXPECT_EQ(rec.photolen, 0);
    scanid_record ex;
    memset(&ex, 0, sizeof ex);
    ex.size = sizeof ex;
    ASSERT_EQ(ReadIDCardEx(&ex, CARDTYPE_SERIAL), SCANID_UNKNOWN_DOCUMENT);
    EXPECT_EQ(ex.document, SCANID_DOC_UNKNOWN);
    EXPECT_STREQ(ex.type_letter, "Q");
    EXPECT_STREQ(ex.number, "");
    EXPECT_EQ(ex.text_block[248], 'Q');
}

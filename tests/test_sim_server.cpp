// The simulated decode server over real TCP on 127.0.0.1, with the test
// playing the module's side through a plain socket.
#include "DecodeServer.h"
#include "SimCards.h"

#include <gtest/gtest.h>

#include "test_support.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <string>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace sim {
void PrintTo(SessionOutcome o, std::ostream *os)
{
    *os << OutcomeName(o);
}
} // namespace sim

namespace {

using sim::DecodeServer;
using sim::ServerConfig;
using sim::ServerFault;
using sim::SessionOutcome;
using sim::proto::Bytes;
namespace proto = sim::proto;

using testsupport::NowMs;

int ConnectTo(uint16_t port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

struct Client {
    int fd;
    explicit Client(uint16_t port) : fd(ConnectTo(port)) {}
    ~Client() { Close(); }
    void Close()
    {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
    bool Send(const Bytes &b) const
    {
        return send(fd, b.data(), b.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(b.size());
    }
    // Whatever arrives until n bytes, the end of the connection or the time limit.
    Bytes Read(size_t n, int timeoutMs = 3000) const
    {
        Bytes out;
        long long end = NowMs() + timeoutMs;
        while (out.size() < n) {
            pollfd p{fd, POLLIN, 0};
            int left = static_cast<int>(end - NowMs());
            if (left <= 0 || poll(&p, 1, left) != 1)
                break;
            uint8_t buf[8192];
            ssize_t r = recv(fd, buf, std::min(sizeof buf, n - out.size()), 0);
            if (r <= 0)
                break;
            out.insert(out.end(), buf, buf + r);
        }
        return out;
    }
    // The server ended the connection within the limit and sent nothing more.
    bool SeesEnd(int timeoutMs = 3000) const
    {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) != 1)
            return false;
        uint8_t b;
        return recv(fd, &b, 1, 0) <= 0;
    }
    // Nothing arrives and the connection stays open for ms.
    bool Quiet(int ms) const
    {
        pollfd p{fd, POLLIN, 0};
        return poll(&p, 1, ms) == 0;
    }
};

// The module's side of the exchange for one card. Packets are numbered as
// they go out: 0 notice, 1 packets 1&2, 2 packets 3&4, 3 packet 5, 4.. the tail.
struct Module {
    uint8_t serial[proto::kSerialLen];
    uint8_t nonce[proto::kNonceLen] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
    int tamperAt = -1;               // the packet `tamper` spoils
    void (*tamper)(Bytes &) = nullptr;

    explicit Module(const uint8_t *s) { memcpy(serial, s, sizeof serial); }
    Bytes Out(int i, Bytes b) const
    {
        if (i == tamperAt)
            tamper(b);
        return b;
    }
    Bytes Packet(int i, const Bytes &packet3) const
    {
        if (i == 0)
            return Out(i, proto::IdCardNotice(serial));
        if (i == 1) {
            Bytes p = {0x00, 0x00};
            p.insert(p.end(), serial, serial + proto::kSerialLen);
            p.insert(p.end(), nonce, nonce + proto::kNonceLen);
            return Out(i, proto::MakeFrame(proto::kExchangeType, p, proto::kPacket12Len));
        }
        if (i == 2) {
            uint8_t r[proto::kResponseLen];
            proto::ChallengeResponse(&packet3[proto::kChallengeOffset], serial, nonce, r);
            Bytes p(1 + proto::kResponseLen + 1);
            p[0] = 0x03;
            std::copy(r, r + proto::kResponseLen, p.begin() + 1);
            p.back() = proto::kStatusOk;
            return Out(i, proto::MakeFrame(proto::kExchangeType, p, proto::kPacket34Len));
        }
        if (i == 3)
            return Out(i, proto::MakeFrame(proto::kExchangeType, {0x05, proto::kStatusOk, 0x01}, 8));
        size_t t = static_cast<size_t>(i - 4);
        Bytes p = {static_cast<uint8_t>(6 + t), t == 0 ? proto::kStatusOk : uint8_t(0x00), 0x5C};
        return Out(i, proto::MakeFrame(proto::kExchangeType, p, proto::kSerialTail[t]));
    }
    Bytes Notice() const { return Packet(0, {}); }
    // Everything the module sends in a full exchange, as one stream.
    Bytes Stream(const Bytes &packet3) const
    {
        Bytes all;
        for (int i = 0; i < 4 + static_cast<int>(proto::kTailCount); i++) {
            Bytes b = Packet(i, packet3);
            all.insert(all.end(), b.begin(), b.end());
        }
        return all;
    }
};

const sim::IdCard &Card(size_t i)
{
    return sim::IdCards().at(i);
}

Bytes ExpectedAnswer(const sim::IdCard &card)
{
    Bytes block(sim::kDecodedBlockBytes);
    sim::BuildDecodedBlock(card.fields, block.data());
    return proto::FinalAnswer(block.data());
}

bool IsServerStep(const Bytes &p, uint8_t step)
{
    return p.size() == proto::kServerStepLen && p[0] == proto::kStart && p[3] == proto::kExchangeType &&
           p[4] == step && p[20] == proto::CheckByte(p.data(), p.size());
}

bool IsFailureNotice(const Bytes &p)
{
    return p.size() == proto::kFailureLen && p[0] == proto::kStart && p[3] == 0xA0;
}

enum class Sending { PerPacket, ByteByByte, TailMerged };

// Plays the module up to the answer of `step` (kStepFinal: the whole
// exchange) and returns that answer, as far as `want` bytes of it arrive
// within the limit. An unexpected earlier answer is returned instead.
Bytes RunTo(const Client &c, const Module &m, int step, size_t want, int timeoutMs = 3000,
            Sending how = Sending::PerPacket)
{
    auto send = [&](const Bytes &b) {
        if (how != Sending::ByteByByte)
            return c.Send(b);
        for (uint8_t x : b)
            if (!c.Send(Bytes{x}))
                return false;
        return true;
    };
    Bytes got;
    auto expect = [&](size_t len, bool ok) {
        if (ok)
            return true;
        Bytes more = c.Read(want > len ? want - len : 0, timeoutMs);
        got.insert(got.end(), more.begin(), more.end());
        return false;
    };
    if (!send(m.Notice()))
        return {};
    if (step == sim::kStepNotice)
        return c.Read(want, timeoutMs);
    got = c.Read(proto::kReadStart.size());
    if (!expect(got.size(), got == proto::kReadStart) || !send(m.Packet(1, {})))
        return got;
    if (step == sim::kStepPacket3)
        return c.Read(want, timeoutMs);
    const Bytes p3 = got = c.Read(proto::kServerStepLen);
    if (!expect(got.size(), IsServerStep(got, 3)) || !send(m.Packet(2, p3)))
        return got;
    if (step == sim::kStepPacket5)
        return c.Read(want, timeoutMs);
    got = c.Read(proto::kServerStepLen);
    if (!expect(got.size(), IsServerStep(got, 5)))
        return got;
    if (how == Sending::TailMerged) {
        Bytes stream = m.Stream(p3);
        if (!send(Bytes(stream.begin() + static_cast<long>(proto::kNoticeLen + 48 + 32), stream.end())))
            return {};
    } else {
        for (int i = 3; i < 4 + static_cast<int>(proto::kTailCount); i++)
            if (!send(m.Packet(i, p3)))
                return {};
    }
    return c.Read(want, timeoutMs);
}

Bytes FullRead(uint16_t port, const sim::IdCard &card)
{
    Client c(port);
    return RunTo(c, Module(card.serial), sim::kStepFinal, proto::kFinalAnswerLen);
}

class DecodeServerTest : public ::testing::Test {
protected:
    void Begin(ServerConfig config = {})
    {
        server.reset(new DecodeServer(config));
        ASSERT_TRUE(server->Start()) << server->LastError();
        port = server->Port();
        ASSERT_NE(port, 0);
    }
    std::unique_ptr<DecodeServer> server;
    uint16_t port = 0;
};

TEST_F(DecodeServerTest, FullExchangeAnswersEachCardWithItsDecodedBlock)
{
    Begin();
    const int cards = static_cast<int>(sim::IdCards().size());
    for (int i = 0; i < cards; i++) {
        SCOPED_TRACE(i);
        Client c(port);
        Module m(Card(i).serial);
        // One byte more is asked for than the answer has: nothing may follow it.
        EXPECT_EQ(RunTo(c, m, sim::kStepFinal, proto::kFinalAnswerLen + 1), ExpectedAnswer(Card(i)));
        EXPECT_TRUE(c.SeesEnd());

        ASSERT_TRUE(server->WaitSettled(i + 1, 3000));
        sim::ConnectionRecord r = server->Connection(i);
        EXPECT_EQ(r.outcome, SessionOutcome::ReadCompleted);
        ASSERT_EQ(r.sent.size(), 4u);
        EXPECT_EQ(r.sent[0], proto::kReadStart);
        EXPECT_TRUE(IsServerStep(r.sent[1], 3));
        EXPECT_TRUE(IsServerStep(r.sent[2], 5));
        EXPECT_NE(r.sent[1], r.sent[2]);   // fresh challenges
        EXPECT_EQ(r.received, m.Stream(r.sent[1]));
    }
    EXPECT_EQ(server->CompletedReads(), cards);
    EXPECT_EQ(server->CachedAnswers(), 0);
    EXPECT_EQ(server->PacketsSent(), 4 * cards);
}

TEST_F(DecodeServerTest, RecentlyReadCardIsAnsweredFromCacheUnlessOffOrExpired)
{
    ServerConfig cfg;
    cfg.cacheTtlMs = 3000;
    Begin(cfg);
    const Bytes answer = ExpectedAnswer(Card(0));
    ASSERT_EQ(FullRead(port, Card(0)), answer);

    {
        Client c(port);
        long long t0 = NowMs();
        EXPECT_EQ(RunTo(c, Module(Card(0).serial), sim::kStepNotice, proto::kFinalAnswerLen), answer);
        EXPECT_LT(NowMs() - t0, 2000);
        EXPECT_TRUE(c.SeesEnd());
    }
    EXPECT_EQ(server->CachedAnswers(), 1);
    // Another card is not in the cache.
    {
        Client c(port);
        EXPECT_EQ(RunTo(c, Module(Card(1).serial), sim::kStepNotice, 7), proto::kReadStart);
    }

    server->SetCache(false);
    {
        Client c(port);
        EXPECT_EQ(RunTo(c, Module(Card(0).serial), sim::kStepNotice, 7), proto::kReadStart);
    }
    server->SetCache(true);
    server->ClearCache();
    {
        Client c(port);
        EXPECT_EQ(RunTo(c, Module(Card(0).serial), sim::kStepNotice, 7), proto::kReadStart);
    }
    ASSERT_EQ(FullRead(port, Card(0)), answer);
    std::this_thread::sleep_for(std::chrono::milliseconds(cfg.cacheTtlMs + 100));
    {
        Client c(port);
        EXPECT_EQ(RunTo(c, Module(Card(0).serial), sim::kStepNotice, 7), proto::kReadStart);
    }
    EXPECT_EQ(server->CachedAnswers(), 1);
}

TEST_F(DecodeServerTest, FailedVerificationGetsFailureNoticeAndEnd)
{
    Begin();
    struct Case {
        const char *what;
        int packet;
        void (*tamper)(Bytes &);
    };
    const Case cases[] = {
        {"not a notice", 0, [](Bytes &b) { b[3] = 0x02; }},
        {"unknown card", 0, [](Bytes &b) { b[13] = 0x99; }},
        {"packets 1&2 of another card", 1, [](Bytes &b) { b[13] ^= 0x07; }},
        {"packets 1&2 not an exchange packet", 1, [](Bytes &b) { b[3] = 0x11; }},
        {"wrong challenge response", 2, [](Bytes &b) { b[proto::kResponseOffset + 2] ^= 0x01; }},
        {"packets 3&4 without their status", 2, [](Bytes &b) { b[13] = 0x6A; }},
        {"packet 5 without its status", 3, [](Bytes &b) { b[5] = 0x6A; }},
        {"packet 6 without its status", 4, [](Bytes &b) { b[5] = 0x00; }},
        {"packet 9 not starting with AA", 7, [](Bytes &b) { b[0] = 0x55; }},
    };
    int n = 0;
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        Module m(Card(2).serial);
        m.tamperAt = k.packet;
        m.tamper = k.tamper;
        Client c(port);
        EXPECT_TRUE(IsFailureNotice(RunTo(c, m, sim::kStepFinal, proto::kFailureLen + 1)));
        EXPECT_TRUE(c.SeesEnd());
        ++n;
    }
    ASSERT_TRUE(server->WaitSettled(n, 3000));
    EXPECT_EQ(server->FailureNoticesSent(), n);
    EXPECT_EQ(server->CompletedReads(), 0);
    for (const sim::ConnectionRecord &r : server->Connections())
        EXPECT_EQ(r.outcome, SessionOutcome::Failed);
    // A failed read leaves nothing in the cache.
    Client c(port);
    EXPECT_EQ(RunTo(c, Module(Card(2).serial), sim::kStepNotice, 7), proto::kReadStart);
}

TEST_F(DecodeServerTest, PacketsSplitIntoBytesOrMergedStillParse)
{
    Begin();
    server->SetCache(false);
    Module m(Card(1).serial);
    for (Sending how : {Sending::ByteByByte, Sending::TailMerged}) {
        Client c(port);
        EXPECT_EQ(RunTo(c, m, sim::kStepFinal, proto::kFinalAnswerLen, 3000, how), ExpectedAnswer(Card(1)));
    }
    // A notice in two pieces with a pause between them.
    Client c(port);
    Bytes n = m.Notice();
    ASSERT_TRUE(c.Send(Bytes(n.begin(), n.begin() + 10)));
    EXPECT_TRUE(c.Quiet(50));
    ASSERT_TRUE(c.Send(Bytes(n.begin() + 10, n.end())));
    EXPECT_EQ(c.Read(proto::kReadStart.size()), proto::kReadStart);
    EXPECT_TRUE(c.Quiet(100));
    ASSERT_TRUE(server->WaitSettled(2, 3000));
    EXPECT_EQ(server->CompletedReads(), 2);
}

// Each kind of fault at each step, as the client sees it; a fault given
// once leaves the next exchange clean.
TEST_F(DecodeServerTest, EachFaultAtEachStep)
{
    ServerConfig cfg;
    cfg.cache = false;
    Begin(cfg);
    Module m(Card(4).serial);
    const Bytes answer = ExpectedAnswer(Card(4));
    const size_t normalLen[sim::kStepCount] = {7, 21, 21, proto::kFinalAnswerLen};
    const uint8_t stepByte[sim::kStepCount] = {0, 3, 5, 0};
    const ServerFault kinds[] = {ServerFault::Close, ServerFault::Silence, ServerFault::FailureNotice,
                                 ServerFault::Short, ServerFault::Oversized, ServerFault::Garbage};
    int faults = 0;
    for (int step = 0; step < sim::kStepCount; step++) {
        for (ServerFault kind : kinds) {
            SCOPED_TRACE(std::string("step ") + std::to_string(step) + " " + sim::FaultName(kind));
            server->InjectFault(step, kind);
            ++faults;
            const bool final = step == sim::kStepFinal;
            size_t len = 0;   // Close and Silence send nothing
            if (kind == ServerFault::FailureNotice)
                len = proto::kFailureLen;
            else if (kind == ServerFault::Short)
                len = final ? sim::kDefaultShortFinalLen : normalLen[step] - 1;
            else if (kind == ServerFault::Oversized)
                len = final ? sim::kOversizedFinalLen : sim::kOversizedStepLen;
            else if (kind == ServerFault::Garbage)
                len = normalLen[step];
            Client c(port);
            // Nothing due: a short look. An answer: as long as it takes.
            Bytes got = RunTo(c, m, step, std::max<size_t>(len, 1), len ? 3000 : 300);
            ASSERT_EQ(got.size(), len);
            if (kind == ServerFault::Silence) {
                EXPECT_TRUE(c.Quiet(200));   // and still open
            } else if (kind == ServerFault::Close || kind == ServerFault::FailureNotice) {
                EXPECT_TRUE(len == 0 || IsFailureNotice(got));
                EXPECT_TRUE(c.SeesEnd());
            } else {
                if (kind == ServerFault::Garbage) {
                    EXPECT_NE(got[0], proto::kStart);
                } else if (step == sim::kStepPacket3 || step == sim::kStepPacket5) {
                    // A step packet cut short, or whole and followed by filler.
                    EXPECT_TRUE(got[0] == proto::kStart && got[4] == stepByte[step]);
                    EXPECT_TRUE(len < 21 || IsServerStep(Bytes(got.begin(), got.begin() + 21), stepByte[step]));
                } else {
                    const Bytes &normal = final ? answer : proto::kReadStart;
                    long common = static_cast<long>(std::min(len, normal.size()));
                    EXPECT_TRUE(std::equal(got.begin(), got.begin() + common, normal.begin()));
                }
                // A garbled final answer ends the exchange; a garbled step
                // leaves the server waiting for the module.
                EXPECT_TRUE(final ? c.SeesEnd() : c.Quiet(100));
            }
            c.Close();
            EXPECT_EQ(FullRead(port, Card(4)), answer);
        }
    }
    ASSERT_TRUE(server->WaitSettled(2 * faults, 5000));
    EXPECT_EQ(server->FaultsInjected(), faults);
    EXPECT_EQ(server->CompletedReads(), faults);
    std::vector<sim::ConnectionRecord> recs = server->Connections();
    for (size_t i = 0; i < recs.size(); i += 2) {
        EXPECT_EQ(recs[i].outcome, SessionOutcome::Faulted) << i;
        EXPECT_EQ(recs[i + 1].outcome, SessionOutcome::ReadCompleted) << i;
    }
}

TEST_F(DecodeServerTest, StickyFaultsAndFaultsOnCachedAnswers)
{
    Begin();
    const Bytes answer = ExpectedAnswer(Card(0));
    server->InjectFault(sim::kStepPacket3, ServerFault::Close, true);
    for (int i = 0; i < 2; i++) {
        Client c(port);
        EXPECT_TRUE(RunTo(c, Module(Card(0).serial), sim::kStepPacket3, 21).empty());
        EXPECT_TRUE(c.SeesEnd());
    }
    server->ClearFaults();
    ASSERT_EQ(FullRead(port, Card(0)), answer);

    // The cached answer is the answer to the notice.
    server->SetShortFinalLength(1250);
    server->InjectFault(sim::kStepNotice, ServerFault::Short);
    {
        Client c(port);
        Bytes got = RunTo(c, Module(Card(0).serial), sim::kStepNotice, proto::kFinalAnswerLen);
        EXPECT_EQ(got, Bytes(answer.begin(), answer.begin() + 1250));
        EXPECT_TRUE(c.SeesEnd());
    }
    {
        Client c(port);
        EXPECT_EQ(RunTo(c, Module(Card(0).serial), sim::kStepNotice, proto::kFinalAnswerLen), answer);
    }
    ASSERT_TRUE(server->WaitSettled(server->ConnectionsAccepted(), 3000));
    EXPECT_EQ(server->CachedAnswers(), 1);
}

TEST_F(DecodeServerTest, FinalAnswerInTwoPartsWithPause)
{
    Begin();
    server->SetFinalAnswerLength(1250, 150);
    const Bytes answer = ExpectedAnswer(Card(3));
    Client c(port);
    // From before the exchange: the rest cannot come sooner than the pause,
    // however late this thread reads the first part.
    long long t0 = NowMs();
    Bytes first = RunTo(c, Module(Card(3).serial), sim::kStepFinal, 1250);
    ASSERT_EQ(first.size(), 1250u);
    Bytes rest = c.Read(proto::kFinalAnswerLen - 1250);
    long long gap = NowMs() - t0;
    first.insert(first.end(), rest.begin(), rest.end());
    EXPECT_EQ(first, answer);
    EXPECT_GE(gap, 150 - 5);
    EXPECT_LT(gap, 150 + 3000);
    ASSERT_TRUE(server->WaitSettled(1, 3000));
    sim::ConnectionRecord r = server->Connection(0);
    ASSERT_EQ(r.sent.size(), 5u);
    EXPECT_EQ(r.sent[3].size(), 1250u);
    EXPECT_EQ(r.sent[4].size(), proto::kFinalAnswerLen - 1250);
    EXPECT_EQ(r.outcome, SessionOutcome::ReadCompleted);
}

TEST_F(DecodeServerTest, LatencyDelaysEveryAnswer)
{
    const int latency = 1000;
    ServerConfig cfg;
    cfg.latencyMs = latency;
    Begin(cfg);
    Module m(Card(2).serial);
    Client c(port);
    long long t0 = NowMs();
    ASSERT_TRUE(c.Send(m.Notice()));
    ASSERT_EQ(c.Read(7), proto::kReadStart);
    long long d0 = NowMs() - t0;
    t0 = NowMs();
    ASSERT_TRUE(c.Send(m.Packet(1, {})));
    ASSERT_TRUE(IsServerStep(c.Read(21), 3));
    long long d1 = NowMs() - t0;
    for (long long d : {d0, d1}) {
        EXPECT_GE(d, latency);
        EXPECT_LT(d, 3 * latency + 500);
    }
    server->SetLatency(0);
    c.Close();
    t0 = NowMs();
    ASSERT_EQ(FullRead(port, Card(2)), ExpectedAnswer(Card(2)));
    EXPECT_LT(NowMs() - t0, 3 * latency);   // four answers, none delayed
}

TEST_F(DecodeServerTest, IdleOrSilentClientsDoNotHoldUpOthers)
{
    ServerConfig cfg;
    // Also the most this test may take to answer each packet of a full read.
    cfg.moduleWaitMs = 1500;
    Begin(cfg);
    const Bytes answer = ExpectedAnswer(Card(1));

    // Connects and closes at once, as a probe does.
    {
        Client probe(port);
        probe.Close();
    }
    EXPECT_EQ(FullRead(port, Card(1)), answer);

    // Says nothing: dropped after the module wait.
    long long t0 = NowMs();   // before connecting: the server's wait starts later
    Client idle(port);
    EXPECT_TRUE(idle.SeesEnd(cfg.moduleWaitMs + 3000));
    long long waited = NowMs() - t0;
    EXPECT_GE(waited, cfg.moduleWaitMs - 50);
    EXPECT_LT(waited, cfg.moduleWaitMs + 3000);

    // Held silent on purpose: stays open while the next client is served.
    server->SetCache(false);
    server->InjectFault(sim::kStepPacket5, ServerFault::Silence);
    Client silent(port);
    EXPECT_TRUE(RunTo(silent, Module(Card(1).serial), sim::kStepPacket5, 21, 300).empty());
    EXPECT_EQ(FullRead(port, Card(1)), answer);
    EXPECT_TRUE(silent.Quiet(2 * cfg.moduleWaitMs));
    int silentIndex = server->ConnectionsAccepted() - 2;
    EXPECT_FALSE(server->Connection(silentIndex).closed);
    ASSERT_TRUE(silent.Send(Bytes{0xAA, 0x01}));
    silent.Close();
    long long end = NowMs() + 3000;
    while (!server->Connection(silentIndex).closed && NowMs() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    sim::ConnectionRecord r = server->Connection(silentIndex);
    EXPECT_TRUE(r.closed);
    EXPECT_EQ(r.outcome, SessionOutcome::Faulted);
    EXPECT_EQ(r.received.back(), 0x01);   // what came while held is kept

    std::vector<sim::ConnectionRecord> recs = server->Connections();
    ASSERT_EQ(recs.size(), 5u);
    EXPECT_EQ(recs[0].outcome, SessionOutcome::ClientClosed);
    EXPECT_TRUE(recs[0].received.empty());
    EXPECT_EQ(recs[1].outcome, SessionOutcome::ReadCompleted);
    EXPECT_EQ(recs[2].outcome, SessionOutcome::TimedOut);
    EXPECT_EQ(recs[4].outcome, SessionOutcome::ReadCompleted);
}

TEST_F(DecodeServerTest, StopRefusesConnectionsAndClosesEverything)
{
    const int before = testsupport::Steady(testsupport::OpenDescriptors);
    ServerConfig cfg;
    cfg.latencyMs = 10000;
    Begin(cfg);
    // One connection held by a Silence fault, one waiting in a long latency.
    server->InjectFault(sim::kStepNotice, ServerFault::Silence);
    Client held(port);
    ASSERT_TRUE(held.Send(Module(Card(0).serial).Notice()));
    ASSERT_TRUE(server->WaitSettled(1, 3000));
    Client waiting(port);
    ASSERT_TRUE(waiting.Send(Module(Card(0).serial).Notice()));
    // Stop once the second one is in its latency.
    for (long long end = NowMs() + 5000; server->Connection(1).received.size() < proto::kNoticeLen && NowMs() < end;)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(server->Connection(1).received.size(), proto::kNoticeLen);

    long long t0 = NowMs();
    server->Stop();
    EXPECT_LT(NowMs() - t0, 5000);
    EXPECT_TRUE(held.SeesEnd());
    EXPECT_TRUE(waiting.SeesEnd());
    EXPECT_FALSE(server->Running());
    EXPECT_LT(ConnectTo(port), 0);
    EXPECT_EQ(errno, ECONNREFUSED);
    for (const sim::ConnectionRecord &r : server->Connections())
        EXPECT_TRUE(r.closed);
    EXPECT_EQ(server->Connection(1).outcome, SessionOutcome::Stopped);
    held.Close();
    waiting.Close();
    EXPECT_EQ(testsupport::DescriptorsBackTo(before), "");
    server->Stop();   // again: nothing left to do

    // The same object serves again after a restart.
    server->SetLatency(0);
    ASSERT_TRUE(server->Start()) << server->LastError();
    EXPECT_EQ(FullRead(server->Port(), Card(0)), ExpectedAnswer(Card(0)));
}

TEST_F(DecodeServerTest, BusyPortIsReportedAndDescriptorsAboveSelectLimitWork)
{
    Begin();
    ServerConfig same;
    same.port = port;
    DecodeServer second(same);
    EXPECT_FALSE(second.Start());
    EXPECT_NE(second.LastError().find("127.0.0.1:" + std::to_string(port)), std::string::npos);
    EXPECT_EQ(FullRead(port, Card(0)), ExpectedAnswer(Card(0)));
    server->Stop();

    rlimit lim{};
    getrlimit(RLIMIT_NOFILE, &lim);
    const rlim_t need = 1600;
    if (lim.rlim_cur < need) {
        if (lim.rlim_max != RLIM_INFINITY && lim.rlim_max < need)
            GTEST_SKIP() << "descriptor limit too low";
        rlimit raised = lim;
        raised.rlim_cur = need;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);
    }
    // Fill the low descriptors so that everything the server opens lands
    // above FD_SETSIZE.
    std::vector<int> fillers;
    int fd;
    while ((fd = open("/dev/null", O_RDONLY)) >= 0 && fd < 1500)
        fillers.push_back(fd);
    if (fd >= 0)
        fillers.push_back(fd);
    ASSERT_GE(fd, 1500);
    Begin();
    {
        Client c(port);
        EXPECT_GE(c.fd, FD_SETSIZE);
        EXPECT_EQ(RunTo(c, Module(Card(2).serial), sim::kStepFinal, proto::kFinalAnswerLen),
                  ExpectedAnswer(Card(2)));
        EXPECT_TRUE(c.SeesEnd());
    }
    {
        Client c(port);
        EXPECT_EQ(RunTo(c, Module(Card(2).serial), sim::kStepNotice, proto::kFinalAnswerLen),
                  ExpectedAnswer(Card(2)));
    }
    ASSERT_TRUE(server->WaitSettled(2, 3000));
    EXPECT_EQ(server->CachedAnswers(), 1);
    server->Stop();
    for (int f : fillers)
        close(f);
    setrlimit(RLIMIT_NOFILE, &lim);
}

} // namespace

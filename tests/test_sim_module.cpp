// The simulated reader module through a real pseudo-terminal: the test is
// the host, opening the slave side the way the library's serial link does.
#include "ReaderModule.h"
#include "SerialModule.h"
#include "SimCards.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <numeric>
#include <poll.h>
#include <random>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using sim::ModuleFault;
using sim::proto::Bytes;
namespace proto = sim::proto;
using Clock = std::chrono::steady_clock;

long MsSince(Clock::time_point t)
{
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

void SleepMs(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// The host side of the port.
class Host {
public:
    explicit Host(const std::string &path, bool flush = true)
    {
        fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            ADD_FAILURE() << "open " << path << ": " << strerror(errno);
            return;
        }
        termios tio{};
        tcgetattr(fd, &tio);
        cfmakeraw(&tio);
        tio.c_cc[VMIN] = 0;
        tio.c_cc[VTIME] = 0;
        if (flush)
            tcflush(fd, TCIFLUSH);
        tcsetattr(fd, TCSANOW, &tio);
    }
    ~Host() { Close(); }

    void Close()
    {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }

    void Write(const Bytes &b) const
    {
        ASSERT_EQ(write(fd, b.data(), b.size()), static_cast<ssize_t>(b.size()));
    }

    // Up to n bytes, waiting at most limitMs in all.
    Bytes Read(size_t n, int limitMs = 1000) const
    {
        Bytes out;
        const Clock::time_point start = Clock::now();
        while (out.size() < n) {
            long left = limitMs - MsSince(start);
            if (left <= 0)
                break;
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left)) <= 0)
                continue;
            uint8_t buf[4096];
            ssize_t got = read(fd, buf, std::min(n - out.size(), sizeof buf));
            if (got > 0)
                out.insert(out.end(), buf, buf + got);
        }
        return out;
    }

    // Everything that comes until nothing more came for quietMs.
    Bytes Drain(int quietMs = 150) const
    {
        Bytes out;
        for (;;) {
            Bytes b = Read(4096, quietMs);
            if (b.empty())
                return out;
            out.insert(out.end(), b.begin(), b.end());
        }
    }

    int Queued() const
    {
        int n = 0;
        ioctl(fd, FIONREAD, &n);
        return n;
    }

    // Link check and its 8-byte answer.
    Bytes Heartbeat() const
    {
        Write(proto::kLinkCheck);
        return Read(8);
    }

    int fd = -1;
};

bool CheckByteOk(const Bytes &f)
{
    return f.size() >= 5 && f.back() == proto::CheckByte(f.data(), f.size());
}

Bytes Challenge(std::mt19937 &rng)
{
    Bytes c(proto::kChallengeLen);
    for (uint8_t &b : c)
        b = static_cast<uint8_t>(rng());
    return c;
}

// Whether the pty path still opens our line. Once it is gone another test
// process may be given the same number: a node made since is not ours.
bool LineOpens(const std::string &path, const struct stat &ours)
{
    struct stat now {};
    if (stat(path.c_str(), &now) != 0 || now.st_ctim.tv_sec != ours.st_ctim.tv_sec ||
        now.st_ctim.tv_nsec != ours.st_ctim.tv_nsec)
        return false;
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0)
        close(fd);
    return fd >= 0;
}

const uint8_t *Serial(size_t i)
{
    return sim::IdCards()[i].serial;
}

Bytes Notice(size_t i)
{
    return proto::IdCardNotice(Serial(i));
}

size_t TailTotal()
{
    return std::accumulate(std::begin(proto::kSerialTail), std::end(proto::kSerialTail), size_t{0});
}

// Module lengths of an exchange after the notice: 48, 32, 8, then the tail.
std::vector<size_t> ExchangeLengths()
{
    std::vector<size_t> v = {proto::kPacket12Len, proto::kPacket34Len, proto::kPacket5Len};
    v.insert(v.end(), std::begin(proto::kSerialTail), std::end(proto::kSerialTail));
    return v;
}

struct Fixture : ::testing::Test {
    sim::ModuleConfig Config(int latency = 0, int interval = 50)
    {
        sim::ModuleConfig c;
        c.stepLatencyMs = latency;
        c.announceIntervalMs = interval;
        return c;
    }
};

// --- link check, arming, announcements ------------------------------------

TEST_F(Fixture, HeartbeatAnswerAfterLatencyAndNoAnnouncementBeforeIt)
{
    sim::SerialModule m(Config(40, 50));
    ASSERT_TRUE(m.Ok()) << m.Error();
    m.Module().PlaceIdCard(Serial(0));
    Host h(m.SlavePath());
    // The card is there all along, but the host has not checked the link.
    EXPECT_TRUE(h.Read(1, 400).empty());

    const Clock::time_point t = Clock::now();
    h.Write(proto::kLinkCheck);
    Bytes answer = h.Read(8, 3000);
    const long took = MsSince(t);
    EXPECT_EQ(answer, proto::HeartbeatAnswer());
    EXPECT_GE(took, 40);
    EXPECT_LT(took, 3000);
    // Only now the notice, and exactly one on a stream.
    EXPECT_EQ(h.Read(26), Notice(0));
    EXPECT_TRUE(h.Read(1, 400).empty());
    EXPECT_EQ(m.Module().Stats().announcements, 1);
}

TEST_F(Fixture, DeadModuleLeavesLinkCheckUnanswered)
{
    sim::SerialModule m(Config());
    ASSERT_TRUE(m.Ok());
    m.Module().SetHeartbeatAnswers(false);
    m.Module().PlaceIdCard(Serial(0));
    Host h(m.SlavePath());
    h.Write(proto::kLinkCheck);
    EXPECT_TRUE(h.Read(1, 400).empty());
    // A hardware restart still gets its answer.
    h.Write(proto::kHwRestart);
    EXPECT_EQ(h.Read(8), proto::RestartAnswer());
}

TEST_F(Fixture, CardIsAnnouncedAgainAfterEachHeartbeatWhileItStays)
{
    sim::SerialModule m(Config(0, 50));
    ASSERT_TRUE(m.Ok());
    Host h(m.SlavePath());
    EXPECT_EQ(h.Heartbeat(), proto::HeartbeatAnswer());
    // Placed after the heartbeat: announced at once.
    SleepMs(100);
    const Clock::time_point t = Clock::now();
    m.Module().PlaceIdCard(Serial(1));
    EXPECT_EQ(h.Read(26, 3000), Notice(1));
    EXPECT_LT(MsSince(t), 3000); // not held back for the next heartbeat
    // Each read cycle starts with a heartbeat; each one sees the card again.
    for (int i = 0; i < 2; i++) {
        EXPECT_EQ(h.Heartbeat(), proto::HeartbeatAnswer());
        EXPECT_EQ(h.Read(26), Notice(1));
    }
    // Another card in its place waits for the next heartbeat: the host may
    // be between two cycles, and a frame then would land behind its flush.
    m.Module().PlaceIdCard(Serial(2));
    EXPECT_TRUE(h.Read(1, 200).empty());
    EXPECT_EQ(h.Heartbeat(), proto::HeartbeatAnswer());
    EXPECT_EQ(h.Read(26), Notice(2));
    m.Module().RemoveCard();
    EXPECT_EQ(h.Heartbeat(), proto::HeartbeatAnswer());
    EXPECT_TRUE(h.Read(1, 300).empty());
}

TEST_F(Fixture, OtherCardsAreAnnouncedWithTheirOwnFrames)
{
    struct Case {
        sim::CardKind kind;
        size_t len;
        uint8_t kindByte;
    };
    const Case cases[] = {{sim::CardKind::M1, 12, 0x01},
                          {sim::CardKind::Yct, 41, 0x02},
                          {sim::CardKind::Kind3, 39, 0x03},
                          {sim::CardKind::Kind2, 25, 0x04}};
    sim::SerialModule m(Config());
    ASSERT_TRUE(m.Ok());
    Host h(m.SlavePath());
    EXPECT_EQ(h.Heartbeat(), proto::HeartbeatAnswer());
    bool first = true;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.len);
        // The first card is announced at once; one put in the place of
        // another, with the next heartbeat.
        m.Module().PlaceCard(c.kind);
        if (!first) {
            EXPECT_TRUE(h.Read(1, 200).empty());
            EXPECT_EQ(h.Heartbeat(), proto::HeartbeatAnswer());
        }
        first = false;
        Bytes f = h.Read(c.len, 3000);
        ASSERT_EQ(f.size(), c.len);
        EXPECT_EQ(f[0], 0xAA);
        EXPECT_EQ(f[3], 0x03);
        EXPECT_EQ(f[4], c.kindByte);
        EXPECT_TRUE(CheckByteOk(f));
    }
    EXPECT_TRUE(h.Read(1, 200).empty());
}

TEST_F(Fixture, IcCardFrameIsShortAndNeverJoinedByAnother)
{
    sim::SerialModule m(Config(0, 50));
    ASSERT_TRUE(m.Ok());
    Host h(m.SlavePath());
    m.Module().PlaceCard(sim::CardKind::IcCard);
    EXPECT_EQ(h.Heartbeat(), proto::HeartbeatAnswer());
    // The host reads 26 bytes for a full second: an IC answer must stay
    // alone for that long or it would pass for an identity card.
    Bytes f = h.Read(26, 1200);
    ASSERT_GE(f.size(), 9u);
    ASSERT_LT(f.size(), 26u);
    EXPECT_EQ(f[0], 0xAA);
    EXPECT_EQ(f[3], 0x03);
    EXPECT_EQ(static_cast<size_t>(f[7]) + 9, f.size()); // byte 7 counts the data bytes
    EXPECT_TRUE(CheckByteOk(f));
}

// --- the exchange -----------------------------------------------------------

struct Exchange {
    Bytes p12, p34, p5, tail;
    Bytes challenge3;
};

// Plays the library's serial script up to the tail.
Exchange RunExchange(const Host &h, std::mt19937 &rng)
{
    Exchange e;
    h.Write(proto::kReadStart);
    h.Write(proto::kReadStart);
    e.p12 = h.Read(48);
    e.challenge3 = Challenge(rng);
    h.Write(proto::ServerStep(0x03, e.challenge3.data()));
    e.p34 = h.Read(32);
    Bytes c5 = Challenge(rng);
    h.Write(proto::ServerStep(0x05, c5.data()));
    e.p5 = h.Read(8);
    e.tail = h.Read(TailTotal(), 3000);
    return e;
}

TEST_F(Fixture, FullExchangeInOrderWithCorrectPackets)
{
    std::mt19937 rng(7);
    sim::SerialModule m(Config(30, 50));
    ASSERT_TRUE(m.Ok());
    m.Module().PlaceIdCard(Serial(2));
    Host h(m.SlavePath());
    EXPECT_EQ(h.Heartbeat(), proto::HeartbeatAnswer());
    ASSERT_EQ(h.Read(26), Notice(2));

    const Clock::time_point t = Clock::now();
    h.Write(proto::kReadStart);
    h.Write(proto::kReadStart); // the host's usual repeat
    Bytes p12 = h.Read(48);
    EXPECT_GE(MsSince(t), 30);
    ASSERT_EQ(p12.size(), 48u);
    EXPECT_EQ(Bytes(p12.begin(), p12.begin() + 4), (Bytes{0xAA, 0x00, 0x2D, 0x10}));
    EXPECT_TRUE(std::equal(Serial(2), Serial(2) + 8, p12.begin() + 6));
    EXPECT_TRUE(CheckByteOk(p12));
    const Bytes nonce(p12.begin() + proto::kNonceOffset, p12.begin() + proto::kNonceOffset + 8);

    Bytes c3 = Challenge(rng);
    h.Write(proto::ServerStep(0x03, c3.data()));
    Bytes p34 = h.Read(32);
    ASSERT_EQ(p34.size(), 32u);
    EXPECT_EQ(p34[0], 0xAA);
    EXPECT_EQ(p34[3], 0x10);
    EXPECT_EQ(p34[13], 0x90);
    uint8_t expect[8];
    proto::ChallengeResponse(c3.data(), Serial(2), nonce.data(), expect);
    EXPECT_TRUE(std::equal(expect, expect + 8, p34.begin() + 5));
    EXPECT_TRUE(CheckByteOk(p34));

    Bytes c5 = Challenge(rng);
    h.Write(proto::ServerStep(0x05, c5.data()));
    Bytes p5 = h.Read(8);
    ASSERT_EQ(p5.size(), 8u);
    EXPECT_EQ(p5[3], 0x10);
    EXPECT_EQ(p5[5], 0x90);
    // The tail comes unasked, all of it at once: the host reads packet 8
    // with only ten 1 ms attempts.
    const Clock::time_point q = Clock::now();
    while (static_cast<size_t>(h.Queued()) < TailTotal() && MsSince(q) < 5000)
        SleepMs(2);
    EXPECT_EQ(static_cast<size_t>(h.Queued()), TailTotal());
    Bytes tail = h.Drain();
    ASSERT_EQ(tail.size(), TailTotal());
    size_t at = 0;
    for (size_t i = 0; i < proto::kTailCount; i++) {
        SCOPED_TRACE(i + 6);
        Bytes p(tail.begin() + static_cast<long>(at), tail.begin() + static_cast<long>(at + proto::kSerialTail[i]));
        at += proto::kSerialTail[i];
        EXPECT_EQ(p[0], 0xAA);
        EXPECT_EQ((size_t{p[1]} << 8 | p[2]) + 3, p.size());
        EXPECT_EQ(p[3], 0x10);
        EXPECT_TRUE(CheckByteOk(p));
        if (i == 0) {
            EXPECT_EQ(p[5], 0x90);
        }
    }
    // The serial travels with the card's data.
    EXPECT_TRUE(std::search(tail.begin(), tail.end(), Serial(2), Serial(2) + 8) != tail.end());

    sim::ModuleStats s = m.Module().Stats();
    EXPECT_EQ(s.exchangesStarted, 1);
    EXPECT_EQ(s.exchangesCompleted, 1);
    EXPECT_EQ(s.duplicateReadStarts, 1);
    EXPECT_EQ(s.unexpectedFrames, 0);
    std::vector<Bytes> frames = m.Module().HostFrames();
    ASSERT_EQ(frames.size(), 5u);
    EXPECT_EQ(frames[0], proto::kLinkCheck);
    EXPECT_EQ(frames[2], proto::kReadStart);
    EXPECT_EQ(frames[3], proto::ServerStep(0x03, c3.data()));
}

TEST_F(Fixture, ReReadCardGetsFreshNonceAndWaitsForTheNextHeartbeat)
{
    std::mt19937 rng(11);
    sim::SerialModule m(Config(0, 50));
    ASSERT_TRUE(m.Ok());
    m.Module().PlaceIdCard(Serial(0));
    Host h(m.SlavePath());
    EXPECT_EQ(h.Heartbeat(), proto::HeartbeatAnswer());
    ASSERT_EQ(h.Read(26), Notice(0));
    Exchange a = RunExchange(h, rng);
    ASSERT_EQ(a.tail.size(), TailTotal());
    // The host now waits for the server's final answer: a notice here would
    // look like the module restarting the read.
    EXPECT_TRUE(h.Read(1, 400).empty());
    EXPECT_EQ(h.Heartbeat(), proto::HeartbeatAnswer());
    ASSERT_EQ(h.Read(26), Notice(0));
    Exchange b = RunExchange(h, rng);
    ASSERT_EQ(b.p12.size(), 48u);
    EXPECT_FALSE(std::equal(a.p12.begin() + 14, a.p12.begin() + 22, b.p12.begin() + 14));
    EXPECT_EQ(b.tail, a.tail); // the card's data does not change
}

TEST_F(Fixture, ReadStartRepeatedLaterStartsAnewAndWithoutIdCardFails)
{
    sim::SerialModule m(Config());
    ASSERT_TRUE(m.Ok());
    m.Module().PlaceIdCard(Serial(0));
    Host h(m.SlavePath());
    EXPECT_EQ(h.Heartbeat(), proto::HeartbeatAnswer());
    ASSERT_EQ(h.Read(26), Notice(0));
    h.Write(proto::kReadStart);
    EXPECT_EQ(h.Read(48).size(), 48u);
    SleepMs(sim::kDuplicateWindowMs + 150);
    h.Write(proto::kReadStart);
    EXPECT_EQ(h.Read(48, 3000).size(), 48u);
    EXPECT_TRUE(h.Read(1, 200).empty());
    EXPECT_EQ(m.Module().Stats().exchangesStarted, 2);

    m.Module().PlaceCard(sim::CardKind::M1);
    SleepMs(sim::kDuplicateWindowMs + 50);
    h.Drain(50);
    h.Write(proto::kReadStart);
    EXPECT_EQ(h.Read(9, 3000), proto::ModuleErrorFrame());
}

TEST_F(Fixture, OutOfOrderFramesAreIgnoredAndRestartDropsTheExchange)
{
    std::mt19937 rng(3);
    sim::SerialModule m(Config());
    ASSERT_TRUE(m.Ok());
    m.Module().PlaceIdCard(Serial(0));
    Host h(m.SlavePath());
    EXPECT_EQ(h.Heartbeat(), proto::HeartbeatAnswer());
    ASSERT_EQ(h.Read(26), Notice(0));
    Bytes c = Challenge(rng);
    h.Write(proto::ServerStep(0x05, c.data())); // before any read-start
    h.Write(proto::ServerStep(0x03, c.data()));
    EXPECT_TRUE(m.Module().WaitFor([](const sim::ModuleStats &st) { return st.unexpectedFrames >= 2; }, 5000));
    EXPECT_TRUE(h.Read(1, 200).empty());
    EXPECT_EQ(m.Module().Stats().unexpectedFrames, 2);

    h.Write(proto::kReadStart);
    ASSERT_EQ(h.Read(48).size(), 48u);
    h.Write(proto::kHwRestart);
    EXPECT_EQ(h.Read(8), proto::RestartAnswer());
    h.Write(proto::ServerStep(0x03, c.data()));
    EXPECT_TRUE(m.Module().WaitFor([](const sim::ModuleStats &st) { return st.unexpectedFrames >= 3; }, 5000));
    EXPECT_TRUE(h.Read(1, 200).empty());
    EXPECT_EQ(m.Module().Stats().exchangesAborted, 1);
}

TEST_F(Fixture, HostFramesSplitOrBehindGarbageAreStillFound)
{
    sim::SerialModule m(Config());
    ASSERT_TRUE(m.Ok());
    Host h(m.SlavePath());
    for (uint8_t b : proto::kLinkCheck) {
        h.Write({b});
        SleepMs(5);
    }
    EXPECT_EQ(h.Read(8), proto::HeartbeatAnswer());
    // Noise, a start byte with an impossible length, then a real frame.
    Bytes noisy = {0x12, 0x34, 0xAA, 0xFF, 0xFF};
    noisy.insert(noisy.end(), proto::kLinkCheck.begin(), proto::kLinkCheck.end());
    h.Write(noisy);
    EXPECT_EQ(h.Read(8), proto::HeartbeatAnswer());
    EXPECT_GE(m.Module().Stats().unexpectedFrames, 2);
    EXPECT_EQ(m.Module().Stats().heartbeats, 2);
}

// --- faults -------------------------------------------------------------------

struct FaultCase {
    int step;
    ModuleFault fault;
};

std::string Name(const ::testing::TestParamInfo<FaultCase> &info)
{
    return std::string(sim::FaultName(info.param.fault)) + "_step" + std::to_string(info.param.step);
}

class ExchangeFault : public ::testing::TestWithParam<FaultCase> {};

// Everything the module sends after the notice. The host writes its part
// at once (the module takes frames in order) and reads until `expect` bytes
// came, then a little longer for any surplus.
Bytes ExchangeStream(const Host &h, std::mt19937 &rng, size_t expect)
{
    Bytes c = Challenge(rng);
    h.Write(proto::kReadStart);
    h.Write(proto::kReadStart);
    h.Write(proto::ServerStep(0x03, c.data()));
    h.Write(proto::ServerStep(0x05, c.data()));
    Bytes all = h.Read(expect, 2000);
    Bytes more = h.Drain(100);
    all.insert(all.end(), more.begin(), more.end());
    return all;
}

TEST_P(ExchangeFault, StrikesItsStepOnceAndOnlyThere)
{
    const FaultCase fc = GetParam();
    std::mt19937 rng(static_cast<unsigned>(fc.step));
    sim::SerialModule m(sim::ModuleConfig{});
    ASSERT_TRUE(m.Ok());
    m.Module().PlaceIdCard(Serial(0));
    Host h(m.SlavePath());
    EXPECT_EQ(h.Heartbeat(), proto::HeartbeatAnswer());
    ASSERT_EQ(h.Read(26), Notice(0));
    m.Module().InjectFault(fc.step, fc.fault);

    const std::vector<size_t> lens = ExchangeLengths();
    const size_t index = static_cast<size_t>(fc.step - 1);
    size_t before = 0;
    for (size_t i = 0; i < index; i++)
        before += lens[i];
    const size_t total = std::accumulate(lens.begin(), lens.end(), size_t{0});
    size_t expect = total;
    if (fc.fault == ModuleFault::Silence)
        expect = before;
    else if (fc.fault == ModuleFault::RestartNotice)
        expect = before + proto::kNoticeLen;
    else if (fc.fault == ModuleFault::ErrorFrame)
        expect = before + proto::ModuleErrorFrame().size();
    else if (fc.fault == ModuleFault::WrongLength)
        expect = total - 1;
    Bytes s = ExchangeStream(h, rng, expect);
    EXPECT_EQ(s.size(), expect);

    // Whatever comes before the faulted packet is intact.
    ASSERT_GE(s.size(), before);
    for (size_t i = 0, at = 0; i < index; at += lens[i], i++) {
        EXPECT_EQ(s[at], 0xAA) << "packet " << i;
    }
    Bytes rest(s.begin() + static_cast<long>(before), s.end());
    switch (fc.fault) {
    case ModuleFault::Silence:
        EXPECT_TRUE(rest.empty());
        break;
    case ModuleFault::RestartNotice:
        EXPECT_EQ(rest, Notice(0));
        break;
    case ModuleFault::ErrorFrame:
        EXPECT_EQ(rest, proto::ModuleErrorFrame());
        break;
    case ModuleFault::WrongLength:
        ASSERT_EQ(s.size(), total - 1);
        if (index + 1 < lens.size()) {
            EXPECT_EQ(rest[lens[index] - 1], 0xAA); // the next packet starts a byte early
        }
        EXPECT_EQ((size_t{rest[1]} << 8 | rest[2]) + 3, lens[index]); // its length field is unchanged
        break;
    case ModuleFault::WrongHeader:
        ASSERT_EQ(s.size(), total);
        EXPECT_NE(rest[3], 0x10);
        break;
    case ModuleFault::WrongStatus:
        ASSERT_EQ(s.size(), total);
        EXPECT_NE(rest[index == 1 ? 13 : 5], 0x90);
        break;
    default:
        break;
    }
    if (fc.fault == ModuleFault::WrongHeader || fc.fault == ModuleFault::WrongStatus) {
        // Only the one packet is touched.
        for (size_t i = 0, at = 0; i < lens.size(); at += lens[i], i++) {
            if (i != index) {
                EXPECT_EQ(s[at + 3], 0x10) << "packet " << i;
            }
        }
    }
    EXPECT_EQ(m.Module().Stats().faultsApplied, 1);

    // The next read cycle runs clean.
    EXPECT_EQ(h.Heartbeat(), proto::HeartbeatAnswer());
    ASSERT_EQ(h.Read(26), Notice(0));
    EXPECT_EQ(ExchangeStream(h, rng, total).size(), total);
}

std::vector<FaultCase> AllFaultCases()
{
    std::vector<FaultCase> v;
    for (int step = 1; step < sim::kFaultStepCount; step++)
        for (ModuleFault f : {ModuleFault::Silence, ModuleFault::RestartNotice, ModuleFault::ErrorFrame,
                              ModuleFault::WrongLength, ModuleFault::WrongHeader, ModuleFault::WrongStatus})
            if (!(f == ModuleFault::WrongStatus && step == sim::kFaultStepPacket12)) // it has no status byte
                v.push_back({step, f});
    return v;
}

INSTANTIATE_TEST_SUITE_P(EveryStep, ExchangeFault, ::testing::ValuesIn(AllFaultCases()), Name);

TEST_F(Fixture, NoticeFaultsAndStickyFaults)
{
    sim::SerialModule m(Config());
    ASSERT_TRUE(m.Ok());
    m.Module().PlaceIdCard(Serial(0));
    Host h(m.SlavePath());

    m.Module().InjectFault(sim::kFaultStepNotice, ModuleFault::WrongLength);
    EXPECT_EQ(h.Heartbeat(), proto::HeartbeatAnswer());
    EXPECT_EQ(h.Read(25, 3000).size(), 25u);
    EXPECT_TRUE(h.Read(1, 200).empty());
    m.Module().InjectFault(sim::kFaultStepNotice, ModuleFault::WrongHeader);
    EXPECT_EQ(h.Heartbeat(), proto::HeartbeatAnswer());
    Bytes n = h.Read(26, 3000);
    ASSERT_EQ(n.size(), 26u);
    EXPECT_NE(n[3], 0x01);
    m.Module().InjectFault(sim::kFaultStepNotice, ModuleFault::Silence);
    EXPECT_EQ(h.Heartbeat(), proto::HeartbeatAnswer());
    EXPECT_TRUE(h.Read(1, 300).empty());

    // Sticky: every exchange until cleared.
    std::mt19937 rng(5);
    m.Module().InjectFault(sim::kFaultStepPacket34, ModuleFault::ErrorFrame, true);
    for (int i = 0; i < 2; i++) {
        EXPECT_EQ(h.Heartbeat(), proto::HeartbeatAnswer());
        ASSERT_EQ(h.Read(26), Notice(0));
        const size_t expect = 48 + proto::ModuleErrorFrame().size();
        EXPECT_EQ(ExchangeStream(h, rng, expect).size(), expect);
    }
    m.Module().InjectFault(sim::kFaultStepPacket34, ModuleFault::None);
    EXPECT_EQ(h.Heartbeat(), proto::HeartbeatAnswer());
    ASSERT_EQ(h.Read(26), Notice(0));
    const size_t total = 48 + 32 + 8 + TailTotal();
    EXPECT_EQ(ExchangeStream(h, rng, total).size(), total);
}

TEST_F(Fixture, GarbageKeepsTheLengthAndHasNoFrameStart)
{
    sim::SerialModule m(Config());
    ASSERT_TRUE(m.Ok());
    m.Module().PlaceIdCard(Serial(0));
    Host h(m.SlavePath());
    std::mt19937 rng(7);

    // On the notice: 26 bytes of noise, and no exchange follows from it.
    m.Module().InjectFault(sim::kFaultStepNotice, ModuleFault::Garbage);
    EXPECT_EQ(h.Heartbeat(), proto::HeartbeatAnswer());
    Bytes noise = h.Read(26, 500);
    ASSERT_EQ(noise.size(), 26u);
    EXPECT_EQ(std::count(noise.begin(), noise.end(), proto::kStart), 0);

    // On packet 7: every other packet intact, the garbled one in its place.
    m.Module().InjectFault(sim::kFaultStepTailFirst + 1, ModuleFault::Garbage);
    EXPECT_EQ(h.Heartbeat(), proto::HeartbeatAnswer());
    ASSERT_EQ(h.Read(26), Notice(0));
    const size_t total = 48 + 32 + 8 + TailTotal();
    Bytes s = ExchangeStream(h, rng, total);
    ASSERT_EQ(s.size(), total);
    const size_t at = 48 + 32 + 8 + proto::kSerialTail[0];
    EXPECT_EQ(s[at - proto::kSerialTail[0]], 0xAA) << "packet 6";
    EXPECT_EQ(std::count(s.begin() + static_cast<long>(at), s.begin() + static_cast<long>(at + 222), proto::kStart), 0);
    EXPECT_EQ(s[at + 222], 0xAA) << "packet 8";
    EXPECT_EQ(m.Module().Stats().faultsApplied, 2);
}

TEST_F(Fixture, LinkCheckAnswerFaults)
{
    sim::SerialModule m(Config());
    ASSERT_TRUE(m.Ok());
    m.Module().PlaceIdCard(Serial(0));
    Host h(m.SlavePath());

    // Unanswered (sticky) until cleared; the card waits for an answer.
    m.Module().InjectHeartbeatFault(ModuleFault::Silence, true);
    EXPECT_TRUE(h.Heartbeat().empty());
    EXPECT_TRUE(h.Heartbeat().empty());
    EXPECT_TRUE(h.Read(1, 200).empty());
    m.Module().ClearFaults();

    // A garbled or short answer still arms the card's notice.
    m.Module().InjectHeartbeatFault(ModuleFault::WrongLength);
    EXPECT_EQ(h.Heartbeat().size(), 7u + 1u) << "7 bytes, then the notice's start";
    const Bytes notice = Notice(0);
    EXPECT_EQ(h.Read(25), Bytes(notice.begin() + 1, notice.end()));
    m.Module().InjectHeartbeatFault(ModuleFault::Garbage);
    Bytes g = h.Heartbeat();
    ASSERT_EQ(g.size(), 8u);
    EXPECT_NE(g[0], 0xAA);
    EXPECT_EQ(h.Read(26), Notice(0));
    m.Module().InjectHeartbeatFault(ModuleFault::WrongStatus);
    Bytes st = h.Heartbeat();
    ASSERT_EQ(st.size(), 8u);
    EXPECT_EQ(st[0], 0xAA);
    EXPECT_NE(st[5], proto::HeartbeatAnswer()[5]);
    EXPECT_EQ(h.Read(26), Notice(0));
    // One-shot: the next answer is clean.
    EXPECT_EQ(h.Heartbeat(), proto::HeartbeatAnswer());
}

// The module leaves the line where a frame was due: what came before is
// delivered, then the port hangs up for good.
TEST_F(Fixture, VanishHangsTheLineUpAtItsStep)
{
    sim::SerialModule m(Config());
    ASSERT_TRUE(m.Ok());
    const std::string path = m.SlavePath();
    struct stat line {};
    ASSERT_EQ(stat(path.c_str(), &line), 0);
    m.Module().PlaceIdCard(Serial(0));
    Host h(path);
    EXPECT_EQ(h.Heartbeat(), proto::HeartbeatAnswer());
    ASSERT_EQ(h.Read(26), Notice(0));
    m.Module().InjectFault(sim::kFaultStepTailFirst + 2, ModuleFault::Vanish); // packet 8

    std::mt19937 rng(3);
    const size_t before = 48 + 32 + 8 + proto::kSerialTail[0] + proto::kSerialTail[1];
    Bytes s = ExchangeStream(h, rng, before);
    EXPECT_EQ(s.size(), before);
    ASSERT_TRUE(m.Module().WaitFor([](const sim::ModuleStats &st) { return st.vanished == 1; }, 2000));
    EXPECT_TRUE(m.Gone());

    // Hung up: poll says so, reads fail and the path opens no more.
    pollfd p{h.fd, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 1000), 1);
    EXPECT_TRUE(p.revents & POLLHUP);
    uint8_t b[8];
    EXPECT_LE(read(h.fd, b, sizeof b), 0);
    h.Close();
    EXPECT_FALSE(LineOpens(path, line)) << "the line's path still opens";
    EXPECT_FALSE(m.Module().IsHostConnected());
}

TEST_F(Fixture, VanishAtTheLinkCheckAndByHand)
{
    const int fdsBefore = testsupport::Steady(testsupport::OpenDescriptors);
    {
        sim::SerialModule m(Config());
        ASSERT_TRUE(m.Ok());
        Host h(m.SlavePath());
        m.Module().InjectHeartbeatFault(ModuleFault::Vanish);
        h.Write(proto::kLinkCheck);
        ASSERT_TRUE(m.Module().WaitFor([](const sim::ModuleStats &st) { return st.vanished == 1; }, 2000));
        EXPECT_TRUE(m.Gone());
        EXPECT_EQ(m.Module().Stats().heartbeats, 0);
        m.Vanish(); // twice is harmless
    }
    {
        sim::SerialModule m(Config());
        ASSERT_TRUE(m.Ok());
        struct stat line {};
        ASSERT_EQ(stat(m.SlavePath().c_str(), &line), 0);
        m.Vanish();
        EXPECT_TRUE(m.Gone());
        EXPECT_FALSE(LineOpens(m.SlavePath(), line));
    }
    EXPECT_EQ(testsupport::DescriptorsBackTo(fdsBefore), "");
}

// --- the line itself ----------------------------------------------------------

TEST_F(Fixture, HostClosingAndReopeningStartsUnarmed)
{
    sim::SerialModule m(Config(0, 50));
    ASSERT_TRUE(m.Ok());
    m.Module().PlaceIdCard(Serial(0));
    for (bool flush : {false, true}) {
        SCOPED_TRACE(flush);
        {
            Host h(m.SlavePath(), flush);
            ASSERT_TRUE(m.Module().WaitFor([&](const sim::ModuleStats &) { return m.Module().IsHostConnected(); }, 2000));
            EXPECT_EQ(h.Heartbeat(), proto::HeartbeatAnswer());
            ASSERT_EQ(h.Read(26), Notice(0));
            // Left half way through an exchange.
            h.Write(proto::kReadStart);
            ASSERT_EQ(h.Read(48).size(), 48u);
        }
        const Clock::time_point t = Clock::now();
        while (m.Module().IsHostConnected() && MsSince(t) < 2000)
            SleepMs(2);
        EXPECT_FALSE(m.Module().IsHostConnected());
        Host h(m.SlavePath(), flush);
        // Nothing until this session's own heartbeat, then answer before notice.
        EXPECT_TRUE(h.Read(1, 300).empty());
        EXPECT_EQ(h.Heartbeat(), proto::HeartbeatAnswer());
        EXPECT_EQ(h.Read(26), Notice(0));
    }
    EXPECT_EQ(m.Module().Stats().exchangesAborted, 2);
}

TEST_F(Fixture, QuickReopenWithFlushIsANewSession)
{
    std::atomic<bool> anew{false};
    sim::SerialModule m(Config(0, 50));
    ASSERT_TRUE(m.Ok());
    m.Module().SetEventHandler([&](const std::string &line) {
        if (line == "host started anew")
            anew = true;
    });
    Host a(m.SlavePath());
    EXPECT_EQ(a.Heartbeat(), proto::HeartbeatAnswer());
    // Armed once the answer is out: only a flush after that ends a session.
    ASSERT_TRUE(m.Module().WaitFor([](const sim::ModuleStats &st) { return st.framesSent >= 1; }, 5000));
    // A second open and flush while the first is still open: no hang-up to
    // see, only the flush.
    Host b(m.SlavePath());
    a.Close();
    ASSERT_TRUE(m.Module().WaitFor([&](const sim::ModuleStats &) { return anew.load(); }, 5000));
    m.Module().PlaceIdCard(Serial(0));
    EXPECT_TRUE(b.Read(1, 300).empty());
    EXPECT_EQ(b.Heartbeat(), proto::HeartbeatAnswer());
    EXPECT_EQ(b.Read(26), Notice(0));
}

TEST_F(Fixture, WorksWithDescriptorsAboveFdSetSize)
{
    rlimit rl{};
    getrlimit(RLIMIT_NOFILE, &rl);
    const rlim_t want = 1200;
    if (rl.rlim_cur < want) {
        rlimit raised = rl;
        raised.rlim_cur = std::min<rlim_t>(want, rl.rlim_max);
        if (setrlimit(RLIMIT_NOFILE, &raised) != 0 || raised.rlim_cur < want)
            GTEST_SKIP() << "cannot raise RLIMIT_NOFILE to " << want;
    }
    // Fill the low descriptors so the module's own land above FD_SETSIZE.
    std::vector<int> fillers;
    for (;;) {
        int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            break;
        fillers.push_back(fd);
        if (fd > FD_SETSIZE + 16)
            break;
    }
    {
        sim::SerialModule m(Config());
        ASSERT_TRUE(m.Ok()) << m.Error();
        m.Module().PlaceIdCard(Serial(0));
        Host h(m.SlavePath());
        EXPECT_GT(h.fd, FD_SETSIZE);
        EXPECT_EQ(h.Heartbeat(), proto::HeartbeatAnswer());
        EXPECT_EQ(h.Read(26), Notice(0));
    }
    for (int fd : fillers)
        close(fd);
    setrlimit(RLIMIT_NOFILE, &rl);
}

TEST_F(Fixture, DestructionClosesEverythingAndStopsItsThreads)
{
    const int fds = testsupport::Steady(testsupport::OpenDescriptors);
    const int tasks = testsupport::Steady(testsupport::Threads);
    std::string path;
    struct stat line {};
    Clock::time_point t;
    {
        sim::SerialModule m(Config(0, 50));
        ASSERT_TRUE(m.Ok());
        path = m.SlavePath();
        ASSERT_EQ(stat(path.c_str(), &line), 0);
        m.Module().PlaceIdCard(Serial(0));
        Host h(path);
        EXPECT_EQ(h.Heartbeat(), proto::HeartbeatAnswer());
        EXPECT_GT(testsupport::Threads(), tasks);
        // Frames still scheduled when it goes must not hold it up.
        m.Module().SetStepLatency(10000);
        h.Write(proto::kLinkCheck);
        h.Close();
        t = Clock::now();
    }
    EXPECT_LT(MsSince(t), 3000);
    // A joined thread may still show for a while (long under qemu-user).
    EXPECT_EQ(testsupport::DescriptorsBackTo(fds), "");
    EXPECT_EQ(testsupport::ThreadsBackTo(tasks), "");
    // The pair is gone with its master.
    EXPECT_FALSE(LineOpens(path, line));
}

// --- the command scripts ------------------------------------------------------

TEST(ModuleScript, RejectsBadCommandsAndKeepsNothingOfThem)
{
    sim::ReaderModule module;
    sim::ModuleScript script(module);
    std::string error;
    for (const char *bad : {"place id 0", "place id 10", "place id x", "place nfc", "wait -1", "wait",
                            "fault 15 silence", "fault 1 loud", "fault 1 silence often", "latency 1.5",
                            "jump"}) {
        SCOPED_TRACE(bad);
        error.clear();
        EXPECT_FALSE(script.Load(std::string("remove; ") + bad, &error));
        EXPECT_NE(error.find(bad), std::string::npos);
    }
    EXPECT_TRUE(script.Load("# a comment\nplace id 5; wait 0\n\nfault 14 status sticky;latency 3;remove", &error));
    EXPECT_TRUE(script.Load("fault heartbeat gone; fault 3 garbage sticky", &error)) << error;
    EXPECT_FALSE(script.Load("fault heartbeat loud", &error));
    EXPECT_EQ(sim::ModuleScript::Split(" place  id 2 ;; wait 10\n#x\nquit").size(), 3u);
}

TEST(ModuleScript, DrivesTheModuleThroughThePort)
{
    sim::SerialModule m(sim::ModuleConfig{});
    ASSERT_TRUE(m.Ok());
    sim::ModuleScript script(m.Module());
    std::string error;
    // The card and the fault are in place before the host's first look.
    ASSERT_EQ(script.Execute("place id 4", &error), sim::ModuleScript::Result::Ok) << error;
    ASSERT_EQ(script.Execute("fault 0 length", &error), sim::ModuleScript::Result::Ok) << error;
    ASSERT_TRUE(script.Load("wait 100000", &error)) << error;
    std::thread player([&] { script.Run(); });
    Host h(m.SlavePath());
    EXPECT_EQ(h.Heartbeat(), proto::HeartbeatAnswer());
    const Bytes notice = Notice(3);
    EXPECT_EQ(h.Read(25, 3000), Bytes(notice.begin(), notice.end() - 1));
    EXPECT_TRUE(h.Read(1, 200).empty());
    // Stop ends the long wait at once.
    const Clock::time_point t = Clock::now();
    script.Stop();
    player.join();
    EXPECT_LT(MsSince(t), 3000);

    sim::ModuleScript one(m.Module());
    EXPECT_EQ(one.Execute("remove", &error), sim::ModuleScript::Result::Ok);
    EXPECT_FALSE(m.Module().CardPresent());
    EXPECT_EQ(one.Execute("quit", &error), sim::ModuleScript::Result::Quit);
    EXPECT_EQ(one.Execute("place id 10", &error), sim::ModuleScript::Result::Error);
}

TEST(ModuleScript, RepeatRunsAgainUntilStopped)
{
    sim::ReaderModule module;
    sim::ModuleScript script(module);
    std::string error;
    ASSERT_TRUE(script.Load("place m1; wait 20; remove; wait 20; repeat", &error));
    std::atomic<int> removed{0};
    module.SetEventHandler([&](const std::string &line) {
        if (line == "card removed")
            removed++;
    });
    std::thread player([&] { script.Run(); });
    const Clock::time_point t = Clock::now();
    while (removed < 3 && MsSince(t) < 3000)
        SleepMs(5);
    EXPECT_GE(removed.load(), 3);
    script.Stop();
    player.join();
    module.SetEventHandler(nullptr);
}

} // namespace

// The fault matrix: every fault of the decode server and of the reader module
// at every step of a read cycle, each cell one ReadIDCardLib call against the
// simulators, checked for its result code, its events, its time and that it
// left nothing open. Shared by the USB and the serial half; each half prints
// its table when the run ends.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "DecodeServer.h"
#include "ReaderModule.h"
#include "e2e_support.h"

namespace matrix {

enum class Fault {
    SrvRefuse,
    SrvClose,
    SrvSilent,
    SrvGarbage,
    SrvShort,
    SrvOversized,
    SrvFailure,
    ModSilent,
    ModGarbage,
    ModLength,
    ModHeader,
    ModStatus,
    ModGone,
    Cancel, // the program cancels while the cycle waits at the step
    Count
};

enum class Step {
    Open,
    Heartbeat,
    Detect,
    Connect,
    NoticeAnswer,
    Packet12,
    Packet3,
    Packet34,
    Packet5Server,
    Packet5Module,
    Tail6, // packet n is Tail6 + (n - 6)
    Tail16 = Tail6 + 10,
    Final,
    Count
};

inline Step Tail(int packet) { return static_cast<Step>(static_cast<int>(Step::Tail6) + packet - 6); }
inline bool IsTail(Step s) { return s >= Step::Tail6 && s <= Step::Tail16; }
inline int TailPacket(Step s) { return static_cast<int>(s) - static_cast<int>(Step::Tail6) + 6; }

inline const char *FaultLabel(Fault f)
{
    static const char *const names[] = {"srv refuse", "srv close", "srv silent", "srv garbage", "srv short",
                                        "srv oversize", "srv failure", "mod silent", "mod garbage",
                                        "mod length", "mod header", "mod status", "mod gone", "cancel"};
    return names[static_cast<int>(f)];
}

inline const char *FaultId(Fault f)
{
    static const char *const names[] = {"ServerRefuses", "ServerCloses", "ServerSilent", "ServerGarbage",
                                        "ServerShort", "ServerOversized", "ServerFailureNotice",
                                        "ModuleSilent", "ModuleGarbage", "ModuleWrongLength",
                                        "ModuleWrongHeader", "ModuleWrongStatus", "ModuleGone",
                                        "Cancelled"};
    return names[static_cast<int>(f)];
}

inline std::string StepLabel(Step s)
{
    if (IsTail(s))
        return "packet " + std::to_string(TailPacket(s));
    static const char *const names[] = {"module open", "heartbeat", "card wait", "server connect",
                                        "notice answer", "packets 1&2", "server pkt 3", "packets 3&4",
                                        "server pkt 5", "module pkt 5"};
    if (s == Step::Final)
        return "final answer";
    return names[static_cast<int>(s)];
}

inline std::string StepId(Step s)
{
    if (IsTail(s))
        return "Packet" + std::to_string(TailPacket(s));
    static const char *const names[] = {"ModuleOpen", "Heartbeat", "CardWait", "ServerConnect",
                                        "NoticeAnswer", "Packets12", "ServerPacket3", "Packets34",
                                        "ServerPacket5", "ModulePacket5"};
    if (s == Step::Final)
        return "FinalAnswer";
    return names[static_cast<int>(s)];
}

inline bool IsServerFault(Fault f) { return f <= Fault::SrvFailure; }

// What keeps the cycle waiting at a step for a cancel to find it there: the
// peer it waits for stays silent (an absent module at the open).
inline Fault WaitingFault(Step s)
{
    switch (s) {
    case Step::Open: return Fault::ModGone;
    case Step::Connect:
    case Step::NoticeAnswer:
    case Step::Packet3:
    case Step::Packet5Server:
    case Step::Final: return Fault::SrvSilent;
    default: return Fault::ModSilent;
    }
}

// The fault a cell sets up: its own, or for a cancel the one it waits behind.
inline Fault SetUpFault(Fault f, Step s) { return f == Fault::Cancel ? WaitingFault(s) : f; }

inline sim::ServerFault ServerFaultOf(Fault f)
{
    switch (f) {
    case Fault::SrvClose: return sim::ServerFault::Close;
    case Fault::SrvSilent: return sim::ServerFault::Silence;
    case Fault::SrvGarbage: return sim::ServerFault::Garbage;
    case Fault::SrvShort: return sim::ServerFault::Short;
    case Fault::SrvOversized: return sim::ServerFault::Oversized;
    case Fault::SrvFailure: return sim::ServerFault::FailureNotice;
    default: return sim::ServerFault::None;
    }
}

inline sim::ModuleFault ModuleFaultOf(Fault f)
{
    switch (f) {
    case Fault::ModSilent: return sim::ModuleFault::Silence;
    case Fault::ModGarbage: return sim::ModuleFault::Garbage;
    case Fault::ModLength: return sim::ModuleFault::WrongLength;
    case Fault::ModHeader: return sim::ModuleFault::WrongHeader;
    case Fault::ModStatus: return sim::ModuleFault::WrongStatus;
    case Fault::ModGone: return sim::ModuleFault::Vanish;
    default: return sim::ModuleFault::None;
    }
}

// The server's step for a server fault at this row, or -1.
inline int ServerStepOf(Step s)
{
    switch (s) {
    case Step::NoticeAnswer: return sim::kStepNotice;
    case Step::Packet3: return sim::kStepPacket3;
    case Step::Packet5Server: return sim::kStepPacket5;
    case Step::Final: return sim::kStepFinal;
    default: return -1;
    }
}

// The module's exchange step for a module fault at this row, or -1.
inline int ModuleStepOf(Step s)
{
    if (IsTail(s))
        return sim::kFaultStepTailFirst + TailPacket(s) - 6;
    switch (s) {
    case Step::Detect: return sim::kFaultStepNotice;
    case Step::Packet12: return sim::kFaultStepPacket12;
    case Step::Packet34: return sim::kFaultStepPacket34;
    case Step::Packet5Module: return sim::kFaultStepPacket5;
    default: return -1;
    }
}

// Stands for the transport's "connected to the server" event, whose text
// holds the port of the cell's own server.
constexpr const char *kConnectedEvent = "<connected>";

enum class RecordCheck {
    Untouched, // a failed read writes nothing into the record
    Card,      // the card's identity, exactly
    Filled,    // code 1 from whatever block the server sent: not looked into
};

struct Expect {
    int code = 0;
    std::vector<e2e::Event> events;
    // The cycle's own time budget up to this ending; it must end within
    // limitMs * 1.5 + 2 s, and not before minMs.
    int limitMs = 1000;
    int minMs = 0;
    // Start of what the cycle prints on standard output, if it must print.
    std::string stdoutStart;
    RecordCheck record = RecordCheck::Untouched;
};

struct Cell {
    Step step;
    Fault fault;
    Expect expect;
};

inline std::string CellName(const ::testing::TestParamInfo<Cell> &info)
{
    return StepId(info.param.step) + "_" + FaultId(info.param.fault);
}

inline void PrintTo(const Cell &c, std::ostream *os) { *os << StepLabel(c.step) << " / " << FaultLabel(c.fault); }

inline long long BoundMs(const Expect &e) { return e.limitMs * 3LL / 2 + 2000; }

struct Outcome {
    int code = 0;
    long long ms = 0;
    bool pass = false;
};

// One table per transport; rows = steps, columns = faults.
class Table {
public:
    explicit Table(std::string title) : m_title(std::move(title)) {}

    void Record(Step s, Fault f, Outcome o)
    {
        std::lock_guard<std::mutex> lk(m_mu);
        m_cells[{s, f}] = o;
    }

    bool Empty() const
    {
        std::lock_guard<std::mutex> lk(m_mu);
        return m_cells.empty();
    }

    // Rows in step order; a step with no cell at all is left out, a cell
    // that does not apply shows "-".
    void Print(FILE *out) const
    {
        std::lock_guard<std::mutex> lk(m_mu);
        if (m_cells.empty())
            return;
        const int w = 13;
        int passed = 0, failed = 0;
        fprintf(out, "\n%s (cell: result code/elapsed ms PASS|FAIL)\n", m_title.c_str());
        fprintf(out, "%-14s", "step");
        for (int f = 0; f < static_cast<int>(Fault::Count); f++)
            fprintf(out, " %-*s", w, FaultLabel(static_cast<Fault>(f)));
        fprintf(out, "\n");
        for (int s = 0; s < static_cast<int>(Step::Count); s++) {
            bool any = false;
            for (const auto &c : m_cells)
                any = any || c.first.first == static_cast<Step>(s);
            if (!any)
                continue;
            fprintf(out, "%-14s", StepLabel(static_cast<Step>(s)).c_str());
            for (int f = 0; f < static_cast<int>(Fault::Count); f++) {
                auto it = m_cells.find({static_cast<Step>(s), static_cast<Fault>(f)});
                char cell[32] = "-";
                if (it != m_cells.end()) {
                    snprintf(cell, sizeof cell, "%d/%lld %s", it->second.code, it->second.ms,
                             it->second.pass ? "PASS" : "FAIL");
                    (it->second.pass ? passed : failed)++;
                }
                fprintf(out, " %-*s", w, cell);
            }
            fprintf(out, "\n");
        }
        fprintf(out, "%s: %d cells passed, %d failed\n", m_title.c_str(), passed, failed);
        fflush(out);
    }

private:
    std::string m_title;
    mutable std::mutex m_mu;
    std::map<std::pair<Step, Fault>, Outcome> m_cells;
};

Table &UsbTable();
Table &SerialTable();

using testsupport::RefusingPort;

// A loopback listener that never accepts, its queue filled, so that a new
// connect gets no answer at all and can only time out.
class SilentListener {
public:
    SilentListener()
    {
        m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (m_fd < 0 || bind(m_fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(m_fd, 0) != 0)
            return;
        socklen_t n = sizeof a;
        getsockname(m_fd, reinterpret_cast<sockaddr *>(&a), &n);
        m_port = ntohs(a.sin_port);
        for (int i = 0; i < 64; i++) {
            int c = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            if (c < 0)
                return;
            m_held.push_back(c);
            connect(c, reinterpret_cast<sockaddr *>(&a), sizeof a);
            pollfd p{c, POLLOUT, 0};
            if (poll(&p, 1, 1000) == 0) {
                m_full = true;
                return;
            }
        }
    }
    ~SilentListener()
    {
        for (int c : m_held)
            close(c);
        if (m_fd >= 0)
            close(m_fd);
    }
    SilentListener(const SilentListener &) = delete;
    SilentListener &operator=(const SilentListener &) = delete;
    int Port() const { return m_port; }
    bool Full() const { return m_full; }

private:
    int m_fd = -1;
    int m_port = 0;
    bool m_full = false;
    std::vector<int> m_held;
};

// The expected events with the connection event filled in.
inline std::vector<e2e::Event> Resolve(std::vector<e2e::Event> events, const std::string &connected)
{
    for (auto &e : events)
        if (e.second == kConnectedEvent)
            e.second = connected;
    return events;
}

// An expected text ending in '*' matches any text with that start: the size
// of an answer that TCP may hand over in pieces.
inline bool SameEvents(const std::vector<e2e::Event> &got, const std::vector<e2e::Event> &want)
{
    if (got.size() != want.size())
        return false;
    for (size_t i = 0; i < got.size(); i++) {
        const std::string &w = want[i].second;
        const bool prefix = !w.empty() && w.back() == '*';
        if (got[i].first != want[i].first ||
            (prefix ? got[i].second.compare(0, w.size() - 1, w, 0, w.size() - 1) != 0 : got[i].second != w))
            return false;
    }
    return true;
}

inline std::vector<e2e::Event> Join(std::vector<e2e::Event> a, const std::vector<e2e::Event> &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Checks one finished cell against its expectation; the caller has released
// its simulators. Nothing here may assert on the run's timing alone.
// Where a cell's cycle finds its server: the simulated one, or at the
// connect step a port that refuses or a listener that never accepts (0 if
// that listener could not be set up).
struct CellServer {
    std::unique_ptr<RefusingPort> refusing;
    std::unique_ptr<SilentListener> silent;
    int port = 0;

    CellServer(const Cell &c, int simulatedPort) : port(simulatedPort)
    {
        const Fault f = SetUpFault(c.fault, c.step);
        if (c.step == Step::Connect && f == Fault::SrvRefuse) {
            refusing = std::make_unique<RefusingPort>();
            port = refusing->Port();
        } else if (c.step == Step::Connect && f == Fault::SrvSilent) {
            silent = std::make_unique<SilentListener>();
            port = silent->Full() ? silent->Port() : 0;
        }
    }
};

struct CycleRun {
    int code = 0;
    long long ms = 0;
    std::string console;   // standard output during the cycle
    long long cancelMs = -1; // from the cancel to the cycle's return
};

// For a cancel cell: once the cycle has reported the events before its wait
// and the fault holding it there has struck, another thread cancels. A
// module fault cancels from the module's own thread the moment it strikes,
// however short the wait behind it (struck is then null).
struct CancelPlan {
    size_t eventsBefore = 0;
    std::function<bool()> struck;
    std::atomic<long long> at{-1};
    void Cancel()
    {
        at = testsupport::NowMs();
        CancelReadIDCard();
    }
};

inline CycleRun RunCycle(idInfo *rec, Cardtype type, CancelPlan *cancel = nullptr)
{
    CycleRun run;
    e2e::ResetEvents();
    std::atomic<bool> done{false};
    std::thread canceller;
    if (cancel && cancel->struck) {
        canceller = std::thread([&] {
            while (!done && (e2e::Events().size() < cancel->eventsBefore || !cancel->struck()))
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            if (!done)
                cancel->Cancel();
        });
    }
    auto t0 = std::chrono::steady_clock::now();
    e2e::StdoutCapture out;
    run.code = ReadIDCardLib(rec, type);
    const long long end = testsupport::NowMs();
    run.console = out.Stop();
    run.ms = e2e::MsSince(t0);
    done = true;
    if (canceller.joinable())
        canceller.join();
    if (cancel && cancel->at >= 0)
        run.cancelMs = end - cancel->at;
    return run;
}

// A cancel cell's expectation: the events up to its wait, the cancel, the
// release; the cycle ends within cancelLimitMs of the cancel (the bound is
// generous, as for every cell: the exact figure is the benchmark's).
constexpr int kCancelLimitMs = 50;
inline Expect Cancelled(std::vector<e2e::Event> before, const e2e::Event *bye = nullptr)
{
    Expect e;
    e.code = SCANID_CANCELLED;
    e.events = std::move(before);
    e.events.emplace_back(3, "read cancelled");
    if (bye)
        e.events.push_back(*bye);
    e.limitMs = kCancelLimitMs;
    return e;
}

// The events a cancel cell waits for before it cancels.
inline size_t EventsBeforeCancel(const Expect &e)
{
    for (size_t i = 0; i < e.events.size(); i++)
        if (e.events[i].second == "read cancelled")
            return i;
    return e.events.size();
}

// Arms a cancel cell's plan. A long wait (fromThread) is cancelled by
// RunCycle's thread once struck holds; elsewhere the module cancels from
// its own thread the moment its fault strikes. The caller clears the
// module's event handler after the cycle.
inline void ArmCancel(CancelPlan &plan, const Cell &c, bool fromThread, std::function<bool()> struck,
                      sim::ReaderModule &module)
{
    plan.eventsBefore = EventsBeforeCancel(c.expect);
    if (fromThread) {
        plan.struck = std::move(struck);
        return;
    }
    module.SetEventHandler([&plan](const std::string &line) {
        if (line.rfind("fault ", 0) == 0)
            plan.Cancel();
    });
}

inline void CheckCell(const Expect &want, int code, long long ms, const std::string &console,
                      const idInfo &rec, const sim::IdCard &card, const std::string &connected)
{
    const std::vector<e2e::Event> got = e2e::Events();
    EXPECT_EQ(code, want.code) << e2e::Describe(got) << console;
    const std::vector<e2e::Event> expected = Resolve(want.events, connected);
    EXPECT_TRUE(SameEvents(got, expected)) << "events:\n"
                                           << e2e::Describe(got) << "expected:\n"
                                           << e2e::Describe(expected);
    EXPECT_LE(ms, BoundMs(want)) << "longer than its limit allows";
    EXPECT_GE(ms, want.minMs) << "ended before its limit";
    if (!want.stdoutStart.empty()) {
        EXPECT_EQ(console.rfind(want.stdoutStart, 0), 0u) << console;
    }
    switch (want.record) {
    case RecordCheck::Untouched:
        EXPECT_EQ(rec.name[0], 0);
        EXPECT_EQ(rec.cardno[0], 0);
        EXPECT_EQ(rec.photolen, 0);
        break;
    case RecordCheck::Card:
        e2e::ExpectSameIdentity(rec, e2e::ExpectedRecord(card));
        break;
    case RecordCheck::Filled:
        break;
    }
}

} // namespace matrix

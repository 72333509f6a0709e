// The serial half of the fault matrix: the simulated module on a real
// pseudo-terminal, the simulated decode server on loopback, one fresh pair
// for every cell. The serial cycle runs a fixed script with a limit per
// packet, so every tail packet has its own row.
#include <gtest/gtest.h>

#include <memory>

#include "SerialModule.h"
#include "fault_matrix.h"

namespace {

using e2e::Event;
using matrix::Cell;
using matrix::Expect;
using matrix::Fault;
using matrix::Join;
using matrix::RecordCheck;
using matrix::Step;

const Event kBye{3, "disconnect serial"};

std::vector<Event> Opened() { return {{3, "serial connect successed"}, {2, "Detect the heart"}}; }
std::vector<Event> Connected() { return Join(Opened(), {{1, "find ID card"}, {3, matrix::kConnectedEvent}}); }
std::vector<Event> Read48() { return Join(Connected(), {{3, "The number of read 48"}}); }

std::vector<Event> End(std::vector<Event> events, const std::vector<Event> &tail = {})
{
    events = Join(std::move(events), tail);
    events.push_back(kBye);
    return events;
}

Expect E(int code, std::vector<Event> events, int limitMs, int minMs = 0, RecordCheck record = RecordCheck::Untouched)
{
    Expect e;
    e.code = code;
    e.events = std::move(events);
    e.limitMs = limitMs;
    e.minMs = minMs;
    e.record = record;
    return e;
}

std::vector<Cell> SerialCells()
{
    std::vector<Cell> v;
    auto add = [&v](Step s, Fault f, Expect e) { v.push_back(Cell{s, f, std::move(e)}); };
    const std::vector<Event> full = End(Read48(), {{3, "read card successful"}});
    const std::vector<Event> noHeart = End({{3, "serial connect successed"}, {2, "NOT Detect the heart"}});

    // The port is gone before the cycle: it cannot be opened, and the cycle
    // pauses a second before it gives up.
    add(Step::Open, Fault::ModGone, E(4, {{3, "serial connect err"}}, 1000, 1000));

    // The serial heartbeat wants 8 bytes and looks at none of them. The cycle
    // goes on without an answer, but a module that never answered never
    // announces its card either: no card within 3 s.
    add(Step::Heartbeat, Fault::ModSilent, E(10, noHeart, 4100, 3500));
    add(Step::Heartbeat, Fault::ModGarbage, E(1, full, 1000, 0, RecordCheck::Card));
    // Seven bytes and the notice's first byte make the eight; the notice is
    // one byte short then and is no card.
    add(Step::Heartbeat, Fault::ModLength, E(10, End(Opened()), 3200, 3000));
    add(Step::Heartbeat, Fault::ModHeader, E(1, full, 1000, 0, RecordCheck::Card));
    add(Step::Heartbeat, Fault::ModGone, E(10, noHeart, 3600, 3000));

    // Only 26 bytes starting with AA are a card; the rest of the notice is
    // the server's business, which answers a bad one with its failure notice.
    add(Step::Detect, Fault::ModSilent, E(10, End(Opened()), 3200, 3000));
    add(Step::Detect, Fault::ModGarbage, E(10, End(Opened()), 3200, 3000));
    add(Step::Detect, Fault::ModLength, E(10, End(Opened()), 3200, 3000));
    add(Step::Detect, Fault::ModHeader, E(8, End(Connected(), {{3, "recv len is not match from server"}}), 500));
    add(Step::Detect, Fault::ModStatus, E(8, End(Connected(), {{3, "recv len is not match from server"}}), 500));
    add(Step::Detect, Fault::ModGone, E(10, End(Opened()), 3200, 3000));

    // No standby server on this transport.
    const std::vector<Event> noServer = End(Join(Opened(), {{1, "find ID card"}}), {{3, "connect server failed"}});
    add(Step::Connect, Fault::SrvRefuse, E(3, noServer, 300));
    add(Step::Connect, Fault::SrvSilent, E(3, noServer, 2200, 2000));

    // The first answer is judged by its length alone: 7 goes on, more than
    // 1000 is the cached decoded block, anything else is refused.
    const std::vector<Event> noFirst = End(Connected(), {{3, "0 packet timeoutfrom server"}});
    const std::vector<Event> badFirst = End(Connected(), {{3, "recv len is not match from server"}});
    add(Step::NoticeAnswer, Fault::SrvClose, E(-1, noFirst, 1200, 1000));
    add(Step::NoticeAnswer, Fault::SrvSilent, E(-1, noFirst, 11100, 10000));
    add(Step::NoticeAnswer, Fault::SrvGarbage, E(1, full, 1000, 0, RecordCheck::Card));
    add(Step::NoticeAnswer, Fault::SrvShort, E(8, badFirst, 500));
    add(Step::NoticeAnswer, Fault::SrvOversized,
        E(SCANID_ERR_SERVER_DATA,
          End(Connected(), {{3, "read card cache successful"}, {3, "unknown document kind"}}), 500));
    add(Step::NoticeAnswer, Fault::SrvFailure, E(8, badFirst, 500));

    const std::vector<Event> no48 =
        End(Connected(), {{3, "The number of read -1"}, {3, "recv 1&2 packet data  error from MCU"}});
    // A silent port costs ReadSerial its limit in attempts plus up to the
    // limit again in its first wait.
    add(Step::Packet12, Fault::ModSilent, E(7, no48, 1100, 500));
    add(Step::Packet12, Fault::ModGarbage, E(7, End(Read48()), 500));
    add(Step::Packet12, Fault::ModLength, E(7, no48, 1100, 500));
    add(Step::Packet12, Fault::ModHeader, E(7, End(Read48()), 500));
    add(Step::Packet12, Fault::ModGone, E(7, no48, 1100, 500));

    // Packet 3 is waited for up to 120 unanswered attempts; only a packet
    // with the exchange header counts, and it must be 21 bytes.
    add(Step::Packet3, Fault::SrvClose, E(6, End(Read48()), 400));
    add(Step::Packet3, Fault::SrvSilent, E(6, End(Read48()), 2800, 2400));
    add(Step::Packet3, Fault::SrvGarbage, E(6, End(Read48()), 2800, 2000));
    add(Step::Packet3, Fault::SrvShort, E(8, End(Read48()), 400));
    add(Step::Packet3, Fault::SrvOversized, E(8, End(Read48()), 400));
    add(Step::Packet3, Fault::SrvFailure, E(6, End(Read48()), 400));

    const std::vector<Event> no34 = End(Read48(), {{3, " recv 3&4 packet data  error from MCU"}});
    add(Step::Packet34, Fault::ModSilent, E(7, no34, 500, 200));
    add(Step::Packet34, Fault::ModGarbage, E(7, End(Read48()), 500));
    add(Step::Packet34, Fault::ModLength, E(7, no34, 500, 200));
    add(Step::Packet34, Fault::ModHeader, E(7, End(Read48()), 500));
    add(Step::Packet34, Fault::ModStatus, E(7, End(Read48()), 500));
    add(Step::Packet34, Fault::ModGone, E(7, no34, 500, 200));

    // Packet 5 shares the retry counter: 500 in all.
    const std::vector<Event> no5 = End(Read48(), {{3, " recv 5 packet data  timeout from Server"}});
    const std::vector<Event> bad5 = End(Read48(), {{3, " recv 5 packet data  error from Server"}});
    add(Step::Packet5Server, Fault::SrvClose, E(6, no5, 800));
    add(Step::Packet5Server, Fault::SrvSilent, E(6, no5, 10800, 9000));
    add(Step::Packet5Server, Fault::SrvGarbage, E(6, no5, 10800, 4000));
    add(Step::Packet5Server, Fault::SrvShort, E(8, bad5, 500));
    add(Step::Packet5Server, Fault::SrvOversized, E(8, bad5, 500));
    add(Step::Packet5Server, Fault::SrvFailure, E(6, no5, 800));

    // The tail follows packet 5 back to back: a packet 5 one byte short takes
    // the first byte of packet 6, passes, and packet 6 is then misaligned.
    add(Step::Packet5Module, Fault::ModSilent, E(7, End(Read48()), 600, 200));
    add(Step::Packet5Module, Fault::ModGarbage, E(0, End(Read48()), 500));
    add(Step::Packet5Module, Fault::ModLength, E(0, End(Read48()), 500));
    add(Step::Packet5Module, Fault::ModHeader, E(0, End(Read48()), 500));
    add(Step::Packet5Module, Fault::ModStatus, E(0, End(Read48()), 500));
    add(Step::Packet5Module, Fault::ModGone, E(7, End(Read48()), 500, 200));

    // Each tail packet has its own length, limit and texts.
    const int tailLimit[11] = {180, 200, 10, 200, 200, 200, 200, 200, 300, 300, 100};
    for (int p = 6; p <= 16; p++) {
        const Step s = matrix::Tail(p);
        const int limit = tailLimit[p - 6];
        const std::vector<Event> lost =
            End(Read48(), {{3, " recv " + std::to_string(p) + " packet data error for MCU"}});
        add(s, Fault::ModSilent, E(7, lost, 300 + 2 * limit, limit));
        add(s, Fault::ModGarbage, E(0, End(Read48()), 500));
        // One byte short: the next packet's first byte fills it up, and the
        // next packet, misaligned, fails its header; packet 16 then lacks a
        // byte, and after packet 16 nothing more comes.
        if (p < 15)
            add(s, Fault::ModLength, E(0, End(Read48()), 500));
        else if (p == 15)
            add(s, Fault::ModLength,
                E(7, End(Read48(), {{3, " recv 16 packet data error for MCU"}}), 500, tailLimit[10]));
        else
            add(s, Fault::ModLength, E(7, lost, 300 + 2 * limit, limit));
        add(s, Fault::ModHeader, E(0, End(Read48()), 500));
        if (p == 6)
            add(s, Fault::ModStatus, E(0, End(Read48()), 500));
        add(s, Fault::ModGone, E(7, lost, 300 + 2 * limit, limit));
    }

    // The final answer is judged by its length alone.
    const std::vector<Event> noFinal = End(Read48(), {{3, "recv lsat packet data timeout for Server"}});
    const std::vector<Event> badFinal = End(Read48(), {{3, "recv last packet data error for Server"}});
    add(Step::Final, Fault::SrvClose, E(6, noFinal, 1900, 1500));
    add(Step::Final, Fault::SrvSilent, E(6, noFinal, 32000, 30000));
    add(Step::Final, Fault::SrvGarbage,
        E(SCANID_ERR_SERVER_DATA, End(Read48(), {{3, "read card successful"}, {3, "unknown document kind"}}),
          1000));
    add(Step::Final, Fault::SrvShort, E(8, badFinal, 500));
    add(Step::Final, Fault::SrvOversized, E(1, full, 1000, 0, RecordCheck::Card));
    add(Step::Final, Fault::SrvFailure, E(8, badFinal, 500));

    // A cancel wherever the cycle waits: the pause after a failed open, the
    // heartbeat, the card wait, the connect, the server's answers, the
    // module's packets.
    const auto cancelled = [](const std::vector<Event> &before) { return matrix::Cancelled(before, &kBye); };
    add(Step::Open, Fault::Cancel, matrix::Cancelled({{3, "serial connect err"}}));
    add(Step::Heartbeat, Fault::Cancel, cancelled({{3, "serial connect successed"}}));
    add(Step::Detect, Fault::Cancel, cancelled(Opened()));
    add(Step::Connect, Fault::Cancel, cancelled(Join(Opened(), {{1, "find ID card"}})));
    add(Step::NoticeAnswer, Fault::Cancel, cancelled(Connected()));
    add(Step::Packet12, Fault::Cancel, cancelled(Connected()));
    add(Step::Packet3, Fault::Cancel, cancelled(Read48()));
    add(Step::Packet34, Fault::Cancel, cancelled(Read48()));
    add(Step::Packet5Server, Fault::Cancel, cancelled(Read48()));
    add(Step::Packet5Module, Fault::Cancel, cancelled(Read48()));
    for (int p : {6, 8, 16})
        add(matrix::Tail(p), Fault::Cancel, cancelled(Read48()));
    add(Step::Final, Fault::Cancel, cancelled(Read48()));
    return v;
}

sim::ModuleConfig ModuleConfig()
{
    sim::ModuleConfig c;
    c.stepLatencyMs = 5;
    return c;
}

class SerialFaultMatrix : public ::testing::TestWithParam<Cell> {
protected:
    void TearDown() override
    {
        const Cell &c = GetParam();
        matrix::SerialTable().Record(c.step, c.fault, {code, ms, !HasFailure()});
    }

    int code = 0;
    long long ms = 0;
};

TEST_P(SerialFaultMatrix, EndsAsExpectedAndLeavesNothingOpen)
{
    const Cell &c = GetParam();
    const sim::IdCard &card = sim::IdCards().at(0);
    idInfo rec;
    memset(&rec, 0, sizeof rec);
    std::string console, connected;

    const int fds = e2e::SteadyDescriptors();
    {
        sim::SerialModule module(ModuleConfig());
        ASSERT_TRUE(module.Ok()) << module.Error();
        sim::DecodeServer server;
        server.SetCache(false);
        ASSERT_TRUE(server.Start()) << server.LastError();

        matrix::CellServer peer(c, server.Port());
        const int port = peer.port;
        ASSERT_GT(port, 0) << "the connect step's listener could not be set up";
        connected = "Connect server: 127.0.0.1,port: " + std::to_string(port) + "  success";
        ASSERT_EQ(SetComInfo(module.SlavePath().c_str(), 115200), 0);
        ASSERT_EQ(SetServiceInfo("127.0.0.1", port), 0);
        CARD_SetReadInfoCB(e2e::OnEvent);
        module.Module().PlaceIdCard(card.serial);

        const Fault f = matrix::SetUpFault(c.fault, c.step);
        if (matrix::IsServerFault(f) && matrix::ServerStepOf(c.step) >= 0) {
            server.InjectFault(matrix::ServerStepOf(c.step), matrix::ServerFaultOf(f));
        } else if (!matrix::IsServerFault(f)) {
            const sim::ModuleFault mf = matrix::ModuleFaultOf(f);
            if (c.step == Step::Open)
                module.Vanish();
            else if (c.step == Step::Heartbeat)
                module.Module().InjectHeartbeatFault(mf, true);
            else
                module.Module().InjectFault(matrix::ModuleStepOf(c.step), mf);
        }

        matrix::CancelPlan cancel;
        const bool cancelling = c.fault == Fault::Cancel;
        // The card wait is long: it is cancelled once it has begun.
        if (cancelling)
            matrix::ArmCancel(cancel, c, matrix::IsServerFault(f) || c.step == Step::Open || c.step == Step::Detect,
                              [&] {
                                  return c.step == Step::Open || c.step == Step::Connect ||
                                         c.step == Step::Detect || server.FaultsInjected() > 0;
                              },
                              module.Module());
        const matrix::CycleRun run = matrix::RunCycle(&rec, CARDTYPE_SERIAL, cancelling ? &cancel : nullptr);
        module.Module().SetEventHandler(nullptr);
        code = run.code;
        ms = cancelling ? run.cancelMs : run.ms;
        console = run.console;

        EXPECT_EQ(g_IdCardMain.m_serial.iSerialFd, -1) << "serial port left open";
        EXPECT_EQ(g_IdCardMain.m_socket.iSocketFd, -1) << "server connection left open";
        if (!matrix::IsServerFault(f) && c.step != Step::Open && c.step != Step::Heartbeat) {
            EXPECT_EQ(module.Module().Stats().faultsApplied, 1) << "the fault never struck";
        }
        if (matrix::IsServerFault(f) && c.step != Step::Connect) {
            // The server's thread may take its packet after the cycle gave up.
            EXPECT_TRUE(server.WaitFaultsInjected(1, 5000)) << "the fault never struck";
        }
    }
    EXPECT_EQ(e2e::DescriptorsBackTo(fds), "") << "descriptors left open";
    matrix::CheckCell(c.expect, code, ms, console, rec, card, connected);
}

INSTANTIATE_TEST_SUITE_P(Cells, SerialFaultMatrix, ::testing::ValuesIn(SerialCells()), matrix::CellName);

} // namespace

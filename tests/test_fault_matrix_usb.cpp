// The USB half of the fault matrix: the real libusb-1.0 against the simulated
// module on the umockdev-emulated device, the simulated decode server on
// loopback (a fresh one per cell). The USB relay forwards every module frame
// the same way, whatever its place in the tail, so the tail is represented by
// packets 6 (the one with a status byte), 11 and 16 (the last).
#include <gtest/gtest.h>

#include <memory>

#include "UsbModule.h"
#include "fault_matrix.h"

namespace {

using e2e::Event;
using matrix::Cell;
using matrix::Expect;
using matrix::Fault;
using matrix::Join;
using matrix::RecordCheck;
using matrix::Step;

const Event kBye{3, "disconnect usb"};
const char kClosed[] = "iTcpRvcLen -1\n==============";
const char kQuiet[] = "iTcpRvcLen 0\n==============";

std::vector<Event> Opened() { return {{3, "usb connect ok"}, {2, "Detect the heart"}}; }
std::vector<Event> Connected() { return Join(Opened(), {{1, "find ID card"}, {3, matrix::kConnectedEvent}}); }

std::vector<Event> Sizes(std::vector<Event> events, std::initializer_list<int> sizes)
{
    for (int n : sizes)
        events.emplace_back(3, "[ReveServerSize:] " + std::to_string(n));
    return events;
}

std::vector<Event> End(std::vector<Event> events, const std::vector<Event> &tail = {})
{
    events = Join(std::move(events), tail);
    events.push_back(kBye);
    return events;
}

Expect E(int code, std::vector<Event> events, int limitMs, int minMs = 0, const char *console = "",
         RecordCheck record = RecordCheck::Untouched)
{
    Expect e;
    e.code = code;
    e.events = std::move(events);
    e.limitMs = limitMs;
    e.minMs = minMs;
    e.stdoutStart = console;
    e.record = record;
    return e;
}

// The relay ends only on the server: its failure notice (8), its decoded
// block (1), its closing (10 at once) or 3 s without anything usable (10).
Expect RelayTimeout(std::vector<Event> before) { return E(10, End(std::move(before)), 3500, 3000, kQuiet); }
Expect RelayClosed(std::vector<Event> before) { return E(10, End(std::move(before)), 800, 0, kClosed); }
Expect Refused(std::vector<Event> before)
{
    return E(8, End(Sizes(std::move(before), {17}), {{3, "Blue box Parse error"}}), 800);
}

// The module announces a card that nobody starts reading again after its
// interval; during the relay that is the module restarting the read. These
// cells give it 1.5 s, so that whatever the server sent before comes first
// even on a loaded machine.
constexpr int kRepeatAfterServerMs = 1500;
Expect Reannounced(std::vector<Event> before)
{
    return E(7, End(std::move(before), {{3, "Rereader MCU data"}}), kRepeatAfterServerMs + 400,
             kRepeatAfterServerMs);
}

// Server faults at one of its answers, after the sizes of the answers before.
void AddServerRow(std::vector<Cell> &v, Step s, const std::vector<Event> &before)
{
    const bool notice = s == Step::NoticeAnswer;
    const std::vector<Event> shortSize = Sizes(before, {notice ? 6 : 20});
    v.push_back({s, Fault::SrvClose, RelayClosed(before)});
    // Without the read-start the module sits idle and announces the card
    // again; later the exchange just stalls.
    v.push_back({s, Fault::SrvSilent, notice ? Reannounced(before) : RelayTimeout(before)});
    // Not starting with AA: dropped, as if nothing came.
    v.push_back({s, Fault::SrvGarbage, notice ? Reannounced(before) : RelayTimeout(before)});
    // A usable packet that is not the final answer goes to the module, which
    // has no use for it.
    v.push_back({s, Fault::SrvShort,
                 notice ? Reannounced(shortSize) : E(10, End(shortSize), 3500, 3000, kQuiet)});
    // Anything usable over 1200 bytes is the final answer, whatever it holds;
    // a step's packet padded with zeros has no known type letter: no card.
    v.push_back({s, Fault::SrvOversized,
                 E(SCANID_ERR_SERVER_DATA, End(Sizes(before, {1500}), {{3, "unknown document kind"}}), 800)});
    v.push_back({s, Fault::SrvFailure, Refused(before)});
}

// Module faults in the exchange: the relay checks nothing but the first
// byte, so the server's verdict decides. The server reads module packets as
// a stream of fixed lengths: a packet dropped (garbage) or one byte short is
// made up from the packets that follow it unasked (after packet 5), and the
// misaligned packet after it is refused; with nothing following, the server
// waits for the rest until the relay's 3 s are over.
void AddModuleRow(std::vector<Cell> &v, Step s, const std::vector<Event> &before, bool status, bool followed)
{
    v.push_back({s, Fault::ModSilent, RelayTimeout(before)});
    v.push_back({s, Fault::ModGarbage, followed ? Refused(before) : RelayTimeout(before)});
    v.push_back({s, Fault::ModLength, followed ? Refused(before) : RelayTimeout(before)});
    v.push_back({s, Fault::ModHeader, Refused(before)});
    if (status)
        v.push_back({s, Fault::ModStatus, Refused(before)});
    v.push_back({s, Fault::ModGone, RelayTimeout(before)});
}

std::vector<Cell> UsbCells()
{
    std::vector<Cell> v;
    auto add = [&v](Step s, Fault f, Expect e) { v.push_back(Cell{s, f, std::move(e)}); };
    const std::vector<Event> full = End(Sizes(Connected(), {7, 21, 21, 1299}));
    const std::vector<Event> noHeart = End({{3, "usb connect ok"}, {2, "NOT Detect the heart"}});

    // Unplugged before the cycle: nothing to open, a second's pause.
    add(Step::Open, Fault::ModGone, E(5, {{3, "usb connect err"}}, 1000, 1000));

    // Three tries of 50 ms; any answer at all will do.
    add(Step::Heartbeat, Fault::ModSilent, E(11, noHeart, 700, 150));
    add(Step::Heartbeat, Fault::ModGarbage, E(1, full, 1500, 0, "", RecordCheck::Card));
    add(Step::Heartbeat, Fault::ModLength, E(1, full, 1500, 0, "", RecordCheck::Card));
    add(Step::Heartbeat, Fault::ModHeader, E(1, full, 1500, 0, "", RecordCheck::Card));
    add(Step::Heartbeat, Fault::ModGone, E(11, noHeart, 700));

    // The module keeps announcing the card wrongly: no card within six
    // detection attempts or 2 s. A silent module costs one full 10 s read.
    add(Step::Detect, Fault::ModSilent, E(10, End(Opened()), 10300, 10000));
    add(Step::Detect, Fault::ModGarbage, E(10, End(Opened()), 2300));
    add(Step::Detect, Fault::ModLength, E(10, End(Opened()), 2300));
    add(Step::Detect, Fault::ModHeader, E(10, End(Opened()), 2300));
    add(Step::Detect, Fault::ModStatus, E(10, End(Opened()), 2300));
    add(Step::Detect, Fault::ModGone, E(10, End(Opened()), 300));

    // The primary fails, the standby (localhost:19977) is not there either.
    const std::vector<Event> noServer =
        End(Join(Opened(), {{1, "find ID card"},
                            {3, "Server connection failure, Connect the standby server"},
                            {3, "Server connection failure"}}));
    add(Step::Connect, Fault::SrvRefuse, E(3, noServer, 400));
    add(Step::Connect, Fault::SrvSilent, E(3, noServer, 1400, 1000));

    AddServerRow(v, Step::NoticeAnswer, Connected());
    AddModuleRow(v, Step::Packet12, Sizes(Connected(), {7}), false, false);
    AddServerRow(v, Step::Packet3, Sizes(Connected(), {7}));
    AddModuleRow(v, Step::Packet34, Sizes(Connected(), {7, 21}), true, false);
    AddServerRow(v, Step::Packet5Server, Sizes(Connected(), {7, 21}));
    AddModuleRow(v, Step::Packet5Module, Sizes(Connected(), {7, 21, 21}), true, true);

    // Packet 16 is the last: nothing follows it.
    const std::vector<Event> tail = Sizes(Connected(), {7, 21, 21});
    for (int p : {6, 11, 16})
        AddModuleRow(v, matrix::Tail(p), tail, p == 6, p < 16);

    // After its final answer the server half-closes: a garbled or short
    // answer ends the relay at the next receive.
    add(Step::Final, Fault::SrvClose, RelayClosed(tail));
    add(Step::Final, Fault::SrvSilent, RelayTimeout(tail));
    add(Step::Final, Fault::SrvGarbage, RelayClosed(tail));
    add(Step::Final, Fault::SrvShort, E(10, End(Sizes(tail, {1100})), 800, 0, kClosed));
    add(Step::Final, Fault::SrvOversized,
        E(1, End(Join(tail, {{3, "[ReveServerSize:] *"}})), 1500, 0, "", RecordCheck::Card));
    add(Step::Final, Fault::SrvFailure, Refused(tail));

    // A cancel wherever the cycle waits: the pause after a failed open, the
    // heartbeat, the card wait, the server connect, the relay waiting on
    // either peer.
    const auto cancelled = [](const std::vector<Event> &before) { return matrix::Cancelled(before, &kBye); };
    add(Step::Open, Fault::Cancel, matrix::Cancelled({{3, "usb connect err"}}));
    add(Step::Heartbeat, Fault::Cancel, cancelled({{3, "usb connect ok"}}));
    add(Step::Detect, Fault::Cancel, cancelled(Opened()));
    add(Step::Connect, Fault::Cancel, cancelled(Join(Opened(), {{1, "find ID card"}})));
    add(Step::NoticeAnswer, Fault::Cancel, cancelled(Connected()));
    add(Step::Packet12, Fault::Cancel, cancelled(Sizes(Connected(), {7})));
    add(Step::Packet3, Fault::Cancel, cancelled(Sizes(Connected(), {7})));
    add(Step::Packet34, Fault::Cancel, cancelled(Sizes(Connected(), {7, 21})));
    add(Step::Packet5Server, Fault::Cancel, cancelled(Sizes(Connected(), {7, 21})));
    add(Step::Packet5Module, Fault::Cancel, cancelled(Sizes(Connected(), {7, 21, 21})));
    for (int p : {6, 11, 16})
        add(matrix::Tail(p), Fault::Cancel, cancelled(tail));
    add(Step::Final, Fault::Cancel, cancelled(tail));
    return v;
}

// One emulated device per process, made before the library's first
// libusb_init; only this suite uses it, so the serial half runs without it.
sim::UsbModule *g_usb = nullptr;
constexpr int kAnnounceIntervalMs = 300;

class UsbFaultMatrix : public ::testing::TestWithParam<Cell> {
protected:
    static void SetUpTestSuite()
    {
        sim::ModuleConfig c;
        c.stepLatencyMs = 5;
        g_usb = new sim::UsbModule(c);
        // Whatever the emulation and libusb open once per process (worker
        // threads' wake-up descriptors, the hotplug monitor's first use) is
        // opened here, before the first cell counts descriptors.
        if (g_usb->Ok()) {
            {
                LinkUsb warm;
                (void)warm.ConnectUsb();
            }
            g_usb->Device().Remove();
            (void)EnsurePlugged();
        }
    }
    static void TearDownTestSuite()
    {
        delete g_usb;
        g_usb = nullptr;
    }

    void TearDown() override
    {
        const Cell &c = GetParam();
        matrix::UsbTable().Record(c.step, c.fault, {code, ms, !HasFailure()});
    }

    static sim::ReaderModule &Model() { return g_usb->Module(); }

    // Brings an unplugged module back once the library has let go of it.
    static bool EnsurePlugged()
    {
        if (g_usb->Device().Present())
            return true;
        if (!g_usb->Device().WaitFor([](const UsbModuleDevice::Stats &s) { return s.openClients == 0; }, 10000))
            return false;
        return g_usb->Replug();
    }

    int code = 0;
    long long ms = 0;
};

TEST_P(UsbFaultMatrix, EndsAsExpectedAndLeavesNothingOpen)
{
    const Cell &c = GetParam();
    ASSERT_TRUE(g_usb && g_usb->Ok()) << (g_usb ? g_usb->Error() : "no module");
    if (c.step == Step::Connect && std::string(SCANID_STANDBY_HOST) != "localhost")
        GTEST_SKIP() << "built with standby host " << SCANID_STANDBY_HOST;
    ASSERT_TRUE(EnsurePlugged()) << "the module did not come back";
    Model().RemoveCard();
    Model().ClearFaults();
    Model().SetHeartbeatAnswers(true);
    // Only the card wait and a read the server never starts meet a repeated
    // notice; elsewhere a repeat must not overtake the fault (a loaded
    // machine can take over 300 ms from the notice to the read-start).
    if (c.step == Step::Detect)
        Model().SetAnnounceInterval(kAnnounceIntervalMs);
    else
        Model().SetAnnounceInterval(c.expect.code == SCANID_ERR_MODULE ? kRepeatAfterServerMs : 60000);

    const sim::IdCard &card = sim::IdCards().at(1);
    idInfo rec;
    memset(&rec, 0, sizeof rec);
    std::string console, connected;

    const int fds = e2e::SteadyDescriptors();
    {
        sim::DecodeServer server;
        server.SetCache(false);
        ASSERT_TRUE(server.Start()) << server.LastError();
        std::unique_ptr<matrix::RefusingPort> noStandby;
        if (c.step == Step::Connect) {
            // Held, so that the standby fail-over is refused too.
            noStandby = std::make_unique<matrix::RefusingPort>(kStandbyPort, 60000);
            ASSERT_EQ(noStandby->Port(), kStandbyPort) << "the standby port stays busy";
        }
        matrix::CellServer peer(c, server.Port());
        const int port = peer.port;
        ASSERT_GT(port, 0) << "the connect step's listener could not be set up";
        connected = "ConncetServer Success,serverip :127.0.0.1,port:" + std::to_string(port);
        ASSERT_EQ(SetServiceInfo("127.0.0.1", port), 0);
        CARD_SetReadInfoCB(e2e::OnEvent);
        Model().PlaceIdCard(card.serial);
        const int appliedBefore = Model().Stats().faultsApplied;
        const Fault f = matrix::SetUpFault(c.fault, c.step);

        if (matrix::IsServerFault(f) && matrix::ServerStepOf(c.step) >= 0) {
            server.InjectFault(matrix::ServerStepOf(c.step), matrix::ServerFaultOf(f));
        } else if (!matrix::IsServerFault(f)) {
            const sim::ModuleFault mf = matrix::ModuleFaultOf(f);
            // Faults of the notice and the link check persist: the module
            // announces again and the heartbeat tries again.
            if (c.step == Step::Open)
                g_usb->Device().Remove();
            else if (c.step == Step::Heartbeat)
                Model().InjectHeartbeatFault(mf, true);
            else
                Model().InjectFault(matrix::ModuleStepOf(c.step), mf, c.step == Step::Detect);
        }

        matrix::CancelPlan cancel;
        const bool cancelling = c.fault == Fault::Cancel;
        // The notice's fault is set up as the heartbeat ends, before the card
        // wait: that one waits for its event.
        if (cancelling)
            matrix::ArmCancel(cancel, c, matrix::IsServerFault(f) || c.step == Step::Open || c.step == Step::Detect,
                              [&] {
                                  return c.step == Step::Open || c.step == Step::Connect ||
                                         server.FaultsInjected() > 0 ||
                                         (c.step == Step::Detect && Model().Stats().faultsApplied > appliedBefore);
                              },
                              Model());
        const matrix::CycleRun run = matrix::RunCycle(&rec, CARDTYPE_USB, cancelling ? &cancel : nullptr);
        Model().SetEventHandler(nullptr);
        code = run.code;
        ms = cancelling ? run.cancelMs : run.ms;
        console = run.console;

        EXPECT_EQ(g_IdCardMain.m_usb.pDevHandle, nullptr) << "USB handle left open";
        EXPECT_EQ(g_IdCardMain.m_usb.pUsbContext, nullptr) << "libusb context left open";
        EXPECT_EQ(g_IdCardMain.m_socket.iSocketFd, -1) << "server connection left open";
        EXPECT_TRUE(g_usb->Device().WaitFor([](const UsbModuleDevice::Stats &s) { return s.openClients == 0; }, 10000))
            << "the device still has a handle open";
        if (!matrix::IsServerFault(f) && c.step != Step::Open) {
            EXPECT_GE(Model().Stats().faultsApplied - appliedBefore, 1) << "the fault never struck";
        }
        if (matrix::IsServerFault(f) && c.step != Step::Connect) {
            // The server's thread may take its packet after the cycle gave up.
            EXPECT_TRUE(server.WaitFaultsInjected(1, 5000)) << "the fault never struck";
        }
        Model().ClearFaults();
        Model().RemoveCard();
    }
    // A cancel in the primary's connect comes before any fail-over.
    const bool fellBack = c.step == Step::Connect && c.fault != Fault::Cancel;
    if (fellBack) {
        // The fail-over stays in the reader object.
        EXPECT_STREQ(g_IdCardMain.m_szServerIp, "127.0.0.1");
        EXPECT_EQ(g_IdCardMain.m_iServerPort, kStandbyPort);
    }
    EXPECT_TRUE(EnsurePlugged()) << "the module did not come back";
    EXPECT_EQ(e2e::DescriptorsBackTo(fds), "") << "descriptors left open";
    matrix::CheckCell(c.expect, code, ms, console, rec, card, connected);
}

INSTANTIATE_TEST_SUITE_P(Cells, UsbFaultMatrix, ::testing::ValuesIn(UsbCells()), matrix::CellName);

} // namespace

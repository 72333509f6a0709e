// USB soak: thousands of read cycles through the real libusb-1.0 against the
// simulated module on the umockdev-emulated device and the simulated decode
// server on loopback; every card kind, the device's, module's and server's
// faults and the standby server mixed from a fixed seed; descriptors,
// threads and heap must stay where they started.
//
//   LD_PRELOAD=libumockdev-preload.so.0 soak_usb [--cycles=N] [--seed=S]
//   (or SCANID_SOAK_CYCLES, SCANID_SOAK_SEED)
#include <memory>

#include "DecodeServer.h"
#include "UsbModule.h"
#include "soak_support.h"

namespace {

using sim::CardKind;
using sim::ModuleFault;
using sim::ServerFault;

bool StandbyIsLocal() { return std::string(SCANID_STANDBY_HOST) == "localhost"; }

struct UsbRig {
    // umockdev keeps one testbed per process, and a testbed made anew does
    // not give everything back: one module for the whole run.
    sim::UsbModule module;
    std::unique_ptr<sim::DecodeServer> server;
    std::unique_ptr<sim::DecodeServer> standby; // only during the cycles that use it
    soak::RefusingPort refusing;

    explicit UsbRig(sim::ModuleConfig mc) : module(mc) {}
    sim::ReaderModule &Model() { return module.Module(); }
    UsbModuleDevice &Device() { return module.Device(); }
    void Place(size_t card) { Model().PlaceIdCard(sim::IdCards().at(card).serial); }

    void Renew()
    {
        server.reset();
        server = std::make_unique<sim::DecodeServer>();
        EXPECT_TRUE(server->Start()) << server->LastError();
    }
    void AfterCycle() { standby.reset(); }
    void Reset()
    {
        Model().RemoveCard();
        Model().ClearFaults();
        Model().SetHeartbeatAnswers(true);
        // A read must not meet a repeated notice: a loaded machine can take
        // longer than the usual 300 ms from the notice to the read-start.
        Model().SetAnnounceInterval(60000);
        Device().SetClaimFails(false);
        Device().SetConfigurationFails(false);
        Device().SetKernelDriver("");
        Device().SetOutFault(UsbModuleDevice::OutFault::None, 0, 0);
        server->ClearFaults();
        server->SetFinalAnswerLength(0);
        SetServiceInfo("127.0.0.1", server->Port());
    }
    // The model and the device each keep every OUT transfer for inspection.
    long long SimHeap()
    {
        return soak::HistoryHeap([this] { return Model().HostFrames(); }) +
               soak::HistoryHeap([this] { return Device().OutTransfers(); }, &outTransfers);
    }
    // Beyond those histories glibc shows the emulation's worker thread
    // gaining about 4 bytes per OUT transfer in its own arena (malloc_stats),
    // though neither valgrind nor ASan finds a block that grows. None of it
    // is on the calling thread, which is checked on its own.
    long long DriftBudget() const { return 8 * static_cast<long long>(outTransfers); }

    size_t outTransfers = 0;
};

using UsbCase = soak::Case<UsbRig>;
using soak::Expect;
using soak::Fails;
using soak::IdentityOf;
using soak::OtherOf;

UsbCase OtherCardCase(const char *name, CardKind kind, int weight)
{
    return {name, weight, 4000, [=](UsbRig &r, std::mt19937 &) {
                r.Model().PlaceCard(kind);
                return OtherOf(kind);
            }};
}

UsbCase FaultCase(const char *name, int weight, int limitMs, int result, std::function<void(UsbRig &)> fault)
{
    return {name, weight, limitMs, [=](UsbRig &r, std::mt19937 &rng) {
                r.server->ClearCache(); // a cached card skips the steps that fail
                r.Place(soak::DrawCard(rng));
                fault(r);
                return Fails(result);
            }};
}

std::vector<UsbCase> UsbCases()
{
    const int fast = 6000;
    std::vector<UsbCase> cases = {
        {"identity card (full read or cached)", 60, fast,
         [](UsbRig &r, std::mt19937 &rng) {
             if (rng() % 2)
                 r.server->ClearCache();
             size_t card = soak::DrawCard(rng);
             r.Place(card);
             return IdentityOf(card);
         }},
        {"identity card, final answer in two pieces", 4, fast,
         [](UsbRig &r, std::mt19937 &rng) {
             r.server->ClearCache();
             r.server->SetFinalAnswerLength(1250, 1);
             size_t card = soak::DrawCard(rng);
             r.Place(card);
             return IdentityOf(card);
         }},
        {"identity card, oversized final answer", 4, fast,
         [](UsbRig &r, std::mt19937 &rng) {
             r.server->ClearCache();
             r.server->InjectFault(sim::kStepFinal, ServerFault::Oversized);
             size_t card = soak::DrawCard(rng);
             r.Place(card);
             return IdentityOf(card);
         }},
        OtherCardCase("M1 card", CardKind::M1, 10),
        OtherCardCase("YCT transit card", CardKind::Yct, 10),
        OtherCardCase("card kind 3", CardKind::Kind3, 6),
        OtherCardCase("card kind 2", CardKind::Kind2, 6),
        {"kernel driver bound to the interface", 4, fast,
         [](UsbRig &r, std::mt19937 &rng) {
             r.Device().SetKernelDriver("usbhid");
             size_t card = soak::DrawCard(rng);
             r.Place(card);
             return IdentityOf(card);
         }},
        {"configuration request refused", 3, fast,
         [](UsbRig &r, std::mt19937 &) {
             r.Device().SetConfigurationFails(true);
             r.Model().PlaceCard(CardKind::Yct);
             return OtherOf(CardKind::Yct);
         }},
        {"heartbeat write stalls once", 3, fast,
         [](UsbRig &r, std::mt19937 &) {
             r.Device().SetOutFault(UsbModuleDevice::OutFault::Stall, 0, 1);
             r.Model().PlaceCard(CardKind::Kind3);
             return OtherOf(CardKind::Kind3);
         }},
        {"heartbeat write times out once", 3, fast,
         [](UsbRig &r, std::mt19937 &) {
             r.Device().SetOutFault(UsbModuleDevice::OutFault::Timeout, 0, 1);
             r.Model().PlaceCard(CardKind::M1);
             return OtherOf(CardKind::M1);
         }},
        {"module does not answer the heartbeat", 3, fast,
         [](UsbRig &r, std::mt19937 &rng) {
             r.Place(soak::DrawCard(rng));
             r.Model().SetHeartbeatAnswers(false);
             return Fails(SCANID_ERR_HEARTBEAT);
         }},
        {"interface cannot be claimed", 2, fast,
         [](UsbRig &r, std::mt19937 &) {
             r.Model().PlaceCard(CardKind::M1);
             r.Device().SetClaimFails(true);
             return Fails(SCANID_ERR_USB_OPEN);
         }},
        FaultCase("server: failure notice at packet 3", 3, fast, SCANID_ERR_SERVER_DATA,
                  [](UsbRig &r) { r.server->InjectFault(sim::kStepPacket3, ServerFault::FailureNotice); }),
        FaultCase("server: closes at packet 5", 3, fast, SCANID_NO_CARD,
                  [](UsbRig &r) { r.server->InjectFault(sim::kStepPacket5, ServerFault::Close); }),
        FaultCase("module: restarts the read at packets 3&4", 3, fast, SCANID_ERR_MODULE,
                  [](UsbRig &r) { r.Model().InjectFault(sim::kFaultStepPacket34, ModuleFault::RestartNotice); }),
        FaultCase("module: error frame for packets 1&2", 3, fast, SCANID_ERR_MODULE,
                  [](UsbRig &r) { r.Model().InjectFault(sim::kFaultStepPacket12, ModuleFault::ErrorFrame); }),
        FaultCase("server: final answer short", 2, fast, SCANID_NO_CARD,
                  [](UsbRig &r) { r.server->InjectFault(sim::kStepFinal, ServerFault::Short); }),
        // Endings on a time limit: slow, so rare.
        FaultCase("server: silent at the final answer", 1, 12000, SCANID_NO_CARD,
                  [](UsbRig &r) { r.server->InjectFault(sim::kStepFinal, ServerFault::Silence); }),
        {"no card", 1, 25000, [](UsbRig &, std::mt19937 &) { return Fails(SCANID_NO_CARD); }},
    };
    // The fail-over resolves the standby host; only a local one keeps the
    // traffic on this machine.
    if (StandbyIsLocal()) {
        cases.push_back({"server refuses, standby server reads the card", 3, fast,
                         [](UsbRig &r, std::mt19937 &rng) {
                             sim::ServerConfig sc;
                             sc.port = kStandbyPort;
                             r.standby = std::make_unique<sim::DecodeServer>(sc);
                             EXPECT_TRUE(r.standby->Start()) << r.standby->LastError();
                             SetServiceInfo("127.0.0.1", r.refusing.Port());
                             // The fail-over reads the card's next notice.
                             e2e::AnnounceAgainOnProbe(*r.standby, r.Model());
                             size_t card = soak::DrawCard(rng);
                             r.Place(card);
                             return IdentityOf(card);
                         }});
        cases.push_back({"server refuses, no standby server", 2, fast,
                         [](UsbRig &r, std::mt19937 &rng) {
                             SetServiceInfo("127.0.0.1", r.refusing.Port());
                             r.Place(soak::DrawCard(rng));
                             return Fails(SCANID_ERR_SERVER_CONNECT);
                         }});
    }
    return cases;
}

} // namespace

TEST(Soak, Usb)
{
    ASSERT_TRUE(UsbModuleDevice::PreloadActive()) << "run with LD_PRELOAD=libumockdev-preload.so.0";
    sim::ModuleConfig mc;
    mc.stepLatencyMs = 2;
    UsbRig rig(mc);
    ASSERT_TRUE(rig.module.Ok()) << rig.module.Error();
    ASSERT_GT(rig.refusing.Port(), 0);
    long cycles = soak::Opt().cycles > 0 ? soak::Opt().cycles : 650;
    soak::Run("USB", rig, CARDTYPE_USB, UsbCases(), cycles);
    EXPECT_TRUE(rig.Device().UnknownRequests().empty()) << "the library made requests the device does not know";
}

int main(int argc, char **argv) { return soak::Main(argc, argv); }

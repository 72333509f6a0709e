// Serial soak: thousands of read cycles through a real pseudo-terminal and
// the simulated decode server on loopback, every card kind and the module's
// and server's faults mixed from a fixed seed; descriptors, threads and heap
// must stay where they started.
//
//   soak_serial [--cycles=N] [--seed=S]   (or SCANID_SOAK_CYCLES, SCANID_SOAK_SEED)
#include <memory>

#include "DecodeServer.h"
#include "SerialModule.h"
#include "soak_support.h"

namespace {

using sim::ModuleFault;
using sim::ServerFault;

struct SerialRig {
    std::unique_ptr<sim::SerialModule> module;
    std::unique_ptr<sim::DecodeServer> server;
    soak::RefusingPort refusing;

    sim::ReaderModule &Model() { return module->Module(); }
    void Place(size_t card) { Model().PlaceIdCard(sim::IdCards().at(card).serial); }

    // Fresh simulators: both keep every byte they saw, for inspection.
    void Renew()
    {
        server.reset();
        module.reset();
        sim::ModuleConfig mc;
        mc.stepLatencyMs = 2;
        module = std::make_unique<sim::SerialModule>(mc);
        server = std::make_unique<sim::DecodeServer>();
        EXPECT_TRUE(module->Ok()) << module->Error();
        EXPECT_TRUE(server->Start()) << server->LastError();
    }
    void Reset()
    {
        Model().RemoveCard();
        Model().ClearFaults();
        Model().SetHeartbeatAnswers(true);
        server->ClearFaults();
        server->SetFinalAnswerLength(0);
        SetComInfo(module->SlavePath().c_str(), 115200);
        SetServiceInfo("127.0.0.1", server->Port());
    }
    // The simulated module notices a closed port only at its next poll, and
    // until then goes on writing what an abandoned exchange had left (the
    // tail behind packet 5); a port opened again at once would read that as
    // the next card's notice. A real line drops what arrives while the port
    // is closed, so wait until the simulation has seen the close.
    void AfterCycle()
    {
        for (int waited = 0; !Model().Quiet() && waited < 5000; waited++)
            usleep(1000);
        EXPECT_TRUE(Model().Quiet()) << "the module still writes 5 s after the port closed";
    }
    long long SimHeap() const { return 0; }
    long long DriftBudget() const { return 0; }
};

using SerialCase = soak::Case<SerialRig>;
using soak::Expect;
using soak::Fails;
using soak::IdentityOf;

// An identity card read that must end at the given step with `result`.
SerialCase ModuleFaultCase(const char *name, int step, ModuleFault fault, int result, int weight = 2)
{
    return {name, weight, 6000, [=](SerialRig &r, std::mt19937 &rng) {
                r.server->ClearCache(); // a cached card skips the module's steps
                r.Place(soak::DrawCard(rng));
                r.Model().InjectFault(step, fault);
                return Fails(result);
            }};
}

SerialCase ServerFaultCase(const char *name, int step, ServerFault fault, int result, int weight, int limitMs)
{
    return {name, weight, limitMs, [=](SerialRig &r, std::mt19937 &rng) {
                r.server->ClearCache();
                r.Place(soak::DrawCard(rng));
                r.server->InjectFault(step, fault);
                return Fails(result);
            }};
}

std::vector<SerialCase> SerialCases()
{
    const int fast = 6000, slow = 12000;
    return {
        {"identity card (full read or cached)", 40, fast,
         [](SerialRig &r, std::mt19937 &rng) {
             if (rng() % 2)
                 r.server->ClearCache();
             size_t card = soak::DrawCard(rng);
             r.Place(card);
             return IdentityOf(card);
         }},
        {"identity card, final answer in two pieces", 4, fast,
         [](SerialRig &r, std::mt19937 &rng) {
             r.server->ClearCache();
             r.server->SetFinalAnswerLength(1250, 1);
             size_t card = soak::DrawCard(rng);
             r.Place(card);
             return IdentityOf(card);
         }},
        {"identity card, oversized final answer", 3, fast,
         [](SerialRig &r, std::mt19937 &rng) {
             r.server->ClearCache();
             r.server->InjectFault(sim::kStepFinal, ServerFault::Oversized);
             size_t card = soak::DrawCard(rng);
             r.Place(card);
             return IdentityOf(card);
         }},
        {"IC card", 6, fast,
         [](SerialRig &r, std::mt19937 &) {
             r.Model().PlaceCard(sim::CardKind::IcCard);
             return Expect{SCANID_OTHERCARD, soak::Check::IcCard, 0, sim::CardKind::IcCard};
         }},
        {"server refuses the connection", 4, fast,
         [](SerialRig &r, std::mt19937 &rng) {
             r.Place(soak::DrawCard(rng));
             SetServiceInfo("127.0.0.1", r.refusing.Port());
             return Fails(SCANID_ERR_SERVER_CONNECT);
         }},
        {"port that does not exist", 2, fast,
         [](SerialRig &, std::mt19937 &) {
             SetComInfo("/dev/scanid-soak-no-such-port", 115200);
             return Fails(SCANID_ERR_SERIAL_OPEN);
         }},
        {"baud rate the port does not take", 2, fast,
         [](SerialRig &r, std::mt19937 &rng) {
             r.Place(soak::DrawCard(rng));
             SetComInfo(r.module->SlavePath().c_str(), 1200);
             return Fails(SCANID_ERR_SERIAL_OPEN);
         }},
        ServerFaultCase("server: first answer one byte short", sim::kStepNotice, ServerFault::Short,
                        SCANID_ERR_SERVER_DATA, 2, fast),
        ServerFaultCase("server: failure notice for the card", sim::kStepNotice, ServerFault::FailureNotice,
                        SCANID_ERR_SERVER_DATA, 2, fast),
        ServerFaultCase("server: packet 3 one byte short", sim::kStepPacket3, ServerFault::Short,
                        SCANID_ERR_SERVER_DATA, 2, fast),
        ServerFaultCase("server: packet 5 oversized", sim::kStepPacket5, ServerFault::Oversized,
                        SCANID_ERR_SERVER_DATA, 2, fast),
        ServerFaultCase("server: final answer short", sim::kStepFinal, ServerFault::Short,
                        SCANID_ERR_SERVER_DATA, 2, fast),
        ModuleFaultCase("module: packets 1&2 silent", sim::kFaultStepPacket12, ModuleFault::Silence,
                        SCANID_ERR_MODULE),
        ModuleFaultCase("module: packets 1&2 wrong header", sim::kFaultStepPacket12, ModuleFault::WrongHeader,
                        SCANID_ERR_MODULE),
        ModuleFaultCase("module: packets 3&4 wrong length", sim::kFaultStepPacket34, ModuleFault::WrongLength,
                        SCANID_ERR_MODULE),
        ModuleFaultCase("module: packets 3&4 wrong status", sim::kFaultStepPacket34, ModuleFault::WrongStatus,
                        SCANID_ERR_MODULE),
        ModuleFaultCase("module: packet 5 silent", sim::kFaultStepPacket5, ModuleFault::Silence,
                        SCANID_ERR_MODULE),
        ModuleFaultCase("module: packet 5 wrong status", sim::kFaultStepPacket5, ModuleFault::WrongStatus,
                        SCANID_ERR_INVALID),
        ModuleFaultCase("module: packet 6 wrong status", sim::kFaultStepTailFirst, ModuleFault::WrongStatus,
                        SCANID_ERR_INVALID),
        ModuleFaultCase("module: packet 7 wrong header", sim::kFaultStepTailFirst + 1, ModuleFault::WrongHeader,
                        SCANID_ERR_INVALID),
        ModuleFaultCase("module: packet 9 silent", sim::kFaultStepTailFirst + 3, ModuleFault::Silence,
                        SCANID_ERR_MODULE),
        ModuleFaultCase("module: packet 16 wrong length", sim::kFaultStepTailFirst + 10, ModuleFault::WrongLength,
                        SCANID_ERR_MODULE),
        // Endings on a time limit: slow, so rare.
        {"no card", 1, slow,
         [](SerialRig &, std::mt19937 &) { return Fails(SCANID_NO_CARD); }},
        {"module does not answer the heartbeat", 1, slow,
         [](SerialRig &r, std::mt19937 &rng) {
             r.Place(soak::DrawCard(rng));
             r.Model().SetHeartbeatAnswers(false);
             return Fails(SCANID_NO_CARD);
         }},
        ServerFaultCase("server: closes instead of the first answer", sim::kStepNotice, ServerFault::Close,
                        SCANID_ERR_FIRST_PACKET, 1, slow),
        ServerFaultCase("server: silent at packet 3", sim::kStepPacket3, ServerFault::Silence,
                        SCANID_ERR_SERVER_TIMEOUT, 1, slow),
        ServerFaultCase("server: closes at packet 5", sim::kStepPacket5, ServerFault::Close,
                        SCANID_ERR_SERVER_TIMEOUT, 1, slow),
        ServerFaultCase("server: closes at the final answer", sim::kStepFinal, ServerFault::Close,
                        SCANID_ERR_SERVER_TIMEOUT, 1, slow),
    };
}

} // namespace

TEST(Soak, Serial)
{
    SerialRig rig;
    ASSERT_GT(rig.refusing.Port(), 0);
    long cycles = soak::Opt().cycles > 0 ? soak::Opt().cycles : 600;
    soak::Run("serial", rig, CARDTYPE_SERIAL, SerialCases(), cycles);
}

int main(int argc, char **argv) { return soak::Main(argc, argv); }

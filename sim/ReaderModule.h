// Simulated reader module: what the module says and when, independent of the
// wire it sits on. SerialModule puts it behind a pseudo-terminal, UsbModule
// behind the emulated USB device; both feed it the host's bytes and carry its
// frames back through the sink.
//
// Behaviour (frames in Protocol.h):
//   link check        -> HeartbeatAnswer after stepLatencyMs; once that answer
//                        has gone out, card announcements are armed. It marks
//                        a new read cycle: a running exchange is dropped and
//                        the next read-start is no repeat. On a packet link
//                        a link check while armed and before any read-start
//                        is the host's retry: answered, not armed again
//   hardware restart  -> RestartAnswer; any exchange in progress is dropped
//   read-start        -> packets 1&2 (48 B) after stepLatencyMs, with a fresh
//                        nonce; a second read-start within kDuplicateWindowMs
//                        of the answered one is the host's repeat and ignored;
//                        with no identity card on the reader: the error frame
//   server packet 3   -> packets 3&4 (32 B) after stepLatencyMs
//   server packet 5   -> packet 5 (8 B) after stepLatencyMs and, straight
//                        behind it, the 11 tail packets 6..16
//   anything else     -> ignored (counted as unexpected)
//
// Announcements: a card on the reader is announced only while the host is
// connected, a heartbeat has been answered since it connected, and no
// exchange is running. The first goes out at once (on a packet link once the
// host has taken every frame before it). How it repeats depends on the link:
//   - packet link (USB), with a gate saying whether the last announcement is
//     still unread: again announceIntervalMs after the host took the last
//     one, never more than one waiting;
//   - stream link (serial): once per heartbeat. Bytes on a stream stay until
//     read, and a repeat would merge with a short frame (an IC card) or land
//     between the notice the host read and the read-start it is about to
//     send, shifting every later read. For the same reason a card placed
//     after this session's announcement waits for the next heartbeat.
// A finished or aborted exchange disarms the announcements until the next
// heartbeat: the host is still waiting for the server's final answer, and a
// notice read then would count as the module restarting the read. Every read
// cycle starts with a heartbeat, so a card left on the reader is read again
// by the next cycle.
//
// Faults: InjectFault(step, fault) strikes the next time `step` is reached,
// once; sticky faults strike every time until cleared with ModuleFault::None.
// Steps: 0 the card notice, 1 packets 1&2, 2 packets 3&4, 3 packet 5,
// 4..14 tail packets 6..16. Silence, RestartNotice and ErrorFrame end the
// exchange at that step (nothing after it is sent); the Wrong* faults alter
// the one frame and the exchange goes on. WrongStatus changes the 0x90
// status byte (byte 13 of packets 3&4, byte 5 otherwise). On the notice,
// WrongHeader changes byte 3 and WrongStatus byte 2. Garbage sends as many
// bytes as the frame, none of them a frame start where the frame has one;
// the exchange goes on. Vanish: the module disappears where the frame would
// have gone out (after what was scheduled before it); the link adapter's
// vanish handler does the unplugging, and nothing is sent after it.
// The link check's answer takes faults of its own (InjectHeartbeatFault):
// the same kinds, with WrongStatus on its byte 5. A garbled answer still
// arms the announcements: the module is alive, only its answer is wrong.
//
// Thread-safe. A worker thread sends every frame (in the order they were
// scheduled; on a stream, frames due together in one write) and the
// announcements; the sink and the event handler are
// called on it, or on the thread that called into the model, never with the
// model's lock held.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "Protocol.h"
#include "SimCards.h"

namespace sim {

struct ModuleConfig {
    int stepLatencyMs = 0;        // before each answer (heartbeat, 48, 32, 8)
    int announceIntervalMs = 300; // packet links: pause between announcements
    bool streamLink = false;      // host bytes are a stream (serial), not transfers
};

enum class ModuleFault {
    None,
    Silence,
    RestartNotice,
    ErrorFrame,
    WrongLength,
    WrongHeader,
    WrongStatus,
    Garbage,
    Vanish,
};

constexpr int kFaultStepNotice = 0;
constexpr int kFaultStepPacket12 = 1;
constexpr int kFaultStepPacket34 = 2;
constexpr int kFaultStepPacket5 = 3;
constexpr int kFaultStepTailFirst = 4;   // packet 6; packet n is step n - 2
constexpr int kFaultStepCount = kFaultStepTailFirst + static_cast<int>(proto::kTailCount);

// The host writes the read-start twice, back to back; on a loaded machine
// the second may come a good while after the first.
constexpr int kDuplicateWindowMs = 1000;

// "none", "silence", "restart", "error", "length", "header", "status",
// "garbage", "gone".
const char *FaultName(ModuleFault fault);
bool ParseModuleFault(const char *text, ModuleFault *fault);

struct ModuleStats {
    int heartbeats = 0;        // link checks answered
    int restarts = 0;          // hardware restarts answered
    int announcements = 0;     // notices and other cards' frames sent
    int exchangesStarted = 0;
    int exchangesCompleted = 0; // the whole tail sent
    int exchangesAborted = 0;   // ended by a fault, a restart, the host leaving
    int duplicateReadStarts = 0;
    int unexpectedFrames = 0;
    int faultsApplied = 0;
    int vanished = 0;           // times the module left its link by a fault
    int framesSent = 0;
};

class ReaderModule {
public:
    using Sink = std::function<void(const proto::Bytes &frame)>;
    // True while the last announcement still waits unread on the link.
    using AnnounceGate = std::function<bool()>;
    using EventHandler = std::function<void(const std::string &line)>;
    // Takes the module off its link (unplug, hang up); called on the worker
    // thread without the model's lock held.
    using VanishHandler = std::function<void()>;

    explicit ReaderModule(ModuleConfig config = {});
    ~ReaderModule();
    ReaderModule(const ReaderModule &) = delete;
    ReaderModule &operator=(const ReaderModule &) = delete;

    void SetSink(Sink sink);
    void SetAnnounceGate(AnnounceGate gate);
    // One line per thing that happens (card placed, exchange started, ...).
    void SetEventHandler(EventHandler handler);
    void SetVanishHandler(VanishHandler handler);

    // The host opened (true) or closed (false) the line or interface.
    // Closing drops whatever was still scheduled and disarms announcements.
    void HostConnected(bool connected);
    bool IsHostConnected() const;
    // Bytes the host wrote: a piece of the stream, or one whole transfer.
    void OnHostBytes(const uint8_t *data, size_t len);

    // serial: kSerialLen bytes.
    void PlaceIdCard(const uint8_t *serial);
    void PlaceCard(CardKind kind);
    void RemoveCard();
    bool CardPresent() const;

    // Off: link checks go unanswered (a dead module). Restarts still answer.
    void SetHeartbeatAnswers(bool on);
    void SetStepLatency(int ms);
    // Packet links: the pause between announcements from now on. A test whose
    // cycle must not meet a repeat (a loaded machine can take longer than the
    // usual 300 ms between taking a notice and sending the read-start) sets
    // it longer than the cycle.
    void SetAnnounceInterval(int ms);
    // Packet links: announces the card once more as soon as the host has
    // taken the last notice, whatever the interval, for a test that needs
    // the repeat at a point of the host's own progress rather than on a
    // timer a slow host could outrun.
    void AnnounceAgain();
    void InjectFault(int step, ModuleFault fault, bool sticky = false);
    // Strikes the answer to the next link check (every one while sticky).
    void InjectHeartbeatFault(ModuleFault fault, bool sticky = false);
    // Both kinds.
    void ClearFaults();

    // The host has gone, nothing is scheduled and no frame is being written:
    // nothing of this session can reach the host's next one any more.
    bool Quiet() const;

    std::vector<proto::Bytes> HostFrames() const;
    ModuleStats Stats() const;
    // Waits until pred(Stats()) holds, at most timeoutMs.
    bool WaitFor(const std::function<bool(const ModuleStats &)> &pred, int timeoutMs) const;

private:
    using Clock = std::chrono::steady_clock;

    enum class Phase { Idle, AwaitPacket3, AwaitPacket5 };

    struct Outgoing {
        Clock::time_point at;
        proto::Bytes frame;
        bool arms;       // a heartbeat answer: arms announcements once sent
        bool announcement;
        uint64_t epoch;  // dropped if the host left after it was scheduled
        bool vanish = false; // no frame: the module leaves its link here
        Clock::time_point until; // a vanish waits for the gate up to then
    };

    void HandleFrameLocked(const proto::Bytes &frame, std::vector<std::string> &events);
    void ScheduleLocked(proto::Bytes frame, int delayMs, bool arms = false, bool announcement = false);
    // Applies the fault of `step` to `frame`; false when nothing is to be sent
    // for it and the exchange ends here.
    bool ApplyFaultLocked(int step, proto::Bytes &frame, std::vector<std::string> &events);
    // The frame-altering faults; statusAt is the status byte's offset.
    static void DisturbFrame(ModuleFault fault, size_t statusAt, proto::Bytes &frame);
    void ScheduleVanishLocked(int delayMs);
    void AbortExchangeLocked(const char *why, std::vector<std::string> &events);
    void ResetLinkStateLocked();
    void AllowAnnouncementLocked();
    proto::Bytes AnnouncementLocked() const;
    bool AnnouncementDueLocked(Clock::time_point now);
    proto::Bytes TailPacket(size_t index) const;
    void Emit(const std::vector<std::string> &events);
    void Run();

    ModuleConfig m_config;
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_cv;
    std::thread m_worker;
    bool m_stopping = false;
    bool m_writing = false; // the worker is in the sink, the lock let go

    Sink m_sink;
    AnnounceGate m_gate;
    EventHandler m_events;
    VanishHandler m_vanish;

    bool m_connected = false;
    bool m_armed = false;
    bool m_answerHeartbeats = true;
    uint64_t m_epoch = 0;

    CardKind m_cardKind = CardKind::IdCard;
    bool m_cardPresent = false;
    uint8_t m_serial[proto::kSerialLen] = {};

    // Announcements since arming: streams announce once; packet links wait
    // for the gate to report the last one taken, then the interval.
    bool m_announcedSinceArm = false;
    bool m_announceOutstanding = false;
    bool m_repeatWanted = false; // AnnounceAgain()
    Clock::time_point m_lastTaken;

    Phase m_phase = Phase::Idle;
    Clock::time_point m_readStartAt;
    bool m_readStartSeen = false;
    uint8_t m_nonce[proto::kNonceLen] = {};
    std::mt19937 m_rng;

    ModuleFault m_faults[kFaultStepCount] = {};
    bool m_sticky[kFaultStepCount] = {};
    ModuleFault m_heartbeatFault = ModuleFault::None;
    bool m_heartbeatSticky = false;

    proto::Bytes m_pending; // stream: bytes of a frame not complete yet
    Clock::time_point m_pendingSince;
    std::deque<Outgoing> m_out;
    std::vector<proto::Bytes> m_hostFrames;
    ModuleStats m_stats;
};

// Commands that drive a module, for the tool and the preload library; one
// per line, or several on a line separated by ';':
//   place id N                  identity card N of IdCards(), from 1
//   place unknown               the document of UnknownDocument()
//   place m1|yct|kind3|kind2|ic another kind of card
//   remove
//   wait MS
//   fault STEP KIND [sticky]    KIND as ParseModuleFault; STEP 0..14, or
//                               heartbeat for the link check's answer
//   latency MS                  step latency from now on
//   repeat                      start the script over (scripts only)
//   quit
// Blank lines and lines starting with '#' do nothing.
class ModuleScript {
public:
    enum class Result { Ok, Quit, Repeat, Error };
    using Say = std::function<void(const std::string &line)>;

    explicit ModuleScript(ReaderModule &module) : m_module(module) {}

    // Splits text into commands and checks each; false with the first bad
    // command's complaint in *error. Nothing of a bad script is kept.
    bool Load(const std::string &text, std::string *error);
    // Runs the loaded commands on the calling thread until the end, quit or
    // Stop(); `repeat` starts over. True when it ended with quit.
    bool Run(const Say &say = nullptr);
    // One command now. *message gets the complaint of an Error.
    Result Execute(const std::string &command, std::string *message, const Say &say = nullptr);
    // From any thread: ends Run and any wait at once.
    void Stop();
    bool Stopped() const;

    static std::vector<std::string> Split(const std::string &text);

private:
    // Checks the command and, when `run`, carries it out.
    Result Apply(const std::string &command, std::string *message, const Say &say, bool run);
    // False when stopped meanwhile.
    bool Wait(int ms);

    ReaderModule &m_module;
    std::vector<std::string> m_commands;
    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_stopped = false;
};

} // namespace sim

// Simulated decode server: a real TCP server on 127.0.0.1 that carries out
// the identity-card exchange of Protocol.h with whatever relays it (the
// library, or a test playing the module), answers cards it has read recently
// from its cache at once, and injects faults on request.
//
// One thread accepts and serves clients one after another. A client that
// stays silent is dropped after moduleWaitMs, so it cannot hold up the next
// one. After its last answer (final answer or failure notice) a connection
// is half-closed and lingers up to moduleWaitMs for the client to close it,
// so the client reads the answer before the end and never a reset; one held
// open on purpose (Silence) stays until the client closes it or Stop().
// Both are watched by the same thread while it serves the next client.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "Protocol.h"

namespace sim {

struct ServerConfig {
    uint16_t port = 0;          // 0: an ephemeral port
    int latencyMs = 0;          // delay before every answer
    bool cache = true;
    int cacheTtlMs = 600000;
    int moduleWaitMs = 5000;    // longest wait for each expected module packet
};

// Where a fault strikes: the answer to the notice, packet 3, packet 5, the
// final answer. A cached card's answer to the notice is step 0.
constexpr int kStepNotice = 0;
constexpr int kStepPacket3 = 1;
constexpr int kStepPacket5 = 2;
constexpr int kStepFinal = 3;
constexpr int kStepCount = 4;

// Every fault but Silence comes after the latency. Short, Oversized and
// Garbage do not end the exchange (the server goes on waiting for the
// module), but the read then neither counts as completed nor enters the cache.
enum class ServerFault {
    None,
    Close,          // close the connection instead of answering
    Silence,        // answer nothing; keep the connection until the client closes
    FailureNotice,  // the 17-byte failure notice, then close
    Short,          // one byte short; a final answer is cut to the short final length
    Oversized,      // the answer followed by filler: 1500 bytes, a final answer 70000
    Garbage,        // as many bytes as the answer, not starting with AA
};

constexpr size_t kDefaultShortFinalLen = 1100;
constexpr size_t kOversizedStepLen = 1500;
constexpr size_t kOversizedFinalLen = 70000;

const char *FaultName(ServerFault fault);
// "close", "silence", "failure", "short", "oversized", "garbage", "none".
bool ParseFault(const char *text, ServerFault *fault);

// How the exchange on one connection ended, as far as the server goes.
enum class SessionOutcome {
    Running,        // still in the exchange
    ClientClosed,   // the client closed before the exchange ended
    ReadCompleted,  // full exchange, final answer sent
    CachedAnswer,   // final answer sent at once from the cache
    Failed,         // unknown card or failed verification: failure notice sent
    Faulted,        // an injected fault ended or derailed the exchange
    TimedOut,       // module data did not arrive within moduleWaitMs
    Stopped,        // the server was stopped meanwhile
};

const char *OutcomeName(SessionOutcome outcome);

struct ConnectionRecord {
    proto::Bytes received;            // every byte from the client, in order
    std::vector<proto::Bytes> sent;   // one entry per send()
    SessionOutcome outcome = SessionOutcome::Running;
    bool closed = false;              // the server has closed its descriptor
};

// Receives one line of text per connection, read, fault and failure; called
// on the server's thread.
using ServerEventFn = void (*)(void *user, const char *line);

class DecodeServer {
public:
    explicit DecodeServer(ServerConfig config = {});
    ~DecodeServer();
    DecodeServer(const DecodeServer &) = delete;
    DecodeServer &operator=(const DecodeServer &) = delete;

    // Binds 127.0.0.1:port and serves in a thread. False (reason in
    // LastError) when the port cannot be bound or the server already runs.
    bool Start();
    // Closes the listening socket and every connection; idempotent.
    void Stop();
    bool Running() const;
    uint16_t Port() const;
    std::string LastError() const;

    // A fault strikes the next exchange that reaches the step, once; a
    // sticky fault strikes every exchange until cleared. ServerFault::None
    // clears the step.
    void InjectFault(int step, ServerFault fault, bool sticky = false);
    void ClearFaults();
    void SetShortFinalLength(size_t len);
    // Sends a final answer in two parts: the first firstLen bytes, then the
    // rest after pauseMs. 0 (or the whole length) sends it in one piece. A
    // secondLen makes it three: firstLen, then secondLen, then the rest, each
    // after pauseMs.
    void SetFinalAnswerLength(size_t firstLen, int pauseMs = 5, size_t secondLen = 0);
    void SetLatency(int ms);
    void SetCache(bool on);
    void ClearCache();
    void SetEventSink(ServerEventFn fn, void *user);

    // Observation.
    int ConnectionsAccepted() const;
    std::vector<ConnectionRecord> Connections() const;
    ConnectionRecord Connection(int index) const;   // empty record if none
    int PacketsSent() const;
    int CompletedReads() const;   // full exchanges and cached answers
    int CachedAnswers() const;
    int FailureNoticesSent() const;
    int FaultsInjected() const;
    // Waits until `count` faults have struck; false if fewer did by then, or
    // more.
    bool WaitFaultsInjected(int count, int timeoutMs) const;
    // Waits until the first `count` connections have left Running.
    bool WaitSettled(int count, int timeoutMs) const;

private:
    struct Session;
    enum class Io { Ok, Closed, TimedOut, Stopped };

    void Run();
    void Serve(int fd, int index);
    void Exchange(Session &s);
    Io ReadExact(Session &s, size_t len, proto::Bytes &out);
    Io Pause(int ms);
    Io SendPacket(Session &s, const uint8_t *data, size_t len);
    // Answers at `step` honouring any fault; false ends the exchange.
    bool Answer(Session &s, int step, const proto::Bytes &packet, bool final);
    bool Fail(Session &s, const char *why);
    bool EndOnIo(Session &s, Io io, const char *waitingFor);
    ServerFault TakeFault(int step);
    void ReleaseParked(size_t i);
    void Note(const char *fmt, ...) __attribute__((format(printf, 2, 3)));
    bool IsCached(const uint8_t *serial);
    void Count(int *counter);

    struct Parked {
        int fd;
        int index;
        int64_t deadline;   // < 0: held until the client closes
    };

    ServerConfig m_config;
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::thread m_thread;
    std::atomic<bool> m_stopping{false};
    bool m_running = false;
    int m_listenFd = -1;
    int m_wakeFd = -1;
    int m_currentFd = -1;
    uint16_t m_port = 0;
    std::string m_error;

    ServerFault m_faults[kStepCount] = {};
    bool m_sticky[kStepCount] = {};
    size_t m_shortFinalLen = kDefaultShortFinalLen;
    size_t m_finalFirstLen = 0;
    size_t m_finalSecondLen = 0;
    int m_finalPauseMs = 5;
    std::map<uint64_t, int64_t> m_cache;    // serial -> time of its last read
    ServerEventFn m_sink = nullptr;
    void *m_sinkUser = nullptr;

    std::vector<ConnectionRecord> m_records;
    int m_packetsSent = 0;
    int m_completed = 0;
    int m_cached = 0;
    int m_failures = 0;
    int m_faultCount = 0;

    std::vector<Parked> m_parked;   // server thread only
    std::mt19937 m_rng;             // server thread only
};

} // namespace sim

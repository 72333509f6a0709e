#include "DecodeServer.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "SimCards.h"

namespace sim {

namespace {

int64_t NowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

uint64_t SerialKey(const uint8_t *serial)
{
    uint64_t k = 0;
    for (size_t i = 0; i < proto::kSerialLen; i++)
        k = (k << 8) | serial[i];
    return k;
}

void SerialHex(const uint8_t *serial, char *out /* 17 */)
{
    for (size_t i = 0; i < proto::kSerialLen; i++)
        snprintf(out + 2 * i, 3, "%02X", serial[i]);
}

} // namespace

const char *FaultName(ServerFault fault)
{
    switch (fault) {
    case ServerFault::None: return "none";
    case ServerFault::Close: return "close";
    case ServerFault::Silence: return "silence";
    case ServerFault::FailureNotice: return "failure";
    case ServerFault::Short: return "short";
    case ServerFault::Oversized: return "oversized";
    case ServerFault::Garbage: return "garbage";
    }
    return "?";
}

bool ParseFault(const char *text, ServerFault *fault)
{
    static const ServerFault all[] = {ServerFault::None, ServerFault::Close, ServerFault::Silence,
                                      ServerFault::FailureNotice, ServerFault::Short,
                                      ServerFault::Oversized, ServerFault::Garbage};
    for (ServerFault f : all) {
        if (strcmp(text, FaultName(f)) == 0) {
            *fault = f;
            return true;
        }
    }
    return false;
}

const char *OutcomeName(SessionOutcome outcome)
{
    switch (outcome) {
    case SessionOutcome::Running: return "running";
    case SessionOutcome::ClientClosed: return "client closed";
    case SessionOutcome::ReadCompleted: return "read completed";
    case SessionOutcome::CachedAnswer: return "cached answer";
    case SessionOutcome::Failed: return "failed";
    case SessionOutcome::Faulted: return "faulted";
    case SessionOutcome::TimedOut: return "timed out";
    case SessionOutcome::Stopped: return "stopped";
    }
    return "?";
}

struct DecodeServer::Session {
    enum class After { Close, Linger, Hold };

    int fd = -1;
    int index = 0;
    proto::Bytes pending;   // received but not yet taken by the exchange
    SessionOutcome outcome = SessionOutcome::Running;
    After after = After::Close;
    bool derailed = false;  // a garbled answer went out; the read cannot count
};

DecodeServer::DecodeServer(ServerConfig config) : m_config(config), m_rng(std::random_device{}())
{
}

DecodeServer::~DecodeServer()
{
    Stop();
}

bool DecodeServer::Start()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_running) {
        m_error = "already running";
        return false;
    }
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        m_error = std::string("socket: ") + strerror(errno);
        return false;
    }
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(m_config.port);
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(fd, 16) != 0) {
        char port[8];
        snprintf(port, sizeof port, "%u", m_config.port);
        m_error = std::string("cannot listen on 127.0.0.1:") + port + ": " + strerror(errno);
        close(fd);
        return false;
    }
    socklen_t n = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &n);
    int wake = eventfd(0, EFD_CLOEXEC);
    if (wake < 0) {
        m_error = std::string("eventfd: ") + strerror(errno);
        close(fd);
        return false;
    }
    m_listenFd = fd;
    m_wakeFd = wake;
    m_port = ntohs(a.sin_port);
    m_error.clear();
    m_stopping = false;
    m_running = true;
    m_thread = std::thread(&DecodeServer::Run, this);
    return true;
}

void DecodeServer::Stop()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_running)
            return;
        m_stopping = true;
        uint64_t one = 1;
        if (write(m_wakeFd, &one, sizeof one) < 0)
            perror("eventfd write");
        // Wakes a send blocked on a client that does not read.
        if (m_currentFd >= 0)
            shutdown(m_currentFd, SHUT_RDWR);
    }
    m_thread.join();
    std::lock_guard<std::mutex> lock(m_mutex);
    close(m_listenFd);
    close(m_wakeFd);
    m_listenFd = -1;
    m_wakeFd = -1;
    m_running = false;
    m_changed.notify_all();
}

bool DecodeServer::Running() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_running;
}

uint16_t DecodeServer::Port() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_port;
}

std::string DecodeServer::LastError() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_error;
}

void DecodeServer::InjectFault(int step, ServerFault fault, bool sticky)
{
    if (step < 0 || step >= kStepCount)
        return;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_faults[step] = fault;
    m_sticky[step] = sticky && fault != ServerFault::None;
}

void DecodeServer::ClearFaults()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (int i = 0; i < kStepCount; i++) {
        m_faults[i] = ServerFault::None;
        m_sticky[i] = false;
    }
}

void DecodeServer::SetShortFinalLength(size_t len)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_shortFinalLen = len;
}

void DecodeServer::SetFinalAnswerLength(size_t firstLen, int pauseMs, size_t secondLen)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_finalFirstLen = firstLen;
    m_finalSecondLen = secondLen;
    m_finalPauseMs = std::max(0, pauseMs);
}

void DecodeServer::SetLatency(int ms)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_config.latencyMs = std::max(0, ms);
}

void DecodeServer::SetCache(bool on)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_config.cache = on;
}

void DecodeServer::ClearCache()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_cache.clear();
}

void DecodeServer::SetEventSink(ServerEventFn fn, void *user)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sink = fn;
    m_sinkUser = user;
}

int DecodeServer::ConnectionsAccepted() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<int>(m_records.size());
}

std::vector<ConnectionRecord> DecodeServer::Connections() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_records;
}

ConnectionRecord DecodeServer::Connection(int index) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (index < 0 || index >= static_cast<int>(m_records.size()))
        return ConnectionRecord();
    return m_records[index];
}

int DecodeServer::PacketsSent() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_packetsSent;
}

int DecodeServer::CompletedReads() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_completed;
}

int DecodeServer::CachedAnswers() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_cached;
}

int DecodeServer::FailureNoticesSent() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_failures;
}

int DecodeServer::FaultsInjected() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_faultCount;
}

bool DecodeServer::WaitFaultsInjected(int count, int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_faultCount >= count; }) &&
           m_faultCount == count;
}

bool DecodeServer::WaitSettled(int count, int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        if (static_cast<int>(m_records.size()) < count)
            return false;
        for (int i = 0; i < count; i++)
            if (m_records[i].outcome == SessionOutcome::Running)
                return false;
        return true;
    });
}

void DecodeServer::Note(const char *fmt, ...)
{
    ServerEventFn fn;
    void *user;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        fn = m_sink;
        user = m_sinkUser;
    }
    if (!fn)
        return;
    char line[256];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    fn(user, line);
}

void DecodeServer::Count(int *counter)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    ++*counter;
}

bool DecodeServer::IsCached(const uint8_t *serial)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_config.cache)
        return false;
    auto it = m_cache.find(SerialKey(serial));
    return it != m_cache.end() && NowMs() - it->second < m_config.cacheTtlMs;
}

ServerFault DecodeServer::TakeFault(int step)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    ServerFault f = m_faults[step];
    if (f != ServerFault::None) {
        ++m_faultCount;
        m_changed.notify_all();
        if (!m_sticky[step])
            m_faults[step] = ServerFault::None;
    }
    return f;
}

void DecodeServer::Run()
{
    for (;;) {
        std::vector<pollfd> fds;
        fds.push_back({m_listenFd, POLLIN, 0});
        fds.push_back({m_wakeFd, POLLIN, 0});
        int64_t now = NowMs();
        int timeout = -1;
        for (const Parked &p : m_parked) {
            fds.push_back({p.fd, POLLIN, 0});
            if (p.deadline >= 0) {
                int left = static_cast<int>(std::max<int64_t>(0, p.deadline - now));
                timeout = timeout < 0 ? left : std::min(timeout, left);
            }
        }
        int r = poll(fds.data(), fds.size(), timeout);
        if (r < 0 && errno != EINTR) {
            perror("poll");
            break;
        }
        if (m_stopping)
            break;
        // Back to front, so that releasing one keeps the others' places.
        now = NowMs();
        for (size_t i = m_parked.size(); i-- > 0;) {
            const Parked &p = m_parked[i];
            if (fds[2 + i].revents) {
                uint8_t buf[4096];
                ssize_t n = recv(p.fd, buf, sizeof buf, 0);
                if (n > 0) {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    proto::Bytes &rec = m_records[p.index].received;
                    rec.insert(rec.end(), buf, buf + n);
                } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
                    ReleaseParked(i);
                    continue;
                }
            }
            if (p.deadline >= 0 && now >= p.deadline)
                ReleaseParked(i);
        }
        if (fds[0].revents & POLLIN) {
            int fd = accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                int index;
                {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    index = static_cast<int>(m_records.size());
                    m_records.emplace_back();
                    m_currentFd = fd;
                    m_changed.notify_all();
                }
                Serve(fd, index);
            } else if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // The pending connection stays queued; retrying at once would spin.
                Pause(100);
            }
        }
    }
    while (!m_parked.empty())
        ReleaseParked(m_parked.size() - 1);
}

void DecodeServer::ReleaseParked(size_t i)
{
    Parked p = m_parked[i];
    m_parked.erase(m_parked.begin() + static_cast<long>(i));
    close(p.fd);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_records[p.index].closed = true;
    m_changed.notify_all();
}

void DecodeServer::Serve(int fd, int index)
{
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // A client that stops reading must not hold the server forever.
    timeval tv{};
    tv.tv_sec = 5;
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);

    sockaddr_in peer{};
    socklen_t n = sizeof peer;
    getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &n);
    char host[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &peer.sin_addr, host, sizeof host);
    Note("connection %d from %s:%u", index, host, ntohs(peer.sin_port));

    Session s;
    s.fd = fd;
    s.index = index;
    Exchange(s);
    if (m_stopping && s.after != Session::After::Close) {
        s.outcome = s.outcome == SessionOutcome::Running ? SessionOutcome::Stopped : s.outcome;
        s.after = Session::After::Close;
    }
    if (s.outcome == SessionOutcome::Running)
        s.outcome = SessionOutcome::Stopped;

    std::lock_guard<std::mutex> lock(m_mutex);
    m_currentFd = -1;
    m_records[index].outcome = s.outcome;
    if (s.after == Session::After::Close) {
        close(fd);
        m_records[index].closed = true;
    } else {
        // Lingering lets the client read the last answer before it sees the
        // end; closing with its unread data would reset the connection.
        if (s.after == Session::After::Linger)
            shutdown(fd, SHUT_WR);
        int64_t deadline = s.after == Session::After::Hold ? -1 : NowMs() + m_config.moduleWaitMs;
        m_parked.push_back({fd, index, deadline});
    }
    m_changed.notify_all();
}

DecodeServer::Io DecodeServer::ReadExact(Session &s, size_t len, proto::Bytes &out)
{
    int waitMs;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        waitMs = m_config.moduleWaitMs;
    }
    int64_t deadline = NowMs() + waitMs;
    while (s.pending.size() < len) {
        int64_t left = deadline - NowMs();
        if (left <= 0)
            return Io::TimedOut;
        pollfd fds[2] = {{s.fd, POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
        int r = poll(fds, 2, static_cast<int>(left));
        if (m_stopping)
            return Io::Stopped;
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            continue;   // the deadline decides
        uint8_t buf[4096];
        ssize_t n = recv(s.fd, buf, sizeof buf, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            return Io::Closed;
        s.pending.insert(s.pending.end(), buf, buf + n);
        std::lock_guard<std::mutex> lock(m_mutex);
        proto::Bytes &rec = m_records[s.index].received;
        rec.insert(rec.end(), buf, buf + n);
    }
    out.assign(s.pending.begin(), s.pending.begin() + static_cast<long>(len));
    s.pending.erase(s.pending.begin(), s.pending.begin() + static_cast<long>(len));
    return Io::Ok;
}

DecodeServer::Io DecodeServer::Pause(int ms)
{
    if (ms <= 0)
        return m_stopping ? Io::Stopped : Io::Ok;
    int64_t deadline = NowMs() + ms;
    for (;;) {
        int64_t left = deadline - NowMs();
        if (m_stopping)
            return Io::Stopped;
        if (left <= 0)
            return Io::Ok;
        pollfd p = {m_wakeFd, POLLIN, 0};
        poll(&p, 1, static_cast<int>(left));
    }
}

DecodeServer::Io DecodeServer::SendPacket(Session &s, const uint8_t *data, size_t len)
{
    // One send per packet: the library takes one receive as one packet.
    ssize_t n = send(s.fd, data, len, MSG_NOSIGNAL);
    if (m_stopping)
        return Io::Stopped;
    if (n != static_cast<ssize_t>(len))
        return Io::Closed;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_records[s.index].sent.emplace_back(data, data + len);
    ++m_packetsSent;
    return Io::Ok;
}

bool DecodeServer::EndOnIo(Session &s, Io io, const char *waitingFor)
{
    switch (io) {
    case Io::Ok:
        return false;
    case Io::Closed:
        Note("connection %d: closed by the client (%s)", s.index, waitingFor);
        s.outcome = SessionOutcome::ClientClosed;
        break;
    case Io::TimedOut:
        Note("connection %d: no %s within %d ms, closing", s.index, waitingFor, m_config.moduleWaitMs);
        s.outcome = SessionOutcome::TimedOut;
        break;
    case Io::Stopped:
        s.outcome = SessionOutcome::Stopped;
        break;
    }
    if (s.derailed && io != Io::Stopped)
        s.outcome = SessionOutcome::Faulted;
    s.after = Session::After::Close;
    return true;
}

bool DecodeServer::Fail(Session &s, const char *why)
{
    Note("connection %d: failure notice: %s", s.index, why);
    proto::Bytes notice = proto::FailureNotice();
    Io io = SendPacket(s, notice.data(), notice.size());
    if (io == Io::Ok)
        Count(&m_failures);
    if (!EndOnIo(s, io, "failure notice")) {
        s.outcome = SessionOutcome::Failed;
        s.after = Session::After::Linger;
    }
    return false;
}

bool DecodeServer::Answer(Session &s, int step, const proto::Bytes &packet, bool final)
{
    ServerFault fault = TakeFault(step);
    int latency;
    size_t shortFinal, firstLen, secondLen;
    int pauseMs;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        latency = m_config.latencyMs;
        shortFinal = m_shortFinalLen;
        firstLen = m_finalFirstLen;
        secondLen = m_finalSecondLen;
        pauseMs = m_finalPauseMs;
    }
    if (fault != ServerFault::None)
        Note("connection %d: fault %s at step %d", s.index, FaultName(fault), step);
    if (fault == ServerFault::Silence) {
        s.outcome = SessionOutcome::Faulted;
        s.after = Session::After::Hold;
        return false;
    }
    Io io = Pause(latency);
    if (EndOnIo(s, io, "answer"))
        return false;

    proto::Bytes out;
    switch (fault) {
    case ServerFault::None:
        if (final && firstLen > 0 && firstLen < packet.size()) {
            size_t cuts[2] = {firstLen, packet.size()};
            if (secondLen > 0 && firstLen + secondLen < packet.size())
                cuts[1] = firstLen + secondLen;
            io = SendPacket(s, packet.data(), firstLen);
            for (size_t i = 0, from = firstLen; io == Io::Ok && from < packet.size(); i++) {
                size_t to = i == 0 ? cuts[1] : packet.size();
                io = Pause(pauseMs);
                if (io == Io::Ok)
                    io = SendPacket(s, packet.data() + from, to - from);
                from = to;
            }
            return !EndOnIo(s, io, "final answer");
        }
        io = SendPacket(s, packet.data(), packet.size());
        return !EndOnIo(s, io, "answer");
    case ServerFault::Close:
        s.outcome = SessionOutcome::Faulted;
        s.after = Session::After::Close;
        return false;
    case ServerFault::FailureNotice:
        out = proto::FailureNotice();
        io = SendPacket(s, out.data(), out.size());
        if (io == Io::Ok)
            Count(&m_failures);
        if (!EndOnIo(s, io, "failure notice")) {
            s.outcome = SessionOutcome::Faulted;
            s.after = Session::After::Linger;
        }
        return false;
    case ServerFault::Short:
        out.assign(packet.begin(), packet.end() - 1);
        if (final && shortFinal < packet.size())
            out.resize(shortFinal);
        break;
    case ServerFault::Oversized:
        out = packet;
        out.resize(final ? kOversizedFinalLen : kOversizedStepLen, 0);
        break;
    case ServerFault::Garbage:
        out.resize(packet.size());
        for (uint8_t &b : out)
            b = static_cast<uint8_t>(m_rng());
        if (out[0] == proto::kStart)
            out[0] = 0x5A;
        break;
    case ServerFault::Silence:
        break;
    }
    // The exchange goes on after a garbled answer, as a server that believes
    // it answered would; only the read no longer counts.
    s.derailed = true;
    io = SendPacket(s, out.data(), out.size());
    return !EndOnIo(s, io, "answer");
}

void DecodeServer::Exchange(Session &s)
{
    proto::Bytes in;
    if (EndOnIo(s, ReadExact(s, proto::kNoticeLen, in), "notice"))
        return;
    if (in[0] != proto::kStart || in[2] != 0x17 || in[3] != 0x01) {
        Fail(s, "not an identity-card notice");
        return;
    }
    uint8_t serial[proto::kSerialLen];
    memcpy(serial, &in[proto::kNoticeSerialOffset], proto::kSerialLen);
    char hex[2 * proto::kSerialLen + 1];
    SerialHex(serial, hex);
    const IdCard *card = FindIdCard(serial);
    if (!card) {
        char why[64];
        snprintf(why, sizeof why, "unknown card %s", hex);
        Fail(s, why);
        return;
    }
    proto::Bytes block(kDecodedBlockBytes);
    BuildDecodedBlock(card->fields, block.data());
    proto::Bytes answer = proto::FinalAnswer(block.data());

    if (IsCached(serial)) {
        if (!Answer(s, kStepNotice, answer, true))
            return;
        if (s.derailed) {
            s.outcome = SessionOutcome::Faulted;
        } else {
            Note("connection %d: card %s answered from the cache", s.index, hex);
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_cached;
            ++m_completed;
            s.outcome = SessionOutcome::CachedAnswer;
        }
        s.after = Session::After::Linger;
        return;
    }

    if (!Answer(s, kStepNotice, proto::kReadStart, false))
        return;
    if (EndOnIo(s, ReadExact(s, proto::kPacket12Len, in), "packets 1&2"))
        return;
    if (in[0] != proto::kStart || in[3] != proto::kExchangeType ||
        memcmp(&in[proto::kNoticeSerialOffset], serial, proto::kSerialLen) != 0) {
        Fail(s, "packets 1&2 malformed or of another card");
        return;
    }
    uint8_t nonce[proto::kNonceLen];
    memcpy(nonce, &in[proto::kNonceOffset], proto::kNonceLen);

    uint8_t challenge[proto::kChallengeLen];
    for (uint8_t &b : challenge)
        b = static_cast<uint8_t>(m_rng());
    if (!Answer(s, kStepPacket3, proto::ServerStep(3, challenge), false))
        return;
    if (EndOnIo(s, ReadExact(s, proto::kPacket34Len, in), "packets 3&4"))
        return;
    uint8_t expect[proto::kResponseLen];
    proto::ChallengeResponse(challenge, serial, nonce, expect);
    if (in[0] != proto::kStart || in[3] != proto::kExchangeType || in[13] != proto::kStatusOk ||
        memcmp(&in[proto::kResponseOffset], expect, proto::kResponseLen) != 0) {
        Fail(s, "packets 3&4: wrong response to the challenge");
        return;
    }

    for (uint8_t &b : challenge)
        b = static_cast<uint8_t>(m_rng());
    if (!Answer(s, kStepPacket5, proto::ServerStep(5, challenge), false))
        return;
    if (EndOnIo(s, ReadExact(s, proto::kPacket5Len, in), "packet 5"))
        return;
    if (in[0] != proto::kStart || in[3] != proto::kExchangeType || in[5] != proto::kStatusOk) {
        Fail(s, "packet 5 malformed");
        return;
    }

    for (size_t i = 0; i < proto::kTailCount; i++) {
        char what[24];
        snprintf(what, sizeof what, "packet %zu", i + 6);
        if (EndOnIo(s, ReadExact(s, proto::kSerialTail[i], in), what))
            return;
        if (in[0] != proto::kStart || in[3] != proto::kExchangeType ||
            (i == 0 && in[5] != proto::kStatusOk)) {
            char why[48];
            snprintf(why, sizeof why, "%s malformed", what);
            Fail(s, why);
            return;
        }
    }

    if (!Answer(s, kStepFinal, answer, true))
        return;
    s.after = Session::After::Linger;
    if (s.derailed) {
        s.outcome = SessionOutcome::Faulted;
        return;
    }
    Note("connection %d: card %s (%s) read", s.index, hex, card->fields.cardno.c_str());
    std::lock_guard<std::mutex> lock(m_mutex);
    m_cache[SerialKey(serial)] = NowMs();
    ++m_completed;
    s.outcome = SessionOutcome::ReadCompleted;
}

} // namespace sim

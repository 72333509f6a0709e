#include "ReaderModule.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>

namespace sim {

namespace {

// Longest frame a host sends; a larger length field is garbage.
constexpr size_t kMaxHostFrame = 2048;
// A stream frame still incomplete after this long will never complete.
constexpr int kStalePartialMs = 1000;
// How often the worker looks at the gate while an announcement waits unread.
constexpr int kGatePollMs = 5;
// A module that leaves its link leaves what it sent before on the host's
// side, as a wire would. A hung-up pty throws that away, so on a stream the
// module goes this long after its last frame; on a packet link it waits
// (at most kVanishWaitMs) until the host has taken its frames.
constexpr int kStreamVanishGraceMs = 150;
constexpr int kVanishWaitMs = 2000;

bool Equals(const proto::Bytes &frame, const proto::Bytes &fixed)
{
    return frame == fixed;
}

bool IsServerStep(const proto::Bytes &f, uint8_t step)
{
    return f.size() == proto::kServerStepLen && f[3] == proto::kExchangeType && f[4] == step;
}

std::string Hex(const uint8_t *p, size_t n)
{
    std::string s;
    char b[4];
    for (size_t i = 0; i < n; i++) {
        snprintf(b, sizeof b, "%02X", p[i]);
        s += b;
    }
    return s;
}

const char *KindName(CardKind kind)
{
    switch (kind) {
    case CardKind::IdCard: return "identity card";
    case CardKind::M1: return "M1 card";
    case CardKind::Yct: return "YCT card";
    case CardKind::Kind3: return "card kind 3";
    case CardKind::Kind2: return "card kind 2";
    case CardKind::IcCard: return "IC card";
    }
    return "card";
}

} // namespace

const char *FaultName(ModuleFault fault)
{
    switch (fault) {
    case ModuleFault::None: return "none";
    case ModuleFault::Silence: return "silence";
    case ModuleFault::RestartNotice: return "restart";
    case ModuleFault::ErrorFrame: return "error";
    case ModuleFault::WrongLength: return "length";
    case ModuleFault::WrongHeader: return "header";
    case ModuleFault::WrongStatus: return "status";
    case ModuleFault::Garbage: return "garbage";
    case ModuleFault::Vanish: return "gone";
    }
    return "none";
}

bool ParseModuleFault(const char *text, ModuleFault *fault)
{
    static const ModuleFault all[] = {ModuleFault::None,        ModuleFault::Silence,
                                      ModuleFault::RestartNotice, ModuleFault::ErrorFrame,
                                      ModuleFault::WrongLength, ModuleFault::WrongHeader,
                                      ModuleFault::WrongStatus, ModuleFault::Garbage,
                                      ModuleFault::Vanish};
    if (text == nullptr)
        return false;
    for (ModuleFault f : all) {
        if (strcmp(text, FaultName(f)) == 0) {
            if (fault)
                *fault = f;
            return true;
        }
    }
    return false;
}

ReaderModule::ReaderModule(ModuleConfig config)
    : m_config(config), m_rng(std::random_device{}())
{
    m_worker = std::thread([this] { Run(); });
}

ReaderModule::~ReaderModule()
{
    {
        std::lock_guard<std::mutex> lk(m_mutex);
        m_stopping = true;
    }
    m_cv.notify_all();
    if (m_worker.joinable())
        m_worker.join();
}

void ReaderModule::SetSink(Sink sink)
{
    std::lock_guard<std::mutex> lk(m_mutex);
    m_sink = std::move(sink);
}

void ReaderModule::SetAnnounceGate(AnnounceGate gate)
{
    std::lock_guard<std::mutex> lk(m_mutex);
    m_gate = std::move(gate);
}

void ReaderModule::SetEventHandler(EventHandler handler)
{
    std::lock_guard<std::mutex> lk(m_mutex);
    m_events = std::move(handler);
}

void ReaderModule::SetVanishHandler(VanishHandler handler)
{
    std::lock_guard<std::mutex> lk(m_mutex);
    m_vanish = std::move(handler);
}

void ReaderModule::Emit(const std::vector<std::string> &events)
{
    if (events.empty())
        return;
    EventHandler h;
    {
        std::lock_guard<std::mutex> lk(m_mutex);
        h = m_events;
    }
    if (h)
        for (const std::string &e : events)
            h(e);
}

// A new card is announced at once on a packet link. On a stream, once this
// session has had its announcement the host may already be closing the port
// and opening it again for its next cycle; a frame written into that gap
// lands behind the next open's input flush and shifts every read after it.
// So on a stream a card placed after the announcement waits for the next
// heartbeat.
void ReaderModule::AllowAnnouncementLocked()
{
    if (!m_config.streamLink)
        m_announcedSinceArm = false;
}

void ReaderModule::ResetLinkStateLocked()
{
    m_epoch++;
    m_out.clear();
    m_armed = false;
    m_announcedSinceArm = false;
    m_announceOutstanding = false;
    m_repeatWanted = false;
    m_readStartSeen = false;
    m_pending.clear();
}

void ReaderModule::HostConnected(bool connected)
{
    std::vector<std::string> events;
    {
        std::lock_guard<std::mutex> lk(m_mutex);
        const bool was = m_connected;
        const bool busy = m_armed || m_phase != Phase::Idle || !m_out.empty();
        if (m_phase != Phase::Idle)
            AbortExchangeLocked(connected ? "host started anew" : "host left", events);
        ResetLinkStateLocked();
        m_connected = connected;
        if (connected != was)
            events.push_back(connected ? "host connected" : "host disconnected");
        else if (connected && busy)
            events.push_back("host started anew");
    }
    m_cv.notify_all();
    Emit(events);
}

bool ReaderModule::IsHostConnected() const
{
    std::lock_guard<std::mutex> lk(m_mutex);
    return m_connected;
}

void ReaderModule::OnHostBytes(const uint8_t *data, size_t len)
{
    if (data == nullptr || len == 0)
        return;
    std::vector<std::string> events;
    {
        std::lock_guard<std::mutex> lk(m_mutex);
        const Clock::time_point now = Clock::now();
        if (!m_pending.empty() &&
            now - m_pendingSince > std::chrono::milliseconds(kStalePartialMs)) {
            m_pending.clear();
            m_stats.unexpectedFrames++;
        }
        const bool wasEmpty = m_pending.empty();
        m_pending.insert(m_pending.end(), data, data + len);

        for (;;) {
            auto start = std::find(m_pending.begin(), m_pending.end(), proto::kStart);
            if (start != m_pending.begin()) {
                m_stats.unexpectedFrames++;
                m_pending.erase(m_pending.begin(), start);
            }
            if (m_pending.size() < 3)
                break;
            const size_t body = static_cast<size_t>(m_pending[1]) << 8 | m_pending[2];
            const size_t total = 3 + body;
            if (body < 2 || total > kMaxHostFrame) {
                // Not a frame start after all: look for the next one.
                m_stats.unexpectedFrames++;
                m_pending.erase(m_pending.begin());
                continue;
            }
            if (m_pending.size() < total)
                break;
            proto::Bytes frame(m_pending.begin(), m_pending.begin() + static_cast<long>(total));
            m_pending.erase(m_pending.begin(), m_pending.begin() + static_cast<long>(total));
            m_hostFrames.push_back(frame);
            HandleFrameLocked(frame, events);
        }
        if (!m_config.streamLink) {
            // A transfer is whole: what is left of it completes nothing.
            if (!m_pending.empty())
                m_stats.unexpectedFrames++;
            m_pending.clear();
        } else if (wasEmpty && !m_pending.empty()) {
            m_pendingSince = now;
        }
    }
    m_cv.notify_all();
    Emit(events);
}

void ReaderModule::ScheduleLocked(proto::Bytes frame, int delayMs, bool arms, bool announcement)
{
    Clock::time_point at = Clock::now() + std::chrono::milliseconds(std::max(delayMs, 0));
    // Frames leave in the order they were scheduled.
    if (!m_out.empty() && m_out.back().at > at)
        at = m_out.back().at;
    m_out.push_back(Outgoing{at, std::move(frame), arms, announcement, m_epoch, false, at});
}

void ReaderModule::ScheduleVanishLocked(int delayMs)
{
    ScheduleLocked(proto::Bytes(), delayMs + (m_config.streamLink ? kStreamVanishGraceMs : 0));
    m_out.back().vanish = true;
    m_out.back().until = m_out.back().at + std::chrono::milliseconds(kVanishWaitMs);
}

void ReaderModule::DisturbFrame(ModuleFault fault, size_t statusAt, proto::Bytes &frame)
{
    switch (fault) {
    case ModuleFault::WrongLength:
        if (!frame.empty())
            frame.pop_back();
        break;
    case ModuleFault::WrongHeader:
        if (frame.size() > 3)
            frame[3] ^= 0x01;
        break;
    case ModuleFault::WrongStatus:
        if (frame.size() > statusAt)
            frame[statusAt] ^= 0xFF;
        break;
    case ModuleFault::Garbage:
        // Line noise of the frame's length: fixed, so a run can be repeated,
        // and never a frame start, so nothing mistakes it for one.
        for (size_t i = 0; i < frame.size(); i++) {
            frame[i] = static_cast<uint8_t>(0x5B + 37 * i);
            if (frame[i] == proto::kStart)
                frame[i] = 0x5A;
        }
        break;
    default:
        break;
    }
}

bool ReaderModule::ApplyFaultLocked(int step, proto::Bytes &frame, std::vector<std::string> &events)
{
    // A frame sent instead of an answer keeps the answer's timing.
    const int replaceDelayMs =
        step >= kFaultStepPacket12 && step <= kFaultStepPacket5 ? m_config.stepLatencyMs : 0;
    if (step < 0 || step >= kFaultStepCount)
        return true;
    const ModuleFault fault = m_faults[step];
    if (fault == ModuleFault::None)
        return true;
    if (!m_sticky[step])
        m_faults[step] = ModuleFault::None;
    m_stats.faultsApplied++;
    events.push_back(std::string("fault ") + FaultName(fault) + " at step " + std::to_string(step));

    switch (fault) {
    case ModuleFault::None:
        return true;
    case ModuleFault::Silence:
        return false;
    case ModuleFault::RestartNotice:
        ScheduleLocked(proto::IdCardNotice(m_serial), replaceDelayMs);
        return false;
    case ModuleFault::ErrorFrame:
        ScheduleLocked(proto::ModuleErrorFrame(), replaceDelayMs);
        return false;
    case ModuleFault::Vanish:
        ScheduleVanishLocked(replaceDelayMs);
        return false;
    case ModuleFault::WrongLength:
    case ModuleFault::WrongHeader:
    case ModuleFault::Garbage:
    case ModuleFault::WrongStatus: {
        size_t at = 5;
        if (step == kFaultStepNotice)
            at = 2;
        else if (step == kFaultStepPacket34)
            at = proto::kResponseOffset + proto::kResponseLen;
        DisturbFrame(fault, at, frame);
        return true;
    }
    }
    return true;
}

void ReaderModule::AbortExchangeLocked(const char *why, std::vector<std::string> &events)
{
    if (m_phase != Phase::Idle) {
        m_stats.exchangesAborted++;
        events.push_back(std::string("exchange aborted: ") + why);
    }
    m_phase = Phase::Idle;
    m_armed = false;
}

proto::Bytes ReaderModule::TailPacket(size_t index) const
{
    const size_t len = proto::kSerialTail[index];
    const uint8_t seq = static_cast<uint8_t>(6 + index);
    // Sequence, status, the serial, then data that depends only on the card,
    // so a re-read card sends the same sectors.
    proto::Bytes params(len > 5 ? len - 5 : 0, 0);
    for (size_t i = 0; i < params.size(); i++) {
        if (i == 0)
            params[i] = seq;
        else if (i == 1)
            params[i] = proto::kStatusOk;
        else if (i < 2 + proto::kSerialLen)
            params[i] = m_serial[i - 2];
        else
            params[i] = static_cast<uint8_t>(m_serial[i % proto::kSerialLen] * 31u + seq * 7u + i);
    }
    return proto::MakeFrame(proto::kExchangeType, params, len);
}

void ReaderModule::HandleFrameLocked(const proto::Bytes &f, std::vector<std::string> &events)
{
    const int latency = m_config.stepLatencyMs;
    const Clock::time_point now = Clock::now();

    if (Equals(f, proto::kLinkCheck)) {
        if (!m_answerHeartbeats)
            return;
        const ModuleFault hb = m_heartbeatFault;
        if (hb != ModuleFault::None) {
            if (!m_heartbeatSticky)
                m_heartbeatFault = ModuleFault::None;
            m_stats.faultsApplied++;
            events.push_back(std::string("fault ") + FaultName(hb) + " at the link check");
        }
        if (hb == ModuleFault::Silence)
            return;
        // A host checking the link has left any exchange behind.
        if (m_phase != Phase::Idle)
            AbortExchangeLocked("link check", events);
        if (hb == ModuleFault::Vanish) {
            ScheduleVanishLocked(latency);
            return;
        }
        m_stats.heartbeats++;
        // On a packet link the host tries the link check again when its
        // answer is slow to come (a loaded host, not a slow module): armed,
        // with no read-start since, it is still the same cycle. Its answer
        // must not announce the card once more, or the repeat would reach
        // the host after it started reading the first notice.
        const bool retry = !m_config.streamLink && m_armed && m_phase == Phase::Idle && !m_readStartSeen;
        m_readStartSeen = false; // a new read cycle: its read-start is no repeat
        proto::Bytes answer = proto::HeartbeatAnswer();
        if (hb == ModuleFault::RestartNotice)
            answer = proto::IdCardNotice(m_serial);
        else if (hb == ModuleFault::ErrorFrame)
            answer = proto::ModuleErrorFrame();
        else
            DisturbFrame(hb, 5, answer);
        if (retry)
            events.push_back("link check again");
        ScheduleLocked(std::move(answer), latency, !retry);
        return;
    }
    if (Equals(f, proto::kHwRestart)) {
        AbortExchangeLocked("hardware restart", events);
        m_readStartSeen = false;
        m_stats.restarts++;
        events.push_back("hardware restart");
        ScheduleLocked(proto::RestartAnswer(), latency);
        return;
    }
    if (Equals(f, proto::kReadStart)) {
        if (m_readStartSeen && now - m_readStartAt < std::chrono::milliseconds(kDuplicateWindowMs)) {
            m_stats.duplicateReadStarts++;
            return;
        }
        m_readStartSeen = true;
        m_readStartAt = now;
        if (m_phase != Phase::Idle)
            AbortExchangeLocked("read started anew", events);
        if (!m_cardPresent || m_cardKind != CardKind::IdCard) {
            // Nothing to read: the module reports the failed card exchange.
            events.push_back("read-start without an identity card");
            ScheduleLocked(proto::ModuleErrorFrame(), latency);
            return;
        }
        for (uint8_t &b : m_nonce)
            b = static_cast<uint8_t>(m_rng());
        proto::Bytes params(2, 0);
        params.insert(params.end(), m_serial, m_serial + proto::kSerialLen);
        params.insert(params.end(), m_nonce, m_nonce + proto::kNonceLen);
        proto::Bytes p12 = proto::MakeFrame(proto::kExchangeType, params, proto::kPacket12Len);
        m_stats.exchangesStarted++;
        events.push_back("exchange started");
        m_phase = Phase::AwaitPacket3;
        if (!ApplyFaultLocked(kFaultStepPacket12, p12, events)) {
            AbortExchangeLocked("fault", events);
            return;
        }
        ScheduleLocked(std::move(p12), latency);
        return;
    }
    if (m_phase == Phase::AwaitPacket3 && IsServerStep(f, 0x03)) {
        uint8_t response[proto::kResponseLen];
        proto::ChallengeResponse(f.data() + proto::kChallengeOffset, m_serial, m_nonce, response);
        proto::Bytes params = {0x03};
        params.insert(params.end(), response, response + proto::kResponseLen);
        params.push_back(proto::kStatusOk);
        proto::Bytes p34 = proto::MakeFrame(proto::kExchangeType, params, proto::kPacket34Len);
        m_phase = Phase::AwaitPacket5;
        if (!ApplyFaultLocked(kFaultStepPacket34, p34, events)) {
            AbortExchangeLocked("fault", events);
            return;
        }
        ScheduleLocked(std::move(p34), latency);
        return;
    }
    if (m_phase == Phase::AwaitPacket5 && IsServerStep(f, 0x05)) {
        proto::Bytes p5 = proto::MakeFrame(proto::kExchangeType, {0x05, proto::kStatusOk, 0x05},
                                           proto::kPacket5Len);
        if (!ApplyFaultLocked(kFaultStepPacket5, p5, events)) {
            AbortExchangeLocked("fault", events);
            return;
        }
        ScheduleLocked(std::move(p5), latency);
        // The card's data follows unasked, back to back.
        for (size_t i = 0; i < proto::kTailCount; i++) {
            proto::Bytes p = TailPacket(i);
            if (!ApplyFaultLocked(kFaultStepTailFirst + static_cast<int>(i), p, events)) {
                AbortExchangeLocked("fault", events);
                return;
            }
            ScheduleLocked(std::move(p), 0);
        }
        m_phase = Phase::Idle;
        m_armed = false; // until the next read cycle's heartbeat
        m_stats.exchangesCompleted++;
        events.push_back("exchange finished");
        return;
    }
    m_stats.unexpectedFrames++;
}

void ReaderModule::PlaceIdCard(const uint8_t *serial)
{
    if (serial == nullptr)
        return;
    std::vector<std::string> events;
    {
        std::lock_guard<std::mutex> lk(m_mutex);
        memcpy(m_serial, serial, proto::kSerialLen);
        m_cardKind = CardKind::IdCard;
        m_cardPresent = true;
        AllowAnnouncementLocked();
        events.push_back("card placed: identity card " + Hex(serial, proto::kSerialLen));
    }
    m_cv.notify_all();
    Emit(events);
}

void ReaderModule::PlaceCard(CardKind kind)
{
    if (kind == CardKind::IdCard) {
        PlaceIdCard(IdCards().front().serial);
        return;
    }
    std::vector<std::string> events;
    {
        std::lock_guard<std::mutex> lk(m_mutex);
        m_cardKind = kind;
        m_cardPresent = true;
        AllowAnnouncementLocked();
        events.push_back(std::string("card placed: ") + KindName(kind));
    }
    m_cv.notify_all();
    Emit(events);
}

void ReaderModule::RemoveCard()
{
    std::vector<std::string> events;
    {
        std::lock_guard<std::mutex> lk(m_mutex);
        if (m_cardPresent)
            events.push_back("card removed");
        m_cardPresent = false;
    }
    m_cv.notify_all();
    Emit(events);
}

bool ReaderModule::CardPresent() const
{
    std::lock_guard<std::mutex> lk(m_mutex);
    return m_cardPresent;
}

void ReaderModule::SetHeartbeatAnswers(bool on)
{
    std::lock_guard<std::mutex> lk(m_mutex);
    m_answerHeartbeats = on;
}

void ReaderModule::SetStepLatency(int ms)
{
    std::lock_guard<std::mutex> lk(m_mutex);
    m_config.stepLatencyMs = std::max(ms, 0);
}

bool ReaderModule::Quiet() const
{
    std::lock_guard<std::mutex> lk(m_mutex);
    return !m_connected && m_out.empty() && !m_writing;
}

void ReaderModule::SetAnnounceInterval(int ms)
{
    {
        std::lock_guard<std::mutex> lk(m_mutex);
        m_config.announceIntervalMs = std::max(ms, 0);
    }
    m_cv.notify_all();
}

void ReaderModule::AnnounceAgain()
{
    {
        std::lock_guard<std::mutex> lk(m_mutex);
        m_repeatWanted = true;
    }
    m_cv.notify_all();
}

void ReaderModule::InjectFault(int step, ModuleFault fault, bool sticky)
{
    if (step < 0 || step >= kFaultStepCount)
        return;
    std::lock_guard<std::mutex> lk(m_mutex);
    m_faults[step] = fault;
    m_sticky[step] = sticky && fault != ModuleFault::None;
}

void ReaderModule::InjectHeartbeatFault(ModuleFault fault, bool sticky)
{
    std::lock_guard<std::mutex> lk(m_mutex);
    m_heartbeatFault = fault;
    m_heartbeatSticky = sticky && fault != ModuleFault::None;
}

void ReaderModule::ClearFaults()
{
    std::lock_guard<std::mutex> lk(m_mutex);
    m_heartbeatFault = ModuleFault::None;
    m_heartbeatSticky = false;
    for (int i = 0; i < kFaultStepCount; i++) {
        m_faults[i] = ModuleFault::None;
        m_sticky[i] = false;
    }
}

std::vector<proto::Bytes> ReaderModule::HostFrames() const
{
    std::lock_guard<std::mutex> lk(m_mutex);
    return m_hostFrames;
}

ModuleStats ReaderModule::Stats() const
{
    std::lock_guard<std::mutex> lk(m_mutex);
    return m_stats;
}

bool ReaderModule::WaitFor(const std::function<bool(const ModuleStats &)> &pred, int timeoutMs) const
{
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (pred(Stats()))
            return true;
        if (Clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

proto::Bytes ReaderModule::AnnouncementLocked() const
{
    if (m_cardKind == CardKind::IdCard)
        return proto::IdCardNotice(m_serial);
    return OtherCardAnnouncement(m_cardKind);
}

bool ReaderModule::AnnouncementDueLocked(Clock::time_point now)
{
    if (!m_connected || !m_armed || !m_cardPresent || m_phase != Phase::Idle || !m_out.empty())
        return false;
    if (m_announceOutstanding)
        return false; // never more than one waiting
    if (!m_announcedSinceArm)
        return true;
    if (m_config.streamLink)
        return false;
    if (m_repeatWanted)
        return true;
    return now - m_lastTaken >= std::chrono::milliseconds(m_config.announceIntervalMs);
}

void ReaderModule::Run()
{
    std::unique_lock<std::mutex> lk(m_mutex);
    while (!m_stopping) {
        Clock::time_point now = Clock::now();

        if (!m_out.empty() && m_out.front().at <= now && m_out.front().vanish && m_gate &&
            now < m_out.front().until && m_out.front().epoch == m_epoch) {
            AnnounceGate gate = m_gate;
            const uint64_t epoch = m_epoch;
            lk.unlock();
            const bool unread = gate();
            lk.lock();
            if (unread && epoch == m_epoch && !m_out.empty() && m_out.front().vanish) {
                m_out.front().at = Clock::now() + std::chrono::milliseconds(kGatePollMs);
                continue;
            }
            if (!m_out.empty() && m_out.front().vanish)
                m_out.front().until = Clock::now(); // taken: go now
            continue;
        }
        if (!m_out.empty() && m_out.front().at <= now) {
            Outgoing o = std::move(m_out.front());
            m_out.pop_front();
            if (o.epoch != m_epoch)
                continue;
            if (o.vanish) {
                // Gone: nothing scheduled behind it goes out any more.
                m_epoch++;
                m_out.clear();
                m_armed = false;
                m_connected = false;
                m_pending.clear();
                m_stats.vanished++;
                VanishHandler vanish = m_vanish;
                lk.unlock();
                if (vanish)
                    vanish();
                Emit({"module gone"});
                lk.lock();
                continue;
            }
            // On a stream, frames due together leave in one write, as a
            // module sends them at line speed: a worker put off between two
            // of them must not open a gap that no wire would have.
            int frames = 1;
            while (m_config.streamLink && !o.arms && !o.announcement && !m_out.empty() &&
                   m_out.front().at <= now && m_out.front().epoch == o.epoch && !m_out.front().vanish &&
                   !m_out.front().arms && !m_out.front().announcement) {
                o.frame.insert(o.frame.end(), m_out.front().frame.begin(), m_out.front().frame.end());
                m_out.pop_front();
                frames++;
            }
            Sink sink = m_sink;
            m_writing = true;
            lk.unlock();
            if (sink)
                sink(o.frame);
            lk.lock();
            m_writing = false;
            if (o.epoch != m_epoch)
                continue; // the host left meanwhile
            m_stats.framesSent += frames;
            if (o.arms) {
                m_armed = true;
                m_announcedSinceArm = false;
            }
            if (o.announcement) {
                m_stats.announcements++;
                m_announceOutstanding = !m_config.streamLink;
                m_lastTaken = Clock::now();
            }
            continue;
        }

        if (m_announceOutstanding) {
            AnnounceGate gate = m_gate;
            const uint64_t epoch = m_epoch;
            lk.unlock();
            const bool unread = gate ? gate() : false;
            lk.lock();
            if (!unread && epoch == m_epoch && m_announceOutstanding) {
                m_announceOutstanding = false;
                m_lastTaken = Clock::now();
            }
        }

        now = Clock::now();
        // On a packet link the first notice after a link check waits until
        // the host has taken every frame before it: a late answer to an
        // earlier check must reach the host before the card, not after it.
        bool held = false;
        if (!m_config.streamLink && !m_announcedSinceArm && m_gate && AnnouncementDueLocked(now)) {
            AnnounceGate gate = m_gate;
            const uint64_t epoch = m_epoch;
            lk.unlock();
            held = gate();
            lk.lock();
            if (epoch != m_epoch)
                continue;
            now = Clock::now();
        }
        if (!held && AnnouncementDueLocked(now)) {
            std::vector<std::string> events;
            proto::Bytes frame = AnnouncementLocked();
            m_announcedSinceArm = true;
            m_repeatWanted = false;
            m_lastTaken = now;
            if (ApplyFaultLocked(kFaultStepNotice, frame, events))
                ScheduleLocked(std::move(frame), 0, false, true);
            events.push_back(m_cardKind == CardKind::IdCard ? "announced identity card"
                                                             : std::string("announced ") + KindName(m_cardKind));
            lk.unlock();
            Emit(events);
            lk.lock();
            continue;
        }

        // Sleep until the next frame is due, the gate needs another look,
        // the interval runs out, or something changes.
        Clock::time_point until = Clock::time_point::max();
        if (!m_out.empty())
            until = m_out.front().at;
        if (m_announceOutstanding || held)
            until = std::min(until, now + std::chrono::milliseconds(kGatePollMs));
        else if (m_connected && m_armed && m_cardPresent && m_phase == Phase::Idle && m_announcedSinceArm &&
                 !m_config.streamLink)
            until = std::min(until, m_lastTaken + std::chrono::milliseconds(m_config.announceIntervalMs));
        if (until == Clock::time_point::max())
            m_cv.wait(lk);
        else
            m_cv.wait_until(lk, until);
    }
}

} // namespace sim

namespace sim {

namespace {

bool ParseInt(const std::string &text, long lo, long hi, long *out)
{
    if (text.empty())
        return false;
    char *end = nullptr;
    errno = 0;
    long v = strtol(text.c_str(), &end, 10);
    if (errno != 0 || end == text.c_str() || *end != '\0' || v < lo || v > hi)
        return false;
    *out = v;
    return true;
}

std::vector<std::string> Words(const std::string &line)
{
    std::vector<std::string> words;
    std::string w;
    for (char c : line) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            if (!w.empty())
                words.push_back(w);
            w.clear();
        } else {
            w += c;
        }
    }
    if (!w.empty())
        words.push_back(w);
    return words;
}

} // namespace

std::vector<std::string> ModuleScript::Split(const std::string &text)
{
    std::vector<std::string> out;
    std::string cur;
    auto flush = [&] {
        std::vector<std::string> w = Words(cur);
        if (!w.empty() && w[0][0] != '#') {
            std::string joined;
            for (const std::string &x : w)
                joined += (joined.empty() ? "" : " ") + x;
            out.push_back(joined);
        }
        cur.clear();
    };
    for (char c : text) {
        if (c == ';' || c == '\n')
            flush();
        else
            cur += c;
    }
    flush();
    return out;
}

bool ModuleScript::Load(const std::string &text, std::string *error)
{
    std::vector<std::string> commands = Split(text);
    for (const std::string &c : commands)
        if (Apply(c, error, nullptr, false) == Result::Error)
            return false;
    m_commands = std::move(commands);
    return true;
}

ModuleScript::Result ModuleScript::Execute(const std::string &command, std::string *message, const Say &say)
{
    return Apply(command, message, say, true);
}

ModuleScript::Result ModuleScript::Apply(const std::string &command, std::string *message, const Say &say,
                                         bool run)
{
    std::vector<std::string> w = Words(command);
    if (w.empty() || w[0][0] == '#')
        return Result::Ok;
    auto bad = [&](const std::string &why) {
        if (message)
            *message = why + ": " + command;
        return Result::Error;
    };
    long n = 0;
    if (w[0] == "place") {
        if (w.size() == 3 && w[1] == "id") {
            if (!ParseInt(w[2], 1, static_cast<long>(IdCards().size()), &n))
                return bad("no such identity card (1.." + std::to_string(IdCards().size()) + ")");
            if (run)
                m_module.PlaceIdCard(IdCards()[static_cast<size_t>(n - 1)].serial);
            return Result::Ok;
        }
        if (w.size() == 2 && w[1] == "unknown") {
            if (run)
                m_module.PlaceIdCard(UnknownDocument().serial);
            return Result::Ok;
        }
        static const struct {
            const char *name;
            CardKind kind;
        } kinds[] = {{"m1", CardKind::M1},       {"yct", CardKind::Yct}, {"kind3", CardKind::Kind3},
                     {"kind2", CardKind::Kind2}, {"ic", CardKind::IcCard}};
        if (w.size() == 2)
            for (const auto &k : kinds)
                if (w[1] == k.name) {
                    if (run)
                        m_module.PlaceCard(k.kind);
                    return Result::Ok;
                }
        return bad("usage: place id N | place unknown | place m1|yct|kind3|kind2|ic");
    }
    if (w[0] == "remove" && w.size() == 1) {
        if (run)
            m_module.RemoveCard();
        return Result::Ok;
    }
    if (w[0] == "wait" && w.size() == 2) {
        if (!ParseInt(w[1], 0, 86400000, &n))
            return bad("usage: wait MS");
        return !run || Wait(static_cast<int>(n)) ? Result::Ok : Result::Quit;
    }
    if (w[0] == "latency" && w.size() == 2) {
        if (!ParseInt(w[1], 0, 86400000, &n))
            return bad("usage: latency MS");
        if (run)
            m_module.SetStepLatency(static_cast<int>(n));
        if (run && say)
            say("latency " + std::to_string(n) + " ms");
        return Result::Ok;
    }
    if (w[0] == "fault" && (w.size() == 3 || (w.size() == 4 && w[3] == "sticky"))) {
        ModuleFault f;
        const bool heartbeat = w[1] == "heartbeat";
        if ((!heartbeat && !ParseInt(w[1], 0, kFaultStepCount - 1, &n)) || !ParseModuleFault(w[2].c_str(), &f))
            return bad("usage: fault STEP(0.." + std::to_string(kFaultStepCount - 1) +
                       "|heartbeat) none|silence|restart|error|length|header|status|garbage|gone [sticky]");
        if (run && heartbeat)
            m_module.InjectHeartbeatFault(f, w.size() == 4);
        if (run && heartbeat && say)
            say(std::string("fault ") + FaultName(f) + " armed at the link check");
        if (heartbeat)
            return Result::Ok;
        if (run)
            m_module.InjectFault(static_cast<int>(n), f, w.size() == 4);
        if (run && say)
            say(std::string("fault ") + FaultName(f) + " armed at step " + std::to_string(n));
        return Result::Ok;
    }
    if (w[0] == "quit" && w.size() == 1)
        return Result::Quit;
    if (w[0] == "repeat" && w.size() == 1)
        return Result::Repeat;
    return bad("unknown command");
}

bool ModuleScript::Run(const Say &say)
{
    for (;;) {
        bool repeat = false;
        for (const std::string &c : m_commands) {
            if (Stopped())
                return false;
            std::string msg;
            Result r = Execute(c, &msg, say);
            if (r == Result::Quit)
                return !Stopped();
            if (r == Result::Error && say)
                say(msg);
            if (r == Result::Repeat) {
                repeat = true;
                break;
            }
        }
        // A script of nothing but `repeat` would spin.
        if (!repeat || !Wait(1))
            return false;
    }
}

void ModuleScript::Stop()
{
    {
        std::lock_guard<std::mutex> lk(m_mutex);
        m_stopped = true;
    }
    m_cv.notify_all();
}

bool ModuleScript::Stopped() const
{
    std::lock_guard<std::mutex> lk(m_mutex);
    return m_stopped;
}

bool ModuleScript::Wait(int ms)
{
    std::unique_lock<std::mutex> lk(m_mutex);
    return !m_cv.wait_for(lk, std::chrono::milliseconds(ms), [this] { return m_stopped; });
}

} // namespace sim

// Read cycles measured against the simulators: how long each ending takes
// against its time limits, a realistic identity-card read against the peers'
// own latencies, three reader handles reading at once against each alone,
// heap allocations per cycle, CPU per cycle, what an idle reader costs
// (wake-ups and CPU while no card comes), and (as a child process) whether a
// cycle completes on a thread with a given stack size.
//
// Needs umockdev's preload library in the process (bench/run sees to it).
#include <dlfcn.h>
#include <link.h>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "DecodeServer.h"
#include "SerialModule.h"
#include "SimCards.h"
#include "UsbModule.h"
#include "scanid.h"

// ---------------------------------------------------------------------------
// Heap allocations, counted on the thread that runs a cycle while it runs.
// "Ours" are those whose immediate caller lies in libscanid itself.
extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void *__libc_memalign(size_t, size_t);
void __libc_free(void *);
}

namespace {
thread_local bool t_counting = false;
thread_local long t_allocs = 0;
thread_local long t_ours = 0;
uintptr_t g_libLo = 0, g_libHi = 0;

inline void Count(void *caller)
{
    if (!t_counting)
        return;
    t_allocs++;
    auto a = reinterpret_cast<uintptr_t>(caller);
    if (a >= g_libLo && a < g_libHi)
        t_ours++;
}
} // namespace

extern "C" void *malloc(size_t n)
{
    Count(__builtin_return_address(0));
    return __libc_malloc(n);
}
extern "C" void *calloc(size_t n, size_t s)
{
    Count(__builtin_return_address(0));
    return __libc_calloc(n, s);
}
extern "C" void *realloc(void *p, size_t n)
{
    Count(__builtin_return_address(0));
    return __libc_realloc(p, n);
}
extern "C" void *memalign(size_t a, size_t n)
{
    Count(__builtin_return_address(0));
    return __libc_memalign(a, n);
}
extern "C" void *aligned_alloc(size_t a, size_t n)
{
    Count(__builtin_return_address(0));
    return __libc_memalign(a, n);
}
extern "C" int posix_memalign(void **out, size_t a, size_t n)
{
    Count(__builtin_return_address(0));
    *out = __libc_memalign(a, n);
    return *out ? 0 : ENOMEM;
}
extern "C" void free(void *p) { __libc_free(p); }

void *operator new(size_t n)
{
    Count(__builtin_return_address(0));
    void *p = __libc_malloc(n ? n : 1);
    if (!p)
        throw std::bad_alloc();
    return p;
}
void *operator new[](size_t n)
{
    Count(__builtin_return_address(0));
    void *p = __libc_malloc(n ? n : 1);
    if (!p)
        throw std::bad_alloc();
    return p;
}
// The nothrow forms too, or their caller would be libstdc++'s forwarder.
void *operator new(size_t n, const std::nothrow_t &) noexcept
{
    Count(__builtin_return_address(0));
    return __libc_malloc(n ? n : 1);
}
void *operator new[](size_t n, const std::nothrow_t &) noexcept
{
    Count(__builtin_return_address(0));
    return __libc_malloc(n ? n : 1);
}
void operator delete(void *p, const std::nothrow_t &) noexcept { __libc_free(p); }
void operator delete[](void *p, const std::nothrow_t &) noexcept { __libc_free(p); }
void operator delete(void *p) noexcept { __libc_free(p); }
void operator delete[](void *p) noexcept { __libc_free(p); }
void operator delete(void *p, size_t) noexcept { __libc_free(p); }
void operator delete[](void *p, size_t) noexcept { __libc_free(p); }

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

void FindLibrary()
{
    dl_iterate_phdr(
        [](struct dl_phdr_info *info, size_t, void *) -> int {
            if (!info->dlpi_name || !strstr(info->dlpi_name, "libscanid.so"))
                return 0;
            for (int i = 0; i < info->dlpi_phnum; i++) {
                const ElfW(Phdr) &ph = info->dlpi_phdr[i];
                if (ph.p_type == PT_LOAD && (ph.p_flags & PF_X)) {
                    g_libLo = info->dlpi_addr + ph.p_vaddr;
                    g_libHi = g_libLo + ph.p_memsz;
                }
            }
            return 1;
        },
        nullptr);
}

// Events with the time they arrived.
struct Stamped {
    int kind;
    std::string text;
    Clock::time_point at;
};
std::mutex g_mu;
std::vector<Stamped> g_events;

void OnEvent(int kind, void *message)
{
    // Copying the text allocates: keep it out of the count.
    bool was = t_counting;
    t_counting = false;
    {
        std::lock_guard<std::mutex> lock(g_mu);
        g_events.push_back({kind, static_cast<const char *>(message), Clock::now()});
    }
    t_counting = was;
}

Clock::time_point EventTime(const std::string &prefix, int nth = 1)
{
    std::lock_guard<std::mutex> lock(g_mu);
    for (const auto &e : g_events)
        if (e.text.compare(0, prefix.size(), prefix) == 0 && --nth == 0)
            return e.at;
    return Clock::time_point{};
}

struct Run {
    int result;
    Clock::time_point start, end;
    double cpuMs;
    double ioctlCpuMs; // of cpuMs, inside ioctl()
    long allocs, ours;
    long ioctlWakeups; // voluntary context switches inside ioctl()
};

// The calling thread's CPU time and its voluntary context switches: each
// one a sleep the thread woke from.
struct Usage {
    double cpuMs;
    long wakeups;
};

Usage ThreadUsage()
{
    struct rusage ru;
    getrusage(RUSAGE_THREAD, &ru);
    return {ru.ru_utime.tv_sec * 1e3 + ru.ru_utime.tv_usec / 1e3 + ru.ru_stime.tv_sec * 1e3 +
                ru.ru_stime.tv_usec / 1e3,
            ru.ru_nvcsw};
}

double ThreadCpuMs() { return ThreadUsage().cpuMs; }

thread_local double t_ioctlCpuMs = 0;
thread_local long t_ioctlWakeups = 0;
} // namespace

// The emulated module answers libusb's usbfs ioctls on the calling thread,
// through umockdev's preload and a socket round trip per piece of data: many
// times what the kernel's ioctl costs on a real device. The time spent in
// them is counted apart, so that the cycle's own share can be told from the
// test rig's.
extern "C" int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    using Ioctl = int (*)(int, unsigned long, void *);
    static const Ioctl next = reinterpret_cast<Ioctl>(dlsym(RTLD_NEXT, "ioctl"));
    if (!t_counting)
        return next(fd, request, arg);
    const Usage u0 = ThreadUsage();
    const int r = next(fd, request, arg);
    const Usage u1 = ThreadUsage();
    t_ioctlCpuMs += u1.cpuMs - u0.cpuMs;
    t_ioctlWakeups += u1.wakeups - u0.wakeups;
    return r;
}

namespace {

// One read, timed, with the calling thread's CPU and allocations counted.
template <class ReadFn> Run Counted(ReadFn read)
{
    idInfo rec;
    memset(&rec, 0, sizeof rec);
    Run r{};
    double cpu0 = ThreadCpuMs();
    t_allocs = t_ours = 0;
    t_ioctlCpuMs = 0;
    t_ioctlWakeups = 0;
    r.start = Clock::now();
    t_counting = true;
    r.result = read(&rec);
    t_counting = false;
    r.end = Clock::now();
    r.cpuMs = ThreadCpuMs() - cpu0;
    r.ioctlCpuMs = t_ioctlCpuMs;
    r.ioctlWakeups = t_ioctlWakeups;
    r.allocs = t_allocs;
    r.ours = t_ours;
    return r;
}

struct Rig {
    std::unique_ptr<sim::UsbModule> usbPtr;
    sim::SerialModule serial;
    sim::DecodeServer server;
    sim::UsbModule &usb;

    // Without USB the process needs no umockdev, which intercepts every
    // open() (and allocates while doing so).
    Rig(int moduleLatency, int serverLatency, bool withUsb = true)
        : usbPtr(withUsb ? new sim::UsbModule(Config(moduleLatency)) : nullptr), serial(Config(moduleLatency)),
          usb(*usbPtr)
    {
        server.SetLatency(serverLatency);
        if ((usbPtr && !usb.Ok()) || !serial.Ok() || !server.Start()) {
            fprintf(stderr, "bench: simulators failed: %s %s\n", serial.Error().c_str(),
                    server.LastError().c_str());
            exit(2);
        }
        SetServiceInfo("127.0.0.1", server.Port());
        SetComInfo(serial.SlavePath().c_str(), 115200);
        CARD_SetReadInfoCB(OnEvent);
    }
    static sim::ModuleConfig Config(int latency)
    {
        sim::ModuleConfig c;
        c.stepLatencyMs = latency;
        return c;
    }
    sim::ReaderModule &Model(Cardtype t) { return t == CARDTYPE_USB ? usb.Module() : serial.Module(); }

    Run Read(Cardtype t)
    {
        {
            std::lock_guard<std::mutex> lock(g_mu);
            g_events.clear();
        }
        return Counted([t](idInfo *rec) { return ReadIDCardLib(rec, t); });
    }
};

void Row(const char *figure, double measured, double reference, const char *unit, const char *verdict)
{
    char ratio[16] = "     -";
    if (reference > 0)
        snprintf(ratio, sizeof ratio, "%6.3f", measured / reference);
    printf("%-44s %10.1f %-3s  ref %10.1f %-3s  ratio %s  %s\n", figure, measured, unit, reference, unit, ratio,
           verdict);
    fflush(stdout);
}

const char *LimitVerdict(double measured, double limit)
{
    if (measured < limit)
        return "MISS: ended before its limit";
    return measured <= limit * 1.03 ? "ok: within 3% above the limit" : "MISS: more than 3% over the limit";
}

const uint8_t *Serial0() { return sim::IdCards()[0].serial; }

// --- timing fidelity --------------------------------------------------------
void Timing()
{
    Rig rig(0, 0);
    puts("== timing fidelity: endings on a time limit (measured from the event named, to the return) ==");

    Run r = rig.Read(CARDTYPE_USB); // silent module: one full detection read
    Row("usb no card: heartbeat -> end", Ms(r.end - EventTime("Detect the heart")), 10000 + 1, "ms",
        LimitVerdict(Ms(r.end - EventTime("Detect the heart")), 10001));

    rig.usb.Module().SetHeartbeatAnswers(false);
    r = rig.Read(CARDTYPE_USB);
    rig.usb.Module().SetHeartbeatAnswers(true);
    double hb = Ms(r.end - EventTime("usb connect ok"));
    Row("usb heartbeat unanswered: open -> end", hb, 100 + 3 * 51, "ms", LimitVerdict(hb, 100 + 3 * 51));

    rig.usb.Module().PlaceIdCard(Serial0());
    rig.server.SetCache(false);
    rig.server.InjectFault(sim::kStepFinal, sim::ServerFault::Silence);
    r = rig.Read(CARDTYPE_USB);
    double relay = Ms(r.end - EventTime("ConncetServer Success"));
    Row("usb relay limit: first packet -> end", relay, 3000, "ms", LimitVerdict(relay, 3000));

    rig.server.InjectFault(sim::kStepPacket5, sim::ServerFault::Close);
    r = rig.Read(CARDTYPE_USB);
    double closed = Ms(r.end - EventTime("[ReveServerSize:] 21", 1));
    Row("usb server closes: last packet -> end", closed, 100, "ms",
        closed <= 100 ? "ok: within one relay step" : "MISS: later than one relay step");
    rig.usb.Module().RemoveCard();

    r = rig.Read(CARDTYPE_SERIAL); // no card: whole passes of 1001 one-millisecond reads
    double none = Ms(r.end - EventTime("Detect the heart"));
    Row("serial no card: heartbeat -> end", none, 3 * 1002, "ms", LimitVerdict(none, 3 * 1002));

    rig.serial.Module().PlaceIdCard(Serial0());
    struct {
        const char *name;
        int step;
        const char *from;
        double limit; // attempts x (20 ms receive wait + sleep)
    } waits[] = {
        {"serial first answer: 500 tries", sim::kStepNotice, "Connect server", 501 * 22.0},
        {"serial packet 3: 120 tries", sim::kStepPacket3, "The number of read", 121 * 21.0},
        {"serial packet 5: 500 tries", sim::kStepPacket5, "The number of read", 501 * 21.0},
        {"serial final answer: 1500 tries", sim::kStepFinal, "The number of read", 1501 * 21.0},
    };
    for (const auto &w : waits) {
        rig.server.InjectFault(w.step, sim::ServerFault::Silence);
        r = rig.Read(CARDTYPE_SERIAL);
        double t = Ms(r.end - EventTime(w.from));
        Row(w.name, t, w.limit, "ms", LimitVerdict(t, w.limit));
    }
    rig.serial.Module().RemoveCard();
}

// --- a realistic read, against the peers' own latencies -----------------------
void EndToEnd()
{
    const int kModule = 15, kServer = 40, kRounds = 5;
    Rig rig(kModule, kServer);
    rig.server.SetCache(false);
    printf("== identity-card read, module %d ms per answer, server %d ms per answer, median of %d ==\n", kModule,
           kServer, kRounds);
    // Peers' own share: the module answers the heartbeat and three exchange
    // steps, the server four times (read-start, packets 3 and 5, final).
    const double peers = 4 * kModule + 4 * kServer;
    // The pauses the protocol keeps: over USB 100 ms after opening, 1 ms
    // before the link check and per detection pass; over serial 50 ms after
    // opening, the same two 1 ms, 10 ms before packets 1&2, 0.1 ms after
    // packet 5 and 1.61 ms after the tail packets.
    const double usbFloor = peers + 100 + 1 + 1;
    const double serialFloor = peers + 50 + 1 + 1 + 10 + 0.1 + 1.61;
    // The strict alternation of an 80 ms module read and a 20 ms server
    // wait: each of the three server answers for the module waited out a
    // module read, and each of the 11 tail frames a server wait.
    const double usbAlternation = usbFloor + 3 * 80 + 11 * 20;
    for (Cardtype t : {CARDTYPE_USB, CARDTYPE_SERIAL}) {
        std::vector<double> times, cpu, own;
        for (int i = 0; i < kRounds; i++) {
            rig.Model(t).PlaceIdCard(sim::IdCards()[static_cast<size_t>(i)].serial);
            Run r = rig.Read(t);
            if (r.result != SCANID_IDCARD)
                fprintf(stderr, "bench: read failed with %d\n", r.result);
            times.push_back(Ms(r.end - r.start));
            cpu.push_back(r.cpuMs / Ms(r.end - r.start) * 100);
            own.push_back((r.cpuMs - r.ioctlCpuMs) / Ms(r.end - r.start) * 100);
            rig.Model(t).RemoveCard();
        }
        std::sort(times.begin(), times.end());
        std::sort(cpu.begin(), cpu.end());
        std::sort(own.begin(), own.end());
        const double median = times[times.size() / 2];
        char verdict[96];
        if (t == CARDTYPE_USB) {
            snprintf(verdict, sizeof verdict, "%s: target 1.10 x the floor",
                     median <= 1.10 * usbFloor ? "ok" : "MISS");
            Row("usb identity card vs floor (peers + pauses)", median, usbFloor, "ms", verdict);
            Row("usb identity card vs the old alternation", median, usbAlternation, "ms",
                "model: floor + 3 x 80 ms module reads + 11 x 20 ms server waits");
        } else {
            snprintf(verdict, sizeof verdict, "%s: target 1.10 x the floor",
                     median <= 1.10 * serialFloor ? "ok" : "MISS");
            Row("serial identity card vs floor (peers + pauses)", median, serialFloor, "ms", verdict);
        }
        const double share = cpu[cpu.size() / 2];
        if (t == CARDTYPE_USB) {
            Row("usb identity card, CPU share, calling thread", share, 2, "%",
                "all of it, with the emulated module's ioctls");
            const double mine = own[own.size() / 2];
            Row("usb identity card, CPU share, without them", mine, 2, "%",
                mine <= 2 ? "ok: at most 2 %, no busy waiting" : "MISS: over 2 %");
        } else {
            Row("serial identity card, CPU share, calling thread", share, 2, "%",
                share <= 2 ? "ok: at most 2 %, no busy waiting" : "MISS: over 2 %");
        }
    }
}

// --- cancelling a waiting cycle -------------------------------------------------
// From CancelReadIDCard() on another thread to the cycle's return, once the
// cycle is in the wait named (median of several cancels, and the worst).
void Cancels()
{
    const int kRounds = 7;
    Rig rig(0, 0);
    puts("== cancel: CancelReadIDCard on another thread -> ReadIDCardLib returns ==");
    struct Case {
        const char *name;
        Cardtype t;
        const char *waitFrom; // event after which the cycle waits
        int serverStep;       // server silent at this step, or -1 (no card)
        int afterMs;          // cancel this long after the event
    } cases[] = {
        {"usb card wait", CARDTYPE_USB, "Detect the heart", -1, 30},
        {"usb relay, server silent", CARDTYPE_USB, "ConncetServer Success", sim::kStepPacket3, 100},
        {"serial card wait", CARDTYPE_SERIAL, "Detect the heart", -1, 30},
        {"serial server wait", CARDTYPE_SERIAL, "The number of read", sim::kStepPacket3, 100},
    };
    rig.server.SetCache(false);
    for (const Case &c : cases) {
        std::vector<double> ms;
        for (int i = 0; i < kRounds; i++) {
            if (c.serverStep >= 0) {
                rig.Model(c.t).PlaceIdCard(Serial0());
                rig.server.InjectFault(c.serverStep, sim::ServerFault::Silence);
            }
            {
                // The canceller must not find the last round's event.
                std::lock_guard<std::mutex> lock(g_mu);
                g_events.clear();
            }
            Clock::time_point cancelledAt{};
            std::atomic<bool> done{false};
            std::thread canceller([&] {
                while (!done && EventTime(c.waitFrom) == Clock::time_point{})
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                std::this_thread::sleep_for(std::chrono::milliseconds(c.afterMs));
                if (done)
                    return;
                cancelledAt = Clock::now();
                CancelReadIDCard();
            });
            Run r = rig.Read(c.t);
            done = true;
            canceller.join();
            if (r.result != SCANID_CANCELLED)
                fprintf(stderr, "bench: %s ended with %d\n", c.name, r.result);
            ms.push_back(Ms(r.end - cancelledAt));
            rig.Model(c.t).RemoveCard();
            rig.server.ClearFaults();
        }
        std::sort(ms.begin(), ms.end());
        char label[80], verdict[64];
        snprintf(label, sizeof label, "cancel in the %s (median)", c.name);
        snprintf(verdict, sizeof verdict, "%s; worst %.1f ms", ms.back() <= 50 ? "ok: within 50 ms" : "MISS: over 50 ms",
                 ms.back());
        Row(label, ms[ms.size() / 2], 50, "ms", verdict);
    }
}

// --- heap allocations and CPU per cycle ---------------------------------------
void AllocationsAndCpu(Cardtype transport)
{
    const bool usb = transport == CARDTYPE_USB;
    Rig rig(0, 0, usb);
    struct Case {
        const char *name;
        sim::CardKind kind;
        bool cached;
    };
    const std::vector<Case> cases = usb ? std::vector<Case>{{"usb identity card", sim::CardKind::IdCard, false},
                                                            {"usb identity card, cached", sim::CardKind::IdCard, true},
                                                            {"usb M1", sim::CardKind::M1, false},
                                                            {"usb YCT", sim::CardKind::Yct, false},
                                                            {"usb kind 3", sim::CardKind::Kind3, false},
                                                            {"usb kind 2", sim::CardKind::Kind2, false}}
                                        : std::vector<Case>{{"serial identity card", sim::CardKind::IdCard, false},
                                                            {"serial identity card, cached", sim::CardKind::IdCard, true},
                                                            {"serial IC card", sim::CardKind::IcCard, false}};
    auto place = [&](sim::CardKind k) {
        if (k == sim::CardKind::IdCard)
            rig.Model(transport).PlaceIdCard(Serial0());
        else
            rig.Model(transport).PlaceCard(k);
    };
    // One cycle first for what a process does only once (the console's
    // buffer, the resolver's files); the cycles after it are counted.
    place(sim::CardKind::IdCard);
    rig.Read(transport);
    rig.Model(transport).RemoveCard();

    std::vector<std::pair<Case, Run>> runs;
    for (const Case &c : cases) {
        rig.server.SetCache(c.cached);
        rig.server.ClearCache();
        Run r{};
        for (int i = 0; i < (c.cached ? 2 : 1); i++) {
            place(c.kind);
            r = rig.Read(transport);
            rig.Model(transport).RemoveCard();
        }
        runs.emplace_back(c, r);
    }
    printf("== heap allocations per %s read cycle, on the calling thread ==\n", usb ? "USB" : "serial");
    for (auto &p : runs) {
        char label[80];
        snprintf(label, sizeof label, "%s (result %d): libscanid", p.first.name, p.second.result);
        Row(label, static_cast<double>(p.second.ours), 0, "", p.second.ours == 0 ? "ok: zero" : "MISS: not zero");
        snprintf(label, sizeof label, "%s: all callers", p.first.name);
        Row(label, static_cast<double>(p.second.allocs), 0, "",
            usb ? "libusb and the USB emulation, not libscanid"
                : (p.second.allocs == 0 ? "ok: zero" : "MISS: not zero"));
    }
    printf("== CPU per %s read cycle: calling thread's user+system time against wall time ==\n", usb ? "USB" : "serial");
    for (auto &p : runs) {
        double wall = Ms(p.second.end - p.second.start);
        Row(p.first.name, p.second.cpuMs, wall, "ms", p.second.cpuMs < 0.1 * wall ? "ok: mostly waiting" : "busy");
    }
}

// --- an idle reader ------------------------------------------------------------
// A kiosk with the module attached and no card: read cycles back to back on
// one thread, each ending with no card. What that thread costs while nothing
// comes: how often it wakes (its voluntary context switches) and its CPU
// share. Over USB the emulated module answers every usbfs ioctl on this
// thread through a socket round trip, which a real device does not: the
// share without them is the cycle's own.
constexpr double kIdleSpanS = 15;
constexpr double kIdleWakeupsTarget = 10; // per second
constexpr double kIdleCpuTarget = 0.2;    // % of one core
// This mode on the wait of 00c8340 (a read every millisecond), this machine, 2026-12-08, mean of two runs.
constexpr double kOldSerialWakeups = 980.7, kOldSerialCpu = 2.77;
constexpr double kOldUsbWakeups = 7.9, kOldUsbOwnWakeups = 0.5, kOldUsbCpu = 0.022, kOldUsbOwnCpu = 0.009;

void Idle()
{
    Rig rig(0, 0);
    printf("== idle reader, no card: read cycles back to back on one thread, %.0f s or more per transport; "
           "wake-ups are its voluntary context switches ==\n",
           kIdleSpanS);
    for (Cardtype t : {CARDTYPE_SERIAL, CARDTYPE_USB}) {
        const bool usb = t == CARDTYPE_USB;
        int cycles = 0, other = 0, lastOther = 0;
        double ioctlMs = 0;
        long ioctlWakeups = 0;
        const Usage u0 = ThreadUsage();
        const Clock::time_point start = Clock::now();
        while (Ms(Clock::now() - start) < kIdleSpanS * 1000) {
            Run r = rig.Read(t);
            cycles++;
            if (r.result != SCANID_NO_CARD) {
                other++;
                lastOther = r.result;
            }
            ioctlMs += r.ioctlCpuMs;
            ioctlWakeups += r.ioctlWakeups;
        }
        const double wallS = Ms(Clock::now() - start) / 1000;
        const Usage u1 = ThreadUsage();
        const double wakeups = static_cast<double>(u1.wakeups - u0.wakeups) / wallS;
        const double cpu = (u1.cpuMs - u0.cpuMs) / (wallS * 1000) * 100;
        const double ownWakeups = static_cast<double>(u1.wakeups - u0.wakeups - ioctlWakeups) / wallS;
        const double ownCpu = (u1.cpuMs - u0.cpuMs - ioctlMs) / (wallS * 1000) * 100;

        char label[80], verdict[192], cycleNote[96] = "";
        if (other)
            snprintf(cycleNote, sizeof cycleNote, "; MISS: %d of %d cycles ended with %d, not no card", other,
                     cycles, lastOther);
        auto wakeVerdict = [&](double v, double old) {
            snprintf(verdict, sizeof verdict, "%s: target at most %.0f /s; old wait: %.1f /s%s",
                     v <= kIdleWakeupsTarget ? "ok" : "MISS", kIdleWakeupsTarget, old, cycleNote);
        };
        auto cpuVerdict = [&](double v, double old) {
            snprintf(verdict, sizeof verdict, "%s: %.3f %%, target at most %.1f %%; old wait: %.3f %%",
                     v <= kIdleCpuTarget ? "ok" : "MISS", v, kIdleCpuTarget, old);
        };
        if (!usb) {
            snprintf(label, sizeof label, "idle serial reader: wake-ups (%d cycles)", cycles);
            wakeVerdict(wakeups, kOldSerialWakeups);
            Row(label, wakeups, kIdleWakeupsTarget, "/s", verdict);
            cpuVerdict(cpu, kOldSerialCpu);
            Row("idle serial reader: CPU share", cpu, kIdleCpuTarget, "%", verdict);
            continue;
        }
        // Each emulated ioctl waits for the emulation's thread; a real
        // device's mostly return at once: the verdicts go to the figures
        // without them.
        snprintf(label, sizeof label, "idle usb reader: wake-ups (%d cycles)", cycles);
        snprintf(verdict, sizeof verdict, "%.1f /s in the emulated module's ioctls; old wait: %.1f /s%s",
                 wakeups - ownWakeups, kOldUsbWakeups, cycleNote);
        Row(label, wakeups, kIdleWakeupsTarget, "/s", verdict);
        wakeVerdict(ownWakeups, kOldUsbOwnWakeups);
        Row("idle usb reader: wake-ups, without ioctls", ownWakeups, kIdleWakeupsTarget, "/s", verdict);
        snprintf(verdict, sizeof verdict, "%.3f %%, with the emulated module's ioctls; old wait: %.3f %%", cpu,
                 kOldUsbCpu);
        Row("idle usb reader: CPU share, calling thread", cpu, kIdleCpuTarget, "%", verdict);
        cpuVerdict(ownCpu, kOldUsbOwnCpu);
        Row("idle usb reader: CPU share, without ioctls", ownCpu, kIdleCpuTarget, "%", verdict);
    }
}

// --- three readers at once -------------------------------------------------------
// Three emulated modules on ports 1-1, 1-2 and 1-3, each read through a
// handle of its own ("usb:1-1", ...) with a decode server of its own. Each
// reader's identity read is timed alone first, then with all three starting
// together on three threads, every round; allocations are counted on each
// reading thread, as for the default reader.
class Barrier {
public:
    explicit Barrier(int n) : m_n(n) {}
    void Wait()
    {
        std::unique_lock<std::mutex> lock(m_mu);
        const long gen = m_gen;
        if (++m_waiting == m_n) {
            m_waiting = 0;
            m_gen++;
            m_cv.notify_all();
            return;
        }
        m_cv.wait(lock, [&] { return m_gen != gen; });
    }

private:
    std::mutex m_mu;
    std::condition_variable m_cv;
    int m_n, m_waiting = 0;
    long m_gen = 0;
};

void Readers()
{
    const int kModule = 15, kServer = 40, kRounds = 7;
    const char *const ports[] = {"1-1", "1-2", "1-3"};
    constexpr int kLanes = 3;
    struct Lane {
        std::unique_ptr<sim::UsbModule> usb;
        sim::DecodeServer server;
        scanid_reader *reader = nullptr;
        std::vector<double> alone, together;
        long oursMax = 0, oursFirst = 0, allocsMax = 0;
        int failed = 0;
    };
    Lane lanes[kLanes];
    // Every module exists before the library's first libusb_init.
    for (int i = 0; i < kLanes; i++) {
        sim::ModuleConfig c = Rig::Config(kModule);
        c.announceIntervalMs = 60000; // no repeated notice in the middle of a read
        lanes[i].usb = std::make_unique<sim::UsbModule>(c, ports[i]);
        lanes[i].server.SetLatency(kServer);
        lanes[i].server.SetCache(false);
        if (!lanes[i].usb->Ok() || !lanes[i].server.Start()) {
            fprintf(stderr, "bench: simulators failed: %s %s\n", lanes[i].usb->Error().c_str(),
                    lanes[i].server.LastError().c_str());
            exit(2);
        }
    }
    printf("== three readers at once: usb:1-1, usb:1-2, usb:1-3, each its own handle, server and thread; "
           "module %d ms, server %d ms per answer, median of %d ==\n",
           kModule, kServer, kRounds);

    scanid_device *list = nullptr;
    Run listed = Counted([&](idInfo *) { return scanid_list_usb(&list); });
    scanid_free_list(list);
    Run opened = Counted([&](idInfo *) {
        int rc = 0;
        for (int i = 0; i < kLanes; i++)
            rc |= scanid_open((std::string("usb:") + ports[i]).c_str(), &lanes[i].reader);
        return rc;
    });
    if (listed.result != kLanes || opened.result != 0) {
        fprintf(stderr, "bench: %d modules listed, open gave %d\n", listed.result, opened.result);
        exit(2);
    }
    for (Lane &l : lanes) {
        scanid_set_server(l.reader, "127.0.0.1", l.server.Port());
        scanid_set_standby(l.reader, nullptr, 0);
    }
    auto readOnce = [](Lane &l, size_t card) {
        l.usb->Module().PlaceIdCard(sim::IdCards()[card].serial);
        scanid_reader *reader = l.reader;
        Run r = Counted([reader](idInfo *rec) { return scanid_read(reader, rec); });
        l.usb->Module().RemoveCard();
        if (r.result != SCANID_IDCARD)
            l.failed++;
        return r;
    };

    // Alone: one reader at a time, the others idle with no card.
    for (Lane &l : lanes)
        for (int k = 0; k < kRounds; k++) {
            Run r = readOnce(l, static_cast<size_t>(k));
            l.alone.push_back(Ms(r.end - r.start));
        }

    // Together: each round the three start at once, each on its own thread.
    Barrier start(kLanes), end(kLanes);
    std::vector<std::thread> threads;
    for (int i = 0; i < kLanes; i++)
        threads.emplace_back([&, i] {
            Lane &l = lanes[i];
            for (int k = 0; k < kRounds; k++) {
                start.Wait();
                Run r = readOnce(l, static_cast<size_t>((k + i) % kRounds));
                l.together.push_back(Ms(r.end - r.start));
                if (k == 0)
                    l.oursFirst = r.ours;
                l.oursMax = std::max(l.oursMax, r.ours);
                l.allocsMax = std::max(l.allocsMax, r.allocs);
                end.Wait();
            }
        });
    for (std::thread &t : threads)
        t.join();

    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    for (int i = 0; i < kLanes; i++) {
        const Lane &l = lanes[i];
        const double alone = median(l.alone), together = median(l.together);
        char label[80], verdict[96];
        snprintf(label, sizeof label, "usb:%s identity read, three at once", ports[i]);
        if (l.failed)
            snprintf(verdict, sizeof verdict, "MISS: %d of %d reads failed", l.failed, 2 * kRounds);
        else
            snprintf(verdict, sizeof verdict, "%s: target 1.10 x its read alone; worst %.1f ms",
                     together <= 1.10 * alone ? "ok" : "MISS",
                     *std::max_element(l.together.begin(), l.together.end()));
        Row(label, together, alone, "ms", verdict);
    }
    puts("== heap allocations per read cycle on each handle, on its reading thread, three at once ==");
    for (int i = 0; i < kLanes; i++) {
        const Lane &l = lanes[i];
        char label[80], verdict[96];
        snprintf(label, sizeof label, "usb:%s identity read: libscanid, most", ports[i]);
        snprintf(verdict, sizeof verdict, "%s (first cycle on its thread: %ld)",
                 l.oursMax == 0 ? "ok: zero in every cycle" : "MISS: not zero", l.oursFirst);
        Row(label, static_cast<double>(l.oursMax), 0, "", verdict);
        snprintf(label, sizeof label, "usb:%s identity read: all callers, most", ports[i]);
        Row(label, static_cast<double>(l.allocsMax), 0, "", "libusb and the USB emulation, not libscanid");
    }
    Row("scanid_list_usb, three modules: libscanid", static_cast<double>(listed.ours), 0, "",
        "may allocate: the list itself");
    Row("scanid_open x 3: libscanid", static_cast<double>(opened.ours), 0, "", "may allocate: the handles");
    for (Lane &l : lanes)
        scanid_close(l.reader);
}

// --- one cycle on a thread with a given stack -----------------------------------
struct StackJob {
    Rig *rig;
    Cardtype t;
    int result;
};

int StackChild(size_t stackBytes, Cardtype t)
{
    Rig rig(0, 0, t == CARDTYPE_USB);
    rig.Model(t).PlaceIdCard(Serial0());
    StackJob job{&rig, t, -99};
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    if (pthread_attr_setstacksize(&attr, stackBytes) != 0)
        return 4;
    pthread_t th;
    if (pthread_create(&th, &attr, [](void *p) -> void * {
            auto *j = static_cast<StackJob *>(p);
            j->result = j->rig->Read(j->t).result;
            return nullptr;
        }, &job) != 0)
        return 4;
    pthread_join(th, nullptr);
    return job.result == SCANID_IDCARD ? 0 : 3;
}

} // namespace

int main(int argc, char **argv)
{
    setvbuf(stdout, nullptr, _IOLBF, 0);
    FindLibrary();
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "timing")
        Timing();
    else if (mode == "e2e")
        EndToEnd();
    else if (mode == "cancel")
        Cancels();
    else if (mode == "readers")
        Readers();
    else if (mode == "idle")
        Idle();
    else if (mode == "alloc" && argc == 3)
        AllocationsAndCpu(strcmp(argv[2], "usb") == 0 ? CARDTYPE_USB : CARDTYPE_SERIAL);
    else if (mode == "stack" && argc == 4)
        return StackChild(strtoul(argv[2], nullptr, 10), strcmp(argv[3], "usb") == 0 ? CARDTYPE_USB : CARDTYPE_SERIAL);
    else {
        fprintf(stderr, "usage: bench_cycles timing|e2e|cancel|readers|idle|alloc usb|serial|stack BYTES usb|serial\n");
        return 2;
    }
    // The simulators' threads end with the rig; leave without running the
    // library's own teardown twice.
    fflush(stdout);
    _exit(0);
}

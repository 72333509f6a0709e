// The soak harness shared by the serial and the USB soak: options, the mix
// of cases drawn from a fixed seed, the figures that must stay constant
// (descriptors, threads, heap in use) and the summary.
//
// A soak is a table of cases. Each case arranges one read cycle (card on the
// reader, faults in the module or the server, settings) and says what the
// cycle must give; the harness draws cases by weight, runs ReadIDCardLib,
// checks the result, the record and the links, and after every cycle the
// descriptors and threads against their baseline. Every `checkpoint` cycles
// the soak renews what it can of its simulators and the heap in use is
// sampled, for the whole process (less what simulators keep for inspection)
// and, with glibc, for the calling thread's arena alone, where everything
// the library allocates lands; neither may grow beyond a small slack over the
// run.
#pragma once

#include <malloc.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "e2e_support.h"

#if defined(__SANITIZE_ADDRESS__)
#define SOAK_ASAN 1
#if __has_include(<sanitizer/allocator_interface.h>)
#include <sanitizer/allocator_interface.h>
#else
// GCC ships the runtime's entry point without its header.
extern "C" size_t __sanitizer_get_current_allocated_bytes(void);
#endif
#endif
#if __has_include(<valgrind/memcheck.h>)
#include <valgrind/memcheck.h>
#endif

namespace soak {

struct Options {
    long cycles = 0;         // 0: the soak's own default
    uint32_t seed = 20261207;
    int checkpoint = 50;     // cycles between heap samples
    long heapSlack = 4096;   // bytes the whole process's heap may grow over the run
    long callingSlack = 2048; // bytes the calling thread's arena may grow
    int maxFailedCycles = 10;
    bool quiet = true;       // library console lines go to /dev/null
    bool addedLeaks = false; // under valgrind: blocks added since the last checkpoint
    std::string only;        // draw only the cases whose name holds this text
};

inline Options &Opt()
{
    static Options o;
    return o;
}

inline bool ParseLong(const char *text, long *out)
{
    if (!text || !*text)
        return false;
    char *end = nullptr;
    long v = strtol(text, &end, 0);
    if (*end != '\0')
        return false;
    *out = v;
    return true;
}

// Command line (after gtest took its own flags) over environment over
// defaults. False with a message on a bad argument.
inline bool ParseOptions(int argc, char **argv, std::string *error)
{
    Options &o = Opt();
    long v = 0;
    if (ParseLong(getenv("SCANID_SOAK_CYCLES"), &v))
        o.cycles = v;
    if (ParseLong(getenv("SCANID_SOAK_SEED"), &v))
        o.seed = static_cast<uint32_t>(v);
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        auto value = [&](const char *name) -> const char * {
            size_t n = strlen(name);
            return a.compare(0, n, name) == 0 ? argv[i] + n : nullptr;
        };
        const char *t;
        if ((t = value("--cycles=")) && ParseLong(t, &v) && v > 0)
            o.cycles = v;
        else if ((t = value("--seed=")) && ParseLong(t, &v))
            o.seed = static_cast<uint32_t>(v);
        else if ((t = value("--checkpoint=")) && ParseLong(t, &v) && v > 0)
            o.checkpoint = static_cast<int>(v);
        else if ((t = value("--heap-slack=")) && ParseLong(t, &v) && v >= 0)
            o.heapSlack = v;
        else if ((t = value("--calling-slack=")) && ParseLong(t, &v) && v >= 0)
            o.callingSlack = v;
        else if (a == "--verbose")
            o.quiet = false;
        else if (a == "--added-leaks")
            o.addedLeaks = true;
        else if ((t = value("--only=")) && *t)
            o.only = t;
        else {
            *error = "unknown or bad argument: " + a +
                     "\nusage: [--cycles=N] [--seed=S] [--checkpoint=N] [--heap-slack=BYTES] [--calling-slack=BYTES]"
                     "\n       [--only=TEXT] [--verbose]"
                     "\n       [--added-leaks: under valgrind, list the blocks each checkpoint added]"
                     "\n(SCANID_SOAK_CYCLES and SCANID_SOAK_SEED in the environment work too)";
            return false;
        }
    }
    return true;
}

// --- the figures ------------------------------------------------------------

using testsupport::Threads;

inline bool UnderValgrind()
{
#ifdef RUNNING_ON_VALGRIND
    if (RUNNING_ON_VALGRIND)
        return true;
#endif
    const char *preload = getenv("LD_PRELOAD");
    return preload && strstr(preload, "vgpreload");
}

inline long long HeapInUse()
{
#ifdef SOAK_ASAN
    return static_cast<long long>(__sanitizer_get_current_allocated_bytes());
#else
    static const bool valgrind = UnderValgrind();
    if (valgrind) {
        // valgrind's allocator answers the old call only.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
        struct mallinfo m = mallinfo();
#pragma GCC diagnostic pop
        return static_cast<long long>(m.uordblks) + m.hblkhd;
    }
    struct mallinfo2 m = mallinfo2();
    return static_cast<long long>(m.uordblks + m.hblkhd);
#endif
}

// Heap in use in glibc's main arena, which serves the main thread: what the
// library allocates on the calling thread shows here, while what the
// simulators' threads keep lives in their own arenas. -1 where there is no
// such figure (sanitizers, valgrind).
inline long long CallingThreadHeap()
{
#ifdef SOAK_ASAN
    return -1;
#else
    if (UnderValgrind())
        return -1;
    static char text[1 << 18]; // not on the heap, so as not to disturb it
    FILE *f = fmemopen(text, sizeof text - 1, "w");
    if (!f)
        return -1;
    malloc_info(0, f);
    long end = ftell(f);
    fclose(f);
    text[end >= 0 && end < static_cast<long>(sizeof text) ? end : 0] = '\0';
    const char *heap = strstr(text, "<heap nr=\"0\">");
    if (!heap)
        return -1;
    auto field = [heap](const char *tag) -> long long {
        const char *p = strstr(heap, tag);
        const char *size = p ? strstr(p, "size=\"") : nullptr;
        return size ? atoll(size + 6) : -1;
    };
    long long fast = field("<total type=\"fast\"");
    long long rest = field("<total type=\"rest\"");
    long long system = field("<system type=\"current\"");
    if (fast < 0 || rest < 0 || system < 0)
        return -1;
    return system - fast - rest;
#endif
}

// Fixed placement of large blocks, so that a block costs the same whenever it
// is allocated (glibc otherwise moves its mmap threshold as blocks are freed).
inline void SteadyAllocator()
{
#ifndef SOAK_ASAN
    mallopt(M_MMAP_THRESHOLD, 16 * 1024 * 1024);
#endif
}

// What one allocation of `bytes` adds to HeapInUse().
inline long long AllocationCost(size_t bytes)
{
    long long before = HeapInUse();
    void *p = malloc(bytes);
    long long cost = HeapInUse() - before;
    free(p);
    return cost;
}

// Heap held by a history a simulator keeps for inspection and never drops:
// a vector of byte vectors appended one by one. `copy` returns a copy of it;
// the copy's own cost is measured, then its outer block is traded for the
// one the original grew to by doubling.
template <class Copy>
long long HistoryHeap(Copy copy, size_t *entries = nullptr)
{
    long long before = HeapInUse();
    auto h = copy();
    long long cost = HeapInUse() - before;
    using Entry = typename decltype(h)::value_type;
    size_t n = h.size();
    if (entries)
        *entries = n;
    if (n > 0) {
        size_t grown = 1;
        while (grown < n)
            grown *= 2;
        cost += AllocationCost(grown * sizeof(Entry)) - AllocationCost(n * sizeof(Entry));
    }
    return cost;
}

using testsupport::RefusingPort;

// --- console --------------------------------------------------------------

// The library writes its progress to stdout and stderr; thousands of cycles of
// that would drown the report. Descriptors are opened once, up front, so
// that they are part of the baseline.
class Quiet {
public:
    Quiet()
    {
        m_null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        m_out = dup(1);
        m_err = dup(2);
    }
    ~Quiet()
    {
        close(m_null);
        close(m_out);
        close(m_err);
    }
    void Begin()
    {
        if (!Opt().quiet)
            return;
        fflush(stdout);
        dup2(m_null, 1);
        dup2(m_null, 2);
    }
    void End()
    {
        if (!Opt().quiet)
            return;
        fflush(stdout);
        dup2(m_out, 1);
        dup2(m_err, 2);
    }

private:
    int m_null = -1, m_out = -1, m_err = -1;
};

// --- cases and expectations -----------------------------------------------

enum class Check {
    Identity,  // result 1, record equal to the card's
    IcCard,    // result 2, serial IC card data
    OtherCard, // result 2, the module's whole frame
    Nothing,   // any failure: the record stays as handed in
};

struct Expect {
    int result = 0;
    Check check = Check::Nothing;
    size_t card = 0;                        // Identity: catalogue index
    sim::CardKind kind = sim::CardKind::M1; // IcCard / OtherCard
};

template <class Rig>
struct Case {
    const char *name;
    int weight;
    int limitMs; // generous bound on the whole cycle
    std::function<Expect(Rig &, std::mt19937 &)> arrange;
};

// Cards present on the reader: the identity card drawn from the catalogue.
inline size_t DrawCard(std::mt19937 &rng) { return rng() % sim::IdCards().size(); }

inline Expect IdentityOf(size_t card) { return Expect{SCANID_IDCARD, Check::Identity, card, sim::CardKind::IdCard}; }
inline Expect OtherOf(sim::CardKind kind) { return Expect{SCANID_OTHERCARD, Check::OtherCard, 0, kind}; }
inline Expect Fails(int result) { return Expect{result, Check::Nothing, 0, sim::CardKind::M1}; }

// The record after a cycle against what the case says it must hold.
inline void CheckRecord(const idInfo &rec, const Expect &e)
{
    idInfo zero;
    memset(&zero, 0, sizeof zero);
    switch (e.check) {
    case Check::Identity: {
        const sim::IdCard &card = sim::IdCards().at(e.card);
        e2e::ExpectSameIdentity(rec, e2e::ExpectedRecord(card));
        EXPECT_EQ(rec.photolen, SCANID_PHOTO_BYTES);
        EXPECT_EQ(0, memcmp(&rec.cardkind, &zero.cardkind, sizeof rec - offsetof(idInfo, cardkind)))
            << "identity reads leave the other-card fields alone";
        break;
    }
    case Check::IcCard: {
        // kind byte at 6, data length at 7, data from 8; at most 20 kept.
        sim::proto::Bytes f = sim::OtherCardAnnouncement(e.kind);
        size_t n = std::min<size_t>({f[7], 20, f.size() - 8});
        EXPECT_EQ(rec.cardkind, f[6]);
        EXPECT_EQ(rec.carddatalen, static_cast<int>(n));
        EXPECT_EQ(0, memcmp(rec.carddata, f.data() + 8, n));
        for (size_t i = n; i < sizeof rec.carddata; i++)
            EXPECT_EQ(rec.carddata[i], 0) << "byte " << i;
        EXPECT_EQ(0, memcmp(&rec, &zero, offsetof(idInfo, cardkind))) << "other cards leave the identity alone";
        break;
    }
    case Check::OtherCard: {
        sim::proto::Bytes f = sim::OtherCardAnnouncement(e.kind);
        EXPECT_EQ(rec.carddatalen, static_cast<int>(f.size()));
        EXPECT_EQ(0, memcmp(rec.carddata, f.data(), f.size()));
        EXPECT_EQ(0, memcmp(&rec, &zero, offsetof(idInfo, cardkind))) << "other cards leave the identity alone";
        break;
    }
    case Check::Nothing:
        EXPECT_EQ(0, memcmp(&rec, &zero, sizeof rec)) << "a failed cycle fills nothing";
        break;
    }
}

// --- the run --------------------------------------------------------------

struct Tally {
    long count = 0;
    long failed = 0;
    long long totalMs = 0;
    long long maxMs = 0;
    std::map<int, long> results;
};

struct Figures {
    int fds = 0;
    int threads = 0;
    long long heap = 0;    // heap in use less the simulators' histories
    long long calling = 0; // CallingThreadHeap()
    long long drift = 0;   // the rig's DriftBudget()
};

inline std::string Kb(long long bytes)
{
    char b[32];
    snprintf(b, sizeof b, "%.1f KB", static_cast<double>(bytes) / 1024.0);
    return b;
}

// Runs `cycles` read cycles of `transport` drawn from `cases`. The rig
// provides: Reset() before every cycle (no card, no faults, its settings),
// AfterCycle() right after it (drops what only that cycle needed), Renew() at
// checkpoints (fresh simulators where they can be had), and
// SimHeap() (what simulators that stay keep on the heap for inspection) and
// DriftBudget() (bytes the whole process may have gained so far in simulator
// bookkeeping that cannot be measured).
template <class Rig>
void Run(const char *title, Rig &rig, Cardtype transport, const std::vector<Case<Rig>> &cases, long cycles)
{
    const Options &o = Opt();
    Quiet quiet;
    SteadyAllocator();
    CARD_SetReadInfoCB(e2e::OnEvent);
    std::mt19937 rng(o.seed);

    std::vector<Tally> tally(cases.size());
    // Weights as drawn: --only leaves out the cases it does not name.
    std::vector<int> weight;
    int totalWeight = 0;
    for (const auto &c : cases) {
        weight.push_back(o.only.empty() || strstr(c.name, o.only.c_str()) ? c.weight : 0);
        totalWeight += weight.back();
    }
    if (totalWeight == 0) {
        ADD_FAILURE() << "no case named like \"" << o.only << "\"";
        return;
    }

    Figures base, start, last;
    std::vector<long long> samples;        // heap at each checkpoint
    std::vector<long long> callingSamples; // calling thread's heap at each checkpoint
    // Room for every sample up front: their growth would show on the calling thread.
    samples.reserve(static_cast<size_t>(cycles / o.checkpoint + 4));
    callingSamples.reserve(samples.capacity());
    long failedCycles = 0;
    bool warming = true;
    const long long t0 = testsupport::NowMs();

    auto figures = [&]() {
        Figures f;
        f.fds = e2e::OpenDescriptors();
        f.threads = Threads();
        f.heap = HeapInUse() - rig.SimHeap();
        f.calling = CallingThreadHeap();
        f.drift = rig.DriftBudget();
        return f;
    };

    // One cycle of case `i`; false once too many cycles went wrong.
    auto cycle = [&](long n, size_t i) {
        const Case<Rig> &c = cases[i];
        rig.Reset();
        Expect want = c.arrange(rig, rng);
        e2e::ResetEvents();
        idInfo rec;
        memset(&rec, 0, sizeof rec);

        quiet.Begin();
        long long c0 = testsupport::NowMs();
        int got = ReadIDCardLib(&rec, transport);
        long long ms = testsupport::NowMs() - c0;
        quiet.End();
        rig.AfterCycle();

        Tally &t = tally[i];
        t.count++;
        t.results[got]++;
        t.totalMs += ms;
        t.maxMs = std::max(t.maxMs, ms);

        int failuresBefore = ::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count();
        {
            SCOPED_TRACE(std::string("cycle ") + std::to_string(n) + " (" + c.name + "), seed " +
                         std::to_string(o.seed));
            EXPECT_EQ(got, want.result) << e2e::Describe(e2e::Events());
            if (got == want.result)
                CheckRecord(rec, want);
            EXPECT_LE(ms, c.limitMs) << "cycle took too long";
            EXPECT_EQ(g_IdCardMain.m_serial.iSerialFd, -1);
            EXPECT_EQ(g_IdCardMain.m_socket.iSocketFd, -1);
            EXPECT_EQ(g_IdCardMain.m_usb.pDevHandle, nullptr);
            EXPECT_EQ(g_IdCardMain.m_usb.pUsbContext, nullptr);
            if (!warming) {
                EXPECT_EQ(e2e::DescriptorsBackTo(base.fds), "") << "descriptors after the cycle";
                EXPECT_EQ(e2e::ThreadsBackTo(base.threads), "") << "threads after the cycle";
            }
        }
        int failuresAfter = ::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count();
        if (failuresAfter != failuresBefore) {
            t.failed++;
            failedCycles++;
        }
        return failedCycles < o.maxFailedCycles;
    };

    auto checkpoint = [&]() {
        rig.Renew();
        e2e::ResetEvents();
#ifdef VALGRIND_DO_ADDED_LEAK_CHECK
        if (o.addedLeaks)
            VALGRIND_DO_ADDED_LEAK_CHECK;
#endif
        EXPECT_EQ(e2e::DescriptorsBackTo(base.fds), "") << "descriptors with fresh simulators";
        EXPECT_EQ(e2e::ThreadsBackTo(base.threads), "") << "threads with fresh simulators";
        Figures f = figures();
        samples.push_back(f.heap);
        callingSamples.push_back(f.calling);
        last = f;
    };

    // Warm-up: every case once, in table order, so that whatever the process
    // sets up once (resolver, time zone, libusb, the emulation's worker and
    // its descriptors, buffers that grow to their largest) is in place
    // before the baseline.
    rig.Renew();
    long n = 0;
    bool going = true;
    for (size_t i = 0; i < cases.size() && going; i++)
        going = cycle(++n, i);
    warming = false;
    rig.Renew();
    e2e::ResetEvents();
    start = figures();
    start.fds = testsupport::Steady(e2e::OpenDescriptors, 500);
    start.threads = testsupport::Steady(Threads, 500);
    base = start;
    samples.push_back(start.heap);
    callingSamples.push_back(start.calling);
    last = start;

    while (going && n < cycles) {
        int pick = static_cast<int>(rng() % static_cast<uint32_t>(totalWeight));
        size_t i = 0;
        while (pick >= weight[i])
            pick -= weight[i++];
        going = cycle(++n, i);
        if (n % o.checkpoint == 0 || n == cycles)
            checkpoint();
    }
    if (!going)
        ADD_FAILURE() << "stopped after " << failedCycles << " failed cycles (cycle " << n << ")";
    if (samples.size() == 1)
        checkpoint();

    // The whole process may drift by what the rig declares per cycle (a
    // simulator's own bookkeeping); the calling thread's heap may not.
    const long long allowed = o.heapSlack + (last.drift - start.drift);
    const long long growth = last.heap - start.heap;
    const long long peak = *std::max_element(samples.begin(), samples.end()) - start.heap;
    const bool valgrind = UnderValgrind();
    if (!valgrind) {
        EXPECT_LE(growth, allowed) << "heap in use grew over the run";
    }
    const bool haveCalling = start.calling >= 0 && last.calling >= 0;
    const long long callingGrowth = haveCalling ? last.calling - start.calling : 0;
    if (haveCalling) {
        EXPECT_LE(callingGrowth, o.callingSlack) << "heap in use on the calling thread grew over the run";
    }

    // Summary.
    long long elapsed = testsupport::NowMs() - t0;
    printf("\n== %s soak: %ld cycles in %.1f s, seed %" PRIu32 " ==\n", title, n, elapsed / 1000.0, o.seed);
    printf("%-44s %6s %6s %8s %8s  results\n", "case", "cycles", "failed", "avg ms", "max ms");
    for (size_t i = 0; i < cases.size(); i++) {
        const Tally &t = tally[i];
        std::string res;
        for (const auto &r : t.results)
            res += (res.empty() ? "" : ", ") + std::to_string(r.first) + " x" + std::to_string(r.second);
        printf("%-44s %6ld %6ld %8lld %8lld  %s\n", cases[i].name, t.count, t.failed,
               t.count ? t.totalMs / t.count : 0, t.maxMs, res.c_str());
    }
    std::map<int, long> byResult;
    for (const Tally &t : tally)
        for (const auto &r : t.results)
            byResult[r.first] += r.second;
    printf("results:");
    for (const auto &r : byResult)
        printf("  %d: %ld", r.first, r.second);
    printf("\ndescriptors: %d at start, %d at the end\n", start.fds, last.fds);
    printf("threads:     %d at start, %d at the end\n", start.threads, last.threads);
    auto series = [](const std::vector<long long> &v) {
        for (size_t i = 0; i < v.size(); i++)
            printf("%s%+lld", i % 16 == 0 ? "\n  " : " ", v[i] - v[0]);
        printf("\n");
    };
    if (valgrind) {
        printf("heap in use: not checked under valgrind (its allocator holds freed blocks back); its leak "
               "check runs at exit\n");
    } else {
        printf("heap in use, whole process less simulator histories: %s after warm-up, %s at the end "
               "(growth %lld bytes, peak %+lld, allowed %lld)\n",
               Kb(start.heap).c_str(), Kb(last.heap).c_str(), growth, peak, allowed);
        printf("  at each checkpoint (bytes over the first):");
        series(samples);
    }
    if (haveCalling) {
        printf("heap in use, calling thread's arena: %s after warm-up, %s at the end (growth %lld bytes, "
               "allowed %ld)\n  at each checkpoint:",
               Kb(start.calling).c_str(), Kb(last.calling).c_str(), callingGrowth, o.callingSlack);
        series(callingSamples);
    }
    printf("simulator history held at the end: %s\n", Kb(rig.SimHeap()).c_str());
    fflush(stdout);
}

// glibc keeps freed blocks in per-thread caches that its figures count as in
// use; they fill up over a run and look like a slow leak (GLib's slices too). The soak runs with
// them off: it starts itself again with the tunable set (not under valgrind,
// whose allocator has no such caches and which would lose the process).
inline void WithoutThreadCaches(char **argv)
{
#ifndef SOAK_ASAN
    const char *kOff = "glibc.malloc.tcache_count=0";
    const char *tunables = getenv("GLIBC_TUNABLES");
    if ((tunables && strstr(tunables, kOff)) || UnderValgrind())
        return;
    std::string value = tunables && *tunables ? std::string(tunables) + ":" + kOff : kOff;
    setenv("GLIBC_TUNABLES", value.c_str(), 1);
    // GLib's slice allocator (in the USB emulation) keeps caches of its own.
    setenv("G_SLICE", "always-malloc", 0);
    execv("/proc/self/exe", argv);
    fprintf(stderr, "soak: cannot restart without glibc's thread caches; heap figures will be noisy\n");
#else
    (void)argv;
#endif
}

// gtest main with the soak's own options behind gtest's.
inline int Main(int argc, char **argv)
{
    WithoutThreadCaches(argv);
    ::testing::InitGoogleTest(&argc, argv);
    std::string error;
    if (!ParseOptions(argc, argv, &error)) {
        fprintf(stderr, "%s\n", error.c_str());
        return 2;
    }
    return RUN_ALL_TESTS();
}

} // namespace soak

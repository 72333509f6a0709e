// sim-server: the simulated decode server on 127.0.0.1, for trying the
// library or iddemo against it by hand.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "DecodeServer.h"
#include "SimCards.h"

namespace {

void Usage(FILE *out)
{
    fprintf(out,
            "usage: sim-server [options]\n"
            "  --port N           listen on 127.0.0.1:N (default 19904)\n"
            "  --latency MS       wait MS before every answer (default 0)\n"
            "  --no-cache         always run the full exchange, even for cards read recently\n"
            "  --fault STEP:KIND  misbehave at STEP on every exchange (repeatable)\n"
            "                     STEP: 0 answer to the notice, 1 packet 3, 2 packet 5,\n"
            "                           3 final answer\n"
            "                     KIND: close, silence, failure, short, oversized, garbage\n"
            "  --short-final N    length of a short final answer (default %zu)\n"
            "  --final-split N    send the final answer as N bytes, then the rest\n"
            "  --cards            list the identity cards and exit\n"
            "  --seconds N        stop after N seconds (default: until SIGINT or SIGTERM)\n"
            "  --help             this text\n",
            sim::kDefaultShortFinalLen);
}

void PrintLine(void *, const char *line)
{
    printf("%s\n", line);
    fflush(stdout);
}

void ListCards()
{
    for (const sim::IdCard &c : sim::IdCards()) {
        for (uint8_t b : c.serial)
            printf("%02X", b);
        printf("  %s  %s  %s\n", c.fields.cardno.c_str(), c.fields.name.c_str(), c.fields.nation.c_str());
    }
}

// Whole non-negative number up to `max`, nothing else.
bool ParseNumber(const char *text, long max, long *value)
{
    if (!text || !*text)
        return false;
    errno = 0;
    char *end = nullptr;
    long v = strtol(text, &end, 10);
    if (errno || *end || v < 0 || v > max)
        return false;
    *value = v;
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    sim::ServerConfig config;
    config.port = 19904;
    long seconds = -1;
    long shortFinal = -1;
    long finalSplit = 0;
    struct Fault {
        int step;
        sim::ServerFault kind;
    } faults[16];
    int faultCount = 0;

    for (int i = 1; i < argc; i++) {
        const char *arg = argv[i];
        const char *val = i + 1 < argc ? argv[i + 1] : nullptr;
        long n = 0;
        if (strcmp(arg, "--help") == 0) {
            Usage(stdout);
            return 0;
        } else if (strcmp(arg, "--cards") == 0) {
            ListCards();
            return 0;
        } else if (strcmp(arg, "--no-cache") == 0) {
            config.cache = false;
        } else if (strcmp(arg, "--port") == 0 && ParseNumber(val, 65535, &n)) {
            config.port = static_cast<uint16_t>(n);
            i++;
        } else if (strcmp(arg, "--latency") == 0 && ParseNumber(val, 600000, &n)) {
            config.latencyMs = static_cast<int>(n);
            i++;
        } else if (strcmp(arg, "--seconds") == 0 && ParseNumber(val, 86400L * 365, &n)) {
            seconds = n;
            i++;
        } else if (strcmp(arg, "--short-final") == 0 && ParseNumber(val, 1000000, &n)) {
            shortFinal = n;
            i++;
        } else if (strcmp(arg, "--final-split") == 0 && ParseNumber(val, 1000000, &n)) {
            finalSplit = n;
            i++;
        } else if (strcmp(arg, "--fault") == 0 && val && faultCount < 16) {
            sim::ServerFault kind;
            const char *colon = strchr(val, ':');
            if (!colon || colon - val != 1 || val[0] < '0' || val[0] >= '0' + sim::kStepCount ||
                !sim::ParseFault(colon + 1, &kind)) {
                fprintf(stderr, "sim-server: bad fault '%s' (STEP:KIND)\n", val);
                return 2;
            }
            faults[faultCount++] = {val[0] - '0', kind};
            i++;
        } else {
            static const char *const withValue[] = {"--port", "--latency", "--seconds", "--short-final",
                                                    "--final-split", "--fault"};
            bool known = false;
            for (const char *o : withValue)
                known = known || strcmp(arg, o) == 0;
            if (known)
                fprintf(stderr, "sim-server: %s needs a valid value\n", arg);
            else
                fprintf(stderr, "sim-server: unknown argument '%s'\n", arg);
            Usage(stderr);
            return 2;
        }
    }

    // The signals are taken synchronously below; the server's thread
    // inherits the mask and never sees them.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);

    sim::DecodeServer server(config);
    server.SetEventSink(PrintLine, nullptr);
    for (int i = 0; i < faultCount; i++)
        server.InjectFault(faults[i].step, faults[i].kind, true);
    if (shortFinal >= 0)
        server.SetShortFinalLength(static_cast<size_t>(shortFinal));
    if (finalSplit > 0)
        server.SetFinalAnswerLength(static_cast<size_t>(finalSplit));
    if (!server.Start()) {
        fprintf(stderr, "sim-server: %s\n", server.LastError().c_str());
        return 1;
    }
    printf("listening on 127.0.0.1:%u\n", server.Port());
    fflush(stdout);

    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += seconds;
    for (;;) {
        timespec wait = {1, 0};
        if (seconds >= 0) {
            timespec now{};
            clock_gettime(CLOCK_MONOTONIC, &now);
            long long left = (deadline.tv_sec - now.tv_sec) * 1000000000LL + (deadline.tv_nsec - now.tv_nsec);
            if (left <= 0)
                break;
            wait.tv_sec = left / 1000000000LL;
            wait.tv_nsec = left % 1000000000LL;
        }
        int sig = sigtimedwait(&set, nullptr, &wait);
        if (sig == SIGINT || sig == SIGTERM) {
            printf("signal %d, stopping\n", sig);
            break;
        }
    }
    server.Stop();
    printf("served %d connections, %d reads (%d from the cache), %d failure notices\n",
           server.ConnectionsAccepted(), server.CompletedReads(), server.CachedAnswers(),
           server.FailureNoticesSent());
    return 0;
}

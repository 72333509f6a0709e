// sim-reader: the simulated reader module on a pseudo-terminal, driven by
// commands. Point the library's serial port at the device it prints.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>

#include "SerialModule.h"

namespace {

const char kUsage[] =
    "usage: sim-reader [options]\n"
    "Runs a simulated reader module on a pseudo-terminal, prints\n"
    "\"device: /dev/pts/N\" and takes commands from stdin (one per line,\n"
    "or ';' separated), after the ones of --script and --run.\n"
    "\n"
    "options:\n"
    "  --script FILE     run the commands in FILE first\n"
    "  --run \"CMDS\"      run ';' separated commands first\n"
    "  --latency MS      delay before each answer (default 0)\n"
    "  --interval MS     pause between repeated announcements (default 300)\n"
    "  --help            this text\n"
    "\n"
    "commands:\n"
    "  place id N                  identity card N (1..%zu)\n"
    "  place unknown               a document of a kind no reader knows\n"
    "  place m1|yct|kind3|kind2|ic another kind of card\n"
    "  remove                      take the card away\n"
    "  wait MS                     pause the commands\n"
    "  fault STEP KIND [sticky]    STEP 0 notice, 1 packets 1&2, 2 packets 3&4,\n"
    "                              3 packet 5, 4..14 packets 6..16; KIND none,\n"
    "                              silence, restart, error, length, header, status\n"
    "  latency MS                  delay before each answer from now on\n"
    "  repeat                      start a --script or --run over\n"
    "  quit                        stop\n"
    "Ends on quit, end of input, SIGINT or SIGTERM.\n";

std::mutex g_outMutex;
struct timespec g_start;

void Say(const std::string &line)
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    double t = static_cast<double>(now.tv_sec - g_start.tv_sec) +
               static_cast<double>(now.tv_nsec - g_start.tv_nsec) / 1e9;
    std::lock_guard<std::mutex> lk(g_outMutex);
    printf("[%8.3f] %s\n", t, line.c_str());
    fflush(stdout);
}

bool ParseMs(const char *text, int *out)
{
    char *end = nullptr;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < 0 || v > 86400000)
        return false;
    *out = static_cast<int>(v);
    return true;
}

// Runs commands as they come in on stdin; false when one said quit or a
// signal came (stopFd readable).
bool ReadStdin(sim::ModuleScript &script, int stopFd)
{
    std::string pending;
    char buf[1024];
    for (;;) {
        pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {stopFd, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (fds[1].revents)
            return false;
        ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        const bool eof = n <= 0;
        if (n > 0)
            pending.append(buf, static_cast<size_t>(n));
        size_t nl;
        std::string ready;
        if (eof) {
            ready.swap(pending);
        } else if ((nl = pending.rfind('\n')) != std::string::npos) {
            ready = pending.substr(0, nl + 1);
            pending.erase(0, nl + 1);
        }
        for (const std::string &c : sim::ModuleScript::Split(ready)) {
            std::string msg;
            sim::ModuleScript::Result r = script.Execute(c, &msg, Say);
            if (r == sim::ModuleScript::Result::Quit)
                return false;
            if (r == sim::ModuleScript::Result::Error)
                fprintf(stderr, "%s\n", msg.c_str());
            else if (r == sim::ModuleScript::Result::Repeat)
                fprintf(stderr, "repeat: only in --script or --run\n");
        }
        if (eof)
            return false;
    }
}

} // namespace

int main(int argc, char **argv)
{
    clock_gettime(CLOCK_MONOTONIC, &g_start);
    sim::ModuleConfig config;
    std::string scriptText;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--help" || a == "-h") {
            printf(kUsage, sim::IdCards().size());
            return 0;
        } else if (a == "--script" && hasValue) {
            std::ifstream in(argv[++i]);
            if (!in) {
                fprintf(stderr, "sim-reader: cannot read %s: %s\n", argv[i], strerror(errno));
                return 2;
            }
            std::stringstream ss;
            ss << in.rdbuf();
            scriptText += ss.str() + "\n";
        } else if (a == "--run" && hasValue) {
            scriptText += std::string(argv[++i]) + "\n";
        } else if (a == "--latency" && hasValue) {
            if (!ParseMs(argv[++i], &config.stepLatencyMs)) {
                fprintf(stderr, "sim-reader: bad --latency %s\n", argv[i]);
                return 2;
            }
        } else if (a == "--interval" && hasValue) {
            if (!ParseMs(argv[++i], &config.announceIntervalMs)) {
                fprintf(stderr, "sim-reader: bad --interval %s\n", argv[i]);
                return 2;
            }
        } else {
            fprintf(stderr, "sim-reader: unknown or incomplete option %s (see --help)\n", a.c_str());
            return 2;
        }
    }

    // Signals are taken by one thread only, which stops whatever runs.
    sigset_t sigs;
    sigemptyset(&sigs);
    sigaddset(&sigs, SIGINT);
    sigaddset(&sigs, SIGTERM);
    sigaddset(&sigs, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &sigs, nullptr);
    signal(SIGPIPE, SIG_IGN);

    int stopPipe[2];
    if (pipe2(stopPipe, O_CLOEXEC) != 0) {
        perror("sim-reader: pipe2");
        return 1;
    }

    int rc = 0;
    {
        sim::SerialModule serial(config);
        if (!serial.Ok()) {
            fprintf(stderr, "sim-reader: %s\n", serial.Error().c_str());
            close(stopPipe[0]);
            close(stopPipe[1]);
            return 1;
        }
        serial.Module().SetEventHandler(Say);
        sim::ModuleScript script(serial.Module());
        std::string error;
        if (!script.Load(scriptText, &error)) {
            fprintf(stderr, "sim-reader: %s\n", error.c_str());
            rc = 2;
        } else {
            std::thread signals([&] {
                int sig = 0;
                sigwait(&sigs, &sig);
                if (sig != SIGUSR1)
                    Say(std::string("stopping on ") + strsignal(sig));
                script.Stop();
                char c = 1;
                (void)!write(stopPipe[1], &c, 1);
            });
            {
                std::lock_guard<std::mutex> lk(g_outMutex);
                printf("device: %s\n", serial.SlavePath().c_str());
                fflush(stdout);
            }
            bool quit = script.Run(Say);
            if (!quit && !script.Stopped())
                ReadStdin(script, stopPipe[0]);
            pthread_kill(signals.native_handle(), SIGUSR1);
            signals.join();
        }
    }
    close(stopPipe[0]);
    close(stopPipe[1]);
    return rc;
}

// Puts the simulated reader module on the emulated USB bus of an unmodified
// program:
//
//   LD_PRELOAD="libumockdev-preload.so.0 /path/libsimreader_preload.so" ./iddemo
//
// The modules exist before main, so before the program's libusb_init: one on
// each port of SIM_READER_PORTS (comma separated sysfs names, "1-1" by
// default, e.g. "1-1,1-2"). A thread per module plays the cards of
// SIM_READER_SCRIPT (ModuleScript commands, ';' separated; a demo round of
// cards by default); with '|' in it, it holds one script per port in the
// order of SIM_READER_PORTS. SIM_READER_LATENCY_MS is the modules' step
// latency and SIM_READER_INTERVAL_MS (default 300) the pause before a notice
// is repeated. With SIM_READER_CONTROL set to a folder, each module also
// takes commands, one per line, from a FIFO in it named after its port
// ("DIR/1-1"), made at start, so that a test can place and remove cards
// while the program runs. Standard output stays the program's: only trouble
// is told, on standard error.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "UsbModule.h"

namespace {

const char kDefaultScript[] =
    "place id 1; wait 3000; remove; wait 500;"
    "place m1; wait 2000; remove; wait 500;"
    "place yct; wait 2000; remove; wait 500;"
    "place id 2; wait 3000; remove; wait 500;"
    "place id 3; wait 3000; remove; wait 500;"
    "repeat";
constexpr int kDefaultLatencyMs = 15;

struct Module {
    std::unique_ptr<sim::UsbModule> usb;
    std::unique_ptr<sim::ModuleScript> script;
    std::thread player;
    std::thread control;
};

struct Session {
    std::vector<std::unique_ptr<Module>> modules;
    int stop = -1; // eventfd that ends the control threads
};


Session *g_session = nullptr;

std::vector<std::string> Split(const std::string &text, char sep)
{
    std::vector<std::string> parts;
    size_t from = 0;
    for (;;) {
        size_t at = text.find(sep, from);
        parts.push_back(text.substr(from, at == std::string::npos ? std::string::npos : at - from));
        if (at == std::string::npos)
            return parts;
        from = at + 1;
    }
}

std::string Trimmed(const std::string &s)
{
    const size_t b = s.find_first_not_of(" \t");
    const size_t e = s.find_last_not_of(" \t");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

// Runs the commands written to `fifo` on the module's script until `stop`.
void Control(const std::string &fifo, sim::ModuleScript *script, int stop)
{
    // Read and write: the FIFO never reports end of input between writers.
    int fd = open(fifo.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        fprintf(stderr, "[sim-reader] cannot open %s\n", fifo.c_str());
        return;
    }
    std::string pending;
    for (;;) {
        pollfd p[2] = {{fd, POLLIN, 0}, {stop, POLLIN, 0}};
        if (poll(p, 2, -1) < 0 && errno != EINTR)
            break;
        if (p[1].revents != 0)
            break;
        char buf[512];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            continue;
        pending.append(buf, static_cast<size_t>(n));
        for (size_t eol; (eol = pending.find('\n')) != std::string::npos;) {
            const std::string line = Trimmed(pending.substr(0, eol));
            pending.erase(0, eol + 1);
            std::string message;
            for (const std::string &c : sim::ModuleScript::Split(line))
                if (script->Execute(c, &message) == sim::ModuleScript::Result::Error)
                    fprintf(stderr, "[sim-reader] %s: %s\n", fifo.c_str(), message.c_str());
        }
    }
    close(fd);
}

// A setting in milliseconds from the environment, 0..most.
int MsFromEnv(const char *name, int fallback, long most)
{
    const char *text = getenv(name);
    if (text == nullptr || *text == '\0')
        return fallback;
    char *end = nullptr;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < 0 || v > most) {
        fprintf(stderr, "[sim-reader] %s=%s is not 0..%ld; using %d\n", name, text, most, fallback);
        return fallback;
    }
    return static_cast<int>(v);
}

void StartSession();

// The module is not part of the program: its threads (the model's, the
// emulation's, the script's) must leave the program's signals to the
// program's own threads. A program that blocks SIGTERM in every thread of
// its own and waits for it (sigtimedwait) would otherwise have it taken by a
// simulator thread, whose default action ends the process.
__attribute__((constructor)) void SimReaderStart()
{
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &before);
    StartSession();
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

void StartSession()
{
    if (!UsbModuleDevice::PreloadActive()) {
        fprintf(stderr, "[sim-reader] libumockdev-preload.so.0 is not loaded: no module\n");
        return;
    }
    sim::ModuleConfig config;
    config.stepLatencyMs = MsFromEnv("SIM_READER_LATENCY_MS", kDefaultLatencyMs, 10000);
    config.announceIntervalMs = MsFromEnv("SIM_READER_INTERVAL_MS", config.announceIntervalMs, 60000);

    const char *portsEnv = getenv("SIM_READER_PORTS");
    std::vector<std::string> ports;
    for (const std::string &p : Split(portsEnv != nullptr && *portsEnv != '\0' ? portsEnv : "1-1", ','))
        ports.push_back(Trimmed(p));
    const char *env = getenv("SIM_READER_SCRIPT");
    std::vector<std::string> scripts = Split(env != nullptr && *env != '\0' ? env : kDefaultScript, '|');
    if (scripts.size() > 1 && scripts.size() != ports.size())
        fprintf(stderr, "[sim-reader] SIM_READER_SCRIPT has %zu scripts for %zu ports; a port without "
                        "one places no cards\n",
                scripts.size(), ports.size());

    auto *s = new Session;
    const char *controlDir = getenv("SIM_READER_CONTROL");
    if (controlDir != nullptr && *controlDir != '\0')
        s->stop = eventfd(0, EFD_CLOEXEC);
    for (size_t i = 0; i < ports.size(); i++) {
        auto m = std::make_unique<Module>();
        m->usb = std::make_unique<sim::UsbModule>(config, ports[i]);
        if (!m->usb->Ok()) {
            fprintf(stderr, "[sim-reader] cannot set up the module on %s: %s\n", ports[i].c_str(),
                    m->usb->Error().c_str());
            continue;
        }
        m->script = std::make_unique<sim::ModuleScript>(m->usb->Module());
        const std::string text = scripts.size() == 1 ? scripts[0] : i < scripts.size() ? scripts[i] : "";
        std::string error;
        if (text.empty()) {
            // Nothing to play on this port.
        } else if (!m->script->Load(text, &error)) {
            fprintf(stderr, "[sim-reader] SIM_READER_SCRIPT (%s): %s; no cards will be placed\n",
                    ports[i].c_str(), error.c_str());
        } else {
            sim::ModuleScript *script = m->script.get();
            // Every command was checked by Load: running them has nothing to tell.
            m->player = std::thread([script] { script->Run(); });
        }
        if (s->stop >= 0) {
            const std::string fifo = std::string(controlDir) + "/" + ports[i];
            if (mkfifo(fifo.c_str(), 0600) != 0 && errno != EEXIST)
                fprintf(stderr, "[sim-reader] cannot make %s\n", fifo.c_str());
            else
                m->control = std::thread(Control, fifo, m->script.get(), s->stop);
        }
        s->modules.push_back(std::move(m));
    }
    g_session = s;
}

__attribute__((destructor)) void SimReaderStop()
{
    Session *s = g_session;
    g_session = nullptr;
    if (s == nullptr)
        return;
    for (const auto &m : s->modules)
        m->script->Stop();
    if (s->stop >= 0) {
        const uint64_t one = 1;
        (void)!write(s->stop, &one, sizeof one);
    }
    for (const auto &m : s->modules) {
        if (m->player.joinable())
            m->player.join();
        if (m->control.joinable())
            m->control.join();
        m->script.reset();
        m->usb.reset();
    }
    if (s->stop >= 0)
        close(s->stop);
    delete s;
}

} // namespace

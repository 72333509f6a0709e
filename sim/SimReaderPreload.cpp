// Puts the simulated reader module on the emulated USB bus of an unmodified
// program:
//
//   LD_PRELOAD="libumockdev-preload.so.0 /path/libsimreader_preload.so" ./iddemo
//
// The module exists before main, so before the program's libusb_init, and a
// thread plays the cards of SIM_READER_SCRIPT (ModuleScript commands, ';'
// separated; a demo round of cards by default) with SIM_READER_LATENCY_MS as
// the module's step latency and SIM_READER_INTERVAL_MS (default 300) as the
// pause before a notice is repeated. Standard output stays the program's: only
// trouble is told, on standard error.
#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

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

struct Session {
    std::unique_ptr<sim::UsbModule> usb;
    std::unique_ptr<sim::ModuleScript> script;
    std::thread player;
};

Session *g_session = nullptr;

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

    auto *s = new Session;
    s->usb = std::make_unique<sim::UsbModule>(config);
    if (!s->usb->Ok()) {
        fprintf(stderr, "[sim-reader] cannot set up the module: %s\n", s->usb->Error().c_str());
        delete s;
        return;
    }
    s->script = std::make_unique<sim::ModuleScript>(s->usb->Module());
    const char *env = getenv("SIM_READER_SCRIPT");
    std::string text = env != nullptr && *env != '\0' ? env : kDefaultScript;
    std::string error;
    if (!s->script->Load(text, &error)) {
        fprintf(stderr, "[sim-reader] SIM_READER_SCRIPT: %s; no cards will be placed\n", error.c_str());
    } else {
        sim::ModuleScript *script = s->script.get();
        // Every command was checked by Load: running them has nothing to tell.
        s->player = std::thread([script] { script->Run(); });
    }
    g_session = s;
}

__attribute__((destructor)) void SimReaderStop()
{
    Session *s = g_session;
    g_session = nullptr;
    if (s == nullptr)
        return;
    s->script->Stop();
    if (s->player.joinable())
        s->player.join();
    s->script.reset();
    s->usb.reset();
    delete s;
}

} // namespace

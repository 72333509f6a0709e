// Puts the simulated reader module on the emulated USB bus of an unmodified
// program:
//
//   LD_PRELOAD="libumockdev-preload.so.0 /path/libsimreader_preload.so" ./iddemo
//
// The module exists before main, so before the program's libusb_init, and a
// thread plays the cards of SIM_READER_SCRIPT (ModuleScript commands, ';'
// separated; a demo round of cards by default) with SIM_READER_LATENCY_MS as
// the module's step latency. Standard output stays the program's: only
// trouble is told, on standard error.
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

int LatencyFromEnv()
{
    const char *text = getenv("SIM_READER_LATENCY_MS");
    if (text == nullptr || *text == '\0')
        return kDefaultLatencyMs;
    char *end = nullptr;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < 0 || v > 10000) {
        fprintf(stderr, "[sim-reader] SIM_READER_LATENCY_MS=%s is not 0..10000; using %d\n", text,
                kDefaultLatencyMs);
        return kDefaultLatencyMs;
    }
    return static_cast<int>(v);
}

__attribute__((constructor)) void SimReaderStart()
{
    if (!UsbModuleDevice::PreloadActive()) {
        fprintf(stderr, "[sim-reader] libumockdev-preload.so.0 is not loaded: no module\n");
        return;
    }
    sim::ModuleConfig config;
    config.stepLatencyMs = LatencyFromEnv();

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

// The attached USB modules, and the hotplug thread that reports their
// coming and going. Neither runs inside a read cycle: both may allocate.
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include <libusb.h>

#include "LinkUsb.h"
#include "Reader.h"
#include "scanid.h"

namespace {

constexpr uint16_t kVendorId = LinkUsb::kVendorId;
constexpr uint16_t kProductId = LinkUsb::kProductId;
// One round of libusb's event handling on the hotplug thread. Deregistering
// interrupts it, so the thread sleeps until a notice comes; the round only
// bounds how long a lost interrupt could hold up the stop.
constexpr int kEventRoundMs = 10000;

struct Module {
    std::string name;
    std::string serial;
    bool hasSerial = false;
    int bus = 0;
    int address = 0;
    std::vector<uint8_t> ports;

    bool SameAs(const Module &o) const { return name == o.name && address == o.address; }
};

bool Describe(libusb_device *dev, Module *m)
{
    uint8_t ports[UsbPort::kMaxDepth];
    int depth = LinkUsb::ModulePorts(dev, ports);
    if (depth == 0)
        return false;
    libusb_device_descriptor desc{};
    (void)libusb_get_device_descriptor(dev, &desc); // read once already: the serial number's index
    char name[SCANID_MAX_READER_NAME];
    m->bus = libusb_get_bus_number(dev);
    m->address = libusb_get_device_address(dev);
    if (!FormatUsbName(name, sizeof name, m->bus, ports, depth))
        return false;
    m->name = name;
    m->ports.assign(ports, ports + depth);
    if (desc.iSerialNumber != 0) {
        libusb_device_handle *h = nullptr;
        if (libusb_open(dev, &h) == 0) {
            unsigned char text[256];
            int n = libusb_get_string_descriptor_ascii(h, desc.iSerialNumber, text, sizeof text);
            if (n > 0) {
                m->serial.assign(reinterpret_cast<char *>(text), static_cast<size_t>(n));
                m->hasSerial = true;
            }
            libusb_close(h);
        }
    }
    return true;
}

// The modules libusb sees in ctx, in bus and port order; false when libusb
// failed.
bool Enumerate(libusb_context *ctx, std::vector<Module> *out)
{
    libusb_device **list = nullptr;
    ssize_t n = libusb_get_device_list(ctx, &list);
    if (n < 0)
        return false;
    out->clear();
    for (ssize_t i = 0; i < n; i++) {
        Module m;
        if (Describe(list[i], &m))
            out->push_back(std::move(m));
    }
    libusb_free_device_list(list, 1);
    std::sort(out->begin(), out->end(), [](const Module &a, const Module &b) {
        return a.bus != b.bus ? a.bus < b.bus : a.ports < b.ports;
    });
    return true;
}

// One block: the entries, the terminating entry, then the strings.
scanid_device *Pack(const std::vector<Module> &modules)
{
    size_t head = (modules.size() + 1) * sizeof(scanid_device);
    size_t size = head;
    for (const Module &m : modules)
        size += m.name.size() + 1 + (m.hasSerial ? m.serial.size() + 1 : 0);
    auto *block = static_cast<unsigned char *>(calloc(1, size));
    if (!block)
        return nullptr;
    auto *list = reinterpret_cast<scanid_device *>(block);
    char *text = reinterpret_cast<char *>(block + head);
    for (size_t i = 0; i < modules.size(); i++) {
        const Module &m = modules[i];
        list[i].bus = m.bus;
        list[i].address = m.address;
        memcpy(text, m.name.c_str(), m.name.size() + 1);
        list[i].name = text;
        text += m.name.size() + 1;
        if (m.hasSerial) {
            memcpy(text, m.serial.c_str(), m.serial.size() + 1);
            list[i].serial = text;
            text += m.serial.size() + 1;
        }
    }
    return list;
}

void Tell(scanid_hotplug_cb callback, void *user, int event, const Module &m)
{
    scanid_device d{};
    d.name = m.name.c_str();
    d.serial = m.hasSerial ? m.serial.c_str() : nullptr;
    d.bus = m.bus;
    d.address = m.address;
    callback(event, &d, user);
}

} // namespace

struct scanid_hotplug {
    scanid_hotplug_cb callback = nullptr;
    void *user = nullptr;
    int flags = 0;
    libusb_context *ctx = nullptr;
    bool notices = false; // libusb's hotplug notices, else re-enumeration
    libusb_hotplug_callback_handle notice = 0;
    int stopFd = -1;
    std::atomic<bool> stop{false};
    // Set from libusb's callback (on the hotplug thread): something changed;
    // a module that left is reported even when it is back by the time the
    // list is read again.
    bool changed = false;
    std::vector<Module> left;
    std::vector<Module> known;
    pthread_t thread{};

    void Update();
    void Run();
};

namespace {

int LIBUSB_CALL OnNotice(libusb_context *, libusb_device *dev, libusb_hotplug_event event, void *user)
{
    auto *hp = static_cast<scanid_hotplug *>(user);
    hp->changed = true;
    if (event == LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT) {
        try {
            Module m;
            // The descriptor is cached, so a module that left can still be named.
            if (Describe(dev, &m))
                hp->left.push_back(std::move(m));
        } catch (...) {
        }
    }
    return 0; // stay registered
}

void *HotplugThread(void *arg)
{
    static_cast<scanid_hotplug *>(arg)->Run();
    return nullptr;
}

} // namespace

void scanid_hotplug::Update()
{
    for (const Module &gone : left) {
        auto it = std::find_if(known.begin(), known.end(), [&](const Module &k) { return k.SameAs(gone); });
        if (it != known.end()) {
            Tell(callback, user, SCANID_HOTPLUG_LEFT, *it);
            known.erase(it);
        }
    }
    left.clear();
    std::vector<Module> now;
    if (!Enumerate(ctx, &now))
        return;
    for (const Module &k : known)
        if (std::none_of(now.begin(), now.end(), [&](const Module &m) { return m.SameAs(k); }))
            Tell(callback, user, SCANID_HOTPLUG_LEFT, k);
    for (const Module &m : now)
        if (std::none_of(known.begin(), known.end(), [&](const Module &k) { return k.SameAs(m); }))
            Tell(callback, user, SCANID_HOTPLUG_ARRIVED, m);
    known.swap(now);
}

void scanid_hotplug::Run()
{
    try {
        if (!(flags & SCANID_HOTPLUG_ENUMERATE))
            (void)Enumerate(ctx, &known);
        else
            Update();
        while (!stop.load()) {
            if (notices) {
                timeval tv{kEventRoundMs / 1000, static_cast<suseconds_t>(kEventRoundMs % 1000) * 1000};
                libusb_handle_events_timeout_completed(ctx, &tv, nullptr);
                if (!changed || stop.load())
                    continue;
                changed = false;
            } else {
                pollfd p{stopFd, POLLIN, 0};
                if (poll(&p, 1, SCANID_HOTPLUG_POLL_MS) != 0)
                    continue;
            }
            Update();
        }
    } catch (...) {
        // Out of memory: the thread ends, deregistering still works.
    }
}

extern "C" {

SCANID_API int scanid_list_usb(scanid_device **list)
{
    if (!list)
        return SCANID_ERR_ARGUMENT;
    *list = nullptr;
    libusb_context *ctx = nullptr;
    if (libusb_init(&ctx) < 0)
        return SCANID_ERR_RESOURCE;
    int rc = SCANID_ERR_RESOURCE;
    try {
        std::vector<Module> modules;
        if (Enumerate(ctx, &modules)) {
            *list = Pack(modules);
            if (*list)
                rc = static_cast<int>(modules.size());
        }
    } catch (...) {
    }
    libusb_exit(ctx);
    return rc;
}

SCANID_API void scanid_free_list(scanid_device *list)
{
    free(list);
}

SCANID_API int scanid_hotplug_register(scanid_hotplug_cb callback, void *user, int flags, scanid_hotplug **handle)
{
    if (!handle)
        return SCANID_ERR_ARGUMENT;
    *handle = nullptr;
    if (!callback)
        return SCANID_ERR_ARGUMENT;
    auto *hp = new (std::nothrow) scanid_hotplug;
    if (!hp)
        return SCANID_ERR_RESOURCE;
    hp->callback = callback;
    hp->user = user;
    hp->flags = flags;
    hp->stopFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (hp->stopFd < 0 || libusb_init(&hp->ctx) < 0) {
        if (hp->stopFd >= 0)
            close(hp->stopFd);
        delete hp;
        return SCANID_ERR_RESOURCE;
    }
    if (!(flags & SCANID_HOTPLUG_POLL) && libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG)) {
        hp->notices = libusb_hotplug_register_callback(
                          hp->ctx, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT,
                          LIBUSB_HOTPLUG_NO_FLAGS, kVendorId, kProductId, LIBUSB_HOTPLUG_MATCH_ANY, OnNotice, hp,
                          &hp->notice) == LIBUSB_SUCCESS;
    }
    // The thread takes no signal: a program that waits for its signals on
    // one thread of its own (sigwait) must still get them there.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    int started = pthread_create(&hp->thread, nullptr, HotplugThread, hp);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (started != 0) {
        if (hp->notices)
            libusb_hotplug_deregister_callback(hp->ctx, hp->notice);
        libusb_exit(hp->ctx);
        close(hp->stopFd);
        delete hp;
        return SCANID_ERR_RESOURCE;
    }
    *handle = hp;
    return 0;
}

SCANID_API void scanid_hotplug_deregister(scanid_hotplug *handle)
{
    if (!handle)
        return;
    handle->stop.store(true);
    const uint64_t one = 1;
    (void)!write(handle->stopFd, &one, sizeof one);
    if (handle->notices)
        libusb_interrupt_event_handler(handle->ctx);
    pthread_join(handle->thread, nullptr);
    if (handle->notices)
        libusb_hotplug_deregister_callback(handle->ctx, handle->notice);
    libusb_exit(handle->ctx);
    close(handle->stopFd);
    delete handle;
}

} // extern "C"

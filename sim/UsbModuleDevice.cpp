#include "UsbModuleDevice.h"

#include <umockdev.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <fstream>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

const char kSysName[] = "1-1";
const char kDevNode[] = "/dev/bus/usb/001/002";

// Device descriptor, then the whole configuration: one vendor-class
// interface with a bulk IN and a bulk OUT endpoint.
const uint8_t kDescriptors[] = {
    // device: USB 2.0, EP0 64 bytes, 0400:C355, bcdDevice 1.00, one configuration
    0x12, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 0x40, 0x00, 0x04, 0x55, 0xC3, 0x00, 0x01,
    0x00, 0x00, 0x00, 0x01,
    // configuration 1: 32 bytes in all, one interface, bus powered, 100 mA
    0x09, 0x02, 0x20, 0x00, 0x01, 0x01, 0x00, 0x80, 0x32,
    // interface 0, alternate 0, two endpoints, vendor class
    0x09, 0x04, 0x00, 0x00, 0x02, 0xFF, 0x00, 0x00, 0x00,
    // endpoint 0x83 bulk IN, 64 bytes
    0x07, 0x05, 0x83, 0x02, 0x40, 0x00, 0x00,
    // endpoint 0x03 bulk OUT, 64 bytes
    0x07, 0x05, 0x03, 0x02, 0x40, 0x00, 0x00,
};

} // namespace

struct UsbModuleDevice::Impl {
    struct Urb {
        UMockdevIoctlClient *client;
        UMockdevIoctlData *urb;
        UMockdevIoctlData *buf; // null for a zero-length transfer
        int length;
        int accepted; // OUT bytes taken in before a fault
    };

    struct Frame {
        std::vector<uint8_t> data;
        size_t offset;
        Clock::time_point readyAt;
    };

    mutable std::mutex mu;
    // Held while the testbed gains or loses the device: an unplug on the
    // model's thread must be over before a replug adds the device again.
    std::mutex plugMu;
    std::condition_variable timerCv;
    std::thread timer;

    UMockdevTestbed *testbed = nullptr;
    UMockdevIoctlBase *handler = nullptr;
    std::string sysPath;
    std::string rootDir;
    std::string error;
    int wakeFd = -1;
    bool plugged = false;
    bool removed = false;
    bool closing = false;

    std::deque<Urb *> pendingIn;
    std::deque<Urb *> pendingOut;
    std::deque<Urb *> reapable;
    std::deque<Frame> frames;

    OutHandler outHandler;
    ClaimHandler claimHandler;
    bool lostClaim = false; // a handle holding the claim closed; tell the handler
    std::string kernelDriver;
    bool configFails = false;
    bool claimFails = false;
    OutFault outFault = OutFault::None;
    size_t outAccept = 0;
    int outFaultCount = 0;
    int inStallCount = 0;
    int inBabbleCount = 0;
    bool haltedIn = false;
    bool haltedOut = false;
    UMockdevIoctlClient *claimedBy = nullptr; // identity only, never dereferenced

    std::vector<UMockdevIoctlClient *> clients; // open handles, each holding a ref
    Stats stats;
    std::vector<std::vector<uint8_t>> outs;
    std::vector<unsigned long> unknown;

    ~Impl()
    {
        for (auto *q : {&pendingIn, &pendingOut, &reapable}) {
            for (Urb *u : *q)
                FreeUrb(u);
            q->clear();
        }
        for (UMockdevIoctlClient *c : clients)
            g_object_unref(c);
        if (wakeFd >= 0)
            close(wakeFd);
    }

    static void FreeUrb(Urb *u)
    {
        if (u->buf)
            g_object_unref(u->buf);
        if (u->urb)
            g_object_unref(u->urb);
        if (u->client)
            g_object_unref(u->client);
        delete u;
    }

    // libusb waits with poll(POLLOUT) on the node for reapable URBs. The node
    // is a FIFO whose other end we hold: full while nothing is reapable (so
    // the host sleeps instead of spinning), empty as soon as something is.
    void WakeLocked()
    {
        if (wakeFd < 0)
            return;
        static const char junk[4096] = {};
        if (reapable.empty()) {
            while (write(wakeFd, junk, sizeof junk) > 0) {
            }
            while (write(wakeFd, junk, 1) > 0) {
            }
        } else {
            char sink[4096];
            while (read(wakeFd, sink, sizeof sink) > 0) {
            }
        }
    }

    void FinishLocked(Urb *u, int status, int actual)
    {
        auto *k = reinterpret_cast<usbdevfs_urb *>(u->urb->data);
        k->status = status;
        k->actual_length = actual;
        reapable.push_back(u);
        WakeLocked();
    }

    void PumpLocked()
    {
        const Clock::time_point now = Clock::now();
        while (!pendingIn.empty() && !frames.empty() && frames.front().readyAt <= now) {
            Urb *u = pendingIn.front();
            pendingIn.pop_front();
            Frame &f = frames.front();
            size_t n = std::min(f.data.size() - f.offset, static_cast<size_t>(u->length));
            if (n > 0 && u->buf)
                memcpy(u->buf->data, f.data.data() + f.offset, n);
            f.offset += n;
            if (f.offset >= f.data.size())
                frames.pop_front();
            stats.inTransfers++;
            int status = 0;
            if (inBabbleCount > 0) {
                inBabbleCount--;
                status = -EOVERFLOW;
            }
            FinishLocked(u, status, static_cast<int>(n));
        }
    }

    // Delivers delayed frames when they fall due, and notices closed
    // handles: this umockdev never tells when a client goes away, it only
    // shows the client's stream as closed.
    void TimerLoop()
    {
        const auto sweepEvery = std::chrono::milliseconds(20);
        std::unique_lock<std::mutex> lk(mu);
        while (!closing) {
            PumpLocked();
            SweepClientsLocked();
            if (lostClaim) {
                TellLostClaim(lk);
                continue;
            }
            Clock::time_point until = Clock::time_point::max();
            if (!pendingIn.empty() && !frames.empty())
                until = frames.front().readyAt;
            if (!clients.empty())
                until = std::min(until, Clock::now() + sweepEvery);
            if (until == Clock::time_point::max())
                timerCv.wait(lk);
            else
                timerCv.wait_until(lk, until);
        }
    }

    // Calls the claim handler about a claim lost with a closed handle, with
    // the lock dropped meanwhile.
    void TellLostClaim(std::unique_lock<std::mutex> &lk)
    {
        lostClaim = false;
        ClaimHandler h = claimHandler;
        lk.unlock();
        if (h)
            h(false);
        lk.lock();
    }

    void NoteUnknownLocked(unsigned long request)
    {
        if (std::find(unknown.begin(), unknown.end(), request) != unknown.end())
            return;
        unknown.push_back(request);
        fprintf(stderr, "usb module: unhandled request 0x%lx\n", request);
    }

    void FailPendingLocked(std::deque<Urb *> &q, int status)
    {
        while (!q.empty()) {
            Urb *u = q.front();
            q.pop_front();
            FinishLocked(u, status, 0);
        }
    }

    void HandleIoctl(UMockdevIoctlClient *client);
    void ClientConnected(UMockdevIoctlClient *client);
    void SubmitLocked(UMockdevIoctlClient *client, UMockdevIoctlData *arg, long &ret, int &eno,
                      Urb *&outUrb, std::vector<uint8_t> &delivered, OutFault &outResult);
    void ClientVanished(UMockdevIoctlClient *client);
    void SweepClientsLocked();
    void DropClientLocked(UMockdevIoctlClient *client);
};

void UsbModuleDevice::Impl::SubmitLocked(UMockdevIoctlClient *client, UMockdevIoctlData *arg,
                                         long &ret, int &eno, Urb *&outUrb,
                                         std::vector<uint8_t> &delivered, OutFault &outResult)
{
    GError *err = nullptr;
    UMockdevIoctlData *urbData = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), &err);
    if (!urbData) {
        g_clear_error(&err);
        ret = -1;
        eno = EFAULT;
        return;
    }
    auto *k = reinterpret_cast<usbdevfs_urb *>(urbData->data);
    UMockdevIoctlData *buf = nullptr;
    if (k->buffer_length > 0) {
        buf = umockdev_ioctl_data_resolve(urbData, offsetof(usbdevfs_urb, buffer),
                                          static_cast<gsize>(k->buffer_length), &err);
        if (!buf) {
            g_clear_error(&err);
            g_object_unref(urbData);
            ret = -1;
            eno = EFAULT;
            return;
        }
    }
    if (removed || closing || k->buffer_length < 0) {
        if (buf)
            g_object_unref(buf);
        g_object_unref(urbData);
        ret = -1;
        eno = k->buffer_length < 0 ? EINVAL : ENODEV;
        return;
    }

    Urb *u = new Urb{static_cast<UMockdevIoctlClient *>(g_object_ref(client)), urbData, buf,
                     k->buffer_length, 0};
    const bool bulk = k->type == USBDEVFS_URB_TYPE_BULK;

    if (bulk && k->endpoint == kEndpointIn) {
        if (haltedIn) {
            FinishLocked(u, -EPIPE, 0);
        } else if (inStallCount > 0) {
            inStallCount--;
            haltedIn = true;
            FinishLocked(u, -EPIPE, 0);
        } else {
            pendingIn.push_back(u);
            PumpLocked();
            timerCv.notify_all();
        }
        return;
    }

    if (bulk && k->endpoint == kEndpointOut) {
        if (haltedOut) {
            stats.outFailures++;
            FinishLocked(u, -EPIPE, 0);
            return;
        }
        OutFault fault = OutFault::None;
        if (outFault != OutFault::None && outFaultCount != 0) {
            fault = outFault;
            if (outFaultCount > 0)
                outFaultCount--;
        }
        size_t len = static_cast<size_t>(u->length);
        size_t taken = fault == OutFault::None ? len : std::min(outAccept, len);
        u->accepted = static_cast<int>(taken);
        if (taken > 0 || fault == OutFault::None) {
            delivered.assign(buf ? buf->data : nullptr, buf ? buf->data + taken : nullptr);
            outs.push_back(delivered);
        }
        if (fault != OutFault::None)
            stats.outFailures++;
        if (fault == OutFault::Stall)
            haltedOut = true;
        outResult = fault;
        outUrb = u;
        return;
    }

    // Control and anything else: the module has no use for them.
    NoteUnknownLocked(0x10000u | static_cast<unsigned long>(k->endpoint) << 8 | k->type);
    FinishLocked(u, -EPIPE, 0);
}

void UsbModuleDevice::Impl::HandleIoctl(UMockdevIoctlClient *client)
{
    const unsigned long req = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    GError *err = nullptr;
    long ret = 0;
    int eno = 0;
    Urb *outUrb = nullptr;
    std::vector<uint8_t> delivered;
    OutFault outResult = OutFault::None;
    int claimChange = 0; // +1 claimed, -1 released

    auto resolve = [&](gsize len) -> UMockdevIoctlData * {
        UMockdevIoctlData *d = umockdev_ioctl_data_resolve(arg, 0, len, &err);
        if (!d) {
            g_clear_error(&err);
            ret = -1;
            eno = EFAULT;
        }
        return d;
    };
    // Claiming interface 0 as the kernel would: busy while a driver or another
    // handle holds it.
    auto claimLocked = [&](unsigned int ifno) {
        if (ifno != kInterface) {
            ret = -1;
            eno = ENOENT;
        } else if (claimFails || !kernelDriver.empty() || (claimedBy && claimedBy != client)) {
            ret = -1;
            eno = EBUSY;
        } else {
            if (claimedBy != client) {
                stats.claims++;
                claimChange = 1;
            }
            claimedBy = client;
        }
    };

    {
        std::unique_lock<std::mutex> lk(mu);
        const bool gone = removed || closing;
        switch (req) {
        case USBDEVFS_REAPURB:
        case USBDEVFS_REAPURBNDELAY: {
            // Completed URBs are handed back even after an unplug.
            auto it = std::find_if(reapable.begin(), reapable.end(),
                                   [client](const Urb *u) { return u->client == client; });
            if (it == reapable.end()) {
                ret = -1;
                eno = gone ? ENODEV : EAGAIN;
                break;
            }
            UMockdevIoctlData *slot = resolve(sizeof(void *));
            if (!slot)
                break;
            Urb *u = *it;
            reapable.erase(it);
            WakeLocked();
            umockdev_ioctl_data_set_ptr(slot, 0, u->urb);
            g_object_unref(slot);
            FreeUrb(u);
            break;
        }
        case USBDEVFS_DISCARDURB: {
            const unsigned long addr =
                arg->data_len >= static_cast<gint>(sizeof(unsigned long))
                    ? *reinterpret_cast<unsigned long *>(arg->data)
                    : 0;
            ret = -1;
            eno = EINVAL;
            for (auto *q : {&pendingIn, &pendingOut}) {
                auto it = std::find_if(q->begin(), q->end(), [addr](const Urb *u) {
                    return u->urb->client_addr == addr;
                });
                if (it != q->end()) {
                    Urb *u = *it;
                    q->erase(it);
                    FinishLocked(u, -ENOENT, u->accepted);
                    ret = 0;
                    eno = 0;
                    break;
                }
            }
            break;
        }
        case USBDEVFS_SUBMITURB:
            SubmitLocked(client, arg, ret, eno, outUrb, delivered, outResult);
            break;
        default:
            if (gone) {
                ret = -1;
                eno = ENODEV;
                break;
            }
            switch (req) {
            case USBDEVFS_GET_CAPABILITIES:
                if (UMockdevIoctlData *d = resolve(sizeof(uint32_t))) {
                    const uint32_t caps = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                                          USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
                    memcpy(d->data, &caps, sizeof caps);
                    g_object_unref(d);
                }
                break;
            case USBDEVFS_GETDRIVER:
                if (UMockdevIoctlData *d = resolve(sizeof(usbdevfs_getdriver))) {
                    auto *g = reinterpret_cast<usbdevfs_getdriver *>(d->data);
                    const char *name = nullptr;
                    if (g->interface != kInterface)
                        name = nullptr;
                    else if (claimedBy)
                        name = "usbfs";
                    else if (!kernelDriver.empty())
                        name = kernelDriver.c_str();
                    if (name) {
                        snprintf(g->driver, sizeof g->driver, "%s", name);
                    } else {
                        ret = -1;
                        eno = ENODATA;
                    }
                    g_object_unref(d);
                }
                break;
            case USBDEVFS_IOCTL:
                if (UMockdevIoctlData *d = resolve(sizeof(usbdevfs_ioctl))) {
                    auto *c = reinterpret_cast<usbdevfs_ioctl *>(d->data);
                    if (c->ioctl_code == static_cast<int>(USBDEVFS_DISCONNECT)) {
                        stats.detachRequests++;
                        if (c->ifno != kInterface || kernelDriver.empty()) {
                            ret = -1;
                            eno = ENODATA;
                        } else {
                            kernelDriver.clear();
                            stats.detaches++;
                        }
                    } else if (c->ioctl_code == static_cast<int>(USBDEVFS_CONNECT)) {
                        // Re-binding a driver: nothing to model.
                    } else {
                        NoteUnknownLocked(static_cast<unsigned long>(c->ioctl_code));
                        ret = -1;
                        eno = ENOTTY;
                    }
                    g_object_unref(d);
                }
                break;
            case USBDEVFS_DISCONNECT_CLAIM:
                if (UMockdevIoctlData *d = resolve(sizeof(usbdevfs_disconnect_claim))) {
                    auto *c = reinterpret_cast<usbdevfs_disconnect_claim *>(d->data);
                    stats.detachRequests++;
                    if (c->interface == kInterface && !kernelDriver.empty()) {
                        kernelDriver.clear();
                        stats.detaches++;
                    }
                    claimLocked(c->interface);
                    g_object_unref(d);
                }
                break;
            case USBDEVFS_SETCONFIGURATION:
                if (UMockdevIoctlData *d = resolve(sizeof(unsigned int))) {
                    unsigned int value = 0;
                    memcpy(&value, d->data, sizeof value);
                    stats.setConfigurations++;
                    stats.lastConfiguration = static_cast<int>(value);
                    if (configFails) {
                        ret = -1;
                        eno = EBUSY;
                    }
                    g_object_unref(d);
                }
                break;
            case USBDEVFS_CLAIMINTERFACE:
                if (UMockdevIoctlData *d = resolve(sizeof(unsigned int))) {
                    unsigned int ifno = 0;
                    memcpy(&ifno, d->data, sizeof ifno);
                    claimLocked(ifno);
                    g_object_unref(d);
                }
                break;
            case USBDEVFS_RELEASEINTERFACE:
                if (UMockdevIoctlData *d = resolve(sizeof(unsigned int))) {
                    unsigned int ifno = 0;
                    memcpy(&ifno, d->data, sizeof ifno);
                    if (ifno == kInterface && claimedBy == client) {
                        claimedBy = nullptr;
                        stats.releases++;
                        claimChange = -1;
                    } else {
                        ret = -1;
                        eno = EINVAL;
                    }
                    g_object_unref(d);
                }
                break;
            case USBDEVFS_CLEAR_HALT:
                if (UMockdevIoctlData *d = resolve(sizeof(unsigned int))) {
                    unsigned int ep = 0;
                    memcpy(&ep, d->data, sizeof ep);
                    stats.clearedHalts.push_back(static_cast<uint8_t>(ep));
                    if (ep == kEndpointIn)
                        haltedIn = false;
                    else if (ep == kEndpointOut)
                        haltedOut = false;
                    g_object_unref(d);
                }
                break;
            case USBDEVFS_RESET:
                stats.resets++;
                haltedIn = false;
                haltedOut = false;
                break;
            case USBDEVFS_SETINTERFACE:
            case USBDEVFS_RESETEP:
                break;
            default:
                NoteUnknownLocked(req);
                ret = -1;
                eno = ENOTTY;
            }
        }
    }

    if (claimChange != 0) {
        ClaimHandler h;
        {
            std::lock_guard<std::mutex> lk(mu);
            h = claimHandler;
        }
        if (h)
            h(claimChange > 0);
    }

    if (outUrb) {
        // The module reacts before the host sees its write complete, so a
        // reply queued here is already there for the host's next read.
        OutHandler h;
        {
            std::lock_guard<std::mutex> lk(mu);
            h = outHandler;
        }
        if (h && (!delivered.empty() || outResult == OutFault::None))
            h(delivered);
        std::lock_guard<std::mutex> lk(mu);
        if (removed) {
            FinishLocked(outUrb, -ENODEV, 0);
        } else if (outResult == OutFault::None) {
            FinishLocked(outUrb, 0, outUrb->length);
        } else if (outResult == OutFault::Stall) {
            FinishLocked(outUrb, -EPIPE, outUrb->accepted);
        } else {
            pendingOut.push_back(outUrb);
        }
    }
    umockdev_ioctl_client_complete(client, ret, eno);
}

void UsbModuleDevice::Impl::ClientConnected(UMockdevIoctlClient *client)
{
    std::lock_guard<std::mutex> lk(mu);
    clients.push_back(static_cast<UMockdevIoctlClient *>(g_object_ref(client)));
    stats.openClients++;
    timerCv.notify_all();
}

void UsbModuleDevice::Impl::ClientVanished(UMockdevIoctlClient *client)
{
    std::unique_lock<std::mutex> lk(mu);
    DropClientLocked(client);
    if (lostClaim)
        TellLostClaim(lk);
}

void UsbModuleDevice::Impl::SweepClientsLocked()
{
    for (size_t i = 0; i < clients.size();) {
        if (umockdev_ioctl_client_get_connected(clients[i]))
            i++;
        else
            DropClientLocked(clients[i]);
    }
}

void UsbModuleDevice::Impl::DropClientLocked(UMockdevIoctlClient *client)
{
    auto known = std::find(clients.begin(), clients.end(), client);
    if (known == clients.end())
        return; // told twice
    clients.erase(known);
    stats.openClients--;
    if (claimedBy == client) {
        claimedBy = nullptr;
        lostClaim = true;
    }
    // URBs of a closed handle can never be reaped: drop them.
    for (auto *q : {&pendingIn, &pendingOut, &reapable}) {
        for (auto it = q->begin(); it != q->end();) {
            if ((*it)->client == client) {
                FreeUrb(*it);
                it = q->erase(it);
            } else {
                ++it;
            }
        }
    }
    WakeLocked();
    g_object_unref(client);
}

namespace {

using ImplRef = std::shared_ptr<UsbModuleDevice::Impl>;

// The signal closures keep the state alive: umockdev's worker may still be
// inside a handler while the device object is being destroyed.
void DropRef(gpointer data, GClosure *)
{
    delete static_cast<ImplRef *>(data);
}

gboolean OnHandleIoctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer data)
{
    (*static_cast<ImplRef *>(data))->HandleIoctl(client);
    return TRUE;
}

void OnClientVanished(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer data)
{
    (*static_cast<ImplRef *>(data))->ClientVanished(client);
}

void OnClientConnected(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer data)
{
    (*static_cast<ImplRef *>(data))->ClientConnected(client);
}

} // namespace

UsbModuleDevice::UsbModuleDevice(bool present) : m_impl(std::make_shared<Impl>())
{
    if (!PreloadActive())
        m_impl->error = "libumockdev-preload.so.0 is not loaded (run with LD_PRELOAD)";
    m_impl->testbed = umockdev_testbed_new();
    gchar *root = umockdev_testbed_get_root_dir(m_impl->testbed);
    m_impl->rootDir = root;
    g_free(root);
    Impl *impl = m_impl.get();
    m_impl->timer = std::thread([impl] { impl->TimerLoop(); });
    if (present && !Plug() && m_impl->error.empty())
        m_impl->error = "cannot plug the device";
}

UsbModuleDevice::~UsbModuleDevice()
{
    {
        std::lock_guard<std::mutex> lk(m_impl->mu);
        m_impl->closing = true;
    }
    m_impl->timerCv.notify_all();
    if (m_impl->timer.joinable())
        m_impl->timer.join();
    if (m_impl->handler) {
        g_signal_handlers_disconnect_matched(m_impl->handler, G_SIGNAL_MATCH_FUNC, 0, 0, nullptr,
                                             reinterpret_cast<gpointer>(OnHandleIoctl), nullptr);
        g_signal_handlers_disconnect_matched(m_impl->handler, G_SIGNAL_MATCH_FUNC, 0, 0, nullptr,
                                             reinterpret_cast<gpointer>(OnClientConnected), nullptr);
        g_signal_handlers_disconnect_matched(m_impl->handler, G_SIGNAL_MATCH_FUNC, 0, 0, nullptr,
                                             reinterpret_cast<gpointer>(OnClientVanished), nullptr);
    }
    if (m_impl->testbed)
        g_object_unref(m_impl->testbed);
    if (m_impl->handler)
        g_object_unref(m_impl->handler);
    std::lock_guard<std::mutex> lk(m_impl->mu);
    m_impl->testbed = nullptr;
    m_impl->handler = nullptr;
}

bool UsbModuleDevice::Ok() const
{
    std::lock_guard<std::mutex> lk(m_impl->mu);
    return m_impl->error.empty();
}

std::string UsbModuleDevice::Error() const
{
    std::lock_guard<std::mutex> lk(m_impl->mu);
    return m_impl->error;
}

bool UsbModuleDevice::PreloadActive()
{
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        if (line.find("libumockdev-preload") != std::string::npos)
            return true;
    }
    return false;
}

bool UsbModuleDevice::Plug()
{
    Impl &d = *m_impl;
    {
        std::lock_guard<std::mutex> lk(d.mu);
        if (d.plugged || d.closing)
            return false;
        d.plugged = true;
    }
    gchar *sys = umockdev_testbed_add_device(
        d.testbed, "usb", kSysName, nullptr,
        "busnum", "1\n", "devnum", "2\n", "speed", "12\n", "bConfigurationValue", "1\n",
        "bNumConfigurations", "1\n", "idVendor", "0400\n", "idProduct", "c355\n",
        "dev", "189:1\n", nullptr,
        "DEVTYPE", "usb_device", "DEVNAME", kDevNode, "BUSNUM", "001", "DEVNUM", "002",
        "PRODUCT", "400/c355/100", nullptr);
    if (!sys) {
        std::lock_guard<std::mutex> lk(d.mu);
        d.error = "umockdev_testbed_add_device failed";
        return false;
    }
    umockdev_testbed_set_attribute_binary(d.testbed, sys, "descriptors",
                                          const_cast<guint8 *>(kDescriptors),
                                          sizeof kDescriptors);

    // umockdev leaves the node to us; a FIFO lets WakeLocked steer libusb's poll.
    std::string dir = d.rootDir + "/dev/bus/usb/001";
    std::string node = dir + "/002";
    gchar *dirz = g_strdup(dir.c_str());
    const bool madeDir = g_mkdir_with_parents(dirz, 0755) == 0;
    g_free(dirz);
    int fd = -1;
    if (madeDir && mkfifo(node.c_str(), 0666) == 0)
        fd = open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        std::lock_guard<std::mutex> lk(d.mu);
        d.error = std::string("cannot create the device node: ") + strerror(errno);
        g_free(sys);
        return false;
    }

    UMockdevIoctlBase *handler = umockdev_ioctl_base_new();
    g_signal_connect_data(handler, "handle-ioctl", G_CALLBACK(OnHandleIoctl), new ImplRef(m_impl),
                          DropRef, GConnectFlags(0));
    g_signal_connect_data(handler, "client-connected", G_CALLBACK(OnClientConnected),
                          new ImplRef(m_impl), DropRef, GConnectFlags(0));
    g_signal_connect_data(handler, "client-vanished", G_CALLBACK(OnClientVanished),
                          new ImplRef(m_impl), DropRef, GConnectFlags(0));
    {
        std::lock_guard<std::mutex> lk(d.mu);
        d.sysPath = sys;
        d.wakeFd = fd;
        d.handler = handler;
        d.WakeLocked();
    }
    g_free(sys);

    GError *err = nullptr;
    if (!umockdev_testbed_attach_ioctl(d.testbed, kDevNode, handler, &err)) {
        std::lock_guard<std::mutex> lk(d.mu);
        d.error = std::string("umockdev_testbed_attach_ioctl: ") + (err ? err->message : "failed");
        g_clear_error(&err);
        return false;
    }
    return true;
}

void UsbModuleDevice::Remove()
{
    Impl &d = *m_impl;
    std::lock_guard<std::mutex> plug(d.plugMu);
    std::string sys;
    {
        std::lock_guard<std::mutex> lk(d.mu);
        if (!d.plugged || d.removed)
            return;
        d.removed = true;
        d.frames.clear();
        d.FailPendingLocked(d.pendingIn, -ENODEV);
        d.FailPendingLocked(d.pendingOut, -ENODEV);
        sys = d.sysPath;
    }
    if (!sys.empty())
        umockdev_testbed_remove_device(d.testbed, sys.c_str());
}

bool UsbModuleDevice::Replug()
{
    Impl &d = *m_impl;
    std::lock_guard<std::mutex> plug(d.plugMu);
    UMockdevIoctlBase *old = nullptr;
    {
        std::lock_guard<std::mutex> lk(d.mu);
        if (!d.removed || d.closing)
            return false;
        old = d.handler;
        d.handler = nullptr;
    }
    GError *err = nullptr;
    umockdev_testbed_detach_ioctl(d.testbed, kDevNode, &err);
    g_clear_error(&err);
    if (old) {
        for (gpointer fn : {reinterpret_cast<gpointer>(OnHandleIoctl), reinterpret_cast<gpointer>(OnClientConnected),
                            reinterpret_cast<gpointer>(OnClientVanished)})
            g_signal_handlers_disconnect_matched(old, G_SIGNAL_MATCH_FUNC, 0, 0, nullptr, fn, nullptr);
        g_object_unref(old);
    }
    {
        std::lock_guard<std::mutex> lk(d.mu);
        if (d.wakeFd >= 0)
            close(d.wakeFd);
        d.wakeFd = -1;
        d.removed = false;
        d.plugged = false;
        d.haltedIn = false;
        d.haltedOut = false;
        d.claimedBy = nullptr;
        d.frames.clear();
    }
    // Plug makes the node afresh.
    unlink((d.rootDir + kDevNode).c_str());
    return Plug();
}

bool UsbModuleDevice::Present() const
{
    std::lock_guard<std::mutex> lk(m_impl->mu);
    return m_impl->plugged && !m_impl->removed;
}

void UsbModuleDevice::SetOutHandler(OutHandler handler)
{
    std::lock_guard<std::mutex> lk(m_impl->mu);
    m_impl->outHandler = std::move(handler);
}

void UsbModuleDevice::SetClaimHandler(ClaimHandler handler)
{
    std::lock_guard<std::mutex> lk(m_impl->mu);
    m_impl->claimHandler = std::move(handler);
}

void UsbModuleDevice::QueueIn(const std::vector<uint8_t> &frame, int delayMs)
{
    QueueIn(frame.data(), frame.size(), delayMs);
}

void UsbModuleDevice::QueueIn(const uint8_t *data, size_t len, int delayMs)
{
    Impl &d = *m_impl;
    Impl::Frame f;
    if (data && len > 0)
        f.data.assign(data, data + len);
    f.offset = 0;
    f.readyAt = Clock::now() + std::chrono::milliseconds(std::max(delayMs, 0));
    {
        std::lock_guard<std::mutex> lk(d.mu);
        if (d.removed)
            return;
        // Frames leave in order: a frame is never ready before the one ahead.
        if (!d.frames.empty() && d.frames.back().readyAt > f.readyAt)
            f.readyAt = d.frames.back().readyAt;
        d.frames.push_back(std::move(f));
        d.PumpLocked();
    }
    d.timerCv.notify_all();
}

void UsbModuleDevice::ClearIn()
{
    std::lock_guard<std::mutex> lk(m_impl->mu);
    m_impl->frames.clear();
}

size_t UsbModuleDevice::PendingInFrames() const
{
    std::lock_guard<std::mutex> lk(m_impl->mu);
    return m_impl->frames.size();
}

size_t UsbModuleDevice::PendingInBytes() const
{
    std::lock_guard<std::mutex> lk(m_impl->mu);
    size_t n = 0;
    for (const Impl::Frame &f : m_impl->frames)
        n += f.data.size() - f.offset;
    return n;
}

void UsbModuleDevice::SetKernelDriver(const std::string &name)
{
    std::lock_guard<std::mutex> lk(m_impl->mu);
    m_impl->kernelDriver = name;
}

void UsbModuleDevice::SetConfigurationFails(bool fails)
{
    std::lock_guard<std::mutex> lk(m_impl->mu);
    m_impl->configFails = fails;
}

void UsbModuleDevice::SetClaimFails(bool fails)
{
    std::lock_guard<std::mutex> lk(m_impl->mu);
    m_impl->claimFails = fails;
}

void UsbModuleDevice::SetOutFault(OutFault fault, size_t acceptBytes, int count)
{
    std::lock_guard<std::mutex> lk(m_impl->mu);
    m_impl->outFault = fault;
    m_impl->outAccept = acceptBytes;
    m_impl->outFaultCount = count;
}

void UsbModuleDevice::StallIn(int count)
{
    std::lock_guard<std::mutex> lk(m_impl->mu);
    m_impl->inStallCount = count;
}

void UsbModuleDevice::BabbleIn(int count)
{
    std::lock_guard<std::mutex> lk(m_impl->mu);
    m_impl->inBabbleCount = count;
}

UsbModuleDevice::Stats UsbModuleDevice::GetStats() const
{
    std::lock_guard<std::mutex> lk(m_impl->mu);
    Stats s = m_impl->stats;
    s.pendingIn = static_cast<int>(m_impl->pendingIn.size());
    return s;
}

std::vector<std::vector<uint8_t>> UsbModuleDevice::OutTransfers() const
{
    std::lock_guard<std::mutex> lk(m_impl->mu);
    return m_impl->outs;
}

std::vector<unsigned long> UsbModuleDevice::UnknownRequests() const
{
    std::lock_guard<std::mutex> lk(m_impl->mu);
    return m_impl->unknown;
}

bool UsbModuleDevice::WaitFor(const std::function<bool(const Stats &)> &pred, int timeoutMs) const
{
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (pred(GetStats()))
            return true;
        if (Clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

std::string UsbModuleDevice::RootDir() const
{
    return m_impl->rootDir;
}

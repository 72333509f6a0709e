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
#include <map>
#include <sys/ioctl.h>
#include <mutex>
#include <set>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

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

// A plain hub, for the ports of a deeper chain such as 1-1.4: libusb takes
// a device's port chain from its parents in sysfs.
const uint8_t kHubDescriptors[] = {
    // device: USB 2.0, hub class, EP0 64 bytes, 0001:0009, one configuration
    0x12, 0x01, 0x00, 0x02, 0x09, 0x00, 0x01, 0x40, 0x01, 0x00, 0x09, 0x00, 0x00, 0x01,
    0x00, 0x00, 0x00, 0x01,
    // configuration 1: 25 bytes, one interface, self powered
    0x09, 0x02, 0x19, 0x00, 0x01, 0x01, 0x00, 0xE0, 0x00,
    // interface 0: hub class, one endpoint
    0x09, 0x04, 0x00, 0x00, 0x01, 0x09, 0x00, 0x00, 0x00,
    // endpoint 0x81 interrupt IN, 1 byte, every 12 frames
    0x07, 0x05, 0x81, 0x03, 0x01, 0x00, 0x0C,
};

constexpr uint16_t kHubVendorId = 0x0001;
constexpr uint16_t kHubProductId = 0x0009;
constexpr int kMaxChain = 7; // the deepest chain libusb reports

// "B-P[.P...]": bus B, then the port on each hub from the root down.
bool ParsePort(const std::string &name, int &bus, std::vector<int> &chain)
{
    chain.clear();
    const char *p = name.c_str();
    auto number = [&p](int most, int &out) {
        if (*p < '1' || *p > '9')
            return false; // no sign, no leading zero: one spelling per port
        long v = 0;
        while (*p >= '0' && *p <= '9' && v <= most)
            v = v * 10 + (*p++ - '0');
        out = static_cast<int>(v);
        return v <= most;
    };
    if (!number(255, bus) || *p++ != '-')
        return false;
    for (;;) {
        int port = 0;
        if (!number(255, port) || static_cast<int>(chain.size()) == kMaxChain)
            return false;
        chain.push_back(port);
        if (*p == '\0')
            return true;
        if (*p++ != '.')
            return false;
    }
}

std::string NodeOf(int bus, int address)
{
    char node[40];
    snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d", bus, address);
    return node;
}

// Adds a USB device to the testbed with its descriptors already in place:
// umockdev announces the device ("add" uevent) from inside add_device, and
// libusb's hotplug thread reads the descriptors as soon as it hears of it.
gchar *AddUsbDevice(UMockdevTestbed *tb, const std::string &root, const std::string &name,
                    const std::string &parent, int bus, int address, uint16_t vendorId,
                    uint16_t productId, const uint8_t *descriptors, size_t len)
{
    const std::string dir = root + (parent.empty() ? std::string("/sys/devices") : parent) + "/" + name;
    gchar *dirz = g_strdup(dir.c_str());
    const bool madeDir = g_mkdir_with_parents(dirz, 0755) == 0;
    g_free(dirz);
    if (!madeDir ||
        !g_file_set_contents((dir + "/descriptors").c_str(), reinterpret_cast<const gchar *>(descriptors),
                             static_cast<gssize>(len), nullptr))
        return nullptr;
    const std::string busnum = std::to_string(bus) + "\n";
    const std::string devnum = std::to_string(address) + "\n";
    // The kernel's numbering of usb_device nodes (major 189).
    const std::string dev = "189:" + std::to_string((bus - 1) * 128 + address - 1) + "\n";
    char busPad[8], devPad[8], vendor[8], product[8], productProp[24];
    snprintf(busPad, sizeof busPad, "%03d", bus);
    snprintf(devPad, sizeof devPad, "%03d", address);
    snprintf(vendor, sizeof vendor, "%04x\n", vendorId);
    snprintf(product, sizeof product, "%04x\n", productId);
    snprintf(productProp, sizeof productProp, "%x/%x/100", vendorId, productId);
    const std::string node = NodeOf(bus, address);
    return umockdev_testbed_add_device(
        tb, "usb", name.c_str(), parent.empty() ? nullptr : parent.c_str(),
        "busnum", busnum.c_str(), "devnum", devnum.c_str(), "speed", "12\n",
        "bConfigurationValue", "1\n", "bNumConfigurations", "1\n", "idVendor", vendor, "idProduct", product,
        "dev", dev.c_str(), nullptr,
        "DEVTYPE", "usb_device", "DEVNAME", node.c_str(), "BUSNUM", busPad, "DEVNUM", devPad,
        "PRODUCT", productProp, nullptr);
}

// umockdev serves one testbed per process (it sets $UMOCKDEV_DIR), so every
// device shares it: made by the first device, freed with the last. The lock
// also keeps changes of the testbed apart, since devices plug and unplug on
// different threads.
struct Bed {
    UMockdevTestbed *testbed = nullptr;
    std::string root;
    int refs = 0;
    std::map<int, int> nextAddress;           // per bus: where the next search starts
    std::set<std::pair<int, int>> addresses;  // bus and address of every device and hub
    std::set<std::string> modulePorts;
    struct Hub {
        // cppcheck-suppress unusedStructMember ; read when the last device below goes
        std::string sysPath;
        // cppcheck-suppress unusedStructMember ; read when the last device below goes
        int address;
        // cppcheck-suppress unusedStructMember ; counted in TakePortLocked and FreePortLocked
        int refs; // devices below it
    };
    std::map<std::string, Hub> hubs;
};

std::mutex g_bedMu;
Bed *g_bed = nullptr;

Bed *AcquireBedLocked()
{
    if (!g_bed) {
        g_bed = new Bed;
        g_bed->testbed = umockdev_testbed_new();
        gchar *root = umockdev_testbed_get_root_dir(g_bed->testbed);
        g_bed->root = root;
        g_free(root);
    }
    g_bed->refs++;
    return g_bed;
}

void ReleaseBedLocked()
{
    if (!g_bed || --g_bed->refs > 0)
        return;
    g_object_unref(g_bed->testbed);
    delete g_bed;
    g_bed = nullptr;
}

// Like the kernel: the next free address after the last one given, so a
// device plugged in again gets a new one.
int TakeAddressLocked(Bed &bed, int bus)
{
    int &next = bed.nextAddress.emplace(bus, 2).first->second; // 1 is the root hub
    for (int i = 0; i < 126; i++) {
        const int a = 2 + (next - 2 + i) % 126;
        if (bed.addresses.insert({bus, a}).second) {
            next = a + 1;
            return a;
        }
    }
    return -1;
}

std::string ChainName(int bus, const std::vector<int> &chain, size_t depth)
{
    std::string name = std::to_string(bus) + "-";
    for (size_t i = 0; i < depth; i++)
        name += (i ? "." : "") + std::to_string(chain[i]);
    return name;
}

void FreePortLocked(Bed &bed, const std::string &port, int bus, const std::vector<int> &chain)
{
    bed.modulePorts.erase(port);
    for (size_t depth = chain.size() - 1; depth >= 1; depth--) {
        auto it = bed.hubs.find(ChainName(bus, chain, depth));
        if (it == bed.hubs.end() || --it->second.refs > 0)
            continue;
        umockdev_testbed_uevent(bed.testbed, it->second.sysPath.c_str(), "remove");
        umockdev_testbed_remove_device(bed.testbed, it->second.sysPath.c_str());
        bed.addresses.erase({bus, it->second.address});
        bed.hubs.erase(it);
    }
}

// Claims a port for a module, with a hub at each port above it. parentSys
// is the sysfs path of the hub it sits on (empty on the root hub).
bool TakePortLocked(Bed &bed, const std::string &port, int bus, const std::vector<int> &chain,
                    std::string &parentSys, std::string &error)
{
    if (bed.modulePorts.count(port) || bed.hubs.count(port)) {
        error = "port " + port + " is taken";
        return false;
    }
    for (size_t depth = 1; depth < chain.size(); depth++) {
        if (bed.modulePorts.count(ChainName(bus, chain, depth))) {
            error = "port " + ChainName(bus, chain, depth) + " holds a module, not a hub";
            return false;
        }
    }
    bed.modulePorts.insert(port);
    parentSys.clear();
    for (size_t depth = 1; depth < chain.size(); depth++) {
        const std::string name = ChainName(bus, chain, depth);
        auto it = bed.hubs.find(name);
        if (it == bed.hubs.end()) {
            const int address = TakeAddressLocked(bed, bus);
            gchar *sys = address < 0 ? nullptr
                                     : AddUsbDevice(bed.testbed, bed.root, name, parentSys, bus, address,
                                                    kHubVendorId, kHubProductId, kHubDescriptors,
                                                    sizeof kHubDescriptors);
            if (!sys) {
                if (address >= 0)
                    bed.addresses.erase({bus, address});
                // Undo the hubs above, which this port already counts on.
                std::vector<int> above(chain.begin(), chain.begin() + static_cast<long>(depth));
                FreePortLocked(bed, port, bus, above);
                error = "cannot add the hub at " + name;
                return false;
            }
            it = bed.hubs.emplace(name, Bed::Hub{sys, address, 0}).first;
            g_free(sys);
        }
        it->second.refs++;
        parentSys = it->second.sysPath;
    }
    return true;
}

} // namespace

struct UsbModuleDevice::Impl {
    // umockdev copies a submitted URB and its buffer back to the client on
    // its worker thread after the submit, outside our lock: what a finished
    // transfer brings is kept here and written into umockdev's memory only
    // when the URB is reaped, on that same thread.
    struct Urb {
        UMockdevIoctlClient *client;
        UMockdevIoctlData *urb;
        UMockdevIoctlData *buf; // null for a zero-length transfer
        int length;
        int accepted; // OUT bytes taken in before a fault
        int status = 0;
        int actual = 0;
        std::vector<uint8_t> in;
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

    UMockdevTestbed *testbed = nullptr; // the shared one; valid while the device object exists
    UMockdevIoctlBase *handler = nullptr;
    std::string port;
    int bus = 0;
    std::vector<int> chain;
    bool portTaken = false;
    std::string parentSys; // the hub it sits on; empty on the root hub
    int address = -1;      // devnum; guarded by mu once the device is built
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
        u->status = status;
        u->actual = actual;
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
                u->in.assign(f.data.begin() + static_cast<long>(f.offset),
                             f.data.begin() + static_cast<long>(f.offset + n));
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

    bool PlugLocked(const std::shared_ptr<Impl> &self);
    void UnplugLocked();
    void DetachLocked();

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
                     k->buffer_length, 0, 0, 0, {}};
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
            auto *k = reinterpret_cast<usbdevfs_urb *>(u->urb->data);
            k->status = u->status;
            k->actual_length = u->actual;
            if (!u->in.empty() && u->buf)
                memcpy(u->buf->data, u->in.data(), u->in.size());
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

UsbModuleDevice::UsbModuleDevice(bool present, std::string port) : m_impl(std::make_shared<Impl>())
{
    Impl &d = *m_impl;
    if (!PreloadActive())
        d.error = "libumockdev-preload.so.0 is not loaded (run with LD_PRELOAD)";
    d.port = std::move(port);
    {
        std::lock_guard<std::mutex> bedLock(g_bedMu);
        Bed *bed = AcquireBedLocked();
        d.testbed = bed->testbed;
        d.rootDir = bed->root;
        std::string error;
        if (!ParsePort(d.port, d.bus, d.chain)) {
            error = "bad port name '" + d.port + "' (like 1-1 or 1-1.4)";
        } else if (TakePortLocked(*bed, d.port, d.bus, d.chain, d.parentSys, error)) {
            d.portTaken = true;
            d.address = TakeAddressLocked(*bed, d.bus);
            if (d.address < 0)
                error = "no free address on bus " + std::to_string(d.bus);
        }
        if (d.error.empty())
            d.error = error;
    }
    Impl *impl = m_impl.get();
    d.timer = std::thread([impl] { impl->TimerLoop(); });
    if (present && !Plug() && d.error.empty())
        d.error = "cannot plug the device";
}

UsbModuleDevice::~UsbModuleDevice()
{
    Impl &d = *m_impl;
    {
        std::lock_guard<std::mutex> lk(d.mu);
        d.closing = true;
    }
    d.timerCv.notify_all();
    if (d.timer.joinable())
        d.timer.join();
    std::lock_guard<std::mutex> plug(d.plugMu);
    // Going away is an unplug to every libusb context that outlives us.
    d.UnplugLocked();
    d.DetachLocked();
    std::lock_guard<std::mutex> bedLock(g_bedMu);
    if (g_bed) {
        if (d.address > 0)
            g_bed->addresses.erase({d.bus, d.address});
        if (d.portTaken)
            FreePortLocked(*g_bed, d.port, d.bus, d.chain);
        ReleaseBedLocked();
    }
    std::lock_guard<std::mutex> lk(d.mu);
    d.testbed = nullptr;
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
    std::lock_guard<std::mutex> plug(m_impl->plugMu);
    return m_impl->PlugLocked(m_impl);
}

// With plugMu held.
bool UsbModuleDevice::Impl::PlugLocked(const std::shared_ptr<Impl> &self)
{
    int addr;
    {
        std::lock_guard<std::mutex> lk(mu);
        if (plugged || closing || !portTaken || address < 0)
            return false;
        plugged = true;
        addr = address;
    }
    auto fail = [this](const std::string &why) {
        std::lock_guard<std::mutex> lk(mu);
        error = why;
        return false;
    };
    const std::string devNode = NodeOf(bus, addr);

    // umockdev leaves the node to us; a FIFO lets WakeLocked steer libusb's poll.
    const std::string node = rootDir + devNode;
    gchar *dirz = g_path_get_dirname(node.c_str());
    const bool madeDir = g_mkdir_with_parents(dirz, 0755) == 0;
    g_free(dirz);
    int fd = -1;
    if (madeDir && mkfifo(node.c_str(), 0666) == 0)
        fd = open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return fail(std::string("cannot create the device node: ") + strerror(errno));

    UMockdevIoctlBase *h = umockdev_ioctl_base_new();
    g_signal_connect_data(h, "handle-ioctl", G_CALLBACK(OnHandleIoctl), new ImplRef(self), DropRef,
                          GConnectFlags(0));
    g_signal_connect_data(h, "client-connected", G_CALLBACK(OnClientConnected), new ImplRef(self),
                          DropRef, GConnectFlags(0));
    g_signal_connect_data(h, "client-vanished", G_CALLBACK(OnClientVanished), new ImplRef(self),
                          DropRef, GConnectFlags(0));
    {
        std::lock_guard<std::mutex> lk(mu);
        wakeFd = fd;
        handler = h;
        WakeLocked();
    }

    // The node answers before sysfs shows the device: a host told of the
    // arrival may open it at once.
    std::lock_guard<std::mutex> bedLock(g_bedMu);
    GError *err = nullptr;
    if (!umockdev_testbed_attach_ioctl(testbed, devNode.c_str(), h, &err)) {
        std::string why = std::string("umockdev_testbed_attach_ioctl: ") + (err ? err->message : "failed");
        g_clear_error(&err);
        return fail(why);
    }
    gchar *sys = AddUsbDevice(testbed, rootDir, port, parentSys, bus, addr, kVendorId, kProductId,
                              kDescriptors, sizeof kDescriptors);
    if (!sys)
        return fail("umockdev_testbed_add_device failed");
    std::lock_guard<std::mutex> lk(mu);
    sysPath = sys;
    g_free(sys);
    return true;
}

// With plugMu held: the module leaves the bus.
void UsbModuleDevice::Impl::UnplugLocked()
{
    std::string sys;
    {
        std::lock_guard<std::mutex> lk(mu);
        if (!plugged || removed)
            return;
        removed = true;
        frames.clear();
        FailPendingLocked(pendingIn, -ENODEV);
        FailPendingLocked(pendingOut, -ENODEV);
        sys.swap(sysPath);
    }
    if (sys.empty())
        return;
    std::lock_guard<std::mutex> bedLock(g_bedMu);
    // umockdev sends no uevent of its own on removal, and the event must go
    // while sysfs still names the node: libusb finds the device by it.
    umockdev_testbed_uevent(testbed, sys.c_str(), "remove");
    umockdev_testbed_remove_device(testbed, sys.c_str());
}

// With plugMu held: the node stops answering and goes.
void UsbModuleDevice::Impl::DetachLocked()
{
    UMockdevIoctlBase *old = nullptr;
    int addr;
    {
        std::lock_guard<std::mutex> lk(mu);
        old = handler;
        handler = nullptr;
        addr = address;
        if (wakeFd >= 0)
            close(wakeFd);
        wakeFd = -1;
    }
    if (!old)
        return;
    const std::string devNode = NodeOf(bus, addr);
    {
        std::lock_guard<std::mutex> bedLock(g_bedMu);
        GError *err = nullptr;
        umockdev_testbed_detach_ioctl(testbed, devNode.c_str(), &err);
        g_clear_error(&err);
    }
    for (gpointer fn : {reinterpret_cast<gpointer>(OnHandleIoctl), reinterpret_cast<gpointer>(OnClientConnected),
                        reinterpret_cast<gpointer>(OnClientVanished)})
        g_signal_handlers_disconnect_matched(old, G_SIGNAL_MATCH_FUNC, 0, 0, nullptr, fn, nullptr);
    g_object_unref(old);
    unlink((rootDir + devNode).c_str());
}

void UsbModuleDevice::Remove()
{
    std::lock_guard<std::mutex> plug(m_impl->plugMu);
    m_impl->UnplugLocked();
}

bool UsbModuleDevice::Replug(bool newAddress)
{
    Impl &d = *m_impl;
    std::lock_guard<std::mutex> plug(d.plugMu);
    {
        std::lock_guard<std::mutex> lk(d.mu);
        if (!d.removed || d.closing)
            return false;
    }
    d.DetachLocked();
    if (newAddress) {
        std::lock_guard<std::mutex> bedLock(g_bedMu);
        // Taken before the old one is let go, so it cannot come back.
        const int fresh = TakeAddressLocked(*g_bed, d.bus);
        if (fresh < 0) {
            std::lock_guard<std::mutex> lk(d.mu);
            d.error = "no free address on bus " + std::to_string(d.bus);
            return false;
        }
        g_bed->addresses.erase({d.bus, d.address});
        std::lock_guard<std::mutex> lk(d.mu);
        d.address = fresh;
    }
    {
        std::lock_guard<std::mutex> lk(d.mu);
        d.removed = false;
        d.plugged = false;
        d.haltedIn = false;
        d.haltedOut = false;
        d.claimedBy = nullptr;
        d.frames.clear();
    }
    return d.PlugLocked(m_impl);
}

std::string UsbModuleDevice::Port() const
{
    return m_impl->port;
}

int UsbModuleDevice::Address() const
{
    std::lock_guard<std::mutex> lk(m_impl->mu);
    return m_impl->address;
}

std::string UsbModuleDevice::DevNode() const
{
    std::lock_guard<std::mutex> lk(m_impl->mu);
    return m_impl->address > 0 ? NodeOf(m_impl->bus, m_impl->address) : std::string();
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

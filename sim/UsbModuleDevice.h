// Emulated reader module on USB (0400:C355) for tests and tools.
//
// The real libusb-1.0 sees the device through umockdev: a testbed with the
// module's sysfs entry and descriptors, and a /dev node whose usbfs ioctls are
// answered here. The process must run with libumockdev-preload.so.0 loaded
// (LD_PRELOAD), and the device must be created before the code under test
// calls libusb_init.
//
// Several devices may exist at once, each on its own port (its sysfs name:
// "1-1", "1-2", "2-1", "1-1.4") with its own address and /dev node. They share
// the process's one umockdev testbed, made by the first device and freed with
// the last. A port deeper than one hub ("1-1.4") puts a plain hub (class 9,
// 0001:0009) on each port above it, so libusb reports the whole chain; such a
// port cannot hold a module at the same time. Plugging, unplugging and
// replugging send the uevents libusb's hotplug support listens for.
//
// What the module does with the bytes is not decided here: a behaviour hook
// sees every bulk OUT transfer and answers by queueing IN frames. Without a
// queued frame an IN transfer stays pending until the host gives up, exactly
// like a silent module.
//
//     UsbModuleDevice dev;                      // present, no kernel driver
//     dev.SetOutHandler([&dev](const std::vector<uint8_t> &out) {
//         if (!out.empty() && out[0] == 0xAA)
//             dev.QueueIn({0xAA, 0x00, 0x02, 0x90, 0x92});
//     });
//     dev.QueueIn(frame, 200);                  // unsolicited, after 200 ms
//     ... libusb / LinkUsb talk to it ...
//     dev.GetStats().claims, dev.OutTransfers(), dev.Remove() ...
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class UsbModuleDevice {
public:
    static constexpr uint16_t kVendorId = 0x0400;
    static constexpr uint16_t kProductId = 0xC355;
    static constexpr uint8_t kConfiguration = 1;
    static constexpr uint8_t kInterface = 0;
    static constexpr uint8_t kEndpointIn = 0x83;
    static constexpr uint8_t kEndpointOut = 0x03;
    static constexpr int kMaxPacket = 64;

    enum class OutFault {
        None,
        Stall,   // the endpoint halts (-EPIPE) and stays halted until CLEAR_HALT
        Timeout, // the transfer never completes; the host's timeout discards it
    };

    // Sees the bytes of each bulk OUT transfer the device takes in, before the
    // host learns that the transfer completed. Runs on umockdev's worker
    // thread without any lock of the device held, so it may call every method
    // (typically QueueIn). It must not block for long: the host waits.
    using OutHandler = std::function<void(const std::vector<uint8_t> &out)>;

    struct Stats {
        int claims = 0;            // interface claims accepted
        int releases = 0;          // interface releases
        int detachRequests = 0;    // requests to detach a kernel driver, bound or not
        int detaches = 0;          // kernel driver detached
        int resets = 0;            // device resets
        int setConfigurations = 0; // SETCONFIGURATION requests, failed ones too
        int lastConfiguration = -1;
        std::vector<uint8_t> clearedHalts; // endpoint of each CLEAR_HALT, in order
        int inTransfers = 0;       // IN transfers completed with data
        int outFailures = 0;       // OUT transfers failed by a fault
        int openClients = 0;       // handles currently open on the /dev node
        int pendingIn = 0;         // IN transfers waiting for data now
    };

    // present = false leaves the port empty; Plug() adds the module later.
    // The first device on a bus gets address 2 (/dev/bus/usb/001/002 on bus
    // 1), later ones the next free address, as the kernel hands them out. A
    // bad or taken port leaves Ok() false.
    explicit UsbModuleDevice(bool present = true, std::string port = "1-1");
    ~UsbModuleDevice();
    UsbModuleDevice(const UsbModuleDevice &) = delete;
    UsbModuleDevice &operator=(const UsbModuleDevice &) = delete;

    // False when setting up the testbed or the device failed; Error() says why.
    bool Ok() const;
    std::string Error() const;
    // True when umockdev's preload library is in this process; without it
    // libusb looks at the real /sys and /dev.
    static bool PreloadActive();

    // Adds the module to the bus. Only once per device object; false if it is
    // already there or was removed.
    bool Plug();
    // Unplugs the module: it leaves sysfs (new opens find nothing), transfers
    // still pending fail with -ENODEV, and every later request on an open
    // handle fails with ENODEV.
    void Remove();
    // Brings a removed module back as a new device on the same port, as if
    // plugged in again: no handle of before reaches it, the halts and the
    // claim are gone, and the fault settings stay. It keeps its address and
    // node unless newAddress, which gives it the next free address, as real
    // hardware gets on a replug. False if it was not removed. Call it only
    // once the host has closed its handles.
    bool Replug(bool newAddress = false);
    bool Present() const;

    std::string Port() const;
    int Address() const;        // the devnum libusb reports; -1 without a port
    std::string DevNode() const; // "/dev/bus/usb/BBB/DDD", inside the testbed

    void SetOutHandler(OutHandler handler);

    // Told when the host claims interface 0 (true) and when it gives it up
    // (false): released, or the handle holding it closed. Runs without the
    // device's lock held; for a claim or release, before the host's request
    // completes.
    using ClaimHandler = std::function<void(bool claimed)>;
    void SetClaimHandler(ClaimHandler handler);

    // Queues one frame on the IN endpoint. It becomes available delayMs after
    // this call (and not before the frames queued ahead of it). An IN transfer
    // takes at most its own length from the front frame; the rest of a longer
    // frame stays queued for the next transfer.
    void QueueIn(const std::vector<uint8_t> &frame, int delayMs = 0);
    void QueueIn(const uint8_t *data, size_t len, int delayMs = 0);
    void ClearIn();
    size_t PendingInFrames() const;
    size_t PendingInBytes() const;

    // Fault injection. Each takes effect from the next request on.
    // A non-empty name is a kernel driver bound to interface 0: claiming
    // fails with EBUSY until the host detaches it.
    void SetKernelDriver(const std::string &name);
    void SetConfigurationFails(bool fails);
    void SetClaimFails(bool fails);
    // The next `count` OUT transfers (every one while count < 0) fail the
    // given way after the device took in the first acceptBytes bytes.
    void SetOutFault(OutFault fault, size_t acceptBytes = 0, int count = -1);
    // The next `count` IN transfers stall (-EPIPE); the endpoint stays halted
    // until CLEAR_HALT.
    void StallIn(int count = 1);
    // The next `count` IN transfers babble: they fill with the front frame's
    // bytes and then fail with -EOVERFLOW, which libusb reports as an error
    // together with a count of bytes received.
    void BabbleIn(int count = 1);

    // Observation.
    Stats GetStats() const;
    // Bytes the device took in, one entry per OUT transfer that delivered any
    // (or was empty on purpose), in order.
    std::vector<std::vector<uint8_t>> OutTransfers() const;
    // ioctl requests the device does not know, and transfers it does not
    // serve as 0x10000 | endpoint << 8 | URB type (each listed once, and
    // told on stderr).
    std::vector<unsigned long> UnknownRequests() const;
    // Waits until pred(GetStats()) holds, at most timeoutMs.
    bool WaitFor(const std::function<bool(const Stats &)> &pred, int timeoutMs) const;
    // The testbed's root folder (the emulated /sys and /dev live below it),
    // the same for every device.
    std::string RootDir() const;

    struct Impl;

private:
    std::shared_ptr<Impl> m_impl;
};

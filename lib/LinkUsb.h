// USB transport to the reader module: one libusb context and one device
// handle, bulk endpoints only. Knows nothing of the bytes' meaning.
//
// Transfers are asynchronous and waited for with poll() over libusb's
// descriptors, so a wait can also watch another descriptor (the decode
// server's socket) and ends at once when the read cycle is cancelled. One IN
// transfer stays pending from one read to the next: a frame the module sends
// while nobody is reading lands in it and waits there, and no transfer is
// ever cancelled to get out of a wait, which could lose a frame arriving
// during the cancel.
#pragma once

#include <cstdint>

#include <libusb.h>
#include <poll.h>

class LinkUsb {
public:
    static constexpr uint16_t kVendorId = 0x0400;
    static constexpr uint16_t kProductId = 0xC355;
    // A reader module's port chain into ports (room for 7, as libusb reports
    // at most): its depth, or 0 when dev is no reader module.
    static int ModulePorts(libusb_device *dev, uint8_t *ports);

    LinkUsb() noexcept;
    ~LinkUsb();
    LinkUsb(const LinkUsb &) = delete;
    LinkUsb &operator=(const LinkUsb &) = delete;

    // Opens the module and claims its interface: 0, or -1 with a console
    // line. A failed connect leaves what it had opened in the fields for
    // DisConnectUsb to release.
    int ConnectUsb();
    // One bulk read of up to 2048 bytes into buffer (which must hold 2048),
    // waiting at most timeout ms: the bytes received, 0 when nothing arrived,
    // the transfer failed or the cycle was cancelled (buffer then untouched),
    // -1 when closed.
    int ReadUsb(unsigned char *buffer, int timeout);
    // One bulk write of the whole buffer, waiting at most 100 ms: the bytes
    // sent, -1 when closed.
    int WriteUsb(const unsigned char *buffer, int length);
    // Releases the interface, closes the device and ends the context;
    // does nothing for what is already closed.
    void DisConnectUsb();
    // DisConnectUsb without its console line: true when a device was open.
    bool Release();
    // Resets the device when open.
    void Resetep();
    // 0 when the device answers, a negative libusb code otherwise, -1 when closed.
    int GetUsbStatus();

    // What WaitModuleOr found ready; both may come together.
    static constexpr int kModuleFrame = 1;
    static constexpr int kPeerReady = 2;
    // Waits at most timeoutMs until the module has sent a frame (take it with
    // TakeFrame) or peerFd is readable or closed. A mask of the above, 0 on
    // time-out, -1 when the cycle was cancelled or the link is closed.
    int WaitModuleOr(int peerFd, int timeoutMs);
    // The frame a finished read holds, copied into buffer (2048 bytes): its
    // length, or 0 when the read failed or nothing has arrived.
    int TakeFrame(unsigned char *buffer);

    libusb_device_handle *pDevHandle;
    libusb_context *pUsbContext;

private:
    enum class Xfer { Idle, Pending, Done };
    struct Slot {
        libusb_transfer *transfer = nullptr;
        Xfer state = Xfer::Idle;
    };
    static constexpr int kReadSize = 2048;
    static constexpr int kMaxUsbDescriptors = 8;

    static void LIBUSB_CALL OnTransferDone(libusb_transfer *transfer);
    bool StartRead(bool force);
    // One poll over libusb's descriptors (and extra, if given), then libusb's
    // event handling. poll's result; -1 with ECANCELED on a cancel unless
    // the wait is one that must finish regardless (a cancelled transfer's).
    int Events(int timeoutMs, pollfd *extra, bool cancellable);
    // Waits until libusb hands the transfer back, the deadline passes or the
    // cycle is cancelled; the transfer may still be pending after.
    void Await(const Slot &slot, int64_t deadlineNs);
    // Cancels a pending transfer and waits for libusb to hand it back.
    void Withdraw(Slot &slot);

    Slot m_in;
    Slot m_out;
    unsigned char m_inBuf[kReadSize];
    pollfd m_fds[kMaxUsbDescriptors];
    int m_nfds;
    int64_t m_retryAtNs; // no new IN transfer before this after a failed one
};

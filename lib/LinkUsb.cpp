#include "LinkUsb.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Public.h"
#include "Reader.h"

namespace {

constexpr uint16_t kVendorId = LinkUsb::kVendorId;
constexpr uint16_t kProductId = LinkUsb::kProductId;
constexpr int kConfiguration = 1;
constexpr int kInterface = 0;
constexpr unsigned char kEndpointIn = 0x83;
constexpr unsigned char kEndpointOut = 0x03;
constexpr int64_t kWriteTimeoutNs = 100 * 1000000LL;
// A failed IN transfer is not tried again sooner: a device that fails every
// transfer at once would otherwise keep the relay spinning.
constexpr int64_t kReadRetryNs = 20 * 1000000LL;
// How long libusb may take to hand back a cancelled transfer.
constexpr int64_t kWithdrawNs = 1000 * 1000000LL;

int ErrnoOf(int libusbError)
{
    switch (libusbError) {
    case LIBUSB_ERROR_ACCESS:
        return EACCES;
    case LIBUSB_ERROR_NO_DEVICE:
    case LIBUSB_ERROR_NOT_FOUND:
        return ENODEV;
    case LIBUSB_ERROR_BUSY:
        return EBUSY;
    case LIBUSB_ERROR_NO_MEM:
        return ENOMEM;
    default:
        return EIO;
    }
}

// The module at a bus and port chain, opened; null (errno set) when no
// module is there.
libusb_device_handle *OpenAtPort(libusb_device **list, const UsbPort &want)
{
    for (int i = 0; list && list[i]; i++) {
        libusb_device *dev = list[i];
        uint8_t ports[UsbPort::kMaxDepth];
        int depth = LinkUsb::ModulePorts(dev, ports);
        if (depth == 0 || !want.Matches(libusb_get_bus_number(dev), ports, depth))
            continue;
        libusb_device_handle *handle = nullptr;
        int rc = libusb_open(dev, &handle);
        if (rc != 0) {
            errno = ErrnoOf(rc);
            return nullptr;
        }
        return handle;
    }
    errno = ENODEV;
    return nullptr;
}

} // namespace

int LinkUsb::ModulePorts(libusb_device *dev, uint8_t *ports)
{
    libusb_device_descriptor desc{};
    if (libusb_get_device_descriptor(dev, &desc) != 0 || desc.idVendor != kVendorId || desc.idProduct != kProductId)
        return 0;
    int depth = libusb_get_port_numbers(dev, ports, UsbPort::kMaxDepth);
    return depth > 0 ? depth : 0;
}

LinkUsb::LinkUsb() noexcept
    : pDevHandle(nullptr), pUsbContext(nullptr), m_inBuf{}, m_fds{}, m_nfds(0), m_retryAtNs(0)
{
}

LinkUsb::~LinkUsb()
{
    DisConnectUsb();
    libusb_free_transfer(m_in.transfer);
    libusb_free_transfer(m_out.transfer);
}

int LinkUsb::ConnectUsb()
{
    // Whatever an earlier connect left behind would otherwise leak here.
    DisConnectUsb();

    libusb_context *ctx = nullptr;
    if (libusb_init(&ctx) < 0) {
        ConsolePerror("Init Error\n");
        return -1;
    }
    pUsbContext = ctx;

    libusb_device **list = nullptr;
    if (libusb_get_device_list(ctx, &list) < 0) {
        ConsolePerror("Get Device Error\n");
        return -1;
    }
    const UsbPort &want = CurrentReader().usb;
    if (want.Any()) {
        pDevHandle = libusb_open_device_with_vid_pid(ctx, kVendorId, kProductId);
    } else {
        pDevHandle = OpenAtPort(list, want);
    }
    int openErrno = errno;
    libusb_free_device_list(list, 1);
    if (!pDevHandle) {
        errno = openErrno;
        ConsolePerror("Cannot open device,Please check device...\n");
        return -1;
    }

    if (libusb_kernel_driver_active(pDevHandle, kInterface) == 1)
        libusb_detach_kernel_driver(pDevHandle, kInterface);
    if (libusb_set_configuration(pDevHandle, kConfiguration) != 0)
        LOG_Str("[USB]", "usb_set_configuration ERR");
    if (libusb_claim_interface(pDevHandle, kInterface) < 0) {
        ConsolePerror("Cannot Claim Interface\n");
        return -1;
    }

    // The transfers live as long as the connection, libusb's descriptors are
    // fetched once per connection: no read or write allocates.
    if (!m_in.transfer)
        m_in.transfer = libusb_alloc_transfer(0);
    if (!m_out.transfer)
        m_out.transfer = libusb_alloc_transfer(0);
    const libusb_pollfd **fds = libusb_get_pollfds(ctx);
    bool fit = fds != nullptr;
    for (int i = 0; fit && fds[i]; i++) {
        if (m_nfds == kMaxUsbDescriptors) {
            fit = false;
            break;
        }
        m_fds[m_nfds].fd = fds[i]->fd;
        m_fds[m_nfds].events = fds[i]->events;
        m_nfds++;
    }
    libusb_free_pollfds(fds);
    if (!m_in.transfer || !m_out.transfer || !fit) {
        ConsolePerror("Cannot set up transfers\n");
        return -1;
    }
    m_retryAtNs = 0;
    return 0;
}

void LIBUSB_CALL LinkUsb::OnTransferDone(libusb_transfer *transfer)
{
    auto *self = static_cast<LinkUsb *>(transfer->user_data);
    (transfer == self->m_in.transfer ? self->m_in : self->m_out).state = Xfer::Done;
}

int LinkUsb::Events(int timeoutMs, pollfd *extra, bool cancellable)
{
    pollfd fds[kMaxUsbDescriptors + 1];
    nfds_t n = 0;
    for (int i = 0; i < m_nfds; i++) {
        fds[n] = m_fds[i];
        fds[n++].revents = 0;
    }
    if (extra) {
        fds[n] = *extra;
        fds[n++].revents = 0;
    }
    int r = cancellable ? WaitCancellable(fds, n, timeoutMs) : WaitPoll(fds, n, timeoutMs);
    if (r < 0)
        return r;
    bool usb = false;
    for (int i = 0; i < m_nfds; i++)
        usb = usb || fds[i].revents != 0;
    if (extra)
        extra->revents = fds[m_nfds].revents;
    if (usb) {
        // Completions are reaped here and reach OnTransferDone.
        timeval zero{0, 0};
        libusb_handle_events_timeout_completed(pUsbContext, &zero, nullptr);
    }
    return r;
}

bool LinkUsb::StartRead(bool force)
{
    if (m_in.state != Xfer::Idle)
        return true;
    if (!force && MonotonicNs() < m_retryAtNs)
        return false;
    libusb_fill_bulk_transfer(m_in.transfer, pDevHandle, kEndpointIn, m_inBuf, kReadSize, OnTransferDone,
                              this, 0);
    if (libusb_submit_transfer(m_in.transfer) != 0) {
        m_retryAtNs = MonotonicNs() + kReadRetryNs;
        return false;
    }
    m_in.state = Xfer::Pending;
    return true;
}

int LinkUsb::TakeFrame(unsigned char *buffer)
{
    if (m_in.state != Xfer::Done)
        return 0;
    m_in.state = Xfer::Idle;
    const libusb_transfer *t = m_in.transfer;
    // The kernel fills the transfer buffer even when the transfer then fails;
    // only a completed transfer may reach the caller's buffer.
    if (t->status != LIBUSB_TRANSFER_COMPLETED || t->actual_length <= 0) {
        m_retryAtNs = MonotonicNs() + kReadRetryNs;
        return 0;
    }
    int count = t->actual_length > kReadSize ? kReadSize : t->actual_length;
    memcpy(buffer, m_inBuf, static_cast<size_t>(count));
    return count;
}

int LinkUsb::ReadUsb(unsigned char *buffer, int timeout)
{
    if (!pDevHandle || !buffer)
        return -1;
    // A 0 or negative timeout must not block the read cycle for good.
    const int64_t deadline = MonotonicNs() + static_cast<int64_t>(timeout > 0 ? timeout : 1) * 1000000;
    if (!StartRead(true))
        return 0;
    Await(m_in, deadline);
    // A read that timed out stays pending for the next one.
    return TakeFrame(buffer);
}

int LinkUsb::WaitModuleOr(int peerFd, int timeoutMs)
{
    if (!pDevHandle)
        return -1;
    const int64_t deadline = MonotonicNs() + static_cast<int64_t>(timeoutMs) * 1000000;
    for (;;) {
        StartRead(false);
        // A frame already in hand goes first; a server packet that came with
        // it is found by the next wait.
        if (m_in.state == Xfer::Done)
            return kModuleFrame;
        int64_t now = MonotonicNs();
        int wait = CeilMs(deadline - now);
        if (m_in.state == Xfer::Idle && m_retryAtNs > now && CeilMs(m_retryAtNs - now) < wait)
            wait = CeilMs(m_retryAtNs - now);
        pollfd peer{};
        peer.fd = peerFd;
        peer.events = POLLIN;
        if (Events(wait, &peer, true) < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        int mask = 0;
        if (m_in.state == Xfer::Done)
            mask |= kModuleFrame;
        if (peer.revents != 0)
            mask |= kPeerReady;
        if (mask != 0 || MonotonicNs() >= deadline)
            return mask;
    }
}

int LinkUsb::WriteUsb(const unsigned char *buffer, int length)
{
    if (!pDevHandle || !buffer)
        return -1;
    if (length < 0)
        return 0;
    // libusb never writes into an OUT transfer's buffer.
    libusb_fill_bulk_transfer(m_out.transfer, pDevHandle, kEndpointOut, const_cast<unsigned char *>(buffer),
                              length, OnTransferDone, this, 0);
    int count = 0;
    bool failed = libusb_submit_transfer(m_out.transfer) != 0;
    if (!failed) {
        m_out.state = Xfer::Pending;
        Await(m_out, MonotonicNs() + kWriteTimeoutNs);
        Withdraw(m_out);
        // The buffer is the caller's: the transfer must not point at it
        // once this call has returned.
        if (m_out.state == Xfer::Done) {
            m_out.state = Xfer::Idle;
            count = m_out.transfer->actual_length;
            failed = m_out.transfer->status != LIBUSB_TRANSFER_COMPLETED;
        } else {
            failed = true;
        }
    }
    if (failed) {
        if (!CycleCancelled())
            libusb_clear_halt(pDevHandle, kEndpointOut);
        LOG_Str("[WriteUsb]", "USB Write ERR");
    }
    return count;
}

void LinkUsb::Await(const Slot &slot, int64_t deadlineNs)
{
    while (slot.state == Xfer::Pending) {
        int left = CeilMs(deadlineNs - MonotonicNs());
        if (left <= 0 || (Events(left, nullptr, true) < 0 && errno != EINTR))
            return;
    }
}

void LinkUsb::Withdraw(Slot &slot)
{
    if (slot.state != Xfer::Pending)
        return;
    libusb_cancel_transfer(slot.transfer);
    const int64_t deadline = MonotonicNs() + kWithdrawNs;
    while (slot.state == Xfer::Pending && MonotonicNs() < deadline)
        Events(10, nullptr, false);
}

bool LinkUsb::Release()
{
    const bool had = pDevHandle != nullptr;
    if (pDevHandle) {
        Withdraw(m_in);
        Withdraw(m_out);
    }
    for (Slot *slot : {&m_in, &m_out}) {
        // One libusb never handed back is abandoned, not reused or freed
        // under libusb's feet: a few bytes lost is the lesser harm.
        if (slot->state == Xfer::Pending)
            slot->transfer = nullptr;
        slot->state = Xfer::Idle;
        // A transfer keeps a reference to the device it last went to, and
        // through it to the context: it must not outlive libusb_exit(). One
        // kept for the next connection crashed libusb at its next submit once
        // a module had been unplugged in the middle of a read.
        libusb_free_transfer(slot->transfer);
        slot->transfer = nullptr;
    }
    m_nfds = 0;
    if (pDevHandle) {
        libusb_release_interface(pDevHandle, kInterface);
        libusb_close(pDevHandle);
        pDevHandle = nullptr;
    }
    if (pUsbContext) {
        libusb_exit(pUsbContext);
        pUsbContext = nullptr;
    }
    return had;
}

void LinkUsb::DisConnectUsb()
{
    if (Release())
        ConsolePuts("disconnect usb ");
}

void LinkUsb::Resetep()
{
    if (pDevHandle)
        libusb_reset_device(pDevHandle);
}

int LinkUsb::GetUsbStatus()
{
    if (!pDevHandle)
        return -1;
    int value = 0;
    return libusb_get_configuration(pDevHandle, &value);
}

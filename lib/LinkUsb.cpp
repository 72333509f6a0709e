#include "LinkUsb.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Public.h"

namespace {

constexpr uint16_t kVendorId = 0x0400;
constexpr uint16_t kProductId = 0xC355;
constexpr int kConfiguration = 1;
constexpr int kInterface = 0;
constexpr unsigned char kEndpointIn = 0x83;
constexpr unsigned char kEndpointOut = 0x03;
constexpr int kReadSize = 2048;
constexpr unsigned int kWriteTimeoutMs = 100;

} // namespace

LinkUsb::LinkUsb() noexcept : pDevHandle(nullptr), pUsbContext(nullptr) {}

LinkUsb::~LinkUsb() { DisConnectUsb(); }

int LinkUsb::ConnectUsb()
{
    // Whatever an earlier connect left behind would otherwise leak here.
    DisConnectUsb();

    libusb_context *ctx = nullptr;
    if (libusb_init(&ctx) < 0) {
        perror("Init Error\n");
        return -1;
    }
    pUsbContext = ctx;

    libusb_device **list = nullptr;
    if (libusb_get_device_list(ctx, &list) < 0) {
        perror("Get Device Error\n");
        return -1;
    }
    pDevHandle = libusb_open_device_with_vid_pid(ctx, kVendorId, kProductId);
    int openErrno = errno;
    libusb_free_device_list(list, 1);
    if (!pDevHandle) {
        errno = openErrno;
        perror("Cannot open device,Please check device...\n");
        return -1;
    }

    if (libusb_kernel_driver_active(pDevHandle, kInterface) == 1)
        libusb_detach_kernel_driver(pDevHandle, kInterface);
    if (libusb_set_configuration(pDevHandle, kConfiguration) != 0)
        LOG_Str("[USB]", "usb_set_configuration ERR");
    if (libusb_claim_interface(pDevHandle, kInterface) < 0) {
        perror("Cannot Claim Interface\n");
        return -1;
    }
    return 0;
}

int LinkUsb::ReadUsb(unsigned char *buffer, int timeout)
{
    if (!pDevHandle || !buffer)
        return -1;
    // The kernel fills the transfer buffer even when the transfer then fails;
    // only a completed transfer may reach the caller's buffer.
    unsigned char scratch[kReadSize] = {};
    int count = 0;
    // libusb takes 0 as "no time limit": a 0 or negative timeout must not
    // block the read cycle for good.
    unsigned int wait = timeout > 0 ? static_cast<unsigned int>(timeout) : 1u;
    int ret = libusb_bulk_transfer(pDevHandle, kEndpointIn, scratch, kReadSize, &count, wait);
    if (ret != 0 || count <= 0)
        return 0;
    if (count > kReadSize)
        count = kReadSize;
    memcpy(buffer, scratch, static_cast<size_t>(count));
    return count;
}

int LinkUsb::WriteUsb(const unsigned char *buffer, int length)
{
    if (!pDevHandle || !buffer)
        return -1;
    if (length < 0)
        return 0;
    int count = 0;
    // libusb never writes into an OUT transfer's buffer.
    int ret = libusb_bulk_transfer(pDevHandle, kEndpointOut, const_cast<unsigned char *>(buffer),
                                   length, &count, kWriteTimeoutMs);
    if (ret != 0) {
        libusb_clear_halt(pDevHandle, kEndpointOut);
        LOG_Str("[WriteUsb]", "USB Write ERR");
    }
    return count;
}

void LinkUsb::DisConnectUsb()
{
    if (pDevHandle) {
        libusb_release_interface(pDevHandle, kInterface);
        libusb_close(pDevHandle);
        pDevHandle = nullptr;
        puts("disconnect usb ");
    }
    if (pUsbContext) {
        libusb_exit(pUsbContext);
        pUsbContext = nullptr;
    }
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

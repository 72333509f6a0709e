// USB transport to the reader module: one libusb context and one device
// handle, bulk endpoints only. Knows nothing of the bytes' meaning.
#pragma once

#include <libusb.h>

class LinkUsb {
public:
    LinkUsb() noexcept;
    ~LinkUsb();
    LinkUsb(const LinkUsb &) = delete;
    LinkUsb &operator=(const LinkUsb &) = delete;

    // Opens the module and claims its interface: 0, or -1 with a console
    // line. A failed connect leaves what it had opened in the fields for
    // DisConnectUsb to release.
    int ConnectUsb();
    // One bulk read of up to 2048 bytes into buffer (which must hold 2048),
    // waiting at most timeout ms: the bytes received, 0 when nothing arrived
    // or the transfer failed (buffer then untouched), -1 when closed.
    int ReadUsb(unsigned char *buffer, int timeout);
    // One bulk write of the whole buffer: the bytes sent, -1 when closed.
    int WriteUsb(const unsigned char *buffer, int length);
    // Releases the interface, closes the device and ends the context;
    // does nothing for what is already closed.
    void DisConnectUsb();
    // Resets the device when open.
    void Resetep();
    // 0 when the device answers, a negative libusb code otherwise, -1 when closed.
    int GetUsbStatus();

    // The reader object's end-of-cycle step reads and clears both directly.
    libusb_device_handle *pDevHandle;
    libusb_context *pUsbContext;
};

// USB transport to the reader module: one libusb context and one device
// handle, bulk endpoints only. Knows nothing of the bytes' meaning.
#pragma once

#include <libusb.h>

class LinkUsb {
public:
    LinkUsb();
    ~LinkUsb();
    LinkUsb(const LinkUsb &) = delete;
    LinkUsb &operator=(const LinkUsb &) = delete;

    // Releases the interface, closes the device and ends the context;
    // does nothing for what is already closed.
    void DisConnectUsb();

    // The reader object's end-of-cycle step reads and clears both directly.
    libusb_device_handle *pDevHandle;
    libusb_context *pUsbContext;
};

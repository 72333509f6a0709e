#include "LinkUsb.h"

#include <cstdio>

LinkUsb::LinkUsb() : pDevHandle(nullptr), pUsbContext(nullptr) {}

LinkUsb::~LinkUsb() { DisConnectUsb(); }

void LinkUsb::DisConnectUsb()
{
    if (pDevHandle) {
        libusb_release_interface(pDevHandle, 0);
        libusb_close(pDevHandle);
        pDevHandle = nullptr;
        puts("disconnect usb ");
    }
    if (pUsbContext) {
        libusb_exit(pUsbContext);
        pUsbContext = nullptr;
    }
}

// The simulated reader module on the emulated USB device: bulk OUT transfers
// go to the model, its frames come back as IN frames, one frame each.
//
// The host counts as connected while it holds interface 0. When it gives the
// interface up, frames it left unread are dropped, so the next session does
// not read the last one's leftovers. The model announces a card again only
// once the host has taken the last announcement off the IN queue.
//
// Needs umockdev's preload library in the process and must be created
// before the host calls libusb_init (see UsbModuleDevice.h). Several may run
// at once, one per port, each with a model of its own.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "ReaderModule.h"
#include "UsbModuleDevice.h"

namespace sim {

class UsbModule {
public:
    // config.streamLink is forced off: every transfer is whole. port is the
    // device's sysfs name (see UsbModuleDevice).
    explicit UsbModule(ModuleConfig config = {}, std::string port = "1-1");
    ~UsbModule();
    UsbModule(const UsbModule &) = delete;
    UsbModule &operator=(const UsbModule &) = delete;

    bool Ok() const { return m_device->Ok(); }
    std::string Error() const { return m_device->Error(); }
    ReaderModule &Module() { return *m_module; }
    UsbModuleDevice &Device() { return *m_device; }
    // The model's Vanish fault unplugs the device; this puts it back, at a
    // new address if asked.
    bool Replug(bool newAddress = false) { return m_device->Replug(newAddress); }
    std::string Port() const { return m_device->Port(); }

private:
    // What the device's handlers and the model's sink share; they may still
    // run on other threads while this object goes away.
    struct Link {
        std::mutex mu;
        ReaderModule *module = nullptr;
        UsbModuleDevice *device = nullptr;
        bool claimed = false;
    };

    std::shared_ptr<Link> m_link;
    std::unique_ptr<UsbModuleDevice> m_device;
    std::unique_ptr<ReaderModule> m_module;
};

} // namespace sim

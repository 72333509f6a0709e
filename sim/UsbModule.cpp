#include "UsbModule.h"

#include <utility>

namespace sim {

UsbModule::UsbModule(ModuleConfig config, std::string port) : m_link(std::make_shared<Link>())
{
    config.streamLink = false;
    m_device = std::make_unique<UsbModuleDevice>(true, std::move(port));
    m_module = std::make_unique<ReaderModule>(config);
    {
        std::lock_guard<std::mutex> lk(m_link->mu);
        m_link->module = m_module.get();
        m_link->device = m_device.get();
    }

    std::shared_ptr<Link> link = m_link;
    m_device->SetOutHandler([link](const std::vector<uint8_t> &out) {
        std::lock_guard<std::mutex> lk(link->mu);
        if (link->module && !out.empty())
            link->module->OnHostBytes(out.data(), out.size());
    });
    m_device->SetClaimHandler([link](bool claimed) {
        std::lock_guard<std::mutex> lk(link->mu);
        link->claimed = claimed;
        if (!claimed && link->device)
            link->device->ClearIn();
        if (link->module)
            link->module->HostConnected(claimed);
    });
    // Frames for a host that has let go are lost, as on a real bus.
    m_module->SetSink([link](const proto::Bytes &frame) {
        std::lock_guard<std::mutex> lk(link->mu);
        if (link->device && link->claimed)
            link->device->QueueIn(frame);
    });
    // Unplugged from the model's worker: the host's transfers fail from now on.
    // The device outlives the model's worker (see the destructor), so it is
    // unplugged outside the lock that the device's own handlers take.
    m_module->SetVanishHandler([link] {
        UsbModuleDevice *device;
        {
            std::lock_guard<std::mutex> lk(link->mu);
            device = link->device;
        }
        if (device)
            device->Remove();
    });
    m_module->SetAnnounceGate([link] {
        std::lock_guard<std::mutex> lk(link->mu);
        return link->device && link->device->PendingInFrames() > 0;
    });
}

UsbModule::~UsbModule()
{
    {
        std::lock_guard<std::mutex> lk(m_link->mu);
        m_link->module = nullptr;
        m_link->device = nullptr;
    }
    m_device->SetOutHandler(nullptr);
    m_device->SetClaimHandler(nullptr);
    m_module.reset();
    m_device.reset();
}

} // namespace sim

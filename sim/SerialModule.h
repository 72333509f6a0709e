// The simulated reader module on a pseudo-terminal: the library opens
// SlavePath() as its serial port; a thread feeds what it writes to the model
// and writes the model's frames back.
//
// The host's opening and closing of the port are seen on the master side
// (hang-up while no one has the slave open) and passed on to the model, so a
// new session starts unarmed. The input flush the host makes when it sets up
// the port counts as a new session too: it is seen even when a close and the
// next open come too close together to notice the hang-up between them.
//
// Vanish() (or the model's Vanish fault) hangs the line up for good: the
// master side is closed, so the host's port reports a hang-up and its path
// no longer opens. A new line needs a new SerialModule.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "ReaderModule.h"

namespace sim {

class SerialModule {
public:
    // config.streamLink is forced on: a serial line is a byte stream.
    explicit SerialModule(ModuleConfig config = {});
    ~SerialModule();
    SerialModule(const SerialModule &) = delete;
    SerialModule &operator=(const SerialModule &) = delete;

    // False when the pseudo-terminal could not be set up; Error() says why.
    bool Ok() const { return m_error.empty(); }
    const std::string &Error() const { return m_error; }
    // The port for the host, e.g. /dev/pts/3.
    const std::string &SlavePath() const { return m_slavePath; }
    ReaderModule &Module() { return *m_module; }

    // Closes the module's end of the line; idempotent.
    void Vanish();
    bool Gone() const;

private:
    void Run();
    // False when it was closed already.
    bool CloseLine();
    void Write(const proto::Bytes &frame);

    std::string m_error;
    std::string m_slavePath;
    mutable std::mutex m_ioMu; // guards m_master against Vanish
    int m_master = -1;
    int m_wake[2] = {-1, -1};
    std::atomic<bool> m_stopping{false};
    std::unique_ptr<ReaderModule> m_module;
    std::thread m_thread;
};

} // namespace sim

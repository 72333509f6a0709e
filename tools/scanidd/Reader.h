// scanidd's reading thread: read cycles one after the other, each result
// turned into JSON and handed to the service. Every library call but the
// cancel is made here.
#ifndef SCANIDD_READER_H
#define SCANIDD_READER_H

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "Config.h"
#include "Service.h"

namespace scanidd {

class Reader {
public:
    explicit Reader(Service &service) : m_service(service) {}
    ~Reader();
    Reader(const Reader &) = delete;
    Reader &operator=(const Reader &) = delete;

    void Start(const Config &config);
    // From the next cycle on; the caller cancels the running one.
    void Reconfigure(const Config &config);
    // Ends the loop after the running cycle; the caller cancels it.
    void Stop();
    bool Finished() const { return m_finished.load(); }
    void Join();

private:
    void Loop();
    void Pause(int ms);
    void ApplySettings(const Config &c);

    Service &m_service;
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::unique_ptr<Config> m_pending; // guarded by m_mutex
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_finished{false};

    // The reading thread's own.
    Config m_config;
    ReaderStatus m_status;
    unsigned char m_lastCard[20] = {}; // digest of the card last sent, not the card
    bool m_lastWasCard = false;
    unsigned long m_sequence = 0;
};

} // namespace scanidd

#endif

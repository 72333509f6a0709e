// scanidd's local server: the sample page, the HTTP API and the WebSocket,
// all on one libwebsockets event loop run by one thread. The reading thread
// hands its results over through Publish*(), which never wait on a client.
#ifndef SCANIDD_SERVICE_H
#define SCANIDD_SERVICE_H

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Config.h"

struct lws;
struct lws_context;

namespace scanidd {

struct ReaderStatus {
    std::string reader = "unknown"; // present, absent, unknown
    bool healthy = true;
    bool failed = false; // a last failure is known
    int failureResult = 0;
    std::string failureError; // the library's event text; empty: none
    std::string failureTime;
    std::string transport = "usb";

    bool operator==(const ReaderStatus &o) const
    {
        return reader == o.reader && healthy == o.healthy && failed == o.failed &&
               failureResult == o.failureResult && failureError == o.failureError && transport == o.transport;
    }
    bool operator!=(const ReaderStatus &o) const { return !(*this == o); }
};

// One JSON message, with the room libwebsockets needs in front of it. Shared
// by every client it goes to; its bytes are overwritten when the last one
// lets go, since most messages hold a card.
using Message = std::shared_ptr<const std::string>;
Message MakeMessage(const std::string &json);

// Overwrites a string's bytes before it is dropped.
void Wipe(std::string *s);

class Service {
public:
    Service();
    ~Service();
    Service(const Service &) = delete;
    Service &operator=(const Service &) = delete;

    // Listens; false with the reason.
    bool Start(const Config &config, std::string *error);
    int Port() const { return m_port; }
    // Serves until Stop().
    void Run();

    // Any thread.
    void Stop();
    void PublishStatus(const ReaderStatus &status);
    // `card`: a card was read, to be kept for the retention time.
    void PublishResult(Message message, bool card);
    // Origins, token, retention and limits; listening stays as it is.
    void Reconfigure(const Config &config);

    struct Impl;

private:
    std::unique_ptr<Impl> m_impl;
    lws_context *m_context = nullptr;
    int m_port = 0;
};

} // namespace scanidd

#endif

#include "Reader.h"

#include <fcntl.h>
#include <libwebsockets.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <vector>

#include "Events.h"
#include "Log.h"
#include "RecordJson.h"
#include "scanid.h"

namespace scanidd {

using scanid_tools::g_events;
using scanid_tools::IsDocument;
using scanid_tools::IsFailure;
using scanid_tools::Json;

namespace {

constexpr int kFirstBackoffMs = 500;
constexpr int kLongestBackoffMs = 5000;
constexpr off_t kLargestPhoto = 1 << 20;

// UTC with microseconds: clients measure how long the result took to reach them.
std::string NowUtc()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm t{};
    gmtime_r(&now.tv_sec, &t);
    char buf[40];
    size_t n = strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &t);
    (void)snprintf(buf + n, sizeof buf - n, ".%06ldZ", now.tv_nsec / 1000);
    return buf;
}

void WipeBytes(std::vector<char> *v)
{
    if (!v->empty())
        explicit_bzero(v->data(), v->size());
    v->clear();
}

// The photo decoder only writes files: its file lives in the private runtime
// folder for as long as it takes to read it back.
bool PhotoDataUrl(const std::string &dir, const scanid_record &rec, unsigned long sequence, std::string *url,
                  std::string *error)
{
    const std::string path = dir + "/photo-" + std::to_string(sequence) + ".bmp";
    (void)unlink(path.c_str());
    int rc = SaveImage(rec.photo, path.c_str());
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    (void)unlink(path.c_str());
    if (rc != 1 || fd < 0) {
        if (fd >= 0)
            close(fd);
        *error = "photo decoder returned " + std::to_string(rc);
        return false;
    }
    struct stat st {};
    std::vector<char> raw;
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 && st.st_size <= kLargestPhoto;
    if (ok) {
        raw.resize(static_cast<size_t>(st.st_size));
        size_t got = 0;
        while (got < raw.size()) {
            ssize_t n = read(fd, raw.data() + got, raw.size() - got);
            if (n <= 0)
                break;
            got += static_cast<size_t>(n);
        }
        ok = got == raw.size();
    }
    close(fd);
    if (!ok) {
        WipeBytes(&raw);
        *error = "photo file unreadable";
        return false;
    }
    std::vector<char> b64(raw.size() / 3 * 4 + 8);
    int n = lws_b64_encode_string(raw.data(), static_cast<int>(raw.size()), b64.data(), static_cast<int>(b64.size()));
    WipeBytes(&raw);
    if (n < 0) {
        *error = "photo too large";
        return false;
    }
    *url = "data:image/bmp;base64,";
    url->append(b64.data(), static_cast<size_t>(n));
    WipeBytes(&b64);
    return true;
}

} // namespace

Reader::~Reader()
{
    if (m_thread.joinable())
        m_thread.join();
}

void Reader::Start(const Config &config)
{
    m_config = config;
    g_events.program = "scanidd";
    g_events.verbose = config.verbose;
    CARD_SetReadInfoCB(scanid_tools::OnEvent);
    m_thread = std::thread(&Reader::Loop, this);
}

void Reader::Reconfigure(const Config &config)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pending.reset(new Config(config));
    m_wake.notify_all();
}

void Reader::Stop()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stop = true;
    m_wake.notify_all();
}

void Reader::Join()
{
    if (m_thread.joinable())
        m_thread.join();
}

void Reader::Pause(int ms)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_wake.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_stop.load() || m_pending != nullptr; });
}

void Reader::ApplySettings(const Config &c)
{
    g_events.verbose = c.verbose;
    if (SetServiceInfo(c.serverIp.c_str(), c.serverPort) != 0 ||
        (c.serial && SetComInfo(c.serialDevice.c_str(), c.baud) != 0))
        Log("the library refused the reader or server settings");
    m_status.transport = c.serial ? "serial" : "usb";
}

void Reader::Loop()
{
    ApplySettings(m_config);
    int backoff = 0;
    scanid_tools::Outcome out;
    while (!m_stop.load()) {
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            if (m_pending) {
                m_config = *m_pending;
                m_pending.reset();
                lock.unlock();
                ApplySettings(m_config);
                m_lastWasCard = false;
                backoff = 0;
            }
        }
        memset(&out.rec, 0, sizeof out.rec);
        out.rec.size = sizeof out.rec;
        g_events.last[0] = '\0';
        out.result = ReadIDCardEx(&out.rec, m_config.serial ? CARDTYPE_SERIAL : CARDTYPE_USB);
        const std::string time = NowUtc();
        if (out.result == SCANID_CANCELLED)
            continue; // stopping, or new settings
        const bool failed = IsFailure(out.result);
        out.error = failed ? g_events.last : "";

        ReaderStatus status = m_status;
        status.reader =
            out.result == SCANID_ERR_USB_OPEN || out.result == SCANID_ERR_SERIAL_OPEN ? "absent" : "present";
        status.healthy = !failed;
        if (failed) {
            status.failed = true;
            status.failureResult = out.result;
            status.failureError = out.error;
            status.failureTime = time;
        }
        if (status != m_status) {
            if (status.reader != m_status.reader || (failed && !(status.failed == m_status.failed &&
                                                                 status.failureResult == m_status.failureResult)))
                Log("reader " + status.reader +
                    (failed ? " (" + scanid_tools::ResultName(out.result) + ": " + out.error + ")" : ""));
            m_status = status;
            m_service.PublishStatus(status);
        }

        const bool card = IsDocument(out.result) || out.result == SCANID_OTHERCARD;
        if (card) {
            // A card left on the reader is read again every cycle: sent once.
            unsigned char digest[20];
            std::vector<unsigned char> what(sizeof out.rec.text_block + sizeof out.rec.photo +
                                            sizeof out.rec.card_data + 2);
            size_t at = 0;
            what[at++] = static_cast<unsigned char>(out.result);
            what[at++] = static_cast<unsigned char>(out.rec.card_kind);
            memcpy(&what[at], out.rec.text_block, sizeof out.rec.text_block);
            at += sizeof out.rec.text_block;
            memcpy(&what[at], out.rec.photo, sizeof out.rec.photo);
            at += sizeof out.rec.photo;
            memcpy(&what[at], out.rec.card_data, scanid_tools::CardDataLength(out.rec));
            at += scanid_tools::CardDataLength(out.rec);
            lws_SHA1(what.data(), at, digest);
            explicit_bzero(what.data(), what.size());
            const bool again = m_lastWasCard && memcmp(digest, m_lastCard, sizeof digest) == 0;
            memcpy(m_lastCard, digest, sizeof digest);
            m_lastWasCard = true;
            if (again) {
                explicit_bzero(&out.rec, sizeof out.rec);
                continue;
            }
        } else {
            m_lastWasCard = false;
        }
        if (card || failed) {
            Json j{{"type", "result"}, {"time", time}};
            j.update(scanid_tools::ToJson(out));
            if (IsDocument(out.result)) {
                std::string url, error;
                if (PhotoDataUrl(m_config.runtimeDir, out.rec, ++m_sequence, &url, &error))
                    j["photo"] = std::move(url);
                else
                    j["photo_error"] = error;
            }
            std::string text = scanid_tools::Dump(j);
            m_service.PublishResult(MakeMessage(text), card);
            Wipe(&text);
        }
        explicit_bzero(&out.rec, sizeof out.rec);

        if (failed) {
            backoff = backoff == 0 ? kFirstBackoffMs : std::min(backoff * 2, kLongestBackoffMs);
            Pause(backoff);
        } else {
            backoff = 0;
        }
    }
    m_finished = true;
}

} // namespace scanidd

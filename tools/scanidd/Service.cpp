#include "Service.h"

#include <libwebsockets.h>
#include <string.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <deque>

#include "Log.h"
#include "RecordJson.h"
#include "scanid.h"

namespace scanidd {

using scanid_tools::Json;
using Clock = std::chrono::steady_clock;

namespace {

constexpr size_t kMaxQueued = 8;            // messages waiting for one client
constexpr auto kStuckAfter = std::chrono::seconds(3); // a message waiting longer: the client is gone
constexpr int kSendBuffer = 64 * 1024;      // per client, so that a stuck one shows soon
constexpr size_t kChunk = size_t{16} * 1024; // HTTP body bytes per write
constexpr int kMaxHeaderValue = 512;

struct Client {
    lws *wsi = nullptr;
    unsigned id = 0;
    std::deque<Message> queue;
    Clock::time_point waitingSince; // of the queue's front
    std::string rx;
    bool dropped = false;
    // Set when the client broke a rule: the close goes out once the message
    // being sent is complete, since a frame cannot be cut short.
    lws_close_status closeCode = LWS_CLOSE_STATUS_NOSTATUS;
    const char *closeReason = nullptr;
};

struct HttpReply {
    Message body;
    size_t sent = 0;
    bool close = false;
};

// libwebsockets' per-connection memory, zeroed by it.
struct Session {
    Client *client;
    HttpReply *http;
    bool closeAfterReply;
};

struct Timer {
    lws_sorted_usec_list_t sul; // first: the callback gets its address
    Service::Impl *owner;
};

struct Event {
    bool status = false;
    ReaderStatus readerStatus;
    Message message;
    bool card = false;
};

bool SameText(const std::string &a, const std::string &b)
{
    // Constant time over the longer one: a token compared byte by byte
    // would tell how much of a guess was right.
    unsigned char diff = a.size() == b.size() ? 0 : 1;
    for (size_t i = 0; i < a.size() || i < b.size(); i++)
        diff |= static_cast<unsigned char>((i < a.size() ? a[i] : 0) ^ (i < b.size() ? b[i] : 0));
    return diff == 0;
}

std::string Header(lws *wsi, lws_token_indexes token, bool *present)
{
    int len = lws_hdr_total_length(wsi, token);
    *present = len > 0;
    if (len <= 0 || len > kMaxHeaderValue)
        return len > 0 ? std::string("\x01") : std::string(); // too long: matches nothing
    char buf[kMaxHeaderValue + 1];
    if (lws_hdr_copy(wsi, buf, sizeof buf, token) < 0)
        return "\x01";
    return buf;
}

std::string ErrorJson(const std::string &error) { return scanid_tools::Dump(Json{{"error", error}}); }

extern "C" void LogFromLws(int level, const char *line)
{
    std::string text = line;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    Log(std::string(level == LLL_ERR ? "http error: " : "http: ") + text);
}

} // namespace

void Wipe(std::string *s)
{
    if (!s->empty())
        explicit_bzero(&(*s)[0], s->size());
    s->clear();
}

Message MakeMessage(const std::string &json)
{
    auto *s = new std::string(LWS_PRE, '\0');
    s->append(json);
    return Message(s, [](const std::string *p) {
        Wipe(const_cast<std::string *>(p));
        delete p;
    });
}

extern "C" const unsigned char kScanidPage[];
extern "C" const size_t kScanidPageSize;

struct Service::Impl {
    lws_context *context = nullptr;
    int port = 0;
    Config config;
    std::vector<std::string> origins, hosts;
    std::string version;

    std::vector<Client *> clients;
    unsigned nextId = 1;
    ReaderStatus status;
    Message retained;
    Timer retention{};
    Timer sweep{};
    bool sweepArmed = false;

    // Handed over from other threads.
    std::mutex mutex;
    std::deque<Event> inbox;
    std::unique_ptr<Config> newConfig;
    std::atomic<bool> stop{false};

    void Configure(const Config &c)
    {
        config = c;
        status.transport = c.serial ? "serial" : "usb";
        origins = c.AllowedOrigins(port);
        hosts = c.AllowedHosts(port);
    }

    // --- messages --------------------------------------------------------------

    Message StatusMessage()
    {
        Json j;
        j["type"] = "status";
        j["reader"] = status.reader;
        j["healthy"] = status.healthy;
        if (status.failed) {
            j["last_failure"] = Json{{"result", status.failureResult},
                                     {"result_name", scanid_tools::ResultName(status.failureResult)},
                                     {"error", status.failureError.empty() ? Json() : Json(status.failureError)},
                                     {"time", status.failureTime}};
        } else {
            j["last_failure"] = nullptr;
        }
        j["transport"] = status.transport;
        j["card_retained"] = retained != nullptr;
        j["clients"] = clients.size();
        j["version"] = version;
        return MakeMessage(scanid_tools::Dump(j));
    }

    void Enqueue(Client *c, const Message &m)
    {
        if (c->dropped || c->closeReason)
            return;
        if (c->queue.size() >= kMaxQueued) {
            Drop(c, "too many messages waiting");
            return;
        }
        if (c->queue.empty())
            c->waitingSince = Clock::now();
        c->queue.push_back(m);
        lws_callback_on_writable(c->wsi);
        ArmSweep();
    }

    void Broadcast(const Message &m)
    {
        for (Client *c : clients)
            Enqueue(c, m);
    }

    void Drop(Client *c, const char *why)
    {
        c->dropped = true;
        c->queue.clear();
        Log("client " + std::to_string(c->id) + " dropped: " + why);
        lws_set_timeout(c->wsi, PENDING_TIMEOUT_USER_OK, LWS_TO_KILL_ASYNC);
    }

    // A client whose socket stays full is not reading: it must not hold
    // messages (cards) nor a connection slot for ever.
    static void OnSweep(lws_sorted_usec_list_t *sul)
    {
        Impl *self = reinterpret_cast<Timer *>(sul)->owner;
        self->sweepArmed = false;
        for (Client *c : self->clients)
            if (!c->dropped && !c->queue.empty() && Clock::now() - c->waitingSince > kStuckAfter)
                self->Drop(c, "not reading");
        self->ArmSweep();
    }

    void ArmSweep()
    {
        if (sweepArmed)
            return;
        for (Client *c : clients) {
            if (!c->dropped && !c->queue.empty()) {
                sweepArmed = true;
                lws_sul_schedule(context, 0, &sweep.sul, OnSweep, LWS_US_PER_SEC);
                return;
            }
        }
    }

    static void OnRetention(lws_sorted_usec_list_t *sul)
    {
        reinterpret_cast<Timer *>(sul)->owner->Clear("retention");
    }

    bool Clear(const char *reason)
    {
        if (!retained)
            return false;
        retained.reset(); // wiped once the clients still sending it are done
        lws_sul_cancel(&retention.sul);
        Broadcast(MakeMessage(scanid_tools::Dump(Json{{"type", "cleared"}, {"reason", reason}})));
        return true;
    }

    void Deliver(Event &e)
    {
        if (e.status) {
            if (e.readerStatus == status)
                return;
            status = e.readerStatus;
            Broadcast(StatusMessage());
            return;
        }
        if (e.card) {
            retained.reset();
            lws_sul_cancel(&retention.sul);
            if (config.retention > 0) {
                retained = e.message;
                lws_sul_schedule(context, 0, &retention.sul, OnRetention,
                                 static_cast<lws_usec_t>(config.retention) * LWS_US_PER_SEC);
            }
        }
        Broadcast(e.message);
    }

    void TakeInbox()
    {
        std::deque<Event> events;
        std::unique_ptr<Config> c;
        {
            std::lock_guard<std::mutex> lock(mutex);
            events.swap(inbox);
            c.swap(newConfig);
        }
        if (c)
            Configure(*c);
        for (Event &e : events)
            Deliver(e);
    }

    // --- admission ----------------------------------------------------------

    // 0 when the request may go on, else the HTTP status, with the reason.
    unsigned Admit(lws *wsi, bool needsToken, std::string *reason)
    {
        bool present = false;
        std::string host = Header(wsi, WSI_TOKEN_HOST, &present);
        if (!hosts.empty()) {
            bool ok = false;
            for (const std::string &h : hosts)
                ok = ok || host == h;
            if (!ok) {
                *reason = "host not allowed";
                return 403;
            }
        }
        // Browsers always send Origin with a WebSocket and a cross-origin
        // request; without one the caller is not a web page.
        std::string origin = Header(wsi, WSI_TOKEN_ORIGIN, &present);
        if (present) {
            bool ok = false;
            for (const std::string &o : origins)
                ok = ok || origin == o;
            if (!ok) {
                *reason = "origin not allowed";
                return 403;
            }
        }
        if (needsToken && !config.token.empty()) {
            std::string given;
            char arg[300];
            if (const char *v = lws_get_urlarg_by_name(wsi, "token=", arg, sizeof arg))
                given = v;
            std::string auth = Header(wsi, WSI_TOKEN_HTTP_AUTHORIZATION, &present);
            if (given.empty() && auth.compare(0, 7, "Bearer ") == 0)
                given = auth.substr(7);
            if (!SameText(given, config.token)) {
                *reason = "token required";
                return 401;
            }
        }
        return 0;
    }

    static void Refused(lws *wsi, const char *what, unsigned status, const std::string &reason)
    {
        char peer[64] = "";
        lws_get_peer_simple(wsi, peer, sizeof peer);
        Log(std::string("refused ") + what + " from " + peer + ": " + std::to_string(status) + " " + reason);
    }

    // --- HTTP ------------------------------------------------------------------

    static int Reply(lws *wsi, Session *s, unsigned code, const char *type, Message body, bool close)
    {
        close = close || s->closeAfterReply;
        unsigned char buf[LWS_PRE + 1024];
        unsigned char *start = buf + LWS_PRE, *p = start, *end = buf + sizeof buf - 1;
        const size_t len = body->size() - LWS_PRE;
        auto add = [&](const char *name, const char *value) {
            return lws_add_http_header_by_name(wsi, reinterpret_cast<const unsigned char *>(name),
                                               reinterpret_cast<const unsigned char *>(value),
                                               static_cast<int>(strlen(value)), &p, end) == 0;
        };
        bool page = strcmp(type, "text/html; charset=utf-8") == 0;
        if (lws_add_http_common_headers(wsi, code, type, len, &p, end) || !add("cache-control:", "no-store") ||
            !add("x-content-type-options:", "nosniff") || !add("referrer-policy:", "no-referrer") ||
            (page && !add("content-security-policy:",
                          "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
                          "img-src data:; connect-src 'self' ws: wss:; frame-ancestors 'none'")) ||
            (close && !add("connection:", "close")) || lws_finalize_write_http_header(wsi, start, &p, end))
            return -1;
        if (!s->http)
            s->http = new HttpReply;
        s->http->body = std::move(body);
        s->http->sent = 0;
        s->http->close = close;
        lws_callback_on_writable(wsi);
        return 0;
    }

    static int ReplyJson(lws *wsi, Session *s, unsigned code, const std::string &json, bool close = false)
    {
        return Reply(wsi, s, code, "application/json", MakeMessage(json), close);
    }

    int OnHttp(lws *wsi, Session *s)
    {
        char *uri = nullptr;
        int uriLen = 0;
        int method = lws_http_get_uri_and_method(wsi, &uri, &uriLen);
        std::string path = uri && uriLen > 0 ? std::string(uri, static_cast<size_t>(uriLen)) : "";
        const std::string what = path.size() > 64 ? path.substr(0, 64) + "..." : path;
        // No request here has a body worth reading: one that comes with a
        // body is answered, and the connection closed, without reading it.
        s->closeAfterReply = lws_hdr_total_length(wsi, WSI_TOKEN_HTTP_CONTENT_LENGTH) > 0 ||
                             lws_hdr_total_length(wsi, WSI_TOKEN_HTTP_TRANSFER_ENCODING) > 0;
        std::string reason;
        if (unsigned code = Admit(wsi, path.compare(0, 5, "/api/") == 0, &reason)) {
            Refused(wsi, what.c_str(), code, reason);
            return ReplyJson(wsi, s, code, ErrorJson(reason), true);
        }
        auto only = [&](int m) {
            if (method == m)
                return true;
            ReplyJson(wsi, s, 405, ErrorJson("method not allowed"), true);
            return false;
        };
        if (path == "/" || path == "/index.html") {
            if (only(LWSHUMETH_GET)) {
                Reply(wsi, s, 200, "text/html; charset=utf-8",
                      MakeMessage(std::string(reinterpret_cast<const char *>(kScanidPage), kScanidPageSize)), false);
            }
            return 0;
        }
        if (path == "/api/status") {
            if (only(LWSHUMETH_GET))
                Reply(wsi, s, 200, "application/json", StatusMessage(), false);
            return 0;
        }
        if (path == "/api/card") {
            if (method == LWSHUMETH_GET) {
                if (retained)
                    return Reply(wsi, s, 200, "application/json", retained, false);
                return ReplyJson(wsi, s, 404, ErrorJson("no card retained"));
            }
            if (only(LWSHUMETH_DELETE))
                ReplyJson(wsi, s, 200, scanid_tools::Dump(Json{{"cleared", Clear("request")}}));
            return 0;
        }
        if (path == "/ws") {
            if (only(LWSHUMETH_GET))
                ReplyJson(wsi, s, 400, ErrorJson("WebSocket upgrade expected"), true);
            return 0;
        }
        return ReplyJson(wsi, s, 404, ErrorJson("not found"));
    }

    static int OnHttpWritable(lws *wsi, Session *s)
    {
        HttpReply *r = s->http;
        if (!r || !r->body)
            return 0;
        const size_t total = r->body->size() - LWS_PRE;
        size_t n = total - r->sent < kChunk ? total - r->sent : kChunk;
        // lws writes its framing into the LWS_PRE bytes before the chunk,
        // which were sent already (or are the padding).
        auto *data = reinterpret_cast<unsigned char *>(const_cast<char *>(r->body->data())) + LWS_PRE + r->sent;
        bool last = r->sent + n == total;
        if (lws_write(wsi, data, n, last ? LWS_WRITE_HTTP_FINAL : LWS_WRITE_HTTP) != static_cast<int>(n))
            return -1;
        r->sent += n;
        if (!last) {
            lws_callback_on_writable(wsi);
            return 0;
        }
        r->body.reset();
        if (r->close)
            return -1;
        return lws_http_transaction_completed(wsi) ? -1 : 0;
    }

    // --- WebSocket ---------------------------------------------------------------

    int OnHandshake(lws *wsi)
    {
        bool present = false;
        std::string path = Header(wsi, WSI_TOKEN_GET_URI, &present);
        unsigned code = 0;
        std::string reason;
        if (path != "/ws") {
            code = 404;
            reason = "not found";
        } else if ((code = Admit(wsi, true, &reason)) == 0 &&
                   clients.size() >= static_cast<size_t>(config.maxClients)) {
            code = 503;
            reason = "too many clients";
        }
        if (code == 0)
            return 0;
        Refused(wsi, "WebSocket", code, reason);
        // The refusal goes out as a plain HTTP answer before the connection closes.
        unsigned char buf[LWS_PRE + 512];
        unsigned char *start = buf + LWS_PRE, *p = start, *end = buf + sizeof buf - 1;
        std::string body = ErrorJson(reason);
        if (lws_add_http_common_headers(wsi, code, "application/json", body.size(), &p, end) == 0 &&
            lws_finalize_write_http_header(wsi, start, &p, end) == 0) {
            std::string out(LWS_PRE, '\0');
            out += body;
            (void)lws_write(wsi, reinterpret_cast<unsigned char *>(&out[LWS_PRE]), body.size(),
                            LWS_WRITE_HTTP_FINAL);
        }
        return 1;
    }

    void OnEstablished(lws *wsi, Session *s)
    {
        if (!s)
            return;
        auto *c = new Client;
        c->wsi = wsi;
        c->id = nextId++;
        s->client = c;
        clients.push_back(c);
        int fd = lws_get_socket_fd(wsi);
        if (fd >= 0)
            (void)setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kSendBuffer, sizeof kSendBuffer);
        if (config.verbose)
            Log("client " + std::to_string(c->id) + " connected (" + std::to_string(clients.size()) + " in all)");
        Enqueue(c, StatusMessage());
        if (retained)
            Enqueue(c, retained);
    }

    void OnClosed(Session *s)
    {
        Client *c = s->client;
        if (!c)
            return;
        for (auto it = clients.begin(); it != clients.end(); ++it) {
            if (*it == c) {
                clients.erase(it);
                break;
            }
        }
        if (config.verbose)
            Log("client " + std::to_string(c->id) + " gone");
        Wipe(&c->rx);
        delete c;
        s->client = nullptr;
    }

    static int OnWritable(lws *wsi, Session *s)
    {
        Client *c = s->client;
        if (c && c->closeReason) {
            lws_close_reason(wsi, c->closeCode,
                             reinterpret_cast<unsigned char *>(const_cast<char *>(c->closeReason)),
                             strlen(c->closeReason));
            return -1;
        }
        if (!c || c->dropped || c->queue.empty())
            return 0;
        Message m = c->queue.front();
        c->queue.pop_front();
        c->waitingSince = Clock::now();
        const size_t len = m->size() - LWS_PRE;
        auto *data = reinterpret_cast<unsigned char *>(const_cast<char *>(m->data())) + LWS_PRE;
        if (lws_write(wsi, data, len, LWS_WRITE_TEXT) < static_cast<int>(len))
            return -1;
        if (!c->queue.empty())
            lws_callback_on_writable(wsi);
        return 0;
    }

    static void CloseAfterSending(Client *c, lws_close_status code, const char *reason)
    {
        Log("client " + std::to_string(c->id) + " closed: " + reason);
        c->closeCode = code;
        c->closeReason = reason;
        c->queue.clear();
        Wipe(&c->rx);
        lws_callback_on_writable(c->wsi);
    }

    int OnReceive(lws *wsi, Session *s, const char *in, size_t len)
    {
        Client *c = s->client;
        if (!c)
            return -1;
        if (c->closeReason)
            return 0; // closing: the rest is not read
        if (lws_frame_is_binary(wsi)) {
            CloseAfterSending(c, LWS_CLOSE_STATUS_UNACCEPTABLE_OPCODE, "text messages only");
            return 0;
        }
        if (c->rx.size() + len + lws_remaining_packet_payload(wsi) > static_cast<size_t>(config.maxMessage)) {
            CloseAfterSending(c, LWS_CLOSE_STATUS_MESSAGE_TOO_LARGE, "message too big");
            return 0;
        }
        c->rx.append(in, len);
        if (!lws_is_final_fragment(wsi) || lws_remaining_packet_payload(wsi) > 0)
            return 0;
        Json j = Json::parse(c->rx, nullptr, false);
        Wipe(&c->rx);
        std::string type = j.is_object() && j.contains("type") && j["type"].is_string() ? j["type"].get<std::string>()
                                                                                       : "";
        if (type == "status")
            Enqueue(c, StatusMessage());
        else if (type == "clear")
            Clear("request");
        else
            Enqueue(c, MakeMessage(scanid_tools::Dump(
                           Json{{"type", "error"}, {"error", type.empty() ? "malformed message" : "unknown message type"}})));
        return 0;
    }
};

namespace {

int Callback(lws *wsi, lws_callback_reasons reason, void *user, void *in, size_t len)
{
    lws_context *context = lws_get_context(wsi);
    auto *self = context ? static_cast<Service::Impl *>(lws_context_user(context)) : nullptr;
    auto *s = static_cast<Session *>(user);
    if (!self)
        return lws_callback_http_dummy(wsi, reason, user, in, len);
    switch (reason) {
    case LWS_CALLBACK_EVENT_WAIT_CANCELLED:
        self->TakeInbox();
        return 0;
    case LWS_CALLBACK_HTTP:
        return self->OnHttp(wsi, s);
    case LWS_CALLBACK_HTTP_WRITEABLE:
        return Service::Impl::OnHttpWritable(wsi, s);
    case LWS_CALLBACK_HTTP_BODY:
    case LWS_CALLBACK_HTTP_BODY_COMPLETION: // the answer is on its way already
        return 0;
    case LWS_CALLBACK_HTTP_DROP_PROTOCOL:
    case LWS_CALLBACK_CLOSED_HTTP:
        if (s && s->http) {
            delete s->http;
            s->http = nullptr;
        }
        return 0;
    case LWS_CALLBACK_FILTER_PROTOCOL_CONNECTION:
        return self->OnHandshake(wsi);
    case LWS_CALLBACK_ESTABLISHED:
        if (s && s->http) { // the upgrade reuses the connection's memory
            delete s->http;
            s->http = nullptr;
        }
        self->OnEstablished(wsi, s);
        return 0;
    case LWS_CALLBACK_SERVER_WRITEABLE:
        return Service::Impl::OnWritable(wsi, s);
    case LWS_CALLBACK_RECEIVE:
        return self->OnReceive(wsi, s, static_cast<const char *>(in), len);
    case LWS_CALLBACK_CLOSED:
        self->OnClosed(s);
        return 0;
    default:
        return lws_callback_http_dummy(wsi, reason, user, in, len);
    }
}

const lws_protocols kProtocols[] = {
    {"scanid", Callback, sizeof(Session), 4096, 0, nullptr, 0},
    {nullptr, nullptr, 0, 0, 0, nullptr, 0},
};

} // namespace

Service::Service() : m_impl(new Impl)
{
    m_impl->retention.owner = m_impl.get();
    m_impl->sweep.owner = m_impl.get();
}

Service::~Service()
{
    if (m_context)
        lws_context_destroy(m_context);
}

bool Service::Start(const Config &config, std::string *error)
{
    lws_set_log_level(LLL_ERR, LogFromLws); // its warnings repeat what the log says already
    m_impl->version = GetScanIdVersionString();
    lws_context_creation_info info;
    memset(&info, 0, sizeof info);
    info.port = config.port;
    info.iface = config.listen == "0.0.0.0" ? nullptr : config.listen.c_str();
    info.protocols = kProtocols;
    info.user = m_impl.get();
    info.gid = -1;
    info.uid = -1;
    info.options = LWS_SERVER_OPTION_DISABLE_IPV6 | LWS_SERVER_OPTION_VALIDATE_UTF8;
    info.max_http_header_data = 4096;
    info.max_http_header_pool = 16;
    info.timeout_secs = 10;
    info.server_string = "scanidd";
    m_context = lws_create_context(&info);
    if (!m_context) {
        *error = "cannot listen on " + config.listen + ":" + std::to_string(config.port);
        return false;
    }
    m_impl->context = m_context;
    lws_vhost *vhost = lws_get_vhost_by_name(m_context, "default");
    m_port = vhost ? lws_get_vhost_listen_port(vhost) : config.port;
    m_impl->port = m_port;
    m_impl->Configure(config);
    return true;
}

void Service::Run()
{
    while (!m_impl->stop.load())
        if (lws_service(m_context, 0) < 0)
            break;
}

void Service::Stop()
{
    m_impl->stop = true;
    if (m_context)
        lws_cancel_service(m_context);
}

void Service::PublishStatus(const ReaderStatus &status)
{
    Event e;
    e.status = true;
    e.readerStatus = status;
    {
        std::lock_guard<std::mutex> lock(m_impl->mutex);
        m_impl->inbox.push_back(std::move(e));
    }
    lws_cancel_service(m_context);
}

void Service::PublishResult(Message message, bool card)
{
    Event e;
    e.message = std::move(message);
    e.card = card;
    {
        std::lock_guard<std::mutex> lock(m_impl->mutex);
        m_impl->inbox.push_back(std::move(e));
    }
    lws_cancel_service(m_context);
}

void Service::Reconfigure(const Config &config)
{
    {
        std::lock_guard<std::mutex> lock(m_impl->mutex);
        m_impl->newConfig.reset(new Config(config));
    }
    lws_cancel_service(m_context);
}

} // namespace scanidd

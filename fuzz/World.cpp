#include "World.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <libusb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "LinkSerial.h"
#include "Public.h"

namespace fuzzworld {
namespace {

struct Event {
    uint8_t flags;
    const uint8_t *data;
    size_t len;
};

struct Queue {
    std::vector<Event> events;
    size_t next = 0;
    bool asked = false;   // bytes came from the library since the last delivery

    const Event *Peek() const { return next < events.size() ? &events[next] : nullptr; }
};

// Starts just short of the millisecond counter's wrap, so that the first
// cycles cross it.
constexpr int64_t kClockStartNs = (int64_t{0xFFFFFFFF} - 4000) * 1000000;

// The serial module's device: the only path PortOpen knows.
constexpr char kPortPath[] = "/dev/ttyWORLD0";
constexpr int kPortBaud = 115200;
constexpr speed_t kPortSpeed = B115200;

[[noreturn]] void Violation(const char *what)
{
    fprintf(stderr, "fuzz world: %s\n", what);
    abort();
}

int CountDescriptors()
{
    DIR *d = opendir("/proc/self/fd");
    if (!d)
        return -1;
    int n = 0;
    while (readdir(d))
        n++;
    closedir(d);
    return n;
}

void CloseFd(int &fd)
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

struct World {
    int64_t now = kClockStartNs;
    Link link = Link::Usb;
    Queue module;
    Queue server;

    // Decode server, and the standby server where the library's build looks
    // for it (SCANID_STANDBY_HOST, port 19977), listening when asked.
    int listenFd = -1;
    int refuseFd = -1;      // bound, never listening: connections are refused
    int standbyFd = -1;
    uint16_t listenPort = 0;
    uint16_t refusePort = 0;
    int conn = -1;

    // Serial module: a socket pair, which unlike a pseudo-terminal hands
    // bytes over within the write. The library opens copies of portFd.
    int moduleFd = -1;
    int portFd = -1;
    bool moduleGone = false;
    ino_t portIno = 0;
    termios portAttr{};

    // USB module: one eventfd stands for the device's descriptors, readable
    // while libusb has a transfer to hand back.
    bool deviceGone = false;
    int contexts = 0;
    int handles = 0;
    int transfers = 0;       // allocated, not freed
    int usbFd = -1;
    libusb_transfer *pendingIn = nullptr;
    libusb_transfer *pendingOut = nullptr;
    bool inCancelled = false;
    bool outCancelled = false;

    // Cancel from the program at the Nth pump, when the script asks.
    int pumps = 0;
    int cancelAt = -1;
    bool cancelled = false;

    int events = 0;
    int cardFound = 0;
};

World &W()
{
    static World w;
    return w;
}

int BindLoopback(const char *address, uint16_t *port, bool listening)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        Violation("socket");
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(*port);
    inet_pton(AF_INET, address, &a.sin_addr);
    socklen_t len = sizeof a;
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
        (listening && listen(fd, 16) != 0) ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
        close(fd);
        return -1;
    }
    fcntl(fd, F_SETFL, O_NONBLOCK);
    *port = ntohs(a.sin_port);
    return fd;
}

// The standby server listens only while a script asks for it. Its address is
// fixed by the build, off 127.0.0.1 where the tests run standby servers of
// their own (SCANID_FUZZ_STANDBY_HOST).
void SetStandby(World &w, bool up)
{
    if (!up) {
        CloseFd(w.standbyFd);
        return;
    }
    if (w.standbyFd < 0) {
        uint16_t port = 19977;
        w.standbyFd = BindLoopback(SCANID_STANDBY_HOST, &port, true);
    }
}

void SetupOnce()
{
    World &w = W();
    if (w.listenFd >= 0)
        return;
    w.usbFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    w.listenFd = BindLoopback("127.0.0.1", &w.listenPort, true);
    w.refuseFd = BindLoopback("127.0.0.1", &w.refusePort, false);
    if (w.listenFd < 0 || w.refuseFd < 0 || w.usbFd < 0)
        Violation("cannot bind 127.0.0.1");
}

// Writes what fits; a peer that has stopped reading loses the rest, as it
// would behind a full window.
void Deliver(int fd, const Event &e)
{
    size_t off = 0;
    while (off < e.len) {
        ssize_t n = send(fd, e.data + off, e.len - off, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n <= 0)
            break;
        off += static_cast<size_t>(n);
    }
}

bool Drain(int fd, bool *closed)
{
    unsigned char sink[4096];
    bool got = false;
    for (;;) {
        ssize_t n = recv(fd, sink, sizeof sink, MSG_DONTWAIT);
        if (n > 0) {
            got = true;
            continue;
        }
        if (n == 0)
            *closed = true;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            *closed = true;
        return got;
    }
}

// FUZZ_WORLD_TRACE=1 shows every delivery on stderr, with the virtual time.
void Trace(const World &w, const char *who, const Event &e)
{
    static const bool on = getenv("FUZZ_WORLD_TRACE") != nullptr;
    if (!on)
        return;
    fprintf(stderr, "%8lld ms  %-7s %4zu bytes", static_cast<long long>((w.now - kClockStartNs) / 1000000), who, e.len);
    for (size_t i = 0; i < e.len && i < 8; i++)
        fprintf(stderr, " %02X", e.data[i]);
    fputc('\n', stderr);
}

void Accept(World &w, int listener)
{
    for (;;) {
        int fd = listener >= 0 ? accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK) : -1;
        if (fd < 0)
            return;
        // A new connection is a new exchange; the old one is over.
        CloseFd(w.conn);
        w.conn = fd;
        w.server.asked = false;
    }
}

// Which of the world's descriptors the library has given something to read:
// asked with one poll, as a pump comes at every wait and pause and an
// accept() that finds nothing costs the kernel a socket.
struct Ready {
    bool listen = false;
    bool standby = false;
    bool conn = false;
    bool module = false;
};

void PumpServer(World &w, const Ready &ready)
{
    const int before = w.conn;
    if (ready.listen)
        Accept(w, w.listenFd);
    if (ready.standby)
        Accept(w, w.standbyFd);
    if (w.conn < 0)
        return;
    bool closed = false;
    if ((ready.conn || w.conn != before) && Drain(w.conn, &closed))
        w.server.asked = true;
    if (closed) {
        CloseFd(w.conn);
        return;
    }
    const Event *e = w.server.Peek();
    if (e && (e->flags & kAfterModule) && w.module.Peek())
        return;
    if (e && (w.server.asked || (e->flags & kUnasked))) {
        Trace(w, "server", *e);
        Deliver(w.conn, *e);
        w.server.next++;
        w.server.asked = false;
        if (e->flags & kThenGone)
            CloseFd(w.conn);
    }
}

void PumpSerialModule(World &w, const Ready &ready)
{
    // What the library writes to a gone module stays unread: its writes only
    // block once the socket's buffer (hundreds of kilobytes) is full.
    if (w.moduleFd < 0 || w.moduleGone)
        return;
    bool closed = false;   // never: portFd keeps the library's side open
    if (ready.module && Drain(w.moduleFd, &closed))
        w.module.asked = true;
    const Event *e = w.module.Peek();
    if (!e || !(w.module.asked || (e->flags & kUnasked)))
        return;
    Trace(w, "module", *e);
    Deliver(w.moduleFd, *e);
    w.module.next++;
    w.module.asked = false;
    // Gone: the library's reads find the end of the stream, and its polls
    // find the port readable, as when a device goes away. The world still
    // takes what the library writes: on a closed peer a write raises
    // SIGPIPE, where a terminal fails with EIO.
    if (e->flags & kThenGone) {
        shutdown(w.moduleFd, SHUT_WR);
        w.moduleGone = true;
    }
}

// A terminal as the kernel leaves it: cooked, echoing, blocking reads.
termios FreshTerminal()
{
    termios t{};
    t.c_iflag = ICRNL | IXON;
    t.c_oflag = OPOST | ONLCR;
    t.c_cflag = CS8 | CREAD | HUPCL;
    t.c_lflag = ISIG | ICANON | ECHO | ECHOE | ECHOK | IEXTEN;
    t.c_cc[VMIN] = 1;
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    return t;
}

// Whether fd is one of the library's copies of the port.
bool IsPort(const World &w, int fd)
{
    struct stat st;
    return w.portFd >= 0 && fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode) && st.st_ino == w.portIno;
}

void OpenSerialModule(World &w)
{
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        Violation("socketpair");
    w.moduleFd = pair[0];
    w.portFd = pair[1];
    struct stat st;
    if (fstat(w.portFd, &st) != 0)
        Violation("fstat of the port");
    w.portIno = st.st_ino;
    w.portAttr = FreshTerminal();
    w.moduleGone = false;
    fcntl(w.moduleFd, F_SETFL, O_NONBLOCK);
}

// Whether libusb would have a transfer to hand back now.
bool UsbReady(const World &w)
{
    if (w.pendingOut)
        return true;
    if (!w.pendingIn)
        return false;
    const Event *e = w.module.Peek();
    return w.inCancelled || w.deviceGone || (e && e->len > 0);
}

void ArmUsb(World &w)
{
    uint64_t v = 1;
    if (UsbReady(w))
        (void)!write(w.usbFd, &v, sizeof v);
    else
        (void)!read(w.usbFd, &v, sizeof v);
}

void Pump()
{
    World &w = W();
    if (w.cancelAt >= 0 && w.pumps++ == w.cancelAt) {
        w.cancelled = true;
        CancelReadIDCard();
    }
    pollfd p[4];
    bool *flag[4];
    nfds_t n = 0;
    Ready ready;
    auto watch = [&](int fd, bool *f) {
        if (fd >= 0) {
            p[n] = pollfd{fd, POLLIN, 0};
            flag[n++] = f;
        }
    };
    watch(w.listenFd, &ready.listen);
    watch(w.standbyFd, &ready.standby);
    watch(w.conn, &ready.conn);
    if (w.link == Link::Serial && !w.moduleGone)
        watch(w.moduleFd, &ready.module);
    if (poll(p, n, 0) > 0)
        for (nfds_t i = 0; i < n; i++)
            *flag[i] = p[i].revents != 0;
    PumpServer(w, ready);
    if (w.link == Link::Serial) {
        PumpSerialModule(w, ready);
        return;
    }
    // An empty frame is one look in which the module stays quiet.
    const Event *e = w.module.Peek();
    if (w.pendingIn && !w.inCancelled && !w.deviceGone && e && e->len == 0)
        w.module.next++;
    ArmUsb(w);
}

void ParseScript(World &w, const uint8_t *data, size_t size, uint8_t *options)
{
    w.module = Queue{};
    w.server = Queue{};
    *options = size > 0 ? data[0] : 0;
    size_t at = size > 0 ? 1 : 0;
    while (at + 3 <= size) {
        uint8_t flags = data[at];
        size_t len = static_cast<size_t>(data[at + 1]) | static_cast<size_t>(data[at + 2]) << 8;
        at += 3;
        if (len > size - at)
            len = size - at;
        Event e{flags, data + at, len};
        (flags & kToServer ? w.server : w.module).events.push_back(e);
        at += len;
    }
}

void OnEvent(int kind, void *message)
{
    W().events++;
    if (kind < SCANID_EVENT_CARD || kind > SCANID_EVENT_PROGRESS)
        Violation("event of unknown kind");
    if (!message || strnlen(static_cast<const char *>(message), 100) >= 100)
        Violation("event text not terminated within its buffer");
}

void OnCardFound(int kind, void *message)
{
    W().cardFound++;
    if (kind != 1 || message != nullptr)
        Violation("card-found callback with unexpected arguments");
}

bool AllZero(const void *p, size_t n)
{
    const unsigned char *b = static_cast<const unsigned char *>(p);
    for (size_t i = 0; i < n; i++)
        if (b[i])
            return false;
    return true;
}

void CheckTerminated(const char *field, size_t size, const char *what)
{
    if (field[size - 1] != 0)
        Violation(what);
}

void CheckRecord(Link link, int code, const idInfo &info)
{
    const size_t idEnd = offsetof(idInfo, cardkind);
    const size_t otherEnd = offsetof(idInfo, cardfoundcb);
    const unsigned char *raw = reinterpret_cast<const unsigned char *>(&info);
    if (code == SCANID_IDCARD) {
        CheckTerminated(info.name, sizeof info.name, "name not terminated");
        CheckTerminated(info.nation, sizeof info.nation, "nation not terminated");
        CheckTerminated(info.birth, sizeof info.birth, "birth not terminated");
        CheckTerminated(info.address, sizeof info.address, "address not terminated");
        CheckTerminated(info.cardno, sizeof info.cardno, "cardno not terminated");
        CheckTerminated(info.authority, sizeof info.authority, "authority not terminated");
        CheckTerminated(info.starttime, sizeof info.starttime, "starttime not terminated");
        CheckTerminated(info.endtime, sizeof info.endtime, "endtime not terminated");
        if (info.photolen != SCANID_PHOTO_BYTES)
            Violation("identity read without the photo length");
        if (!AllZero(raw + idEnd, otherEnd - idEnd))
            Violation("identity read touched the other-card fields");
    } else if (code == SCANID_OTHERCARD) {
        if (!AllZero(raw, idEnd))
            Violation("other-card read touched the identity fields");
        int maxLen = link == Link::Usb ? static_cast<int>(sizeof info.carddata) : 20;
        if (info.carddatalen < 0 || info.carddatalen > maxLen)
            Violation("card data length out of range");
        if (link == Link::Usb && (info.cardkind < 1 || info.cardkind > 4))
            Violation("USB card kind out of range");
    } else if (!AllZero(raw, otherEnd)) {
        Violation("a failed read left data in the record");
    }
}

bool CodeAllowed(Link link, int code)
{
    static const int usb[] = {1, 2, 3, 5, 7, 8, 10, 11, 12, 13};
    static const int serial[] = {1, 2, 3, 4, 6, 7, 8, 10, 0, -1, 12, 13};
    const int *begin = link == Link::Usb ? usb : serial;
    size_t n = link == Link::Usb ? sizeof usb / sizeof usb[0] : sizeof serial / sizeof serial[0];
    for (size_t i = 0; i < n; i++)
        if (begin[i] == code)
            return true;
    return false;
}

} // namespace

void AddEvent(std::vector<uint8_t> &script, uint8_t flags, const uint8_t *data, size_t len)
{
    script.push_back(flags);
    script.push_back(static_cast<uint8_t>(len & 0xFF));
    script.push_back(static_cast<uint8_t>(len >> 8));
    script.insert(script.end(), data, data + len);
}

Outcome RunCycle(Link link, const uint8_t *script, size_t size, idInfo *info)
{
    SetupOnce();
    World &w = W();
    const int baseline = CountDescriptors();
    const bool hadStandby = w.standbyFd >= 0;
    w.link = link;
    uint8_t options = 0;
    ParseScript(w, script, size, &options);
    w.deviceGone = false;
    w.events = 0;
    w.cardFound = 0;
    w.pumps = 0;
    w.cancelAt = options & kOptionCancel ? options >> 3 : -1;
    w.cancelled = false;

    if (link == Link::Serial) {
        OpenSerialModule(w);
        if (SetComInfo(kPortPath, kPortBaud) != 0)
            Violation("SetComInfo refused the port's path");
    }
    uint16_t port = options & kOptionRefuse ? w.refusePort : w.listenPort;
    SetStandby(w, options & kOptionStandby);
    if (SetServiceInfo("127.0.0.1", port) != 0)
        Violation("SetServiceInfo refused");
    CARD_SetReadInfoCB(OnEvent);

    memset(info, 0, sizeof *info);
    info->cardfoundcb = OnCardFound;
    const int64_t start = w.now;
    int code = ReadIDCardLib(info, link == Link::Usb ? CARDTYPE_USB : CARDTYPE_SERIAL);
    Outcome out;
    out.code = code;
    out.virtualMs = (w.now - start) / 1000000;
    out.events = w.events;
    out.cardFound = w.cardFound;

    if (!CodeAllowed(link, code))
        Violation("result code the transport cannot give");
    if (code == SCANID_CANCELLED && !w.cancelled)
        Violation("cancelled without a cancel");
    if (CancelReadIDCard() != 0)
        Violation("a cancel found a cycle running after it returned");
    info->cardfoundcb = nullptr;
    CheckRecord(link, code, *info);
    // The longest endings: over USB a card wait of up to 10 s per read plus
    // the 3 s relay; over serial the summed ceilings of the script.
    if (out.virtualMs > (link == Link::Usb ? 30000 : 40000))
        Violation("cycle ran past its time limits");
    // The link keeps its two transfers from one cycle to the next.
    if (w.handles != 0 || w.contexts != 0 || w.transfers > 2 || w.pendingIn || w.pendingOut)
        Violation("libusb handle, context or transfer left open");

    CloseFd(w.conn);
    CloseFd(w.moduleFd);
    CloseFd(w.portFd);
    // Counted without the standby listener, which may stay for the next run.
    if (CountDescriptors() - (w.standbyFd >= 0 ? 1 : 0) != baseline - (hadStandby ? 1 : 0))
        Violation("descriptor left open by the cycle");
    return out;
}

} // namespace fuzzworld

// --- the library's clock -------------------------------------------------

int64_t MonotonicNs() noexcept
{
    return fuzzworld::W().now;
}

void PauseUs(uint32_t us) noexcept
{
    fuzzworld::Pump();
    fuzzworld::W().now += static_cast<int64_t>(us) * 1000;
}

void PauseUntilNs(int64_t deadlineNs) noexcept
{
    fuzzworld::Pump();
    if (deadlineNs > fuzzworld::W().now)
        fuzzworld::W().now = deadlineNs;
}

int WaitPoll(struct pollfd *fds, nfds_t count, int timeoutMs) noexcept
{
    fuzzworld::Pump();
    int r = poll(fds, count, 0);
    if (r == 0) {
        // A loopback connect completes at once, but give it a real moment.
        bool connecting = false;
        for (nfds_t i = 0; i < count; i++)
            connecting = connecting || (fds[i].events & POLLOUT);
        if (connecting)
            r = poll(fds, count, 50);
    }
    if (r == 0 && timeoutMs > 0)
        fuzzworld::W().now += static_cast<int64_t>(timeoutMs) * 1000000;
    return r;
}

// --- the serial port's terminal calls ------------------------------------

int PortOpen(const char *path, int flags) noexcept
{
    using namespace fuzzworld;
    World &w = W();
    if (w.moduleFd < 0 || w.moduleGone || strcmp(path, kPortPath) != 0) {
        errno = ENOENT;
        return -1;
    }
    if ((flags & O_ACCMODE) != O_RDWR)
        Violation("port opened other than for reading and writing");
    int fd = fcntl(w.portFd, flags & O_CLOEXEC ? F_DUPFD_CLOEXEC : F_DUPFD, 0);
    if (fd >= 0)
        fcntl(fd, F_SETFL, flags & O_NONBLOCK);
    return fd;
}

ssize_t PortRead(int fd, void *buf, size_t n) noexcept
{
    ssize_t got = recv(fd, buf, n, MSG_DONTWAIT);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return 0;
    return got;
}

int PortGetAttr(int fd, struct termios *tio) noexcept
{
    using namespace fuzzworld;
    if (!IsPort(W(), fd)) {
        errno = ENOTTY;
        return -1;
    }
    *tio = W().portAttr;
    return 0;
}

// The reads rely on raw mode that returns at once: anything else would
// change what they see on a real port.
int PortSetAttr(int fd, const struct termios *tio) noexcept
{
    using namespace fuzzworld;
    if (!IsPort(W(), fd)) {
        errno = ENOTTY;
        return -1;
    }
    const termios &t = *tio;
    if ((t.c_iflag & (IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF)) != 0 ||
        (t.c_oflag & OPOST) != 0 || (t.c_lflag & (ECHO | ECHONL | ICANON | ISIG | IEXTEN)) != 0)
        Violation("port not set to raw mode");
    if ((t.c_cflag & (CSIZE | PARENB | CSTOPB)) != CS8 || (t.c_cflag & (CREAD | CLOCAL)) != (CREAD | CLOCAL))
        Violation("port not set to 8N1, receiving, without modem control");
    if (t.c_cc[VMIN] != 0 || t.c_cc[VTIME] != 0)
        Violation("port reads set to wait");
    if (cfgetispeed(&t) != kPortSpeed || cfgetospeed(&t) != kPortSpeed)
        Violation("port not at the baud rate asked for");
    W().portAttr = t;
    return 0;
}

int PortFlush(int fd) noexcept
{
    using namespace fuzzworld;
    if (!IsPort(W(), fd)) {
        errno = ENOTTY;
        return -1;
    }
    unsigned char sink[4096];
    while (recv(fd, sink, sizeof sink, MSG_DONTWAIT) > 0) {
    }
    return 0;
}

// --- a reader module behind libusb-1.0 -----------------------------------

struct libusb_context {
    int unused;
};
struct libusb_device_handle {
    int unused;
};

extern "C" {

int LIBUSB_CALL libusb_init(libusb_context **ctx)
{
    static libusb_context context;
    fuzzworld::W().contexts++;
    if (ctx)
        *ctx = &context;
    return 0;
}

void LIBUSB_CALL libusb_exit(libusb_context *)
{
    fuzzworld::W().contexts--;
}

ssize_t LIBUSB_CALL libusb_get_device_list(libusb_context *, libusb_device ***list)
{
    static libusb_device *none[1] = {nullptr};
    *list = none;
    return 0;
}

void LIBUSB_CALL libusb_free_device_list(libusb_device **, int) {}

// The list above is empty, so the reader handles' open by port never gets
// a device to ask about.
int LIBUSB_CALL libusb_get_device_descriptor(libusb_device *, struct libusb_device_descriptor *)
{
    return LIBUSB_ERROR_NOT_FOUND;
}
int LIBUSB_CALL libusb_get_port_numbers(libusb_device *, uint8_t *, int) { return LIBUSB_ERROR_NOT_FOUND; }
uint8_t LIBUSB_CALL libusb_get_bus_number(libusb_device *) { return 0; }
int LIBUSB_CALL libusb_open(libusb_device *, libusb_device_handle **) { return LIBUSB_ERROR_NO_DEVICE; }

libusb_device_handle *LIBUSB_CALL libusb_open_device_with_vid_pid(libusb_context *, uint16_t vendor,
                                                                   uint16_t product)
{
    static libusb_device_handle handle;
    if (fuzzworld::W().deviceGone || vendor != 0x0400 || product != 0xC355)
        return nullptr;
    fuzzworld::W().handles++;
    return &handle;
}

void LIBUSB_CALL libusb_close(libusb_device_handle *)
{
    fuzzworld::W().handles--;
}

int LIBUSB_CALL libusb_kernel_driver_active(libusb_device_handle *, int) { return 0; }
int LIBUSB_CALL libusb_detach_kernel_driver(libusb_device_handle *, int) { return 0; }
int LIBUSB_CALL libusb_set_configuration(libusb_device_handle *, int) { return 0; }
int LIBUSB_CALL libusb_claim_interface(libusb_device_handle *, int) { return 0; }
int LIBUSB_CALL libusb_release_interface(libusb_device_handle *, int) { return 0; }
int LIBUSB_CALL libusb_clear_halt(libusb_device_handle *, unsigned char) { return 0; }
int LIBUSB_CALL libusb_reset_device(libusb_device_handle *) { return 0; }

int LIBUSB_CALL libusb_get_configuration(libusb_device_handle *, int *config)
{
    *config = 1;
    return 0;
}

libusb_transfer *LIBUSB_CALL libusb_alloc_transfer(int isoPackets)
{
    if (isoPackets != 0)
        fuzzworld::Violation("isochronous transfer asked for");
    auto *t = static_cast<libusb_transfer *>(calloc(1, sizeof(libusb_transfer)));
    if (t)
        fuzzworld::W().transfers++;
    return t;
}

void LIBUSB_CALL libusb_free_transfer(libusb_transfer *t)
{
    using namespace fuzzworld;
    if (!t)
        return;
    if (t == W().pendingIn || t == W().pendingOut)
        Violation("a pending transfer freed");
    W().transfers--;
    free(t);
}

int LIBUSB_CALL libusb_submit_transfer(libusb_transfer *t)
{
    using namespace fuzzworld;
    World &w = W();
    if (w.deviceGone)
        return LIBUSB_ERROR_NO_DEVICE;
    bool in = (t->endpoint & LIBUSB_ENDPOINT_IN) != 0;
    libusb_transfer *&slot = in ? w.pendingIn : w.pendingOut;
    if (slot)
        return LIBUSB_ERROR_BUSY;
    slot = t;
    (in ? w.inCancelled : w.outCancelled) = false;
    ArmUsb(w);
    return 0;
}

int LIBUSB_CALL libusb_cancel_transfer(libusb_transfer *t)
{
    using namespace fuzzworld;
    World &w = W();
    if (t == w.pendingIn)
        w.inCancelled = true;
    else if (t == w.pendingOut)
        w.outCancelled = true;
    else
        return LIBUSB_ERROR_NOT_FOUND;
    ArmUsb(w);
    return 0;
}

const struct libusb_pollfd **LIBUSB_CALL libusb_get_pollfds(libusb_context *)
{
    static libusb_pollfd device;
    static const libusb_pollfd *list[2] = {&device, nullptr};
    device.fd = fuzzworld::W().usbFd;
    device.events = POLLIN;
    return list;
}

void LIBUSB_CALL libusb_free_pollfds(const struct libusb_pollfd **) {}

int LIBUSB_CALL libusb_handle_events_timeout_completed(libusb_context *, struct timeval *, int *)
{
    using namespace fuzzworld;
    World &w = W();
    Pump();
    if (libusb_transfer *t = w.pendingOut) {
        w.pendingOut = nullptr;
        t->actual_length = w.outCancelled ? 0 : t->length;
        t->status = w.outCancelled ? LIBUSB_TRANSFER_CANCELLED
                    : w.deviceGone ? LIBUSB_TRANSFER_NO_DEVICE : LIBUSB_TRANSFER_COMPLETED;
        t->callback(t);
    }
    if (libusb_transfer *t = w.pendingIn) {
        const Event *e = w.module.Peek();
        t->actual_length = 0;
        if (w.inCancelled) {
            t->status = LIBUSB_TRANSFER_CANCELLED;
        } else if (w.deviceGone) {
            t->status = LIBUSB_TRANSFER_NO_DEVICE;
        } else if (e && e->len > 0) {
            w.module.next++;
            Trace(w, "module", *e);
            if (e->flags & kThenGone)
                w.deviceGone = true;
            size_t n = e->len < static_cast<size_t>(t->length) ? e->len : static_cast<size_t>(t->length);
            memcpy(t->buffer, e->data, n);
            t->actual_length = static_cast<int>(n);
            // More than the transfer asked for: the device babbled.
            t->status = e->len > static_cast<size_t>(t->length) ? LIBUSB_TRANSFER_OVERFLOW
                                                                 : LIBUSB_TRANSFER_COMPLETED;
        } else {
            t = nullptr;
        }
        if (t) {
            w.pendingIn = nullptr;
            t->callback(t);
        }
    }
    ArmUsb(w);
    return 0;
}

} // extern "C"

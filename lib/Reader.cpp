#include "Reader.h"

#include "CardMain.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Longer console lines are cut when routed; none of the library's comes near.
constexpr int kConsoleLineBytes = 256;

ReaderContext g_defaultReader;
// Initial-exec: a pointer's worth of static TLS, so that no thread's first
// access allocates, even in a library loaded with dlopen().
__attribute__((tls_model("initial-exec"))) thread_local ReaderContext *t_reader = nullptr;

// Drops the line end the printing call would have written or the text
// carried ("\n", "\r\n", a lone "\r").
void TrimLineEnd(char *text) noexcept
{
    size_t n = strlen(text);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r'))
        text[--n] = '\0';
}

void Route(const ReaderContext &r, int stream, const char *text, const char *error) noexcept
{
    char line[kConsoleLineBytes];
    (void)snprintf(line, sizeof line, "%s", text); // cut on purpose
    TrimLineEnd(line);
    r.console(r.handle, stream, line, error, r.consoleUser);
}

} // namespace

bool UsbPort::Matches(int devBus, const uint8_t *devPorts, int devDepth) const noexcept
{
    if (Any())
        return true;
    return devBus == bus && devDepth == depth && memcmp(devPorts, ports, static_cast<size_t>(depth)) == 0;
}

bool FormatUsbName(char *out, size_t size, int bus, const uint8_t *ports, int depth) noexcept
{
    int n = snprintf(out, size, "usb:%d", bus);
    for (int i = 0; i < depth && n > 0 && static_cast<size_t>(n) < size; i++)
        n += snprintf(out + n, size - static_cast<size_t>(n), "%c%u", i == 0 ? '-' : '.', ports[i]);
    return n > 0 && static_cast<size_t>(n) < size;
}

Wake::~Wake()
{
    int fd = m_fd.exchange(-1);
    if (fd >= 0)
        close(fd);
}

void Wake::Check() noexcept
{
    struct stat st {};
    int fd = Fd();
    if (fd >= 0 && fstat(fd, &st) == 0 && st.st_dev == m_dev && st.st_ino == m_ino && st.st_rdev == m_rdev &&
        st.st_mode == m_mode)
        return;
    Make();
}

void Wake::Drain() const noexcept
{
    uint64_t count = 0;
    int fd = Fd();
    if (fd >= 0)
        (void)!read(fd, &count, sizeof count);
}

void Wake::Signal() const noexcept
{
    const uint64_t one = 1;
    int fd = Fd();
    if (fd >= 0)
        (void)!write(fd, &one, sizeof one);
}

void Wake::Make() noexcept
{
    int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    struct stat st {};
    if (fd >= 0 && fstat(fd, &st) == 0) {
        m_dev = st.st_dev;
        m_ino = st.st_ino;
        m_rdev = st.st_rdev;
        m_mode = st.st_mode;
    }
    m_fd.store(fd);
}

ReaderContext::ReaderContext() noexcept : standbyHost{}, standbyPort(kStandbyPort)
{
    (void)snprintf(standbyHost, sizeof standbyHost, "%s", SCANID_STANDBY_HOST);
}

void ReaderContext::Begin() noexcept
{
    wake.Check();
    wake.Drain();
    m_cycle.store(kRuns);
}

void ReaderContext::End() noexcept
{
    m_cycle.store(kIdle);
    wake.Drain();
}

bool ReaderContext::Cancel() noexcept
{
    int expected = kRuns;
    if (!m_cycle.compare_exchange_strong(expected, kCancelled))
        return expected == kCancelled;
    // A signal handler must leave errno as it found it.
    int saved = errno;
    wake.Signal();
    errno = saved;
    return true;
}

ReaderContext &DefaultReader() noexcept
{
    return g_defaultReader;
}

ReaderContext &CurrentReader() noexcept
{
    return t_reader ? *t_reader : g_defaultReader;
}

ReaderScope::ReaderScope(ReaderContext &reader) noexcept : m_previous(t_reader)
{
    t_reader = &reader;
}

ReaderScope::~ReaderScope()
{
    t_reader = m_previous;
}

void ConsolePuts(const char *line) noexcept
{
    const ReaderContext &r = CurrentReader();
    if (!r.console) {
        puts(line);
        return;
    }
    Route(r, SCANID_STREAM_OUT, line, nullptr);
}

// Varargs with a printf format attribute: the compiler checks every call.
void ConsolePrintf(const char *format, ...) noexcept // NOLINT(cert-dcl50-cpp)
{
    const ReaderContext &r = CurrentReader();
    va_list ap;
    va_start(ap, format);
    if (!r.console) {
        (void)vprintf(format, ap);
        va_end(ap);
        return;
    }
    char line[kConsoleLineBytes];
    (void)vsnprintf(line, sizeof line, format, ap); // cut on purpose
    va_end(ap);
    Route(r, SCANID_STREAM_OUT, line, nullptr);
}

void ConsolePerror(const char *text) noexcept
{
    const ReaderContext &r = CurrentReader();
    if (!r.console) {
        perror(text);
        return;
    }
    int saved = errno;
    char error[kConsoleLineBytes];
    // The GNU strerror_r: its result may be a static text rather than error.
    const char *message = strerror_r(saved, error, sizeof error);
    Route(r, SCANID_STREAM_ERR, text ? text : "", message);
    errno = saved;
}

#include "SerialModule.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace sim {

namespace {

// While no host has the port open the master reports a hang-up on every
// poll; look again this often for the next open.
constexpr int kReopenPollMs = 5;
// A host that does not read for this long gets no more of our frames.
constexpr int kWriteLimitMs = 2000;

void MakeRaw(int fd)
{
    termios tio{};
    if (tcgetattr(fd, &tio) == 0) {
        cfmakeraw(&tio);
        tio.c_cc[VMIN] = 1;
        tio.c_cc[VTIME] = 0;
        tcsetattr(fd, TCSANOW, &tio);
    }
}

bool SetFlags(int fd, bool nonblock)
{
    int fl = fcntl(fd, F_GETFL);
    int fdfl = fcntl(fd, F_GETFD);
    if (fl < 0 || fdfl < 0)
        return false;
    if (nonblock && fcntl(fd, F_SETFL, fl | O_NONBLOCK) < 0)
        return false;
    return fcntl(fd, F_SETFD, fdfl | FD_CLOEXEC) == 0;
}

} // namespace

SerialModule::SerialModule(ModuleConfig config)
{
    config.streamLink = true;
    m_module = std::make_unique<ReaderModule>(config);

    int slave = -1;
    if (openpty(&m_master, &slave, nullptr, nullptr, nullptr) != 0) {
        m_error = std::string("openpty: ") + strerror(errno);
        m_master = -1;
        return;
    }
    char name[128];
    if (ttyname_r(slave, name, sizeof name) != 0) {
        m_error = "ttyname_r failed";
    } else {
        m_slavePath = name;
    }
    MakeRaw(m_master);
    MakeRaw(slave);
    // Packet mode reports the host's input flushes among the data.
    int one = 1;
    if (ioctl(m_master, TIOCPKT, &one) != 0 && m_error.empty())
        m_error = std::string("TIOCPKT: ") + strerror(errno);
    if (!SetFlags(m_master, true) && m_error.empty())
        m_error = std::string("fcntl: ") + strerror(errno);
    // Our own slave descriptor would hide the host's close from us.
    close(slave);
    if (pipe2(m_wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        m_wake[0] = m_wake[1] = -1;
        if (m_error.empty())
            m_error = std::string("pipe2: ") + strerror(errno);
    }
    if (!m_error.empty())
        return;

    m_module->SetSink([this](const proto::Bytes &f) { Write(f); });
    // The model has already dropped its link state when it calls this.
    m_module->SetVanishHandler([this] { CloseLine(); });
    m_thread = std::thread([this] { Run(); });
}

SerialModule::~SerialModule()
{
    m_stopping = true;
    if (m_wake[1] >= 0) {
        char c = 1;
        (void)!write(m_wake[1], &c, 1);
    }
    {
        std::lock_guard<std::mutex> lk(m_ioMu); // CloseLine may be joining it too
        if (m_thread.joinable())
            m_thread.join();
    }
    // The model's worker may be writing to the master: stop it before the
    // descriptor goes.
    m_module.reset();
    for (int fd : {m_master, m_wake[0], m_wake[1]})
        if (fd >= 0)
            close(fd);
}

void SerialModule::Vanish()
{
    if (CloseLine())
        m_module->HostConnected(false);
}

bool SerialModule::CloseLine()
{
    std::lock_guard<std::mutex> lk(m_ioMu);
    if (m_master < 0)
        return false;
    // The reader thread leaves on any wake-up; it must be gone before its
    // descriptor is.
    if (m_wake[1] >= 0) {
        char c = 1;
        (void)!write(m_wake[1], &c, 1);
    }
    if (m_thread.joinable())
        m_thread.join();
    close(m_master);
    m_master = -1;
    return true;
}

bool SerialModule::Gone() const
{
    std::lock_guard<std::mutex> lk(m_ioMu);
    return m_master < 0;
}

void SerialModule::Write(const proto::Bytes &frame)
{
    std::lock_guard<std::mutex> lk(m_ioMu);
    if (m_master < 0)
        return;
    size_t done = 0;
    int waited = 0;
    while (done < frame.size() && !m_stopping) {
        ssize_t n = write(m_master, frame.data() + done, frame.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN)
            return; // no host on the line: the frame is lost, as on a wire
        if (waited >= kWriteLimitMs)
            return;
        pollfd p{m_master, POLLOUT, 0};
        poll(&p, 1, 50);
        waited += 50;
    }
}

void SerialModule::Run()
{
    bool connected = false;
    uint8_t buf[4096];
    while (!m_stopping) {
        if (!connected) {
            // The master reports a hang-up on every poll until a host opens
            // the slave, so it cannot be waited on: look again shortly.
            pollfd w{m_wake[0], POLLIN, 0};
            if (poll(&w, 1, kReopenPollMs) > 0)
                break;
            pollfd m{m_master, POLLIN | POLLPRI, 0};
            if (poll(&m, 1, 0) < 0 || (m.revents & POLLHUP))
                continue;
            connected = true;
            m_module->HostConnected(true);
        }
        pollfd fds[2] = {{m_master, POLLIN | POLLPRI, 0}, {m_wake[0], POLLIN, 0}};
        int rc = poll(fds, 2, -1);
        if (rc < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[1].revents)
            break;
        const short ev = fds[0].revents;
        if (ev & (POLLIN | POLLPRI)) {
            ssize_t n = read(m_master, buf, sizeof buf);
            if (n > 0) {
                if (buf[0] == TIOCPKT_DATA) {
                    if (n > 1)
                        m_module->OnHostBytes(buf + 1, static_cast<size_t>(n - 1));
                } else if (buf[0] & TIOCPKT_FLUSHREAD) {
                    // The host threw away what we had sent: it is starting anew.
                    m_module->HostConnected(true);
                }
                continue; // read what is left before heeding a hang-up
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR))
                continue;
        }
        if (ev & (POLLHUP | POLLERR | POLLNVAL) || (ev & POLLIN)) {
            connected = false;
            m_module->HostConnected(false);
        }
    }
}

} // namespace sim

// Helpers shared by the tests: descriptor counting, a millisecond clock and
// console capture.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

namespace testsupport {

// Entries of /proc/self/fd: the process's open descriptors (plus the one the
// count itself opens).
inline int OpenDescriptors()
{
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    while (d && readdir(d))
        ++n;
    if (d)
        closedir(d);
    return n;
}

inline long long NowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Sends one of the process's standard descriptors (stdout by default) into a
// temporary file while alive, so the exact console lines can be compared.
class ConsoleCapture {
public:
    explicit ConsoleCapture(int fd = 1) : m_fd(fd)
    {
        fflush(stdout);
        fflush(stderr);
        m_file = tmpfile();
        if (m_file) {
            m_saved = dup(fd);
            dup2(fileno(m_file), fd);
        }
    }
    ~ConsoleCapture() { Stop(); }
    ConsoleCapture(const ConsoleCapture &) = delete;
    ConsoleCapture &operator=(const ConsoleCapture &) = delete;

    // Ends the capture (once) and returns everything written meanwhile.
    std::string Stop()
    {
        if (!m_file)
            return m_text;
        fflush(stdout);
        fflush(stderr);
        dup2(m_saved, m_fd);
        close(m_saved);
        rewind(m_file);
        char chunk[4096];
        size_t n;
        while ((n = fread(chunk, 1, sizeof chunk, m_file)) > 0)
            m_text.append(chunk, n);
        fclose(m_file);
        m_file = nullptr;
        return m_text;
    }

private:
    int m_fd;
    int m_saved = -1;
    FILE *m_file = nullptr;
    std::string m_text;
};

// A loopback port that refuses connections: bound, never listening, so no
// one else can take it meanwhile. A fixed port that is busy is tried again
// for up to waitMs (another process's test may hold it for a while).
class RefusingPort {
public:
    explicit RefusingPort(int port = 0, int waitMs = 0)
    {
        m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(port));
        for (int waited = 0; m_fd >= 0; waited += 100) {
            if (bind(m_fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) {
                socklen_t n = sizeof a;
                getsockname(m_fd, reinterpret_cast<sockaddr *>(&a), &n);
                m_port = ntohs(a.sin_port);
                return;
            }
            if (waited >= waitMs)
                return;
            usleep(100 * 1000);
        }
    }
    ~RefusingPort()
    {
        if (m_fd >= 0)
            close(m_fd);
    }
    RefusingPort(const RefusingPort &) = delete;
    RefusingPort &operator=(const RefusingPort &) = delete;
    int Port() const { return m_port; }

private:
    int m_fd = -1;
    int m_port = 0;
};

} // namespace testsupport

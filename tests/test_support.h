// Helpers shared by the tests: descriptor and thread counts that wait for the
// process to settle, a millisecond clock and console capture.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

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

// Entries of /proc/self/task: the process's threads.
inline int Threads()
{
    int n = 0;
    DIR *d = opendir("/proc/self/task");
    while (dirent *e = d ? readdir(d) : nullptr)
        if (e->d_name[0] != '.')
            ++n;
    if (d)
        closedir(d);
    return n;
}

// One line per entry of a /proc/self folder: each descriptor with what it
// refers to, each thread with its name.
inline std::string DescribeProcFolder(const char *folder, bool threads)
{
    std::string s;
    DIR *d = opendir(folder);
    while (dirent *e = d ? readdir(d) : nullptr) {
        if (e->d_name[0] == '.')
            continue;
        const std::string path = std::string(folder) + "/" + e->d_name;
        char what[256] = "?";
        if (threads) {
            if (FILE *f = fopen((path + "/comm").c_str(), "r")) {
                if (!fgets(what, sizeof what, f))
                    what[0] = '\0';
                fclose(f);
            }
        } else {
            const ssize_t n = readlink(path.c_str(), what, sizeof what - 1);
            what[n > 0 ? n : 0] = '\0';
        }
        std::string w(what);
        if (!w.empty() && w.back() == '\n')
            w.pop_back();
        s += "  " + std::string(e->d_name) + " " + w + "\n";
    }
    if (d)
        closedir(d);
    return s;
}

// Waits (at most waitMs) for count() to come back to `want`: peers closing
// their ends, libusb's or the emulation's threads going, a joined thread
// that still shows for a while (long under qemu-user). Empty when it did;
// otherwise the counts and what is open, for the failure message.
inline std::string BackTo(int (*count)(), int want, bool threads, int waitMs)
{
    int n = count();
    for (int waited = 0; n != want && waited < waitMs; waited += 10) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        n = count();
    }
    if (n == want)
        return "";
    return std::to_string(n) + (threads ? " threads" : " descriptors") + " after " + std::to_string(waitMs) + " ms, " +
           std::to_string(want) + " expected; now:\n" +
           DescribeProcFolder(threads ? "/proc/self/task" : "/proc/self/fd", threads);
}

inline std::string DescriptorsBackTo(int want, int waitMs = 10000)
{
    return BackTo(OpenDescriptors, want, false, waitMs);
}

inline std::string ThreadsBackTo(int want, int waitMs = 10000)
{
    return BackTo(Threads, want, true, waitMs);
}

// A baseline: the count once it has held still for quietMs (at most
// waitMs), so that what a helper thread is still opening or closing does
// not shift it.
inline int Steady(int (*count)(), int quietMs = 200, int waitMs = 10000)
{
    int n = count();
    for (int still = 0, waited = 0; still < quietMs && waited < waitMs; waited += 10) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const int now = count();
        still = now == n ? still + 10 : 0;
        n = now;
    }
    return n;
}

// Times the calling thread gave up the CPU to wait (voluntary context
// switches): what a wait that polls instead of sleeping drives up.
inline long Wakeups()
{
    struct rusage ru {};
    getrusage(RUSAGE_THREAD, &ru);
    return ru.ru_nvcsw;
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

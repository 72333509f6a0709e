// Helpers shared by the tests: descriptor counting, a millisecond clock and
// console capture.
#pragma once

#include <dirent.h>
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

} // namespace testsupport

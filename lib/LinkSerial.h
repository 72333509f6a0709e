// Serial transport to the reader module: raw byte reads and writes on a tty,
// with time limits. Knows nothing of frames: callers say how many bytes they
// want and check them themselves.
#pragma once

#include <sys/types.h>

struct termios;

// The system calls in which a terminal differs from other descriptors. Built
// with SCANID_PROGRAM_PORT, the library leaves them to the program: the
// in-process fuzz harness's port is a socket pair, which hands bytes over at
// once where a pseudo-terminal does so later, on a kernel worker. Each
// returns what its system call returns.
int PortOpen(const char *path, int flags) noexcept;
// read() on a port set to VMIN = VTIME = 0: 0 at once when nothing is there.
ssize_t PortRead(int fd, void *buf, size_t n) noexcept;
int PortGetAttr(int fd, struct termios *tio) noexcept;
int PortSetAttr(int fd, const struct termios *tio) noexcept;
// tcflush(fd, TCIFLUSH).
int PortFlush(int fd) noexcept;

class LinkSerial {
public:
    LinkSerial() noexcept;
    ~LinkSerial();
    LinkSerial(const LinkSerial &) = delete;
    LinkSerial &operator=(const LinkSerial &) = delete;

    // Opens the port and sets it to raw 8N1 at iBaudRate. Returns the
    // descriptor or -1; when only the settings fail the port stays open
    // and stored, for DisConnectSerial or Close_port to release.
    int ConnectSerial(const char *path, int iBaudRate);
    // Opens the port in blocking mode and stores it. Returns it or -1.
    int Open_port(const char *path);
    // Raw mode with the given line settings. 0, or -1 with errno set and
    // the port's settings unchanged.
    int setport(int fd, int iBaudRate, int iDataSize, char cParity, int iStopBit);

    // Reads exactly len bytes into buf. iLimitMs bounds both the time spent
    // waiting for input and the number of attempts, a millisecond each: a
    // silent port gives up after 2 x iLimitMs. Returns len, or -1 on timeout
    // (the bytes that came stay at the start of buf).
    int ReadSerial(int fd, unsigned char *buf, int len, int iLimitMs);
    // The same bounded by attempts alone: at most iLimit + 1 reads, 1 ms
    // apart at least, over (iLimit + 1) ms. The bytes read are counted
    // through pGot (which may be null).
    int readserial(int fd, unsigned char *buf, int len, int *pGot, int iLimit);
    // One write; its result unchanged. 0 for a length below 1.
    int WriteSerial(int fd, const void *data, int len);
    // Writes, then reads inLen bytes of answer with a 200 ms limit when an
    // answer buffer is given. Returns the read's result, else the write's.
    int WorkProcess2Serial(int fd, const unsigned char *out, int outLen, char *in, int inLen);

    // Closes fd and marks the link closed. Returns what close returned.
    int Close_port(int fd);
    // Closes the stored port, if any.
    void DisConnectSerial();

    // Appends src to the NUL-terminated dst, which must have room.
    // 1, or 0 when either is null.
    static int mystrcat(char *dst, const char *src);

    // Open port descriptor, -1 while closed. Descriptor 0 is a real port
    // (a daemon may run with stdin closed).
    int iSerialFd;
};

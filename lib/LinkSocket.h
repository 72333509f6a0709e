// TCP client to the decode server: a connect with a bounded wait, one send
// per call and one short-waited receive per call. It adds no framing.
#pragma once

// Most bytes one receive delivers; every receive buffer must hold this many.
constexpr int kSocketRecvMax = 61440;

// How long a receive waits for the server before reporting "nothing yet".
constexpr int kSocketRecvWaitMs = 20;

// Send and receive time-outs, in seconds, on a connection that had to wait.
constexpr int kSocketIoTimeoutSec = 5;

class LinkSocket {
public:
    LinkSocket() noexcept;
    ~LinkSocket();
    LinkSocket(const LinkSocket &) = delete;
    LinkSocket &operator=(const LinkSocket &) = delete;

    // Connects to a dotted IPv4 address, waiting at most timeout seconds.
    // Closes any socket still held first. Returns the descriptor (blocking
    // again) or -1, in which case nothing is left open.
    int unblock_connect(const char *address, int port, int timeout);

    // Adds O_NONBLOCK; returns the flags as they were, or -1 on failure.
    int setnonblocking(int fd);

    bool IsConnect() const { return iSocketFd >= 0; }

    // 0 without sending when not connected, else WriteSocket's result.
    int SendBytestoServer(const unsigned char *buffer, int length);
    // -1 (with a console line) when not connected, else ReadSocket's result.
    int RvcBytesFromServer(unsigned char *buffer);

    // One send, no retry of partial sends; never raises SIGPIPE.
    int WriteSocket(const unsigned char *buffer, int length);
    // Waits up to kSocketRecvWaitMs, then one receive of at most
    // kSocketRecvMax bytes: the count, 0 for nothing yet, -1 when the server
    // closed the connection or the receive failed.
    int ReadSocket(unsigned char *buffer);
    // ReadSocket without its wait, for a caller that has seen the socket
    // readable in a wait of its own.
    int ReadReady(unsigned char *buffer);
    // Sleeps until a receive would not wait (the server sent something or
    // closed the connection), for at most timeoutMs: 1, or 0 when the time
    // ran out, -1 when the cycle was cancelled or the wait failed. 1 at
    // once when not connected: the receive reports that.
    int WaitReadable(int timeoutMs);

    void DisconnectServer();

    int iSocketFd; // -1 while not connected; 0 is a valid descriptor
};

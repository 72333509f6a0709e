// TCP client to the decode server.
#pragma once

class LinkSocket {
public:
    LinkSocket();
    ~LinkSocket();
    LinkSocket(const LinkSocket &) = delete;
    LinkSocket &operator=(const LinkSocket &) = delete;

    bool IsConnect() const { return iSocketFd >= 0; }
    void DisconnectServer();

    int iSocketFd; // -1 while not connected
};

// Serial transport to the reader module.
#pragma once

class LinkSerial {
public:
    LinkSerial();
    ~LinkSerial();
    LinkSerial(const LinkSerial &) = delete;
    LinkSerial &operator=(const LinkSerial &) = delete;

    int Close_port(int fd);
    void DisConnectSerial();

    // Open port descriptor, -1 while closed. Descriptor 0 is a real port
    // (a daemon may run with stdin closed).
    int iSerialFd;
};

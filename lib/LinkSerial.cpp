#include "LinkSerial.h"

#include <cstdio>
#include <unistd.h>

LinkSerial::LinkSerial() : iSerialFd(-1) {}

LinkSerial::~LinkSerial() { DisConnectSerial(); }

int LinkSerial::Close_port(int fd)
{
    int ret = close(fd);
    iSerialFd = -1;
    return ret;
}

void LinkSerial::DisConnectSerial()
{
    if (iSerialFd >= 0) {
        puts("disconnect serial\r");
        Close_port(iSerialFd);
    }
}

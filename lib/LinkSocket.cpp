#include "LinkSocket.h"

#include <unistd.h>

LinkSocket::LinkSocket() : iSocketFd(-1) {}

LinkSocket::~LinkSocket() { DisconnectServer(); }

void LinkSocket::DisconnectServer()
{
    if (iSocketFd >= 0) {
        close(iSocketFd);
        iSocketFd = -1;
    }
}

#include "Parse.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdlib>

#include "scanid.h"

namespace scanid_tools {

bool ParseInt(const char *text, long min, long max, int *out)
{
    char *end = nullptr;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < min || v > max)
        return false;
    *out = static_cast<int>(v);
    return true;
}

bool ParseServer(const std::string &text, std::string *ip, int *port)
{
    std::string host = text;
    int p = kDefaultServerPort;
    size_t colon = text.find(':');
    if (colon != std::string::npos) {
        host = text.substr(0, colon);
        if (!ParseInt(text.c_str() + colon + 1, 1, 65535, &p))
            return false;
    }
    in_addr addr{};
    if (host.size() > SCANID_MAX_SERVER_ADDRESS || inet_pton(AF_INET, host.c_str(), &addr) != 1)
        return false;
    *ip = host;
    *port = p;
    return true;
}

} // namespace scanid_tools

// Setting values as the programs built on libscanid take them.
#ifndef SCANID_TOOLS_PARSE_H
#define SCANID_TOOLS_PARSE_H

#include <string>

namespace scanid_tools {

constexpr int kDefaultServerPort = 19904;

// A whole decimal number within [min, max].
bool ParseInt(const char *text, long min, long max, int *out);
// "A.B.C.D[:PORT]", a dotted IPv4 address the library takes; the port
// defaults to kDefaultServerPort.
bool ParseServer(const std::string &text, std::string *ip, int *port);

} // namespace scanid_tools

#endif

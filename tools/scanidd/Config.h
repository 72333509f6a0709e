// scanidd's settings: the configuration file, then the command line over it.
#ifndef SCANIDD_CONFIG_H
#define SCANIDD_CONFIG_H

#include <string>
#include <vector>

namespace scanidd {

constexpr const char *kDefaultConfigPath = "/etc/scanid/scanidd.conf";

struct Config {
    std::string listen = "127.0.0.1";
    int port = 19950; // 0: any free port
    bool serial = false;
    std::string serialDevice;
    int baud = 115200;
    std::string serverIp = "127.0.0.1";
    int serverPort = 19904;
    std::vector<std::string> origins; // empty: the service's own page only
    std::string token;                // empty: none
    int retention = 30;               // seconds
    int maxClients = 64;
    int maxMessage = 4096; // bytes of one client message
    std::string runtimeDir;
    bool verbose = false;

    // The origins allowed once the port is known.
    std::vector<std::string> AllowedOrigins(int actualPort) const;
    // Host header values naming this service; empty: any (listening on all addresses).
    std::vector<std::string> AllowedHosts(int actualPort) const;
    bool Loopback() const;
};

// One setting as the file spells it; `where` prefixes the reason.
struct Setting {
    std::string key;
    std::string value;
    std::string where; // "FILE:LINE" or "option --port"
};

// Reads `path` into settings; a missing file is an error only when
// `required`. False with "FILE[:LINE]: reason".
bool ReadConfigFile(const std::string &path, bool required, std::vector<Setting> *out, std::string *error);

// Applies the settings in order over the defaults and checks the whole.
bool BuildConfig(const std::vector<Setting> &settings, Config *out, std::string *error);

// The settings in effect, one "key = value" per line, the token hidden.
std::string Describe(const Config &c, int actualPort);

} // namespace scanidd

#endif

#include "Config.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <system_error>

#include "Parse.h"
#include "scanid.h"

namespace scanidd {

using scanid_tools::ParseInt;

namespace {

std::string Trim(const std::string &s)
{
    size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos)
        return "";
    size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

std::vector<std::string> Words(const std::string &s)
{
    std::istringstream in(s);
    std::vector<std::string> words;
    for (std::string w; in >> w;)
        words.push_back(w);
    return words;
}

// "http://host[:port]" or "https://...", as a browser sends it: no path,
// no user, lower case.
bool ValidOrigin(const std::string &o)
{
    size_t scheme = o.find("://");
    if (scheme == std::string::npos)
        return false;
    std::string s = o.substr(0, scheme);
    if (s != "http" && s != "https")
        return false;
    std::string rest = o.substr(scheme + 3);
    if (rest.empty())
        return false;
    for (char c : rest) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-' || c == ':' ||
                  c == '[' || c == ']';
        if (!ok)
            return false;
    }
    return true;
}

bool ValidToken(const std::string &t)
{
    if (t.size() < 16 || t.size() > 256)
        return false;
    for (char c : t)
        if (c <= ' ' || c > '~')
            return false;
    return true;
}

bool ReadTokenFile(const std::string &path, std::string *token, std::string *reason)
{
    std::ifstream in(path);
    if (!in) {
        *reason = "cannot read token file '" + path + "': " + std::generic_category().message(errno);
        return false;
    }
    std::string line;
    std::getline(in, line);
    *token = Trim(line);
    return true;
}

bool Number(const std::string &value, long min, long max, int *out, const std::string &key, std::string *reason)
{
    if (ParseInt(value.c_str(), min, max, out))
        return true;
    *reason = "bad " + key + " '" + value + "' (a number from " + std::to_string(min) + " to " +
              std::to_string(max) + ")";
    return false;
}

bool Apply(const Setting &s, Config *c, std::string *reason)
{
    const std::string &k = s.key, &v = s.value;
    if (k == "listen") {
        in_addr a{};
        if (inet_pton(AF_INET, v.c_str(), &a) != 1) {
            *reason = "bad listen '" + v + "' (a dotted IPv4 address)";
            return false;
        }
        c->listen = v;
        return true;
    }
    if (k == "port")
        return Number(v, 0, 65535, &c->port, k, reason);
    if (k == "reader") {
        if (v != "usb" && v != "serial") {
            *reason = "bad reader '" + v + "' (usb or serial)";
            return false;
        }
        c->serial = v == "serial";
        return true;
    }
    if (k == "serial_device") {
        if (v.empty() || v.size() > SCANID_MAX_DEVICE_PATH) {
            *reason = "bad serial_device (a path of 1 to " + std::to_string(SCANID_MAX_DEVICE_PATH) + " characters)";
            return false;
        }
        c->serialDevice = v;
        return true;
    }
    if (k == "baud")
        return Number(v, 2400, 460800, &c->baud, k, reason);
    if (k == "server") {
        if (!scanid_tools::ParseServer(v, &c->serverIp, &c->serverPort)) {
            *reason = "bad server '" + v + "' (dotted IPv4 address, optional :PORT 1..65535)";
            return false;
        }
        return true;
    }
    if (k == "allowed_origins") {
        std::vector<std::string> origins = Words(v);
        for (const std::string &o : origins) {
            if (!ValidOrigin(o)) {
                *reason = "bad origin '" + o + "' (scheme://host[:port] in lower case, no path)";
                return false;
            }
        }
        c->origins = origins;
        return true;
    }
    if (k == "token" || k == "token_file") {
        std::string token = v;
        if (k == "token_file" && !ReadTokenFile(v, &token, reason))
            return false;
        if (!token.empty() && !ValidToken(token)) {
            *reason = "bad token (16 to 256 printable characters, no blanks)";
            return false;
        }
        c->token = token;
        return true;
    }
    if (k == "retention")
        return Number(v, 0, 3600, &c->retention, k, reason);
    if (k == "max_clients")
        return Number(v, 1, 1024, &c->maxClients, k, reason);
    if (k == "max_message")
        return Number(v, 64, 65536, &c->maxMessage, k, reason);
    if (k == "runtime_dir") {
        if (v.empty() || v[0] != '/') {
            *reason = "bad runtime_dir '" + v + "' (an absolute path)";
            return false;
        }
        c->runtimeDir = v;
        return true;
    }
    if (k == "verbose") {
        if (v != "yes" && v != "no") {
            *reason = "bad verbose '" + v + "' (yes or no)";
            return false;
        }
        c->verbose = v == "yes";
        return true;
    }
    *reason = "unknown setting '" + k + "'";
    return false;
}

std::string DefaultRuntimeDir()
{
    // NOLINTBEGIN(concurrency-mt-unsafe): read once at start, before any thread
    if (const char *d = getenv("RUNTIME_DIRECTORY"); d && *d == '/')
        return std::string(d).substr(0, std::string(d).find(':')); // systemd may list several
    if (geteuid() == 0)
        return "/run/scanidd";
    if (const char *x = getenv("XDG_RUNTIME_DIR"); x && *x == '/')
        return std::string(x) + "/scanidd";
    // NOLINTEND(concurrency-mt-unsafe)
    return "/tmp/scanidd-" + std::to_string(geteuid());
}

} // namespace

bool Config::Loopback() const { return listen.compare(0, 4, "127.") == 0; }

std::vector<std::string> Config::AllowedOrigins(int actualPort) const
{
    if (!origins.empty())
        return origins;
    const std::string suffix = ":" + std::to_string(actualPort);
    std::vector<std::string> own = {"http://127.0.0.1" + suffix, "http://localhost" + suffix};
    if (listen != "127.0.0.1" && listen != "0.0.0.0")
        own.push_back("http://" + listen + suffix);
    return own;
}

std::vector<std::string> Config::AllowedHosts(int actualPort) const
{
    if (listen == "0.0.0.0")
        return {};
    const std::string suffix = ":" + std::to_string(actualPort);
    std::vector<std::string> hosts = {"127.0.0.1" + suffix, "localhost" + suffix};
    if (listen != "127.0.0.1")
        hosts.push_back(listen + suffix);
    return hosts;
}

bool ReadConfigFile(const std::string &path, bool required, std::vector<Setting> *out, std::string *error)
{
    std::ifstream in(path);
    if (!in) {
        if (!required && errno == ENOENT)
            return true;
        *error = path + ": " + std::generic_category().message(errno);
        return false;
    }
    std::string line;
    for (int number = 1; std::getline(in, line); number++) {
        const std::string where = path + ":" + std::to_string(number);
        std::string t = Trim(line);
        if (t.empty() || t[0] == '#')
            continue;
        size_t eq = t.find('=');
        if (eq == std::string::npos || Trim(t.substr(0, eq)).empty()) {
            *error = where + ": expected 'key = value'";
            return false;
        }
        out->push_back({Trim(t.substr(0, eq)), Trim(t.substr(eq + 1)), where});
    }
    return true;
}

bool BuildConfig(const std::vector<Setting> &settings, Config *out, std::string *error)
{
    Config c;
    std::string serialWhere = "the settings";
    for (const Setting &s : settings) {
        std::string reason;
        if (!Apply(s, &c, &reason)) {
            *error = s.where + ": " + reason;
            return false;
        }
        if (s.key == "reader")
            serialWhere = s.where;
    }
    if (c.serial && c.serialDevice.empty()) {
        *error = serialWhere + ": reader = serial needs serial_device";
        return false;
    }
    if (c.runtimeDir.empty())
        c.runtimeDir = DefaultRuntimeDir();
    *out = c;
    return true;
}

std::string Describe(const Config &c, int actualPort)
{
    std::string origins;
    for (const std::string &o : c.AllowedOrigins(actualPort))
        origins += (origins.empty() ? "" : " ") + o;
    std::string d;
    auto line = [&d](const char *k, const std::string &v) { d += std::string(k) + " = " + v + "\n"; };
    line("listen", c.listen);
    line("port", std::to_string(actualPort));
    line("reader", c.serial ? "serial" : "usb");
    if (c.serial) {
        line("serial_device", c.serialDevice);
        line("baud", std::to_string(c.baud));
    }
    line("server", c.serverIp + ":" + std::to_string(c.serverPort));
    line("allowed_origins", origins);
    line("token", c.token.empty() ? "(none)" : "(set)");
    line("retention", std::to_string(c.retention));
    line("max_clients", std::to_string(c.maxClients));
    line("max_message", std::to_string(c.maxMessage));
    line("runtime_dir", c.runtimeDir);
    line("verbose", c.verbose ? "yes" : "no");
    return d;
}

} // namespace scanidd

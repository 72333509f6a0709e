// scanidd: owns one reader, reads cycle after cycle through libscanid and
// hands every result to local clients (a sample page, an HTTP API and a
// WebSocket). Three threads: the main one waits for signals, one reads, one
// serves.
#include <dirent.h>
#include <fcntl.h>
#include <getopt.h>
#include <signal.h>
#include <sys/stat.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "Config.h"
#include "Log.h"
#include "Reader.h"
#include "Service.h"
#include "scanid.h"

namespace {

using namespace scanidd;

constexpr int kExitOk = 0;
constexpr int kExitStart = 1;
constexpr int kExitUsage = 2;

const char kUsage[] =
    "usage: scanidd [OPTIONS]\n"
    "Reads identity documents and other cards with libscanid and serves each result\n"
    "to local clients: a sample page at /, an HTTP API under /api/ and a WebSocket at /ws.\n"
    "\n"
    "options (each overrides the configuration file's setting):\n"
    "  --config FILE         configuration file (default /etc/scanid/scanidd.conf)\n"
    "  --check-config        check the configuration, print the settings in effect, exit\n"
    "  --listen ADDR         IPv4 address to listen on (default 127.0.0.1)\n"
    "  --port N              port (default 19950; 0: any free port)\n"
    "  --usb                 reader module on USB (the default)\n"
    "  --serial DEVICE       reader module on a serial port\n"
    "  --baud N              serial speed, 2400..460800 (default 115200)\n"
    "  --server ADDR[:PORT]  decode server (default 127.0.0.1:19904)\n"
    "  --origin ORIGIN       an origin allowed to use the API (repeatable; replaces\n"
    "                        the list, which defaults to this service's own page)\n"
    "  --token-file FILE     access token: the file's first line\n"
    "  --retention SECONDS   how long the latest card is kept (default 30)\n"
    "  --max-clients N       WebSocket clients at once (default 64)\n"
    "  --runtime-dir DIR     private folder for the photo decoder's file\n"
    "  -v, --verbose         library events and connections in the log\n"
    "  -h, --help            this text\n"
    "  --version             versions of this program and of the library\n"
    "\n"
    "exit status: 0 stopped by SIGTERM or SIGINT, 1 could not start, 2 bad\n"
    "configuration or arguments. SIGHUP reloads the configuration file.\n";

struct Arguments {
    std::string configPath = kDefaultConfigPath;
    bool configGiven = false;
    bool check = false;
    std::vector<Setting> overrides;
};

// -1 to go on, else the exit status.
int ParseArguments(int argc, char **argv, Arguments *a)
{
    enum { kConfig = 256, kCheck, kListen, kPort, kUsb, kSerial, kBaud, kServer, kOrigin, kToken, kRetention,
           kClients, kRuntime, kVersion };
    static const option kOptions[] = {
        {"config", required_argument, nullptr, kConfig},   {"check-config", no_argument, nullptr, kCheck},
        {"listen", required_argument, nullptr, kListen},   {"port", required_argument, nullptr, kPort},
        {"usb", no_argument, nullptr, kUsb},               {"serial", required_argument, nullptr, kSerial},
        {"baud", required_argument, nullptr, kBaud},       {"server", required_argument, nullptr, kServer},
        {"origin", required_argument, nullptr, kOrigin},   {"token-file", required_argument, nullptr, kToken},
        {"retention", required_argument, nullptr, kRetention},
        {"max-clients", required_argument, nullptr, kClients},
        {"runtime-dir", required_argument, nullptr, kRuntime},
        {"verbose", no_argument, nullptr, 'v'},            {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, kVersion},       {nullptr, 0, nullptr, 0},
    };
    std::string origins;
    bool originGiven = false;
    auto set = [a](const char *key, const std::string &value, const char *option) {
        a->overrides.push_back({key, value, std::string("option --") + option});
    };
    int c;
    // NOLINTNEXTLINE(concurrency-mt-unsafe): before any thread starts
    while ((c = getopt_long(argc, argv, "vh", kOptions, nullptr)) != -1) {
        switch (c) {
        case kConfig: a->configPath = optarg; a->configGiven = true; break;
        case kCheck: a->check = true; break;
        case kListen: set("listen", optarg, "listen"); break;
        case kPort: set("port", optarg, "port"); break;
        case kUsb: set("reader", "usb", "usb"); break;
        case kSerial:
            set("reader", "serial", "serial");
            set("serial_device", optarg, "serial");
            break;
        case kBaud: set("baud", optarg, "baud"); break;
        case kServer: set("server", optarg, "server"); break;
        case kOrigin:
            origins += std::string(origins.empty() ? "" : " ") + optarg;
            originGiven = true;
            break;
        case kToken: set("token_file", optarg, "token-file"); break;
        case kRetention: set("retention", optarg, "retention"); break;
        case kClients: set("max_clients", optarg, "max-clients"); break;
        case kRuntime: set("runtime_dir", optarg, "runtime-dir"); break;
        case 'v': set("verbose", "yes", "verbose"); break;
        case 'h': return fputs(kUsage, stdout) == EOF ? kExitStart : kExitOk;
        case kVersion:
            return printf("scanidd %s (library %s)\n", SCANIDD_VERSION, GetScanIdVersionString()) < 0 ? kExitStart
                                                                                                             : kExitOk;
        default:
            (void)fputs("Try 'scanidd --help'.\n", stderr);
            return kExitUsage;
        }
    }
    if (optind < argc) {
        (void)fprintf(stderr, "scanidd: unexpected argument '%s'\nTry 'scanidd --help'.\n", argv[optind]);
        return kExitUsage;
    }
    if (originGiven)
        set("allowed_origins", origins, "origin");
    return -1;
}

// Settings from the file, then the command line over them.
bool Load(const Arguments &a, Config *config, std::string *error)
{
    std::vector<Setting> settings;
    if (!ReadConfigFile(a.configPath, a.configGiven, &settings, error))
        return false;
    settings.insert(settings.end(), a.overrides.begin(), a.overrides.end());
    return BuildConfig(settings, config, error);
}

// The photo decoder's file is the only card data ever written: only in a
// folder no one else can look into.
bool PrepareRuntimeDir(const std::string &dir, std::string *error)
{
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        *error = "cannot make the runtime folder " + dir + ": " + std::generic_category().message(errno);
        return false;
    }
    struct stat st {};
    if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & 077) != 0) {
        *error = "the runtime folder " + dir + " must be a folder of this user with mode 0700";
        return false;
    }
    // Left by a service that was killed while decoding.
    if (DIR *d = opendir(dir.c_str())) {
        // cppcheck-suppress readdirCalled ; one thread so far, one stream
        while (dirent *e = readdir(d)) { // NOLINT(concurrency-mt-unsafe)
            if (strncmp(e->d_name, "photo-", 6) == 0)
                (void)unlinkat(dirfd(d), e->d_name, 0);
        }
        closedir(d);
    }
    return true;
}

// The library prints console lines of its own on standard output; they go
// to the log only when asked for.
bool QuietLibrary(bool verbose)
{
    int sink = verbose ? STDERR_FILENO : open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (sink < 0 || fflush(stdout) != 0 || dup2(sink, STDOUT_FILENO) < 0)
        return false;
    if (sink != STDERR_FILENO)
        close(sink);
    return setvbuf(stdout, nullptr, _IOLBF, 0) == 0;
}

int Serve(const Arguments &args, Config config)
{
    std::string error;
    if (!PrepareRuntimeDir(config.runtimeDir, &error)) {
        Log(error);
        return kExitStart;
    }
    if (!QuietLibrary(config.verbose)) {
        Log("cannot set up standard output: " + std::generic_category().message(errno));
        return kExitStart;
    }
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    // Every thread inherits the mask: only sigtimedwait below sees them.
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    (void)signal(SIGPIPE, SIG_IGN);

    Service service;
    if (!service.Start(config, &error)) {
        Log(error);
        return kExitStart;
    }
    Log("listening on http://" + (config.listen == "0.0.0.0" ? std::string("127.0.0.1") : config.listen) + ":" +
        std::to_string(service.Port()) + "/");
    Reader reader(service);
    reader.Start(config);
    std::thread server([&service] { service.Run(); });
    (void)sd_notify(0, "READY=1");

    for (;;) {
        int sig = sigwaitinfo(&signals, nullptr);
        if (sig == SIGHUP) {
            (void)sd_notify(0, "RELOADING=1");
            Config fresh;
            if (Load(args, &fresh, &error)) {
                fresh.listen = config.listen; // these need a restart
                fresh.port = config.port;
                fresh.runtimeDir = config.runtimeDir;
                config = fresh;
                service.Reconfigure(config);
                reader.Reconfigure(config);
                CancelReadIDCard();
                Log("configuration reloaded");
            } else {
                Log("configuration not reloaded: " + error);
            }
            (void)sd_notify(0, "READY=1");
        } else if (sig == SIGINT || sig == SIGTERM) {
            break;
        }
    }
    (void)sd_notify(0, "STOPPING=1");
    Log("stopping");
    // A cancel that comes between two cycles is not remembered: repeat it
    // until the reading thread is out.
    reader.Stop();
    while (!reader.Finished()) {
        CancelReadIDCard();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    reader.Join();
    service.Stop();
    server.join();
    return kExitOk;
}

} // namespace

int main(int argc, char **argv)
{
    umask(077);
    Arguments args;
    int rc = ParseArguments(argc, argv, &args);
    if (rc >= 0)
        return rc;
    Config config;
    std::string error;
    if (!Load(args, &config, &error)) {
        Log(error);
        return kExitUsage;
    }
    if (args.check) {
        (void)printf("configuration OK\n%s", Describe(config, config.port).c_str());
        return kExitOk;
    }
    try {
        return Serve(args, config);
    } catch (const std::exception &e) {
        Log(e.what());
        return kExitStart;
    }
}

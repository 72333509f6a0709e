// scanid: reads cards through libscanid from the command line.
//
//   scanid read    one read cycle, printed as text or as one JSON object
//   scanid watch   read until SIGINT/SIGTERM, one JSON object per line
//   scanid version the library's version and this program's header version
//
// Uses only the public interface (scanid.h). Every library call but
// CancelReadIDCard() is made by one reading thread; the main thread only
// waits for signals and for that thread to finish.
#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "Events.h"
#include "Parse.h"
#include "RecordJson.h"
#include "scanid.h"

namespace {

using namespace scanid_tools;

constexpr const char *kDefaultServerIp = "127.0.0.1";
constexpr int kDefaultBaud = 115200;

// Exit codes (README, "The scanid command-line reader").
constexpr int kExitOk = 0;
constexpr int kExitNoCard = 1;
constexpr int kExitUsage = 2;
constexpr int kExitUnknownDocument = 3;
constexpr int kExitFailure = 4;
constexpr int kExitPhoto = 5;

enum class Command { Read, Watch };

struct Options {
    Command command = Command::Read;
    bool serial = false;
    bool usbGiven = false;
    std::string device;
    int baud = kDefaultBaud;
    bool baudGiven = false;
    std::string serverIp = kDefaultServerIp;
    int serverPort = kDefaultServerPort;
    bool json = false;
    bool verbose = false;
    std::string photo;    // read: this file
    std::string photoDir; // watch: a file per card in this folder
};

const char kTopUsage[] =
    "usage: scanid COMMAND [OPTIONS]\n"
    "Reads identity documents and other contactless cards with libscanid.\n"
    "\n"
    "commands:\n"
    "  read      one read cycle; prints the record as text or JSON\n"
    "  watch     reads until SIGINT or SIGTERM; one JSON object per line\n"
    "  version   the library's version and the version this program was built for\n"
    "\n"
    "'scanid COMMAND --help' describes a command's options.\n";

const char kTransportUsage[] =
    "  --usb                 reader module on USB (the default)\n"
    "  --serial DEVICE       reader module on a serial port, e.g. /dev/ttyS1\n"
    "  --baud N              serial speed, 2400..460800 (default 115200)\n"
    "  --server ADDR[:PORT]  decode server, dotted IPv4 (default 127.0.0.1:19904)\n"
    "  -v, --verbose         the library's event texts and console lines on\n"
    "                        standard error (otherwise dropped)\n"
    "  -h, --help            this text\n";

const char kReadUsage[] =
    "usage: scanid read [--usb | --serial DEVICE [--baud N]] [--server ADDR[:PORT]]\n"
    "                   [--json] [--photo FILE] [-v]\n"
    "Runs one read cycle and prints what it found: one \"label: value\" line per\n"
    "field that is not empty, or with --json one JSON object.\n";

const char kReadOptions[] =
    "  --json                one JSON object instead of text\n"
    "  --photo FILE          write the document's photo to FILE (BMP, through the\n"
    "                        photo decoder) when an identity document was read\n";

const char kReadExits[] =
    "\n"
    "exit status: 0 a card was read (identity document or other card), 1 no card\n"
    "(or cancelled by a signal), 2 bad arguments, 3 identity document of an unknown\n"
    "kind, 4 any other failure, 5 the document was read but its photo not written.\n";

const char kWatchUsage[] =
    "usage: scanid watch [--usb | --serial DEVICE [--baud N]] [--server ADDR[:PORT]]\n"
    "                    [--photo-dir DIR] [-v]\n"
    "Reads cycle after cycle until SIGINT or SIGTERM and prints one JSON object per\n"
    "line for every cycle that found a card or failed; cycles that saw no card are\n"
    "not printed. A card left on the reader is read, and printed, again each cycle.\n";

const char kWatchOptions[] =
    "  --photo-dir DIR       write each identity document's photo into DIR, named\n"
    "                        after its number (NUMBER.bmp)\n"
    "  --json                accepted; the output is always JSON Lines\n";

const char kWatchExits[] =
    "\n"
    "exit status: 0 stopped by SIGINT or SIGTERM, 2 bad arguments, 4 standard output\n"
    "could not be written.\n";

const char kVersionUsage[] =
    "usage: scanid version\n"
    "Prints the version of the library loaded at run time and the version of the\n"
    "interface (scanid.h) this program was built with.\n";

// --- output ----------------------------------------------------------------

// Standard error is the last place left to report to: its own failures go
// unreported.
void Complain(const std::string &text)
{
    (void)fputs((text + "\n").c_str(), stderr);
}

// Writes and flushes; false when the stream failed.
bool Emit(FILE *stream, const std::string &text)
{
    return fputs(text.c_str(), stream) != EOF && fflush(stream) == 0;
}

std::string ErrnoText(int error) { return std::generic_category().message(error); }

// The records go here: the library prints console lines of its own on
// standard output, which must not end up among them.
FILE *g_out = stdout;

// Gives the records a descriptor of their own and sends what the library
// prints to standard error (verbose) or nowhere.
bool SeparateOutput(bool verbose)
{
    if (fflush(stdout) != 0)
        return false;
    int records = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (records < 0)
        return false;
    g_out = fdopen(records, "w");
    if (!g_out) {
        close(records);
        return false;
    }
    int sink = verbose ? STDERR_FILENO : open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (sink < 0 || dup2(sink, STDOUT_FILENO) < 0)
        return false;
    if (sink != STDERR_FILENO)
        close(sink);
    // Line by line, so that the library's lines keep their place among the events.
    return setvbuf(stdout, nullptr, _IOLBF, 0) == 0;
}

// --- one cycle ---------------------------------------------------------------

void ReadOnce(Cardtype type, Outcome *out)
{
    memset(&out->rec, 0, sizeof out->rec);
    out->rec.size = sizeof out->rec;
    g_events.last[0] = '\0';
    out->result = ReadIDCardEx(&out->rec, type);
    out->error = IsFailure(out->result) ? g_events.last : "";
}

void SavePhoto(Outcome *out, const std::string &path)
{
    int rc = SaveImage(out->rec.photo, path.c_str());
    if (rc == 1)
        out->photoFile = path;
    else
        out->photoError = "photo decoder returned " + std::to_string(rc) + " for " + path;
}

// A card number used as a file name: letters and digits only.
std::string PhotoName(const scanid_record &rec, unsigned long sequence)
{
    std::string number(rec.number, strnlen(rec.number, sizeof rec.number));
    bool plain = !number.empty();
    for (char c : number)
        plain = plain && ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'));
    if (plain)
        return number + ".bmp";
    return "document-" + std::to_string(time(nullptr)) + "-" + std::to_string(sequence) + ".bmp";
}

std::string JsonLine(const Outcome &o) { return Dump(ToJson(o)); }

std::string Text(const Outcome &o)
{
    std::string t;
    auto line = [&t](const std::string &label, const std::string &value) { t += label + ": " + value + "\n"; };
    const scanid_record &r = o.rec;
    line("result", ResultName(o.result) + " (" + std::to_string(o.result) + ")");
    if (IsDocument(o.result)) {
        if (r.document != SCANID_DOC_NONE)
            line("document", DocumentName(r.document));
        for (size_t i = 0; i < kTextFieldCount; i++) {
            const TextField &f = kTextFields[i];
            std::string v = FieldText(r, f);
            if (!v.empty())
                line(f.label, v);
        }
        if (r.number[0] != '\0')
            line("number check", r.number_valid ? "passed" : "failed");
        // The raw block is all there is of a document of an unknown kind.
        if (o.result == SCANID_UNKNOWN_DOCUMENT)
            line("text block", Hex(r.text_block, sizeof r.text_block));
    }
    if (!o.photoFile.empty())
        line("photo file", o.photoFile);
    if (!o.photoError.empty())
        line("photo error", o.photoError);
    if (o.result == SCANID_OTHERCARD) {
        line("card kind", std::to_string(r.card_kind));
        line("card data", Hex(r.card_data, CardDataLength(r)));
    }
    if (!o.error.empty())
        line("error", o.error);
    return t;
}

int ReadExitCode(const Outcome &o)
{
    switch (o.result) {
    case SCANID_IDCARD:
        return o.photoError.empty() ? kExitOk : kExitPhoto;
    case SCANID_OTHERCARD:
        return kExitOk;
    case SCANID_UNKNOWN_DOCUMENT:
        return kExitUnknownDocument;
    case SCANID_NO_CARD:
    case SCANID_CANCELLED:
        return kExitNoCard;
    default:
        return kExitFailure;
    }
}

// --- the reading thread and the signals ------------------------------------

struct Session {
    std::atomic<bool> stop{false};
    std::atomic<bool> done{false};
    std::mutex mutex;
    std::condition_variable wake;
    int exitCode = kExitOk;
};

// Pauses up to ms, less if a signal asks to stop.
void Pause(Session &s, int ms)
{
    std::unique_lock<std::mutex> lock(s.mutex);
    s.wake.wait_for(lock, std::chrono::milliseconds(ms), [&] { return s.stop.load(); });
}

void ReadCommand(const Options &o, Session &s)
{
    Outcome out;
    ReadOnce(o.serial ? CARDTYPE_SERIAL : CARDTYPE_USB, &out);
    if (!o.photo.empty() && IsDocument(out.result))
        SavePhoto(&out, o.photo);
    s.exitCode = ReadExitCode(out);
    if (!Emit(g_out, o.json ? JsonLine(out) + "\n" : Text(out))) {
        Complain("scanid: cannot write the output: " + ErrnoText(errno));
        s.exitCode = kExitFailure;
    }
}

void WatchCommand(const Options &o, Session &s)
{
    const Cardtype type = o.serial ? CARDTYPE_SERIAL : CARDTYPE_USB;
    unsigned long sequence = 0;
    while (!s.stop.load()) {
        Outcome out;
        auto start = std::chrono::steady_clock::now();
        ReadOnce(type, &out);
        if (out.result == SCANID_NO_CARD || out.result == SCANID_CANCELLED)
            continue;
        if (!o.photoDir.empty() && IsDocument(out.result))
            SavePhoto(&out, o.photoDir + "/" + PhotoName(out.rec, ++sequence));
        if (!Emit(g_out, JsonLine(out) + "\n")) {
            Complain("scanid: cannot write the output: " + ErrnoText(errno));
            s.exitCode = kExitFailure;
            return;
        }
        // A failure that comes back at once (a setting the library refuses)
        // must not turn into a flood of lines.
        auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        if (IsFailure(out.result) && spent.count() < 1000)
            Pause(s, static_cast<int>(1000 - spent.count()));
    }
}

// The library forgets a cancel that comes while no cycle runs, so a signal
// just before a cycle starts would be lost: the main thread repeats the
// cancel until the reading thread has finished.
int RunSession(const Options &o)
{
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    // The reading thread inherits the mask: only sigtimedwait below sees them.
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    Session s;
    std::thread reader([&] {
        try {
            if (o.command == Command::Read)
                ReadCommand(o, s);
            else
                WatchCommand(o, s);
        } catch (const std::exception &e) {
            Complain(std::string("scanid: ") + e.what());
            s.exitCode = kExitFailure;
        }
        s.done = true;
    });
    while (!s.done.load()) {
        const timespec tick = {0, 50'000'000};
        int sig = sigtimedwait(&signals, nullptr, &tick);
        if (sig == SIGINT || sig == SIGTERM) {
            std::lock_guard<std::mutex> lock(s.mutex);
            s.stop = true;
            s.wake.notify_all();
        }
        if (s.stop.load())
            CancelReadIDCard();
    }
    reader.join();
    return s.exitCode;
}

// --- arguments ---------------------------------------------------------------

bool ParseServerOption(const std::string &text, Options *o)
{
    return ParseServer(text, &o->serverIp, &o->serverPort);
}

// Parses a command's options; kExitOk after --help, kExitUsage on a mistake,
// -1 to go on.
int ParseOptions(const std::string &command, int argc, char **argv, Options *o)
{
    enum { kUsb = 256, kSerial, kBaud, kServer, kJson, kPhoto, kPhotoDir };
    const bool read = o->command == Command::Read;
    std::vector<option> longOptions = {
        {"help", no_argument, nullptr, 'h'},      {"verbose", no_argument, nullptr, 'v'},
        {"usb", no_argument, nullptr, kUsb},      {"serial", required_argument, nullptr, kSerial},
        {"baud", required_argument, nullptr, kBaud}, {"server", required_argument, nullptr, kServer},
        {"json", no_argument, nullptr, kJson},
    };
    longOptions.push_back(read ? option{"photo", required_argument, nullptr, kPhoto}
                               : option{"photo-dir", required_argument, nullptr, kPhotoDir});
    longOptions.push_back({nullptr, 0, nullptr, 0});

    // getopt prefixes its own messages with argv[0]: make that the command.
    std::string name = "scanid " + command;
    std::vector<char *> args(argv, argv + argc);
    args[0] = &name[0];
    args.push_back(nullptr);
    auto fail = [&](const std::string &message) {
        if (!message.empty())
            Complain(name + ": " + message);
        Complain("Try '" + name + " --help'.");
        return kExitUsage;
    };

    optind = 1;
    int c;
    // NOLINTNEXTLINE(concurrency-mt-unsafe): parsed before the reading thread starts
    while ((c = getopt_long(argc, args.data(), "hv", longOptions.data(), nullptr)) != -1) {
        switch (c) {
        case 'h':
            return Emit(stdout, std::string(read ? kReadUsage : kWatchUsage) + "\noptions:\n" + kTransportUsage +
                                    (read ? kReadOptions : kWatchOptions) + (read ? kReadExits : kWatchExits))
                       ? kExitOk
                       : kExitFailure;
        case 'v':
            o->verbose = true;
            break;
        case kUsb:
            o->usbGiven = true;
            break;
        case kSerial:
            if (*optarg == '\0' || strlen(optarg) > SCANID_MAX_DEVICE_PATH)
                return fail(std::string("--serial needs a device path of 1 to ") +
                            std::to_string(SCANID_MAX_DEVICE_PATH) + " characters");
            o->serial = true;
            o->device = optarg;
            break;
        case kBaud:
            if (!ParseInt(optarg, 2400, 460800, &o->baud))
                return fail(std::string("bad --baud '") + optarg + "' (a number from 2400 to 460800)");
            o->baudGiven = true;
            break;
        case kServer:
            if (!ParseServerOption(optarg, o))
                return fail(std::string("bad --server '") + optarg + "' (dotted IPv4 address, optional :PORT 1..65535)");
            break;
        case kJson:
            o->json = true;
            break;
        case kPhoto:
            if (*optarg == '\0')
                return fail("--photo needs a file name");
            o->photo = optarg;
            break;
        case kPhotoDir: {
            struct stat st {};
            if (*optarg == '\0' || stat(optarg, &st) != 0 || !S_ISDIR(st.st_mode))
                return fail(std::string("--photo-dir '") + optarg + "' is not a folder");
            o->photoDir = optarg;
            break;
        }
        default:
            return fail(""); // getopt has told what was wrong
        }
    }
    if (optind < argc)
        return fail(std::string("unexpected argument '") + args[static_cast<size_t>(optind)] + "'");
    if (o->usbGiven && o->serial)
        return fail("--usb and --serial exclude each other");
    if (o->baudGiven && !o->serial)
        return fail("--baud applies to --serial only");
    return -1;
}

int VersionCommand(int argc, char **argv)
{
    if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
        return Emit(stdout, kVersionUsage) ? kExitOk : kExitFailure;
    }
    if (argc > 1) {
        Complain(std::string("scanid version: unexpected argument '") + argv[1] + "'\nTry 'scanid version --help'.");
        return kExitUsage;
    }
    const unsigned int runtime = GetScanIdVersion();
    auto dotted = [](unsigned int v) {
        return std::to_string((v >> 16) & 0xFF) + "." + std::to_string((v >> 8) & 0xFF) + "." + std::to_string(v & 0xFF);
    };
    return Emit(stdout, std::string("library: ") + GetScanIdVersionString() + " (" + dotted(runtime) + ")\n" +
                            "header: " + dotted(SCANID_VERSION) + "\n")
               ? kExitOk
               : kExitFailure;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        (void)fputs(kTopUsage, stderr); // as Complain()
        return kExitUsage;
    }
    const std::string command = argv[1];
    if (command == "--help" || command == "-h" || command == "help") {
        return Emit(stdout, kTopUsage) ? kExitOk : kExitFailure;
    }
    if (command == "version" || command == "--version")
        return VersionCommand(argc - 1, argv + 1);

    Options o;
    if (command == "read") {
        o.command = Command::Read;
    } else if (command == "watch") {
        o.command = Command::Watch;
    } else {
        Complain("scanid: unknown command '" + command + "'\nTry 'scanid --help'.");
        return kExitUsage;
    }
    int rc = ParseOptions(command, argc - 1, argv + 1, &o);
    if (rc >= 0)
        return rc;

    if (SetServiceInfo(o.serverIp.c_str(), o.serverPort) != 0 ||
        (o.serial && SetComInfo(o.device.c_str(), o.baud) != 0)) {
        Complain("scanid: the library refused the settings");
        return kExitUsage;
    }
    if (!SeparateOutput(o.verbose)) {
        Complain("scanid: cannot set up the output: " + ErrnoText(errno));
        return kExitFailure;
    }
    g_events.verbose = o.verbose;
    CARD_SetReadInfoCB(OnEvent);
    try {
        return RunSession(o);
    } catch (const std::exception &e) {
        Complain(std::string("scanid: ") + e.what());
        return kExitFailure;
    }
}

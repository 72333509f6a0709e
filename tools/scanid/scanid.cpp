// scanid: reads cards through libscanid from the command line.
//
//   scanid read    one read cycle, printed as text or as one JSON object
//   scanid watch   read until SIGINT/SIGTERM, one JSON object per line
//   scanid list    the attached USB reader modules
//   scanid version the library's version and this program's header version
//
// Uses only the public interface (scanid.h), through reader handles: each
// reader has a thread of its own that makes every call on its handle; the
// main thread only waits for signals, cancels, and waits for the threads.
#include <fcntl.h>
#include <getopt.h>
#include <pthread.h>
#include <sys/stat.h>
#include <termios.h>
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
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "Parse.h"
#include "RecordJson.h"
#include "scanid.h"

namespace {

using namespace scanid_tools;

constexpr const char *kDefaultServerIp = "127.0.0.1";
constexpr int kDefaultBaud = 115200;

// Exit codes (scanid(1), EXIT STATUS).
constexpr int kExitOk = 0;
constexpr int kExitNoCard = 1;
constexpr int kExitUsage = 2;
constexpr int kExitUnknownDocument = 3;
constexpr int kExitFailure = 4;
constexpr int kExitPhoto = 5;

// The photo decoder's results (docs/api.md, wlt.h); this program sees
// the decoder only through SaveImage().
constexpr int kPhotoOk = 1;
constexpr int kPhotoArgument = -1;
constexpr int kPhotoFormat = -2;
constexpr int kPhotoFile = -3;

enum class Command { Read, Watch };

struct Options {
    Command command = Command::Read;
    bool serial = false;
    bool usbGiven = false;
    std::string device;
    int baud = kDefaultBaud;
    bool baudGiven = false;
    std::vector<std::string> readers; // --reader, as given
    std::string serverIp = kDefaultServerIp;
    int serverPort = kDefaultServerPort;
    bool json = false;
    bool verbose = false;
    bool everyCycle = false;
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
    "  list      the attached USB reader modules\n"
    "  version   the library's version and the version this program was built for\n"
    "\n"
    "'scanid COMMAND --help' describes a command's options.\n";

const char kTransportUsage[] =
    "  --reader NAME         the reader: usb (the first USB module), usb:BUS-PORT[.PORT...]\n"
    "                        (the USB module in that port, see 'scanid list') or\n"
    "                        serial:DEVICE@BAUD\n"
    "  --usb                 the same as --reader usb (the default)\n"
    "  --serial DEVICE       the same as --reader serial:DEVICE@BAUD\n"
    "  --baud N              serial speed for --serial, 2400..460800 (default 115200)\n"
    "  --server ADDR[:PORT]  decode server, dotted IPv4 (default 127.0.0.1:19904)\n"
    "  -v, --verbose         the library's event texts and console lines on\n"
    "                        standard error (otherwise dropped)\n"
    "  -h, --help            this text\n";

const char kReadUsage[] =
    "usage: scanid read [--reader NAME | --usb | --serial DEVICE [--baud N]]\n"
    "                   [--server ADDR[:PORT]] [--json] [--photo FILE] [-v]\n"
    "Runs one read cycle and prints what it found: one \"label: value\" line per\n"
    "field that is not empty, or with --json one JSON object.\n";

const char kReadOptions[] =
    "  --json                one JSON object instead of text\n"
    "  --photo FILE          write the document's photo to FILE (BMP, through the\n"
    "                        photo decoder) when an identity document was read\n";

const char kReadExits[] =
    "\n"
    "exit status: 0 a card was read (identity document or other card), 1 no card\n"
    "(or cancelled by a signal), 2 bad arguments (refused before reading), 3 identity\n"
    "document of an unknown kind, 4 any other failure, 5 the document was read but\n"
    "its photo not written.\n";

const char kWatchUsage[] =
    "usage: scanid watch [--reader NAME]... [--usb | --serial DEVICE [--baud N]]\n"
    "                    [--server ADDR[:PORT]] [--photo-dir DIR] [--every-cycle] [-v]\n"
    "Reads until SIGINT or SIGTERM and prints one JSON object per line, each naming\n"
    "its reader and the time: one line per card placed and a \"removed\" line when it\n"
    "is taken away, and a line for every cycle that failed. With several --reader\n"
    "options all of them are read at once.\n";

const char kWatchOptions[] =
    "  --every-cycle         a line for every cycle that found a card, without waiting\n"
    "                        for it to be taken away (a card left on the reader is\n"
    "                        read, and printed, again each cycle); no removed lines\n"
    "  --photo-dir DIR       write each identity document's photo into DIR, named\n"
    "                        after its number (NUMBER.bmp)\n"
    "  --json                accepted; the output is always JSON Lines\n";

const char kWatchExits[] =
    "\n"
    "exit status: 0 stopped by SIGINT or SIGTERM, 2 bad arguments (refused before\n"
    "reading), 4 standard output could not be written.\n";

const char kListUsage[] =
    "usage: scanid list [--json]\n"
    "Prints the attached USB reader modules, one per line: the reader name for\n"
    "--reader and the serial number (\"-\" when the module has none); with --json one\n"
    "JSON array of {\"name\", \"serial\", \"bus\", \"address\"}.\n"
    "\n"
    "exit status: 0 (also when no module is attached), 2 bad arguments, 4 the modules\n"
    "could not be listed.\n";

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

// The records go here, on a descriptor of their own: whatever is printed on
// standard output by anything else in the process must not end up among them.
FILE *g_out = stdout;

// Gives the records a descriptor of their own and sends what else is printed
// on standard output to standard error (verbose) or nowhere.
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
    return setvbuf(stdout, nullptr, _IOLBF, 0) == 0;
}

// Local time, ISO 8601 with milliseconds and the offset: 2024-05-01T09:30:12.345+08:00.
std::string IsoTime()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    if (localtime_r(&now.tv_sec, &local) == nullptr)
        return "";
    char date[32], zone[8], out[64];
    if (strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &local) == 0 ||
        strftime(zone, sizeof zone, "%z", &local) != 5)
        return "";
    (void)snprintf(out, sizeof out, "%s.%03ld%.3s:%s", date, now.tv_nsec / 1000000, zone, zone + 3);
    return out;
}

// --- readers -----------------------------------------------------------------

// One reader and what its thread keeps of it. The library calls the
// callbacks on that thread only.
struct Lane {
    scanid_reader *reader = nullptr;
    std::string name; // canonical, as the library gives it
    bool verbose = false;
    char last[256] = {}; // last event text of kind 2 or 3 that tells how the cycle went

    Lane() = default;
    Lane(const Lane &) = delete;
    Lane &operator=(const Lane &) = delete;
    ~Lane() { scanid_close(reader); }
};

using Lanes = std::vector<std::unique_ptr<Lane>>;

void OnEvent(scanid_reader * /*reader*/, int kind, const char *message, void *user)
{
    Lane &lane = *static_cast<Lane *>(user);
    const char *text = message ? message : "";
    if (lane.verbose) {
        // A fixed buffer: nothing may throw back into the library.
        char line[600];
        (void)snprintf(line, sizeof line, "scanid: %s: event %d: %s\n", lane.name.c_str(), kind, text);
        (void)fputs(line, stderr);
    }
    if (kind != SCANID_EVENT_PROGRESS && kind != SCANID_EVENT_HEARTBEAT)
        return;
    // Every cycle ends by closing its link; that line would hide the failure.
    if (strcmp(text, "disconnect usb") == 0 || strcmp(text, "disconnect serial") == 0)
        return;
    (void)snprintf(lane.last, sizeof lane.last, "%s", text);
}

// The library's own lines: kept out of the records, the error ones always
// shown as perror() would.
void OnConsole(scanid_reader * /*reader*/, int stream, const char *line, const char *errorText, void *user)
{
    const Lane &lane = *static_cast<const Lane *>(user);
    if (stream != SCANID_STREAM_ERR && !lane.verbose)
        return;
    char text[800];
    if (errorText)
        (void)snprintf(text, sizeof text, "scanid: %s: %s: %s\n", lane.name.c_str(), line ? line : "", errorText);
    else
        (void)snprintf(text, sizeof text, "scanid: %s: %s\n", lane.name.c_str(), line ? line : "");
    (void)fputs(text, stderr);
}

// --- checks made before any read ---------------------------------------------

struct Rate {
    int baud;
    speed_t speed;
};
constexpr Rate kRates[] = {{2400, B2400},     {4800, B4800},     {9600, B9600},
                           {19200, B19200},   {38400, B38400},   {57600, B57600},
                           {115200, B115200}, {230400, B230400}, {460800, B460800}};

std::string RateList()
{
    std::string s;
    for (const Rate &r : kRates)
        s += (s.empty() ? "" : ", ") + std::to_string(r.baud);
    return s;
}

// "" when `path` is a terminal that takes `baud` (0: not checked); else
// what is wrong. The port's settings are put back as they were.
std::string CheckSerialPort(const std::string &path, int baud)
{
    const Rate *rate = nullptr;
    for (const Rate &r : kRates)
        rate = r.baud == baud ? &r : rate;
    if (baud != 0 && rate == nullptr)
        return "a serial port cannot be set to " + std::to_string(baud) + " baud (rates: " + RateList() + ")";
    // Non-blocking: a modem line must not hold the open until carrier.
    int fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return "cannot open serial device '" + path + "': " + ErrnoText(errno);
    std::string error;
    termios before{};
    if (!isatty(fd) || tcgetattr(fd, &before) != 0) {
        error = "'" + path + "' is not a serial device (not a terminal)";
    } else if (rate != nullptr) {
        termios want = before;
        termios got{};
        if (cfsetspeed(&want, rate->speed) != 0 || tcsetattr(fd, TCSANOW, &want) != 0)
            error = "'" + path + "' cannot be set to " + std::to_string(baud) + " baud: " + ErrnoText(errno);
        else if (tcgetattr(fd, &got) != 0 || cfgetospeed(&got) != rate->speed)
            error = "'" + path + "' cannot be set to " + std::to_string(baud) + " baud (the port does not keep it)";
        (void)tcsetattr(fd, TCSANOW, &before);
    }
    close(fd);
    return error;
}

// "" when a file can be written at `path`; an existing file is left as it
// was, and none is left behind where there was none.
std::string CheckPhotoFile(const std::string &path)
{
    struct stat st {};
    if (stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
            return "'" + path + "' is a folder";
        if (!S_ISREG(st.st_mode))
            return "'" + path + "' is not a regular file";
        int fd = open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
        if (fd < 0)
            return "cannot write '" + path + "': " + ErrnoText(errno);
        close(fd);
        return "";
    }
    if (errno != ENOENT && errno != ENOTDIR)
        return "cannot write '" + path + "': " + ErrnoText(errno);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, 0644);
    if (fd < 0)
        return "cannot create '" + path + "': " + ErrnoText(errno);
    close(fd);
    (void)unlink(path.c_str());
    return "";
}

std::string CheckPhotoDir(const std::string &dir)
{
    struct stat st {};
    if (stat(dir.c_str(), &st) != 0)
        return "'" + dir + "' is not a folder: " + ErrnoText(errno);
    if (!S_ISDIR(st.st_mode))
        return "'" + dir + "' is not a folder";
    std::string probe = dir + "/.scanid-XXXXXX";
    int fd = mkostemp(&probe[0], O_CLOEXEC);
    if (fd < 0)
        return "cannot write into the folder '" + dir + "': " + ErrnoText(errno);
    close(fd);
    (void)unlink(probe.c_str());
    return "";
}

// The serial device and rate of a canonical "serial:DEVICE@BAUD" name.
bool SerialPart(const std::string &name, std::string *device, int *baud)
{
    static const std::string kPrefix = "serial:";
    if (name.compare(0, kPrefix.size(), kPrefix) != 0)
        return false;
    const size_t at = name.rfind('@');
    *baud = 0;
    if (at == std::string::npos || at < kPrefix.size() || !ParseInt(name.c_str() + at + 1, 1, 100000000, baud)) {
        *device = name.substr(kPrefix.size());
        return true;
    }
    *device = name.substr(kPrefix.size(), at - kPrefix.size());
    return true;
}

// Opens every reader and checks everything a read needs that can be checked
// before one. kExitOk, or the exit code after telling what is wrong.
int OpenReaders(const std::string &command, const Options &o, Lanes *lanes)
{
    auto refuse = [&](const std::string &message) {
        Complain("scanid " + command + ": " + message);
        return kExitUsage;
    };
    std::set<std::string> seen;
    for (const std::string &given : o.readers) {
        auto lane = std::make_unique<Lane>();
        lane->verbose = o.verbose;
        int rc = scanid_open(given.c_str(), &lane->reader);
        if (rc == SCANID_ERR_NAME || rc == SCANID_ERR_ARGUMENT)
            return refuse("'" + given +
                          "' is not a reader name (usb, usb:BUS-PORT[.PORT...] as 'scanid list' shows, "
                          "serial:DEVICE@BAUD)");
        if (rc != 0 || lane->reader == nullptr) {
            std::string message = "scanid " + command + ": cannot open the reader '";
            message += given + "' (library result " + std::to_string(rc) + ")";
            Complain(message);
            return kExitFailure;
        }
        const char *canonical = scanid_reader_name(lane->reader);
        lane->name = canonical ? canonical : given;
        // Two threads on one port would take each other's frames.
        if (!seen.insert(lane->name).second)
            return refuse("the reader '" + lane->name + "' is given twice");
        std::string device;
        int baud = 0;
        if (SerialPart(lane->name, &device, &baud)) {
            std::string problem = CheckSerialPort(device, baud);
            if (!problem.empty())
                return refuse(problem);
        }
        if (scanid_set_server(lane->reader, o.serverIp.c_str(), o.serverPort) != 0)
            return refuse("the library refused the server " + o.serverIp + ":" + std::to_string(o.serverPort));
        scanid_set_event_cb(lane->reader, OnEvent, lane.get());
        scanid_set_console_cb(lane->reader, OnConsole, lane.get());
        lanes->push_back(std::move(lane));
    }
    std::string problem = !o.photo.empty()      ? CheckPhotoFile(o.photo)
                          : !o.photoDir.empty() ? CheckPhotoDir(o.photoDir)
                                                : "";
    if (!problem.empty())
        return refuse((o.photo.empty() ? "--photo-dir: " : "--photo: ") + problem);
    return kExitOk;
}

// --- one cycle ---------------------------------------------------------------

void ReadOnce(Lane &lane, Outcome *out)
{
    memset(&out->rec, 0, sizeof out->rec);
    out->rec.size = sizeof out->rec;
    lane.last[0] = '\0';
    out->result = scanid_read_ex(lane.reader, &out->rec);
    out->error = IsFailure(out->result) ? lane.last : "";
}

std::string PhotoResultText(int rc)
{
    switch (rc) {
    case kPhotoArgument: return "the photo decoder refused its arguments";
    case kPhotoFormat: return "the photo decoder did not recognise the photo data (nothing written)";
    case kPhotoFile: return "the file could not be created or written";
    default: return "the photo decoder failed with a result it does not document (" + std::to_string(rc) + ")";
    }
}

void SavePhoto(Outcome *out, const std::string &path)
{
    int rc = SaveImage(out->rec.photo, path.c_str());
    if (rc == kPhotoOk)
        out->photoFile = path;
    else
        out->photoError = path + ": " + PhotoResultText(rc);
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

// --- the reading threads and the signals ------------------------------------

struct Session {
    std::atomic<bool> stop{false};
    std::atomic<int> running{0};
    std::mutex mutex; // the pauses, the exit code and the output
    std::condition_variable wake;
    int exitCode = kExitOk;
    std::atomic<unsigned long> photoSequence{0};

    void Stop()
    {
        std::lock_guard<std::mutex> lock(mutex);
        stop = true;
        wake.notify_all();
    }
    // Pauses up to ms, less if asked to stop.
    void Pause(int ms)
    {
        std::unique_lock<std::mutex> lock(mutex);
        wake.wait_for(lock, std::chrono::milliseconds(ms), [&] { return stop.load(); });
    }
    // One whole line at a time, whichever thread prints it. False (and the
    // session told to stop) when the output failed.
    bool Print(const std::string &text)
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (Emit(g_out, text))
            return true;
        Complain("scanid: cannot write the output: " + ErrnoText(errno));
        exitCode = kExitFailure;
        stop = true;
        wake.notify_all();
        return false;
    }
};

void ReadCommand(const Options &o, Session &s, Lane &lane)
{
    Outcome out;
    ReadOnce(lane, &out);
    if (!o.photo.empty() && IsDocument(out.result))
        SavePhoto(&out, o.photo);
    const int code = ReadExitCode(out);
    if (s.Print(o.json ? Dump(ToJson(out)) + "\n" : Text(out))) {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.exitCode = code;
    }
}

Json Stamped(Json j, const Lane &lane)
{
    j["reader"] = lane.name;
    j["time"] = IsoTime();
    return j;
}

bool IsCard(int result)
{
    return result == SCANID_IDCARD || result == SCANID_OTHERCARD || result == SCANID_UNKNOWN_DOCUMENT;
}

void WatchLane(const Options &o, Session &s, Lane &lane)
{
    using Clock = std::chrono::steady_clock;
    while (!s.stop.load()) {
        Outcome out;
        auto start = Clock::now();
        ReadOnce(lane, &out);
        if (out.result == SCANID_NO_CARD || out.result == SCANID_CANCELLED)
            continue;
        if (!o.photoDir.empty() && IsDocument(out.result))
            SavePhoto(&out, o.photoDir + "/" + PhotoName(out.rec, ++s.photoSequence));
        if (!s.Print(Dump(Stamped(ToJson(out), lane)) + "\n"))
            return;
        bool failed = IsFailure(out.result);
        if (IsCard(out.result) && !o.everyCycle) {
            // The card stays printed, and unsent to the server, while it lies there.
            start = Clock::now();
            lane.last[0] = '\0';
            const int rc = scanid_wait_removal(lane.reader, -1);
            Json j;
            j["event"] = rc == SCANID_CARD_REMOVED ? "removed" : "removal_wait_failed";
            j["reader"] = lane.name;
            j["time"] = IsoTime();
            if (rc != SCANID_CARD_REMOVED) {
                j["result"] = rc;
                j["result_name"] = ResultName(rc);
                j["error"] = lane.last[0] != '\0' ? Json(lane.last) : Json();
            }
            if (rc != SCANID_CANCELLED && !s.Print(Dump(j) + "\n"))
                return;
            failed = rc != SCANID_CARD_REMOVED && rc != SCANID_CANCELLED;
        }
        // A failure that comes back at once (a module that is not there)
        // must not turn into a flood of lines.
        auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
        if (failed && spent.count() < 1000)
            s.Pause(static_cast<int>(1000 - spent.count()));
    }
}

// The main thread sleeps until a signal comes or a reading thread ends
// (which tells it with kLaneEnded). A cancel that comes while no cycle runs
// is not remembered, so a signal just before a cycle starts would be lost:
// once stopping, the main thread repeats the cancels until every reading
// thread has finished.
constexpr int kLaneEnded = SIGUSR1;

int RunSession(const Options &o, Lanes &lanes)
{
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, kLaneEnded);
    // The reading threads inherit the mask: only the main thread's waits
    // below see them.
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    const pthread_t mainThread = pthread_self();

    Session s;
    std::vector<std::thread> threads;
    bool started = true;
    for (auto &lane : lanes) {
        Lane *l = lane.get();
        s.running++;
        try {
            threads.emplace_back([&o, &s, l, mainThread] {
                try {
                    if (o.command == Command::Read)
                        ReadCommand(o, s, *l);
                    else
                        WatchLane(o, s, *l);
                } catch (const std::exception &e) {
                    Complain(std::string("scanid: ") + e.what());
                    std::lock_guard<std::mutex> lock(s.mutex);
                    s.exitCode = kExitFailure;
                }
                // Any lane that ends takes the others with it.
                s.Stop();
                s.running--;
                pthread_kill(mainThread, kLaneEnded);
            });
        } catch (const std::system_error &e) {
            s.running--;
            Complain(std::string("scanid: cannot start a reading thread: ") + e.what());
            started = false;
            s.Stop();
            break;
        }
    }
    while (s.running.load() > 0) {
        const timespec tick = {0, 50'000'000};
        int sig = s.stop.load() ? sigtimedwait(&signals, nullptr, &tick) : sigwaitinfo(&signals, nullptr);
        if (sig == SIGINT || sig == SIGTERM)
            s.Stop();
        if (s.stop.load())
            for (auto &lane : lanes)
                scanid_cancel(lane->reader);
    }
    for (std::thread &t : threads)
        t.join();
    std::lock_guard<std::mutex> lock(s.mutex);
    return started ? s.exitCode : kExitFailure;
}

// --- arguments ---------------------------------------------------------------

// Parses a command's options; kExitOk after --help, kExitUsage on a mistake,
// -1 to go on.
int ParseOptions(const std::string &command, int argc, char **argv, Options *o)
{
    enum { kUsb = 256, kSerial, kBaud, kServer, kJson, kPhoto, kPhotoDir, kReader, kEveryCycle };
    const bool read = o->command == Command::Read;
    std::vector<option> longOptions = {
        {"help", no_argument, nullptr, 'h'},         {"verbose", no_argument, nullptr, 'v'},
        {"usb", no_argument, nullptr, kUsb},         {"serial", required_argument, nullptr, kSerial},
        {"baud", required_argument, nullptr, kBaud}, {"server", required_argument, nullptr, kServer},
        {"json", no_argument, nullptr, kJson},       {"reader", required_argument, nullptr, kReader},
    };
    if (read) {
        longOptions.push_back({"photo", required_argument, nullptr, kPhoto});
    } else {
        longOptions.push_back({"photo-dir", required_argument, nullptr, kPhotoDir});
        longOptions.push_back({"every-cycle", no_argument, nullptr, kEveryCycle});
    }
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
    // NOLINTNEXTLINE(concurrency-mt-unsafe): parsed before any reading thread starts
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
            if (!ParseServer(optarg, &o->serverIp, &o->serverPort))
                return fail(std::string("bad --server '") + optarg + "' (dotted IPv4 address, optional :PORT 1..65535)");
            break;
        case kJson:
            o->json = true;
            break;
        case kReader:
            if (read && !o->readers.empty())
                return fail("read takes one --reader");
            o->readers.emplace_back(optarg);
            break;
        case kEveryCycle:
            o->everyCycle = true;
            break;
        case kPhoto:
            if (*optarg == '\0')
                return fail("--photo needs a file name");
            o->photo = optarg;
            break;
        case kPhotoDir:
            if (*optarg == '\0')
                return fail("--photo-dir needs a folder");
            o->photoDir = optarg;
            break;
        default:
            return fail(""); // getopt has told what was wrong
        }
    }
    if (optind < argc)
        return fail(std::string("unexpected argument '") + args[static_cast<size_t>(optind)] + "'");
    if (o->usbGiven && o->serial)
        return fail("--usb and --serial exclude each other");
    if (!o->readers.empty() && (o->usbGiven || o->serial))
        return fail("--reader excludes --usb and --serial");
    if (o->baudGiven && !o->serial)
        return fail("--baud applies to --serial only");
    if (o->readers.empty())
        o->readers.push_back(o->serial ? "serial:" + o->device + "@" + std::to_string(o->baud) : "usb");
    return -1;
}

int ListCommand(int argc, char **argv)
{
    bool json = false;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0)
            return Emit(stdout, kListUsage) ? kExitOk : kExitFailure;
        if (strcmp(argv[i], "--json") != 0) {
            Complain(std::string("scanid list: unexpected argument '") + argv[i] + "'\nTry 'scanid list --help'.");
            return kExitUsage;
        }
        json = true;
    }
    scanid_device *list = nullptr;
    const int count = scanid_list_usb(&list);
    if (count < 0 || list == nullptr) {
        Complain("scanid list: the USB modules could not be listed (library result " + std::to_string(count) + ")");
        return kExitFailure;
    }
    Json array = Json::array();
    std::string text;
    for (const scanid_device *d = list; d->name != nullptr; d++) {
        Json j;
        j["name"] = d->name;
        j["serial"] = d->serial ? Json(d->serial) : Json();
        j["bus"] = d->bus;
        j["address"] = d->address;
        array.push_back(j);
        text += std::string(d->name) + " " + (d->serial && *d->serial ? d->serial : "-") + "\n";
    }
    scanid_free_list(list);
    return Emit(stdout, json ? Dump(array) + "\n" : text) ? kExitOk : kExitFailure;
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

int Main(int argc, char **argv)
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
    if (command == "list")
        return ListCommand(argc - 1, argv + 1);

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

    tzset(); // before the threads stamp their lines
    Lanes lanes;
    rc = OpenReaders(command, o, &lanes);
    if (rc != kExitOk)
        return rc;
    if (!SeparateOutput(o.verbose)) {
        Complain("scanid: cannot set up the output: " + ErrnoText(errno));
        return kExitFailure;
    }
    return RunSession(o, lanes);
}

} // namespace

int main(int argc, char **argv)
{
    try {
        return Main(argc, argv);
    } catch (const std::exception &e) {
        Complain(std::string("scanid: ") + e.what());
        return kExitFailure;
    }
}

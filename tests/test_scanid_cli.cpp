// The scanid program as a user runs it: its own process against the simulated
// reader (the emulated USB module preloaded into it, or sim-reader on a
// pseudo-terminal) and sim-server on loopback, each a process of its own.
// Expected records come from the card catalogue, decoded directly.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "CardMain.h"
#include "SimCards.h"
#include "test_support.h"
#include "wlt.h"

extern char **environ;

namespace {

using nlohmann::json;
namespace fs = std::filesystem;

std::string Slurp(const fs::path &p)
{
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::vector<std::string> Lines(const std::string &text)
{
    std::vector<std::string> lines;
    std::stringstream ss(text);
    for (std::string l; std::getline(ss, l);)
        lines.push_back(l);
    return lines;
}

// A program of the build, under the cross build's emulator if there is one;
// its output goes to files in `dir`. The preload reaches the program, not
// the emulator.
class Proc {
public:
    // `env` entries ("NAME=value") add to the environment or replace the
    // simulator's defaults below.
    Proc(const fs::path &dir, const std::string &name, std::vector<std::string> args, const std::string &preload = "",
         const std::string &script = "", const std::vector<std::string> &env = {})
        : m_n(++s_procs), m_out(dir / (name + "-" + std::to_string(m_n) + ".out")),
          m_err(dir / (name + "-" + std::to_string(m_n) + ".err"))
    {
        std::vector<std::string> argv;
        std::stringstream emu(SCANID_TEST_EMULATOR);
        for (std::string part; std::getline(emu, part, '|');)
            if (!part.empty())
                argv.push_back(part);
        auto given = [&env](const std::string &var) {
            for (const std::string &g : env)
                if (g.compare(0, g.find('='), var, 0, var.find('=')) == 0)
                    return true;
            return false;
        };
        std::vector<std::string> vars;
        for (char **e = environ; *e; e++)
            if (strncmp(*e, "LD_PRELOAD=", 11) != 0 && strncmp(*e, "SIM_READER_", 11) != 0 && !given(*e))
                vars.emplace_back(*e);
        if (!preload.empty()) {
            if (argv.empty())
                vars.push_back("LD_PRELOAD=" + preload);
            else
                argv.insert(argv.end(), {"-E", "LD_PRELOAD=" + preload});
        }
        auto set = [&](const std::string &var) {
            if (!given(var))
                vars.push_back(var);
        };
        vars.insert(vars.end(), env.begin(), env.end());
        set("SIM_READER_SCRIPT=" + (script.empty() ? std::string("wait 600000") : script));
        set("SIM_READER_LATENCY_MS=2");
        // No read here meets a repeated notice, however slow the host; a
        // watch that must tell a card still lying there sets the module's 300.
        set("SIM_READER_INTERVAL_MS=60000");
        argv.insert(argv.end(), args.begin(), args.end());

        int in[2];
        EXPECT_EQ(0, pipe2(in, O_CLOEXEC)); // sim-reader ends when its input does
        m_stdin = in[1];
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, in[0], 0);
        posix_spawn_file_actions_addopen(&fa, 1, m_out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&fa, 2, m_err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        auto ptrs = [](std::vector<std::string> &v) {
            std::vector<char *> p;
            for (std::string &s : v)
                p.push_back(&s[0]);
            p.push_back(nullptr);
            return p;
        };
        std::vector<char *> a = ptrs(argv), e = ptrs(vars);
        EXPECT_EQ(0, posix_spawnp(&m_pid, a[0], &fa, nullptr, a.data(), e.data())) << argv[0];
        posix_spawn_file_actions_destroy(&fa);
        close(in[0]);
    }
    ~Proc()
    {
        close(m_stdin);
        if (m_pid > 0)
            kill(m_pid, SIGTERM);
        if (m_pid > 0 && !Wait(10000)) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
    }
    Proc(const Proc &) = delete;
    Proc &operator=(const Proc &) = delete;

    // True once the program has ended (its exit code in Code()).
    bool Wait(int ms)
    {
        for (auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);;) {
            int status = 0;
            if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_pid = -1;
                m_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                return true;
            }
            if (std::chrono::steady_clock::now() >= end)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    // Waits until what the program printed so far satisfies `done`.
    bool WaitOutput(const std::function<bool(const std::string &)> &done, int ms, bool err = false)
    {
        for (auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);;) {
            if (done(err ? Err() : Out()))
                return true;
            if (std::chrono::steady_clock::now() >= end)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    void Signal(int sig) { kill(m_pid, sig); }
    int Code() const { return m_code; }
    std::string Out() const { return Slurp(m_out); }
    std::string Err() const { return Slurp(m_err); }

private:
    // Output files of their own for every process: what one that is going
    // away still holds is never taken for the next one's.
    static inline int s_procs = 0;
    int m_n;
    fs::path m_out, m_err;
    pid_t m_pid = -1;
    int m_stdin = -1;
    int m_code = -1;
};

const std::string kUsb = SCANID_TEST_USB_PRELOAD ":" SIMREADER_PRELOAD;

class ScanidCli : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/scanid-cli-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        m_dir = tmpl;
    }
    void TearDown() override { fs::remove_all(m_dir); }

    // What a simulator prints after `prefix` on a line of its own.
    static std::string Announced(Proc &p, const std::string &prefix)
    {
        std::string value;
        EXPECT_TRUE(p.WaitOutput(
            [&](const std::string &out) {
                size_t at = out.find(prefix), end = out.find('\n', at);
                if (at != std::string::npos && end != std::string::npos)
                    value = out.substr(at + prefix.size(), end - at - prefix.size());
                return !value.empty();
            },
            20000))
            << p.Err();
        return value;
    }
    // A decode server for this test; its address for --server.
    std::string Server()
    {
        m_server.reset();
        m_server = std::make_unique<Proc>(m_dir, "sim-server", std::vector<std::string>{SIM_SERVER, "--port", "0"});
        return "127.0.0.1:" + Announced(*m_server, "listening on 127.0.0.1:");
    }
    // A reader on a pseudo-terminal playing `script`; its device path.
    std::string SerialReader(const std::string &script)
    {
        m_reader = std::make_unique<Proc>(m_dir, "sim-reader", std::vector<std::string>{SIM_READER, "--run", script});
        return Announced(*m_reader, "device: ");
    }
    // Runs scanid to its end; its exit code, output in *out.
    int Scanid(std::vector<std::string> args, std::string *out, const std::string &preload = "",
               const std::string &script = "", std::string *err = nullptr, const std::vector<std::string> &env = {})
    {
        args.insert(args.begin(), SCANID_CLI);
        Proc p(m_dir, "scanid", args, preload, script, env);
        EXPECT_TRUE(p.Wait(60000)) << "scanid did not end";
        *out = p.Out();
        if (err)
            *err = p.Err();
        return p.Code();
    }

    // Connections the decode server of Server() has taken so far.
    int Connections() const
    {
        int n = 0;
        for (const std::string &line : Lines(m_server->Out()))
            n += line.rfind("connection ", 0) == 0 && line.find(" from ") != std::string::npos;
        return n;
    }

    fs::path m_dir;
    std::unique_ptr<Proc> m_server, m_reader;
};

// Two emulated modules, on ports 1-1 and 1-2 of bus 1, each playing its script.
std::vector<std::string> TwoModules(const std::string &first, const std::string &second)
{
    return {"SIM_READER_PORTS=1-1,1-2", "SIM_READER_SCRIPT=" + first + "|" + second};
}
// The module's own repeat, so that a watch tells a card still lying there.
const std::string kRepeating = "SIM_READER_INTERVAL_MS=300";

std::string Hex(const unsigned char *p, size_t n)
{
    std::string s;
    char b[3];
    for (size_t i = 0; i < n; i++) {
        snprintf(b, sizeof b, "%02x", p[i]);
        s += b;
    }
    return s;
}

// The interface's JSON keys of an identity document and where each comes from.
struct Key {
    const char *name;
    size_t offset, size;
};
#define KEY(f) {#f, offsetof(scanid_record, f), sizeof(scanid_record::f)}
const Key kTextKeys[] = {
    KEY(type_letter), KEY(name_zh),       KEY(name_en),       KEY(sex),           KEY(sex_text),
    KEY(ethnic_code), KEY(ethnic),        KEY(nationality),   KEY(birth),         KEY(address),
    KEY(number),      KEY(authority),     KEY(valid_from),    KEY(valid_to),      KEY(travel_permit),
    KEY(issue_count), KEY(renewal_count), KEY(card_version),  KEY(authority_code), KEY(previous_number)};
#undef KEY

const std::map<int, std::string> kDocumentNames = {{SCANID_DOC_RESIDENT, "resident"},
                                                   {SCANID_DOC_FOREIGN_2017, "foreign_2017"},
                                                   {SCANID_DOC_HMT_PERMIT, "hmt_permit"},
                                                   {SCANID_DOC_FOREIGN_2023, "foreign_2023"},
                                                   {SCANID_DOC_UNKNOWN, "unknown"}};

// The JSON object a read of catalogue card `card` must print.
void ExpectDocument(const json &j, const sim::IdCard &card, const fs::path &photo, int result, const char *name)
{
    unsigned char block[sim::kDecodedBlockBytes];
    sim::BuildDecodedBlock(card.fields, block);
    scanid_record want{};
    want.size = sizeof want;
    DecodeDocument(block, &want);

    std::set<std::string> keys = {"result", "result_name", "document", "number_valid", "text_block_hex", "photo_file"};
    EXPECT_EQ(j.at("result"), result);
    EXPECT_EQ(j.at("result_name"), name);
    EXPECT_EQ(j.at("document"), kDocumentNames.at(want.document));
    for (const Key &k : kTextKeys) {
        const char *field = reinterpret_cast<const char *>(&want) + k.offset;
        EXPECT_EQ(j.at(k.name), std::string(field, strnlen(field, k.size))) << k.name;
        keys.insert(k.name);
    }
    EXPECT_EQ(j.at("number_valid"), want.number_valid != 0);
    EXPECT_EQ(j.at("text_block_hex"), Hex(block, sim::kTextBlockBytes));
    for (const auto &item : j.items())
        EXPECT_EQ(keys.count(item.key()), 1u) << "unexpected key " << item.key();

    // The photo as the decoder writes the card's own photo bytes.
    EXPECT_EQ(j.at("photo_file"), photo.string());
    fs::path want_photo = photo.string() + ".want";
    ASSERT_EQ(1, saveWlt2Bmp(block + sim::kTextBlockBytes, want_photo.c_str()));
    EXPECT_EQ(Slurp(photo), Slurp(want_photo));
}

// Every identity document of the catalogue, over USB (new kinds join by
// being added to the catalogue), and one of a kind no reader knows.
TEST_F(ScanidCli, ReadsEveryCatalogueDocumentAsJson)
{
    struct Doc {
        std::string script;
        const sim::IdCard *card;
        int exitCode, result;
        const char *name;
    };
    std::vector<Doc> docs;
    for (size_t i = 0; i < sim::IdCards().size(); i++)
        docs.push_back({"place id " + std::to_string(i + 1), &sim::IdCards()[i], 0, SCANID_IDCARD, "idcard"});
    docs.push_back({"place unknown", &sim::UnknownDocument(), 3, SCANID_UNKNOWN_DOCUMENT, "unknown_document"});

    const std::string server = Server();
    for (size_t i = 0; i < docs.size(); i++) {
        SCOPED_TRACE(docs[i].script);
        const fs::path photo = m_dir / ("card" + std::to_string(i) + ".bmp");
        std::string out;
        int code = Scanid({"read", "--json", "--server", server, "--photo", photo.string()}, &out, kUsb,
                          docs[i].script);
        EXPECT_EQ(code, docs[i].exitCode);
        ASSERT_EQ(Lines(out).size(), 1u) << out;
        ExpectDocument(json::parse(out), *docs[i].card, photo, docs[i].result, docs[i].name);
    }
}

// Other cards, and failures with the library's own text. Each row: how to
// run, what the reader holds, and what must come out.
struct Row {
    const char *what;
    bool serial;
    std::string script;
    bool serverUp;
    int result;
    const char *name;
    int exitCode;
    sim::CardKind kind; // othercard rows: the module frame that must come back
};

TEST_F(ScanidCli, ReadsOtherCardsAndFailuresAsJson)
{
    using K = sim::CardKind;
    const Row rows[] = {
        {"M1 card", false, "place m1", true, SCANID_OTHERCARD, "othercard", 0, K::M1},
        {"YCT card", false, "place yct", true, SCANID_OTHERCARD, "othercard", 0, K::Yct},
        {"identity card, server refusing (serial)", true, "place id 1", false, SCANID_ERR_SERVER_CONNECT,
         "server_connect", 4, K::IdCard},
        {"no reader module (USB)", false, "", false, SCANID_ERR_USB_OPEN, "usb_open", 4, K::IdCard},
    };
    const std::string server = Server();
    testsupport::RefusingPort refusing;
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        std::vector<std::string> args = {"read", "--json", "--server",
                                         r.serverUp ? server : "127.0.0.1:" + std::to_string(refusing.Port())};
        std::string preload = r.script.empty() ? SCANID_TEST_USB_PRELOAD : kUsb;
        if (r.serial) {
            args.insert(args.end(), {"--serial", SerialReader(r.script)});
            preload.clear();
        }
        std::string out;
        EXPECT_EQ(Scanid(args, &out, preload, r.script), r.exitCode);
        m_reader.reset();
        ASSERT_EQ(Lines(out).size(), 1u) << out;
        json j = json::parse(out);
        EXPECT_EQ(j.at("result"), r.result);
        EXPECT_EQ(j.at("result_name"), r.name);
        EXPECT_TRUE(j.at("document").is_null());
        EXPECT_FALSE(j.contains("number"));
        if (r.result == SCANID_OTHERCARD) {
            sim::proto::Bytes frame = sim::OtherCardAnnouncement(r.kind);
            EXPECT_EQ(j.at("card_kind"), ClassifyCardFrame(frame.data(), static_cast<int>(frame.size())));
            EXPECT_EQ(j.at("card_data_hex"), Hex(frame.data(), frame.size()));
            EXPECT_FALSE(j.contains("error"));
        } else {
            EXPECT_TRUE(j.at("error").is_string() && !j.at("error").get<std::string>().empty()) << out;
        }
    }
}

TEST_F(ScanidCli, ReadPrintsLabelledText)
{
    const std::string server = Server();
    std::string out;
    EXPECT_EQ(0, Scanid({"read", "--server", server}, &out, kUsb, "place id 1"));
    const sim::IdCard &card = sim::IdCards()[0];
    EXPECT_NE(out.find("result: idcard (1)\n"), std::string::npos) << out;
    EXPECT_NE(out.find("number: " + card.fields.cardno + "\n"), std::string::npos) << out;
    EXPECT_NE(out.find("name: " + card.fields.name + "\n"), std::string::npos) << out;
    for (const std::string &line : Lines(out))
        EXPECT_NE(line.find(": "), line.size() - 2) << "empty field printed: " << line;
}

// A watch line's "time": ISO 8601 local time with milliseconds and offset,
// in milliseconds since the epoch; -1 when it is not of that form.
long long TimeMs(const json &line)
{
    static const std::regex kForm(R"((\d{4})-(\d\d)-(\d\d)T(\d\d):(\d\d):(\d\d)\.(\d{3})([+-])(\d\d):(\d\d))");
    std::smatch m;
    const std::string text = line.value("time", "");
    if (!std::regex_match(text, m, kForm))
        return -1;
    auto n = [&m](int i) { return std::stoi(m[static_cast<size_t>(i)].str()); };
    tm t{};
    t.tm_year = n(1) - 1900;
    t.tm_mon = n(2) - 1;
    t.tm_mday = n(3);
    t.tm_hour = n(4);
    t.tm_min = n(5);
    t.tm_sec = n(6);
    const long long offset = (m[8] == "-" ? -1 : 1) * (n(9) * 3600LL + n(10) * 60LL);
    return (static_cast<long long>(timegm(&t)) - offset) * 1000 + n(7);
}

// What a watch line tells: "removed", or the result name of a cycle.
std::string What(const json &line)
{
    return line.contains("event") ? line.at("event").get<std::string>() : line.at("result_name").get<std::string>();
}

std::vector<json> JsonLines(const std::string &out)
{
    std::vector<json> lines;
    for (const std::string &l : Lines(out))
        lines.push_back(json::parse(l)); // one whole object per line
    return lines;
}

TEST_F(ScanidCli, WatchPrintsEachCardAndStopsOnSigint)
{
    const std::string server = Server();
    const sim::IdCard &card = sim::IdCards()[1];
    // The identity card lies long enough for a slow start (qemu) to meet it.
    Proc watch(m_dir, "watch", {SCANID_CLI, "watch", "--server", server, "--photo-dir", m_dir.string()}, kUsb,
               "place id 2; wait 4000; remove; wait 1000; place m1", {kRepeating});
    ASSERT_TRUE(watch.WaitOutput([&](const std::string &o) { return o.find("\"othercard\"") != std::string::npos; },
                                 30000))
        << watch.Out();
    auto t0 = std::chrono::steady_clock::now();
    watch.Signal(SIGINT);
    ASSERT_TRUE(watch.Wait(10000));
    const long long ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(watch.Code(), 0) << watch.Err();
    EXPECT_LT(ms, 3000) << "ended " << ms << " ms after SIGINT";
    printf("watch ended %lld ms after SIGINT\n", ms);

    std::vector<json> lines = JsonLines(watch.Out());
    std::vector<std::string> seen;
    for (const json &j : lines) {
        seen.push_back(What(j));
        EXPECT_EQ(j.at("reader"), "usb");
        EXPECT_GT(TimeMs(j), 0) << j.dump();
    }
    ASSERT_EQ(seen, (std::vector<std::string>{"idcard", "removed", "othercard"})) << watch.Out();
    EXPECT_EQ(lines[0].at("number"), card.fields.cardno);
    EXPECT_EQ(lines[0].at("photo_file"), (m_dir / (card.fields.cardno + ".bmp")).string());
    EXPECT_TRUE(fs::exists(lines[0].at("photo_file").get<std::string>()));
    EXPECT_EQ(Connections(), 1) << m_server->Out();
}

// What a watch prints for cards placed, left, replaced and taken away, and
// how often it goes to the decode server. Each row: the module's script, and
// the lines in order (`repeated`: at least two of the first, nothing else).
TEST_F(ScanidCli, WatchPrintsOneLinePerCardPlaced)
{
    struct WatchRow {
        const char *what;
        std::string script;
        std::vector<std::string> args;
        std::vector<std::string> lines;
        bool repeated;
    };
    const WatchRow rows[] = {
        {"a card left on the reader for 10 s", "place id 1; wait 10000; remove", {}, {"idcard", "removed"}, false},
        {"a card replaced by another", "place id 1; wait 3000; place m1; wait 3000; remove", {},
         {"idcard", "removed", "othercard", "removed"}, false},
        {"--every-cycle", "place id 1; wait 5000; remove", {"--every-cycle"}, {"idcard"}, true},
    };
    for (const WatchRow &r : rows) {
        SCOPED_TRACE(r.what);
        m_server.reset();
        const std::string server = Server();
        std::vector<std::string> args = {SCANID_CLI, "watch", "--server", server};
        args.insert(args.end(), r.args.begin(), r.args.end());
        Proc watch(m_dir, "watch", args, kUsb, r.script, {kRepeating});
        const size_t want = r.repeated ? 2 : r.lines.size();
        EXPECT_TRUE(watch.WaitOutput([&](const std::string &o) { return Lines(o).size() >= want; }, 40000))
            << watch.Out();
        if (!r.repeated) // nothing more may follow
            std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        watch.Signal(SIGTERM);
        ASSERT_TRUE(watch.Wait(10000));
        EXPECT_EQ(watch.Code(), 0) << watch.Err();

        std::vector<json> lines = JsonLines(watch.Out());
        std::vector<std::string> seen;
        for (const json &j : lines)
            seen.push_back(What(j));
        if (r.repeated) {
            EXPECT_GE(seen.size(), 2u);
            for (const std::string &w : seen)
                EXPECT_EQ(w, r.lines[0]) << watch.Out();
            // Every line is a read of its own, through the server.
            EXPECT_GE(Connections(), static_cast<int>(seen.size())) << m_server->Out();
            continue;
        }
        ASSERT_EQ(seen, r.lines) << watch.Out() << watch.Err() << m_server->Out();
        // The card lying there is not sent to the server again.
        EXPECT_EQ(Connections(), 1) << m_server->Out();
        if (r.lines.size() == 2) {
            // Taken away 10 s after it was placed (the card line comes on its
            // read, soon after): the removed line follows within about a second.
            const long long lay = TimeMs(lines[1]) - TimeMs(lines[0]);
            EXPECT_GE(lay, 8000) << watch.Out();
            EXPECT_LE(lay, 12500) << watch.Out();
            printf("removed line %lld ms after the card line\n", lay);
        }
    }
}

// Two readers at once, one on USB and one on serial: every line names its own.
TEST_F(ScanidCli, WatchReadsSeveralReadersAndNamesThem)
{
    const std::string server = Server();
    const std::string device = SerialReader("place id 2; wait 3000; remove");
    const std::string serial = "serial:" + device + "@115200";
    Proc watch(m_dir, "watch", {SCANID_CLI, "watch", "--server", server, "--reader", "usb", "--reader", serial},
               kUsb, "place id 1; wait 3000; remove", {kRepeating});
    EXPECT_TRUE(watch.WaitOutput([](const std::string &o) { return Lines(o).size() >= 4; }, 40000)) << watch.Out();
    watch.Signal(SIGTERM);
    ASSERT_TRUE(watch.Wait(10000));
    EXPECT_EQ(watch.Code(), 0) << watch.Err();

    std::map<std::string, std::vector<std::string>> byReader;
    for (const json &j : JsonLines(watch.Out())) {
        const std::string reader = j.at("reader");
        byReader[reader].push_back(What(j));
        if (What(j) == "idcard") {
            EXPECT_EQ(j.at("number"), sim::IdCards()[reader == "usb" ? 0 : 1].fields.cardno) << reader;
        }
    }
    const std::vector<std::string> once = {"idcard", "removed"};
    EXPECT_EQ(byReader.size(), 2u) << watch.Out();
    EXPECT_EQ(byReader["usb"], once) << watch.Out();
    EXPECT_EQ(byReader[serial], once) << watch.Out();
}

// The decoder's result is told in words, and the document still counts as read.
TEST_F(ScanidCli, ReadTellsWhyThePhotoWasNotWritten)
{
    const std::string server = Server();
    const fs::path dir = m_dir / "photos";
    fs::create_directory(dir);
    const fs::path photo = dir / "card.bmp";
    // The folder goes once the read has begun, after the check that it can be written.
    Proc read(m_dir, "scanid", {SCANID_CLI, "read", "-v", "--server", server, "--photo", photo.string()}, kUsb,
              "wait 5000; place id 1");
    ASSERT_TRUE(read.WaitOutput([](const std::string &e) { return e.find("Detect the heart") != std::string::npos; },
                                30000, true))
        << read.Err();
    fs::remove_all(dir);
    ASSERT_TRUE(read.Wait(30000));
    EXPECT_EQ(read.Code(), 5) << read.Out();
    EXPECT_NE(read.Out().find("photo error: " + photo.string() + ": the file could not be created or written\n"),
              std::string::npos)
        << read.Out();
}

// An empty reader prints nothing; SIGTERM ends the card wait at once.
TEST_F(ScanidCli, WatchOnEmptyReaderStopsOnSigterm)
{
    Proc watch(m_dir, "watch", {SCANID_CLI, "watch", "-v", "--server", Server()}, kUsb, "");
    ASSERT_TRUE(watch.WaitOutput([](const std::string &e) { return e.find("Detect the heart") != std::string::npos; },
                                 30000, true))
        << watch.Err();
    auto t0 = std::chrono::steady_clock::now();
    watch.Signal(SIGTERM);
    ASSERT_TRUE(watch.Wait(10000));
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
    EXPECT_LT(ms.count(), 3000);
    printf("watch ended %lld ms after SIGTERM\n", static_cast<long long>(ms.count()));
    EXPECT_EQ(watch.Code(), 0) << watch.Err();
    EXPECT_EQ(watch.Out(), "");
}

// Bad input is refused before any read: each row's message on standard
// error, exit 2, nothing printed, and the card lying on the reader never read.
TEST_F(ScanidCli, BadArgumentsExitWithTwo)
{
    const std::string server = Server();
    const std::string device = SerialReader("place id 1");
    const fs::path file = m_dir / "file";
    std::ofstream(file) << "x";
    struct Refusal {
        std::vector<std::string> args;
        std::string message; // "" where any message will do
    };
    auto reading = [&server](std::vector<std::string> args) {
        args.insert(args.end(), {"--server", server});
        return args;
    };
    const Refusal rows[] = {
        {{}, ""},
        {{"frobnicate"}, ""},
        {{"read", "--no-such-option"}, ""},
        {{"read", "--serial"}, ""},
        {{"read", "--usb", "--serial", "/dev/null"}, "exclude each other"},
        {{"read", "--baud", "9600"}, "--baud applies to --serial only"},
        {{"read", "--serial", "/dev/null", "--baud", "12"}, "bad --baud"},
        {{"read", "--server", "localhost:19904"}, "bad --server"},
        {{"read", "--server", "127.0.0.1:70000"}, "bad --server"},
        {{"read", "stray"}, "unexpected argument 'stray'"},
        {{"read", "--every-cycle"}, ""},
        {{"read", "--reader", "usb", "--reader", "usb:1-1"}, "read takes one --reader"},
        {{"read", "--reader", "usb", "--usb"}, "--reader excludes --usb and --serial"},
        {{"watch", "--photo", "x.bmp"}, ""},
        {{"version", "extra"}, ""},
        {{"list", "--usb"}, "unexpected argument '--usb'"},
        // Reader names of no known form.
        {reading({"read", "--reader", "bluetooth"}), "'bluetooth' is not a reader name"},
        {reading({"read", "--reader", "usb:one-two"}), "'usb:one-two' is not a reader name"},
        {reading({"watch", "--reader", "usb", "--reader", "serial:" + device + "@fast"}), "is not a reader name"},
        {reading({"watch", "--reader", "usb", "--reader", "usb"}), "the reader 'usb' is given twice"},
        // Serial devices that are not terminals, and rates a port cannot take.
        {reading({"read", "--serial", "/dev/null"}), "'/dev/null' is not a serial device (not a terminal)"},
        {reading({"read", "--reader", "serial:" + file.string() + "@9600"}), "is not a serial device (not a terminal)"},
        {reading({"read", "--serial", (m_dir / "ttyNONE").string()}), "cannot open serial device"},
        {reading({"read", "--serial", device, "--baud", "12345"}), "cannot be set to 12345 baud"},
        {reading({"watch", "--reader", "usb", "--reader", "serial:" + device + "@50"}), "cannot be set to 50 baud"},
        // Photo files and folders that cannot be written.
        {reading({"read", "--photo", (m_dir / "missing" / "card.bmp").string()}), "--photo: cannot create"},
        {reading({"read", "--photo", m_dir.string()}), "is a folder"},
        {reading({"read", "--photo", (file / "card.bmp").string()}), "--photo: cannot create"},
        {reading({"watch", "--photo-dir", (m_dir / "missing").string()}), "--photo-dir: '"},
        {reading({"watch", "--photo-dir", file.string()}), "is not a folder"},
    };
    for (const Refusal &r : rows) {
        SCOPED_TRACE(::testing::PrintToString(r.args));
        std::string out, err;
        EXPECT_EQ(2, Scanid(r.args, &out, kUsb, "place id 1", &err));
        EXPECT_EQ(out, "");
        EXPECT_FALSE(err.empty());
        EXPECT_NE(err.find(r.message), std::string::npos) << err;
    }
    EXPECT_EQ(Connections(), 0) << m_server->Out();
    EXPECT_EQ(Slurp(file), "x");
    // The checks leave nothing behind: only the file and the processes' outputs.
    for (const auto &entry : fs::directory_iterator(m_dir)) {
        const std::string ext = entry.path().extension().string();
        EXPECT_TRUE(entry.path() == file || ext == ".out" || ext == ".err") << entry.path();
    }
    for (const char *command : {"read", "watch", "list", "version"}) {
        std::string out;
        EXPECT_EQ(0, Scanid({command, "--help"}, &out));
        EXPECT_EQ(out.rfind(std::string("usage: scanid ") + command, 0), 0u) << out;
    }
}

// The modules on the bus, by port; an empty bus is no failure.
TEST_F(ScanidCli, ListShowsTheAttachedModules)
{
    std::string out, err;
    ASSERT_EQ(0, Scanid({"list"}, &out, kUsb, "", &err, TwoModules("wait 600000", "wait 600000"))) << err;
    std::vector<std::string> text = Lines(out);
    ASSERT_EQ(text.size(), 2u) << out;
    ASSERT_EQ(0, Scanid({"list", "--json"}, &out, kUsb, "", &err, TwoModules("wait 600000", "wait 600000"))) << err;
    json list = json::parse(out);
    ASSERT_TRUE(list.is_array() && list.size() == 2) << out;
    std::set<int> addresses;
    for (size_t i = 0; i < 2; i++) {
        const json &m = list[i];
        EXPECT_EQ(m.at("name"), i == 0 ? "usb:1-1" : "usb:1-2") << out;
        EXPECT_EQ(m.at("bus"), 1) << out;
        EXPECT_TRUE(m.at("address").is_number_integer()) << out;
        addresses.insert(m.at("address").get<int>());
        ASSERT_TRUE(m.at("serial").is_null() || m.at("serial").is_string()) << out;
        const std::string serial = m.at("serial").is_null() ? "-" : m.at("serial").get<std::string>();
        EXPECT_EQ(text[i], m.at("name").get<std::string>() + " " + serial);
    }
    EXPECT_EQ(addresses.size(), 2u) << out;

    for (const char *format : {"", "--json"}) {
        std::vector<std::string> args = {"list"};
        if (*format)
            args.emplace_back(format);
        EXPECT_EQ(0, Scanid(args, &out, SCANID_TEST_USB_PRELOAD, "", &err)) << err;
        EXPECT_EQ(out, *format ? "[]\n" : "");
    }
}

// --reader usb:PORT reads the module in that port and no other.
TEST_F(ScanidCli, ReadChoosesTheModuleByItsPort)
{
    const std::string server = Server();
    struct PortRow {
        const char *reader;
        int exitCode;
        const char *result;
        const sim::IdCard *card;
    };
    const PortRow rows[] = {
        {"usb:1-1", 0, "idcard", &sim::IdCards()[0]},
        {"usb:1-2", 0, "idcard", &sim::IdCards()[1]},
        {"usb:1-3", 4, "usb_open", nullptr},
    };
    for (const PortRow &r : rows) {
        SCOPED_TRACE(r.reader);
        std::string out, err;
        EXPECT_EQ(r.exitCode, Scanid({"read", "--json", "--server", server, "--reader", r.reader}, &out, kUsb, "",
                                     &err, TwoModules("place id 1", "place id 2")))
            << err;
        ASSERT_EQ(Lines(out).size(), 1u) << out << err;
        json j = json::parse(out);
        EXPECT_EQ(j.at("result_name"), r.result);
        if (r.card) {
            EXPECT_EQ(j.at("number"), r.card->fields.cardno);
        }
    }
}

TEST_F(ScanidCli, VersionShowsLibraryAndHeader)
{
    std::string out;
    EXPECT_EQ(0, Scanid({"version"}, &out));
    char header[32];
    snprintf(header, sizeof header, "%d.%d.%d", SCANID_VERSION_MAJOR, SCANID_VERSION_MINOR, SCANID_VERSION_MICRO);
    EXPECT_NE(out.find(std::string("library: ") + GetScanIdVersionString()), std::string::npos) << out;
    EXPECT_NE(out.find(std::string("header: ") + header + "\n"), std::string::npos) << out;
}

} // namespace

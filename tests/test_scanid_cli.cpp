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
    Proc(const fs::path &dir, const std::string &name, std::vector<std::string> args, const std::string &preload = "",
         const std::string &script = "")
        : m_out(dir / (name + ".out")), m_err(dir / (name + ".err"))
    {
        std::vector<std::string> argv;
        std::stringstream emu(SCANID_TEST_EMULATOR);
        for (std::string part; std::getline(emu, part, '|');)
            if (!part.empty())
                argv.push_back(part);
        std::vector<std::string> env;
        for (char **e = environ; *e; e++)
            if (strncmp(*e, "LD_PRELOAD=", 11) != 0 && strncmp(*e, "SIM_READER_", 11) != 0)
                env.emplace_back(*e);
        if (!preload.empty()) {
            if (argv.empty())
                env.push_back("LD_PRELOAD=" + preload);
            else
                argv.insert(argv.end(), {"-E", "LD_PRELOAD=" + preload});
        }
        env.push_back("SIM_READER_SCRIPT=" + (script.empty() ? std::string("wait 600000") : script));
        env.push_back("SIM_READER_LATENCY_MS=2");
        // No read here meets a repeated notice, however slow the host.
        env.push_back("SIM_READER_INTERVAL_MS=60000");
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
        std::vector<char *> a = ptrs(argv), e = ptrs(env);
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
               const std::string &script = "", std::string *err = nullptr)
    {
        args.insert(args.begin(), SCANID_CLI);
        Proc p(m_dir, "scanid", args, preload, script);
        EXPECT_TRUE(p.Wait(60000)) << "scanid did not end";
        *out = p.Out();
        if (err)
            *err = p.Err();
        return p.Code();
    }

    fs::path m_dir;
    std::unique_ptr<Proc> m_server, m_reader;
};

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

TEST_F(ScanidCli, WatchPrintsEachCardAndStopsOnSigint)
{
    const std::string server = Server();
    const sim::IdCard &card = sim::IdCards()[1];
    // The identity card lies long enough for a slow start (qemu) to meet it.
    Proc watch(m_dir, "watch", {SCANID_CLI, "watch", "--server", server, "--photo-dir", m_dir.string()}, kUsb,
               "place id 2; wait 4000; remove; wait 1000; place m1");
    auto seen = [](const std::string &out, const char *name) {
        return out.find(std::string("\"result_name\":\"") + name + "\"") != std::string::npos;
    };
    ASSERT_TRUE(watch.WaitOutput([&](const std::string &o) { return seen(o, "othercard"); }, 30000)) << watch.Out();
    auto t0 = std::chrono::steady_clock::now();
    watch.Signal(SIGINT);
    ASSERT_TRUE(watch.Wait(10000));
    const long long ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(watch.Code(), 0) << watch.Err();
    EXPECT_LT(ms, 3000) << "ended " << ms << " ms after SIGINT";
    printf("watch ended %lld ms after SIGINT\n", ms);

    int ids = 0, others = 0;
    for (const std::string &line : Lines(watch.Out())) {
        json j = json::parse(line); // one whole object per line
        const std::string name = j.at("result_name");
        EXPECT_TRUE(name == "idcard" || name == "othercard") << line;
        if (name == "idcard") {
            ids++;
            EXPECT_EQ(j.at("number"), card.fields.cardno);
            EXPECT_EQ(j.at("photo_file"), (m_dir / (card.fields.cardno + ".bmp")).string());
            EXPECT_TRUE(fs::exists(j.at("photo_file").get<std::string>()));
        } else {
            others++;
        }
    }
    EXPECT_GE(ids, 1);
    EXPECT_GE(others, 1);
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

TEST_F(ScanidCli, BadArgumentsExitWithTwo)
{
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"frobnicate"},
        {"read", "--no-such-option"},
        {"read", "--serial"},
        {"read", "--usb", "--serial", "/dev/null"},
        {"read", "--baud", "9600"},
        {"read", "--serial", "/dev/null", "--baud", "12"},
        {"read", "--server", "localhost:19904"},
        {"read", "--server", "127.0.0.1:70000"},
        {"read", "stray"},
        {"watch", "--photo", "x.bmp"},
        {"watch", "--photo-dir", (m_dir / "missing").string()},
        {"version", "extra"},
    };
    for (const auto &args : bad) {
        std::string out, err;
        EXPECT_EQ(2, Scanid(args, &out, "", "", &err)) << ::testing::PrintToString(args);
        EXPECT_EQ(out, "") << ::testing::PrintToString(args);
        EXPECT_FALSE(err.empty()) << ::testing::PrintToString(args);
    }
    for (const char *command : {"read", "watch", "version"}) {
        std::string out;
        EXPECT_EQ(0, Scanid({command, "--help"}, &out));
        EXPECT_EQ(out.rfind(std::string("usage: scanid ") + command, 0), 0u) << out;
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

// The reader object behind the exported functions: settings, callback,
// entry of a read cycle and the end-of-cycle release.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "CardMain.h"
#include "SimPhoto.h"
#include "test_support.h"
#include "wlt.h"

// g_IdCardMain is built while the library loads, where an exception could
// only end the program: building it and its links must not be able to throw.
static_assert(std::is_nothrow_default_constructible_v<CardMain>);
static_assert(std::is_nothrow_default_constructible_v<LinkUsb>);
static_assert(std::is_nothrow_default_constructible_v<LinkSerial>);
static_assert(std::is_nothrow_default_constructible_v<LinkSocket>);

namespace {

std::vector<std::pair<int, std::string>> g_events;

void Record(int kind, void *message)
{
    g_events.emplace_back(kind, static_cast<const char *>(message));
}

void Other(int, void *) {}

using testsupport::OpenDescriptors;

bool IsOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }

class ReaderObject : public ::testing::Test {
protected:
    void SetUp() override { g_events.clear(); }
    CardMain reader;
};

} // namespace

TEST_F(ReaderObject, StartsWithNothingOpenAndNoSettings)
{
    EXPECT_EQ(reader.m_pReadInfoCB, nullptr);
    EXPECT_EQ(reader.m_usb.pDevHandle, nullptr);
    EXPECT_EQ(reader.m_usb.pUsbContext, nullptr);
    EXPECT_EQ(reader.m_serial.iSerialFd, -1);
    EXPECT_EQ(reader.m_socket.iSocketFd, -1);
    EXPECT_EQ(std::string(reader.m_szServerIp), "");
    EXPECT_EQ(reader.m_iServerPort, 0);
    EXPECT_EQ(std::string(reader.m_szComPath), "");
    EXPECT_EQ(reader.m_iBaudRate, 0);
}

TEST_F(ReaderObject, ServerSettingIsCopiedWholeOrRefused)
{
    EXPECT_EQ(reader.setServiceinfo(nullptr, 1), -101);
    EXPECT_EQ(reader.m_iServerPort, 0);

    std::string longest(31, '9');
    ASSERT_EQ(reader.setServiceinfo(longest.c_str(), 19904), 0);
    EXPECT_EQ(std::string(reader.m_szServerIp), longest);
    EXPECT_EQ(reader.m_iServerPort, 19904);

    std::string tooLong(32, '8');
    EXPECT_EQ(reader.setServiceinfo(tooLong.c_str(), 1), -101);
    EXPECT_EQ(std::string(reader.m_szServerIp), longest) << "a refused setting must change nothing";
    EXPECT_EQ(reader.m_iServerPort, 19904);
    EXPECT_EQ(reader.setServiceinfo(nullptr, 2), -101);
    EXPECT_EQ(reader.m_iServerPort, 19904);

    ASSERT_EQ(reader.setServiceinfo("10.0.0.1", 7), 0);
    char expected[32] = "10.0.0.1";
    EXPECT_EQ(0, memcmp(reader.m_szServerIp, expected, sizeof expected)) << "trace of the longer address left";
    EXPECT_EQ(reader.m_iServerPort, 7);
}

TEST_F(ReaderObject, SerialSettingIsCopiedWholeOrRefused)
{
    std::string longest = "/dev/" + std::string(250, 't');
    ASSERT_EQ(reader.setComInfo(longest.c_str(), 115200), 0);
    EXPECT_EQ(std::string(reader.m_szComPath), longest);
    EXPECT_EQ(reader.m_iBaudRate, 115200);

    std::string tooLong(256, 'x');
    EXPECT_EQ(reader.setComInfo(tooLong.c_str(), 9600), -101);
    EXPECT_EQ(reader.setComInfo(nullptr, 9600), -101);
    EXPECT_EQ(std::string(reader.m_szComPath), longest);
    EXPECT_EQ(reader.m_iBaudRate, 115200);

    ASSERT_EQ(reader.setComInfo("/dev/ttyS1", 9600), 0);
    char expected[256] = "/dev/ttyS1";
    EXPECT_EQ(0, memcmp(reader.m_szComPath, expected, sizeof expected));
}

TEST_F(ReaderObject, CallbackRegistrationKeepsPreviousOnNull)
{
    reader.IDCARD_SetReadInfoCB(Record);
    reader.IDCARD_SetReadInfoCB(nullptr);
    EXPECT_EQ(reader.m_pReadInfoCB, &Record);
    reader.Report(SCANID_EVENT_CARD, "find ID card");
    ASSERT_EQ(g_events.size(), 1u);
    EXPECT_EQ(g_events[0], std::make_pair(1, std::string("find ID card")));

    reader.IDCARD_SetReadInfoCB(Other);
    reader.Report(SCANID_EVENT_PROGRESS, "x");
    EXPECT_EQ(g_events.size(), 1u) << "the last registration holds";
}

TEST_F(ReaderObject, ReportsWithoutCallbackAreSkipped)
{
    reader.Report(SCANID_EVENT_PROGRESS, "disconnect usb");
    reader.ReportF(SCANID_EVENT_PROGRESS, "[ReveServerSize:] %d", 5);
    reader.m_serial.iSerialFd = open("/dev/null", O_RDWR);
    ASSERT_GE(reader.m_serial.iSerialFd, 0);
    EXPECT_EQ(reader.ScanIdCompleted(7), 7);
    EXPECT_EQ(reader.m_serial.iSerialFd, -1);
}

TEST_F(ReaderObject, FormattedTextsFitTheEventBuffer)
{
    reader.IDCARD_SetReadInfoCB(Record);
    std::string address(31, '1');
    reader.ReportF(SCANID_EVENT_PROGRESS, "ConncetServer Success,serverip :%s,port:%d", address.c_str(), 19977);
    ASSERT_EQ(g_events.size(), 1u);
    EXPECT_EQ(g_events[0].second, "ConncetServer Success,serverip :" + address + ",port:19977");

    std::string huge(500, 'z');
    reader.ReportF(SCANID_EVENT_PROGRESS, "%s", huge.c_str());
    ASSERT_EQ(g_events.size(), 2u);
    EXPECT_EQ(g_events[1].second, std::string(kEventTextSize - 1, 'z'));
}

TEST_F(ReaderObject, InvalidTransportReturnsZeroAndTouchesNothing)
{
    reader.IDCARD_SetReadInfoCB(Record);
    reader.m_iReadCount = 9;
    int fds = OpenDescriptors();
    for (int type : {2, -1, 100, 0x7FFFFFFF}) {
        idInfo rec;
        memset(&rec, 0x5A, sizeof rec);
        EXPECT_EQ(reader.IScanIdInfo(&rec, type), 0) << type;
        EXPECT_EQ(reader.m_cardType, type);
        EXPECT_EQ(reader.m_iReadCount, 0);
        idInfo pattern;
        memset(&pattern, 0x5A, sizeof pattern);
        EXPECT_EQ(0, memcmp(&rec, &pattern, sizeof rec)) << "record touched for type " << type;
    }
    EXPECT_TRUE(g_events.empty());
    EXPECT_EQ(OpenDescriptors(), fds);
    EXPECT_EQ(reader.m_usb.pUsbContext, nullptr);
    EXPECT_EQ(reader.m_serial.iSerialFd, -1);
    EXPECT_EQ(reader.m_socket.iSocketFd, -1);
}

TEST_F(ReaderObject, ReleaseWithNothingOpenStillDropsTheServer)
{
    reader.IDCARD_SetReadInfoCB(Record);
    int sock = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(sock, 0);
    reader.m_socket.iSocketFd = sock;
    EXPECT_EQ(reader.ScanIdCompleted(42), 42);
    EXPECT_EQ(reader.ScanIdCompleted(-1), -1);
    EXPECT_TRUE(g_events.empty());
    EXPECT_FALSE(IsOpen(sock));
    EXPECT_EQ(reader.m_socket.iSocketFd, -1);
}

TEST_F(ReaderObject, ReleaseClosesSerialAndLeavesUsbAlone)
{
    reader.IDCARD_SetReadInfoCB(Record);
    int fd = open("/dev/null", O_RDWR);
    ASSERT_GE(fd, 0);
    reader.m_serial.iSerialFd = fd;
    // Never dereferenced: the serial path must not look at the USB link.
    auto *marker = reinterpret_cast<libusb_device_handle *>(0x10);
    reader.m_usb.pDevHandle = marker;

    EXPECT_EQ(reader.ScanIdCompleted(2), 2);
    EXPECT_EQ(reader.m_usb.pDevHandle, marker);
    reader.m_usb.pDevHandle = nullptr;

    ASSERT_EQ(g_events.size(), 1u);
    EXPECT_EQ(g_events[0], std::make_pair(3, std::string("disconnect serial")));
    EXPECT_FALSE(IsOpen(fd));
    EXPECT_EQ(reader.m_serial.iSerialFd, -1);

    reader.ScanIdCompleted(2);
    EXPECT_EQ(g_events.size(), 1u) << "a second release must report nothing";
}

TEST_F(ReaderObject, ReleaseClosesSerialPortOnDescriptorZero)
{
    // A daemon with stdin closed gets its port as descriptor 0.
    int savedStdin = dup(0);
    ASSERT_GE(savedStdin, 0);
    int null = open("/dev/null", O_RDWR);
    ASSERT_GE(null, 0);
    ASSERT_EQ(dup2(null, 0), 0);
    close(null);

    reader.IDCARD_SetReadInfoCB(Record);
    reader.m_serial.iSerialFd = 0;
    reader.ScanIdCompleted(1);
    bool stillOpen = IsOpen(0);

    dup2(savedStdin, 0);
    close(savedStdin);
    EXPECT_FALSE(stillOpen);
    EXPECT_EQ(reader.m_serial.iSerialFd, -1);
    ASSERT_EQ(g_events.size(), 1u);
    EXPECT_EQ(g_events[0].second, "disconnect serial");
}

TEST_F(ReaderObject, ReleaseEndsUsbContext)
{
    libusb_context *ctx = nullptr;
    if (libusb_init(&ctx) != 0)
        GTEST_SKIP() << "libusb cannot start here";
    reader.IDCARD_SetReadInfoCB(Record);
    reader.m_usb.pUsbContext = ctx;
    EXPECT_EQ(reader.ScanIdCompleted(5), 5);
    EXPECT_EQ(reader.m_usb.pUsbContext, nullptr);
    EXPECT_TRUE(g_events.empty()) << "no device was open, so nothing to report";
}

TEST_F(ReaderObject, DestructionClosesWhatTheLinksHold)
{
    int serial = open("/dev/null", O_RDWR);
    int sock = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(serial, 0);
    ASSERT_GE(sock, 0);
    {
        CardMain scoped;
        scoped.m_serial.iSerialFd = serial;
        scoped.m_socket.iSocketFd = sock;
    }
    EXPECT_FALSE(IsOpen(serial));
    EXPECT_FALSE(IsOpen(sock));
}

// The exported functions act on the one global reader object.
TEST(ExportedInterface, ForwardsToTheGlobalReader)
{
    EXPECT_EQ(g_OnecOpen, 0);
    ASSERT_EQ(SetServiceInfo("127.0.0.1", 19904), 0);
    EXPECT_EQ(std::string(g_IdCardMain.m_szServerIp), "127.0.0.1");
    EXPECT_EQ(g_IdCardMain.m_iServerPort, 19904);
    EXPECT_EQ(SetServiceInfo(nullptr, 1), SCANID_ERR_SETTING);
    EXPECT_EQ(g_IdCardMain.m_iServerPort, 19904);

    ASSERT_EQ(SetComInfo("/dev/ttyUSB0", 115200), 0);
    EXPECT_EQ(std::string(g_IdCardMain.m_szComPath), "/dev/ttyUSB0");
    EXPECT_EQ(g_IdCardMain.m_iBaudRate, 115200);

    g_events.clear();
    CARD_SetReadInfoCB(Record);
    EXPECT_EQ(g_IdCardMain.m_pReadInfoCB, &Record);
    idInfo rec = {};
    EXPECT_EQ(ReadIDCardLib(&rec, static_cast<Cardtype>(2)), SCANID_ERR_INVALID);
    EXPECT_TRUE(g_events.empty());
}

TEST(ExportedInterface, SaveImagePassesThroughToThePhotoDecoder)
{
    char dir[] = "/tmp/scanid-saveimage-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string path = std::string(dir) + "/photo.bmp";

    idInfo rec = {};
    sim::MakePortrait(3, rec.photo);
    EXPECT_EQ(SaveImage(rec.photo, path.c_str()), WLT_OK);
    EXPECT_EQ(access(path.c_str(), R_OK), 0);
    unlink(path.c_str());

    memset(rec.photo, 0x33, sizeof rec.photo);
    EXPECT_EQ(SaveImage(rec.photo, path.c_str()), WLT_ERR_FORMAT);
    EXPECT_NE(access(path.c_str(), F_OK), 0);
    rmdir(dir);
}

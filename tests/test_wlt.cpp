#include <gtest/gtest.h>

#include <sys/resource.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "SimPhoto.h"
#include "wlt.h"

namespace fs = std::filesystem;

namespace {

using Image = uint8_t[sim::kPhotoHeight][sim::kPhotoWidth];
// Heap buffers of exactly one photo, so the sanitizer sees any over-read.
using Photo = std::vector<uint8_t>;

constexpr size_t kRowBytes = 308;
constexpr size_t kBmpBytes = 54 + kRowBytes * WLT_IMAGE_HEIGHT;

uint32_t Le(const std::vector<uint8_t> &b, size_t at, int n)
{
    uint32_t v = 0;
    for (int i = n - 1; i >= 0; --i)
        v = (v << 8) | b.at(at + i);
    return v;
}

// Bit-by-bit reference, checked against the published check value below.
uint16_t ReferenceCrc(const uint8_t *p, size_t n)
{
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < n * 8; ++i) {
        const bool top = ((crc >> 15) ^ (p[i / 8] >> (7 - i % 8))) & 1;
        crc = static_cast<uint16_t>((crc << 1) ^ (top ? 0x1021 : 0));
    }
    return crc;
}

Photo Encode(const Image img)
{
    Photo p(WLT_PHOTO_BYTES, 0xAA);
    sim::EncodePhoto(img, p.data());
    return p;
}

Photo Portrait(uint32_t seed)
{
    Photo p(WLT_PHOTO_BYTES);
    sim::MakePortrait(seed, p.data());
    return p;
}

class WltFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/wlt_test_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string PathOf(const std::string &name) const { return (dir_ / name).string(); }
    bool DirEmpty() const { return fs::is_empty(dir_); }

    std::vector<uint8_t> DecodeToBytes(const Photo &p)
    {
        const std::string out = PathOf("out.bmp");
        EXPECT_EQ(saveWlt2Bmp(p.data(), out.c_str()), WLT_OK);
        std::ifstream in(out, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }

    // Every stored pixel must be the source nibble * 17, rows bottom-up, padding zero.
    static void ExpectPixels(const std::vector<uint8_t> &bmp, const Image img)
    {
        ASSERT_EQ(bmp.size(), kBmpBytes);
        for (int row = 0; row < WLT_IMAGE_HEIGHT; ++row) {
            const size_t base = 54 + row * kRowBytes;
            const int sy = (WLT_IMAGE_HEIGHT - 1 - row) / WLT_SCALE;
            for (int x = 0; x < WLT_IMAGE_WIDTH; ++x)
                for (int c = 0; c < 3; ++c)
                    ASSERT_EQ(bmp[base + 3 * x + c], (img[sy][x / WLT_SCALE] & 15) * 17)
                        << "row " << row << " x " << x;
            ASSERT_EQ(bmp[base + 306], 0);
            ASSERT_EQ(bmp[base + 307], 0);
        }
    }

    fs::path dir_;
};

TEST_F(WltFiles, PatternRoundTripGivesCorrectBmp)
{
    Image img;
    for (int y = 0; y < sim::kPhotoHeight; ++y)
        for (int x = 0; x < sim::kPhotoWidth; ++x)
            img[y][x] = y == 0 ? 0 : (x * 3 + y * 5 + x * y) % 16;
    const auto bmp = DecodeToBytes(Encode(img));
    ASSERT_EQ(bmp.size(), kBmpBytes);
    EXPECT_EQ(std::string(bmp.begin(), bmp.begin() + 2), "BM");
    // {offset, size, value}; a positive height means bottom-up rows.
    const uint32_t fields[][3] = {{2, 4, kBmpBytes}, {10, 4, 54},  {14, 4, 40},
                                  {18, 4, 102},      {22, 4, 126}, {26, 2, 1},
                                  {28, 2, 24},       {30, 4, 0},   {34, 4, kRowBytes * 126}};
    for (const auto &f : fields)
        EXPECT_EQ(Le(bmp, f[0], f[1]), f[2]) << "offset " << f[0];
    ExpectPixels(bmp, img);
    EXPECT_EQ(bmp[54 + 125 * kRowBytes], 0); // black top source row is the last stored
}

TEST_F(WltFiles, PortraitDecodesAndReplacesExistingFile)
{
    std::ofstream(PathOf("out.bmp")) << std::string(kBmpBytes * 2, 'x');
    const Photo original = Portrait(42);
    Photo p = original;
    std::fill(p.begin() + 730, p.end(), 0x5C); // the filler is not checked
    Image img;
    ASSERT_TRUE(sim::DecodePhotoPixels(p.data(), img));
    ExpectPixels(DecodeToBytes(p), img);
    EXPECT_EQ(Encode(img), original);
}

TEST(WltEncode, LayoutHeaderCrcAndPadding)
{
    const uint8_t check[] = "123456789";
    ASSERT_EQ(ReferenceCrc(check, 9), 0x29B1);
    Image img{};
    img[0][0] = 0xA;
    img[0][1] = 0x5;
    img[41][33] = 0x7;
    const Photo p = Encode(img);
    const uint16_t crc = ReferenceCrc(&p[16], 714);
    const Photo header = {'S', 'P', 'H', '1', 34, 42, 3, 4, uint8_t(crc & 0xFF), uint8_t(crc >> 8),
                          0,   0,   0,   0,   0,  0};
    EXPECT_EQ(Photo(p.begin(), p.begin() + 16), header);
    EXPECT_EQ(p[16], 0xA5);
    EXPECT_EQ(p[729], 0x07);
    // Filler behind the pixels, different per photo, so a lost tail shows.
    for (size_t i = 730; i < p.size(); ++i)
        ASSERT_EQ(p[i], uint8_t(crc + i * 131)) << "filler byte " << i;
}

TEST(WltEncode, MasksValuesAbove15)
{
    Image low, high;
    for (int y = 0; y < sim::kPhotoHeight; ++y)
        for (int x = 0; x < sim::kPhotoWidth; ++x) {
            low[y][x] = (x + y) % 16;
            high[y][x] = static_cast<uint8_t>(low[y][x] | ((x * 7 + y) % 16) << 4);
        }
    EXPECT_EQ(Encode(high), Encode(low));
}

TEST_F(WltFiles, RejectsForeignDataWithoutCreatingFile)
{
    const Photo good = Portrait(7);
    std::vector<std::pair<std::string, std::function<void(Photo &)>>> cases = {
        {"magic", [](Photo &p) { p[3] = '2'; }},
        {"width", [](Photo &p) { p[4] = 35; }},
        {"height", [](Photo &p) { p[5] = 41; }},
        {"scale", [](Photo &p) { p[6] = 2; }},
        {"bpp", [](Photo &p) { p[7] = 8; }},
        {"other size, same output", [](Photo &p) { p[4] = 51, p[5] = 63, p[6] = 2; }},
        {"pixel byte", [](Photo &p) { p[400] ^= 0x10; }},
        {"last pixel byte", [](Photo &p) { p[729] ^= 0x01; }},
        {"crc big-endian", [](Photo &p) { std::swap(p[8], p[9]); }},
        {"all zero", [](Photo &p) { std::fill(p.begin(), p.end(), 0); }},
    };
    for (int i = 10; i < 16; ++i)
        cases.push_back({"reserved " + std::to_string(i), [i](Photo &p) { p[i] = 1; }});
    std::mt19937 rng(1234);
    for (int n = 0; n < 5; ++n)
        cases.push_back({"noise", [&rng](Photo &p) {
                             for (auto &b : p)
                                 b = rng() & 0xFF;
                         }});

    ASSERT_NE(good[8], good[9]) << "seed must give a CRC whose byte order matters";
    const std::string out = PathOf("out.bmp");
    for (auto &[name, mutate] : cases) {
        Photo p = good;
        mutate(p);
        Image img;
        EXPECT_EQ(saveWlt2Bmp(p.data(), out.c_str()), WLT_ERR_FORMAT) << name;
        EXPECT_FALSE(sim::DecodePhotoPixels(p.data(), img)) << name;
        EXPECT_TRUE(DirEmpty()) << name;
    }
}

TEST_F(WltFiles, RejectsBadArgumentsAndUnwritablePaths)
{
    const Photo p = Portrait(3);
    EXPECT_EQ(saveWlt2Bmp(nullptr, PathOf("a.bmp").c_str()), WLT_ERR_ARGUMENT);
    EXPECT_EQ(saveWlt2Bmp(p.data(), nullptr), WLT_ERR_ARGUMENT);
    EXPECT_EQ(saveWlt2Bmp(p.data(), ""), WLT_ERR_ARGUMENT);
    EXPECT_EQ(saveWlt2Bmp(p.data(), PathOf("missing/a.bmp").c_str()), WLT_ERR_FILE);
    EXPECT_TRUE(DirEmpty());

    fs::create_directory(PathOf("sub"));
    EXPECT_EQ(saveWlt2Bmp(p.data(), PathOf("sub").c_str()), WLT_ERR_FILE);
    EXPECT_TRUE(fs::is_directory(PathOf("sub")));
    EXPECT_TRUE(fs::is_empty(PathOf("sub")));
}

// Runs in a child: a file size limit makes the write fail part way.
[[noreturn]] void SaveUnderSizeLimit(const Photo &p, const std::string &out)
{
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit lim{1000, 1000};
    setrlimit(RLIMIT_FSIZE, &lim);
    const int rc = saveWlt2Bmp(p.data(), out.c_str());
    std::exit(rc == WLT_ERR_FILE && !fs::exists(out) ? 0 : 1);
}

TEST_F(WltFiles, FailedWriteRemovesPartialFile)
{
    EXPECT_EXIT(SaveUnderSizeLimit(Portrait(3), PathOf("big.bmp")), ::testing::ExitedWithCode(0),
                "");
}

TEST(WltPortrait, SeedsGiveDistinctStablePortraits)
{
    std::vector<Photo> seen;
    for (uint32_t seed = 0; seed < 64; ++seed) {
        const Photo p = Portrait(seed);
        EXPECT_EQ(Portrait(seed), p) << seed;
        for (size_t i = 0; i < seen.size(); ++i)
            EXPECT_NE(seen[i], p) << i << " vs " << seed;
        seen.push_back(p);

        // Light background, dark hair on the crown, lighter face, dark clothes at the bottom.
        Image img;
        ASSERT_TRUE(sim::DecodePhotoPixels(p.data(), img)) << seed;
        EXPECT_GE(img[0][0], 12) << seed;
        EXPECT_LT(img[6][17] + 3, img[20][12]) << seed; // cheek
        EXPECT_LT(img[41][4] + 3, img[0][0]) << seed;
    }
}

} // namespace

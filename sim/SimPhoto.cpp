#include "SimPhoto.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace sim {
namespace {

static_assert(kPhotoWidth * WLT_SCALE == WLT_IMAGE_WIDTH, "photo width must scale to the image");
static_assert(kPhotoHeight * WLT_SCALE == WLT_IMAGE_HEIGHT, "photo height must scale to the image");

using Grey = uint8_t[kPhotoHeight][kPhotoWidth];

uint16_t Crc16CcittFalse(const uint8_t *data, size_t len)
{
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < len; ++i) {
        crc ^= static_cast<uint16_t>(data[i] << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021)
                                 : static_cast<uint16_t>(crc << 1);
    }
    return crc;
}

// Small stateless mixer: each feature draws from its own stream, so adding a
// feature later does not reshuffle the others for existing seeds.
class Dice {
public:
    explicit Dice(uint32_t seed) : seed_(seed) {}
    int Pick(uint32_t feature, int lo, int hi) const
    {
        uint32_t x = seed_ * 0x9E3779B9u ^ (feature + 1) * 0x85EBCA6Bu;
        x ^= x >> 16;
        x *= 0x7FEB352Du;
        x ^= x >> 15;
        x *= 0x846CA68Bu;
        x ^= x >> 16;
        return lo + static_cast<int>(x % static_cast<uint32_t>(hi - lo + 1));
    }

private:
    uint32_t seed_;
};

struct Look {
    int background, skin, hair, cloth;
    int hairStyle; // 0 short, 1 ear length, 2 shoulder length
    double faceRx, faceRy, faceCy;
    double fringe; // how far the hairline reaches down the forehead
    double eyeGap; // half the distance between the eyes
    double mouthHalf;
    bool smile, shirtCollar;
};

Look RollLook(uint32_t seed)
{
    Dice d(seed);
    Look k;
    k.background = d.Pick(0, 12, 15);
    k.skin = d.Pick(1, 9, 11);
    k.hair = d.Pick(2, 0, 5);
    k.cloth = d.Pick(3, 2, 8);
    k.hairStyle = d.Pick(4, 0, 2);
    k.faceRx = 7.0 + 0.5 * d.Pick(5, 0, 4);
    k.faceRy = 10.5 + 0.5 * d.Pick(6, 0, 3);
    k.faceCy = 17.5 + 0.5 * d.Pick(7, 0, 2);
    k.fringe = 0.5 * d.Pick(8, 0, 3);
    k.eyeGap = 3.5 + 0.5 * d.Pick(9, 0, 3);
    k.mouthHalf = 2.0 + 0.5 * d.Pick(10, 0, 3);
    k.smile = d.Pick(11, 0, 1) == 1;
    k.shirtCollar = d.Pick(12, 0, 1) == 1;
    return k;
}

double Sq(double v)
{
    return v * v;
}

double Cube(double v)
{
    return v * v * v;
}

void Draw(const Look &k, Grey g)
{
    const double cx = kPhotoWidth / 2.0;
    const double eyeY = k.faceCy - 1.0;
    const double noseY = eyeY + 4.0;
    const double mouthY = noseY + 3.0;
    const double chinY = k.faceCy + k.faceRy;

    for (int y = 0; y < kPhotoHeight; ++y) {
        for (int x = 0; x < kPhotoWidth; ++x) {
            // Sample at the pixel centre so the picture is mirror-symmetric.
            const double px = x + 0.5, py = y + 0.5;
            const double dx = px - cx, adx = std::fabs(dx);
            int v = k.background;

            // Jaw narrows towards the chin.
            const double t = (py - k.faceCy) / k.faceRy;
            const double rx = k.faceRx * (t > 0 ? 1.0 - 0.22 * t * t : 1.0);
            const double faceD = Sq(dx / rx) + Sq(t);
            const bool inFace = faceD <= 1.0;

            const double hairRx = k.faceRx + 1.8, hairRy = k.faceRy * 0.75 + 1.5;
            const double hairCy = k.faceCy - k.faceRy * 0.3;
            // A squarer outline than the face keeps the crown from ending in a point; plain
            // products rather than pow() give the same pixels on every host.
            const bool inHairCap =
                Cube(adx / hairRx) + Cube(std::fabs(py - hairCy) / hairRy) <= 1.0;
            const double hairBottom = k.hairStyle == 0 ? 0 : k.hairStyle == 1 ? eyeY + 5 : 34.0;
            const bool inHairBack = k.hairStyle > 0 && py >= hairCy && py <= hairBottom &&
                                    adx <= hairRx - (k.hairStyle == 1 ? 0.4 : 0.0);

            const double bodyD = Sq(dx / 18.0) + Sq((py - 46.0) / 13.5);
            const bool inBody = bodyD <= 1.0;
            const bool inNeck = adx <= 3.2 && py >= k.faceCy && py <= 36.0;
            // Open neckline: a V of skin below the neck.
            const double vHalf = 3.2 - (py - 33.0) * 0.6;
            const bool inVee = py >= 33.0 && adx <= vHalf;
            const bool inCollar =
                k.shirtCollar && py >= 32.0 && py <= 38.0 && adx <= vHalf + 2.5 && !inVee;
            const bool inEar =
                Sq((adx - k.faceRx - 0.2) / 1.3) + Sq((py - eyeY - 1.5) / 2.2) <= 1.0;

            if (inHairBack)
                v = k.hair;
            if (inBody)
                v = k.cloth - (adx > 13 ? 1 : 0);
            if (inCollar)
                v = 14;
            if (inNeck || inVee)
                v = py < chinY + 1.5 ? k.skin - 2 : k.skin - 1;
            if (inEar && k.hairStyle != 2) // long hair covers the ears
                v = k.skin - 1;
            if (inHairCap)
                v = k.hair;
            if (inFace) {
                const double hairline = hairCy - hairRy * 0.15 + k.fringe + 0.05 * dx * dx;
                if (py < hairline) {
                    v = k.hair;
                } else {
                    // A darker rim keeps the face apart from a background of similar shade.
                    v = faceD > 0.72 ? k.skin - 1 : k.skin;
                }
            }
            g[y][x] = static_cast<uint8_t>(std::clamp(v, 0, 15));
        }
    }

    auto put = [&](double fx, double fy, int v) {
        const int x = static_cast<int>(std::floor(fx)), y = static_cast<int>(std::floor(fy));
        if (x >= 0 && x < kPhotoWidth && y >= 0 && y < kPhotoHeight)
            g[y][x] = static_cast<uint8_t>(std::clamp(v, 0, 15));
    };

    for (int side = -1; side <= 1; side += 2) {
        const double ex = cx + side * k.eyeGap;
        // Whites on both sides make a one-pixel pupil read as an eye.
        put(ex, eyeY, 1);
        put(ex - 1.0, eyeY, 13);
        put(ex + 1.0, eyeY, 13);
        // Brows stay dark even for fair hair, or they vanish against the skin.
        for (double bx = -1.0; bx <= 1.0; bx += 1.0)
            put(ex + bx, eyeY - 2.0, std::min(k.hair, 4));
    }

    // Side shadow and nostrils suggest a nose without outlining it.
    for (double ny = eyeY + 1.0; ny < noseY; ny += 1.0)
        put(cx - 1.0, ny, k.skin - 1);
    put(cx - 1.5, noseY, k.skin - 3);
    put(cx + 1.5, noseY, k.skin - 3);
    put(cx - 0.5, noseY, k.skin - 1);
    put(cx + 0.5, noseY, k.skin - 1);

    // Mouth, corners lifted for a smile.
    for (double mx = -k.mouthHalf + 0.5; mx < k.mouthHalf; mx += 1.0) {
        const bool corner = std::fabs(mx) > k.mouthHalf - 1.0;
        put(cx + mx, mouthY - (k.smile && corner ? 1.0 : 0.0), 4);
    }
    for (double mx = -k.mouthHalf + 1.5; mx < k.mouthHalf - 1.0; mx += 1.0)
        put(cx + mx, mouthY + 1.0, k.skin - 2);
}

} // namespace

void EncodePhoto(const uint8_t grey[kPhotoHeight][kPhotoWidth], uint8_t out[kPhotoBytes])
{
    std::memset(out, 0, kPhotoBytes);
    std::memcpy(out, WLT_MAGIC, WLT_MAGIC_BYTES); // NOLINT(bugprone-not-null-terminated-result): bytes, not text
    out[4] = kPhotoWidth;
    out[5] = kPhotoHeight;
    out[6] = WLT_SCALE;
    out[7] = WLT_BITS_PER_PIXEL;
    uint8_t *px = out + WLT_PIXEL_OFFSET;
    for (int y = 0; y < kPhotoHeight; ++y)
        for (int x = 0; x < kPhotoWidth; x += 2)
            px[(y * kPhotoWidth + x) / 2] =
                static_cast<uint8_t>(((grey[y][x] & 0x0F) << 4) | (grey[y][x + 1] & 0x0F));
    const uint16_t crc = Crc16CcittFalse(px, WLT_PIXEL_BYTES);
    out[WLT_CRC_OFFSET] = static_cast<uint8_t>(crc & 0xFF);
    out[WLT_CRC_OFFSET + 1] = static_cast<uint8_t>(crc >> 8);
    // A real compressed photo fills all its bytes; filler (not checked by the
    // decoder) behind the pixels makes any byte lost from the photo area show
    // in a record.
    for (int i = WLT_PIXEL_OFFSET + WLT_PIXEL_BYTES; i < kPhotoBytes; ++i)
        out[i] = static_cast<uint8_t>(crc + i * 131);
}

void MakePortrait(uint32_t seed, uint8_t out[kPhotoBytes])
{
    Grey g;
    Draw(RollLook(seed), g);
    EncodePhoto(g, out);
}

bool DecodePhotoPixels(const uint8_t in[kPhotoBytes], uint8_t grey[kPhotoHeight][kPhotoWidth])
{
    if (std::memcmp(in, WLT_MAGIC, WLT_MAGIC_BYTES) != 0)
        return false;
    if (in[4] != kPhotoWidth || in[5] != kPhotoHeight || in[6] != WLT_SCALE ||
        in[7] != WLT_BITS_PER_PIXEL)
        return false;
    for (int i = WLT_RESERVED_OFFSET; i < WLT_HEADER_BYTES; ++i)
        if (in[i] != 0)
            return false;
    const uint8_t *px = in + WLT_PIXEL_OFFSET;
    const uint16_t stored =
        static_cast<uint16_t>(in[WLT_CRC_OFFSET] | (in[WLT_CRC_OFFSET + 1] << 8));
    if (stored != Crc16CcittFalse(px, WLT_PIXEL_BYTES))
        return false;
    for (int y = 0; y < kPhotoHeight; ++y)
        for (int x = 0; x < kPhotoWidth; ++x) {
            const uint8_t b = px[(y * kPhotoWidth + x) / 2];
            grey[y][x] = (x & 1) ? (b & 0x0F) : (b >> 4);
        }
    return true;
}

} // namespace sim

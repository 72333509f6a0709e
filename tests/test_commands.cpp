// Card detection and IC-card unpacking on module frames.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "CardMain.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes Frame(size_t len, std::initializer_list<std::pair<size_t, unsigned char>> set)
{
    Bytes f(len, 0x5A);
    f[0] = 0xAA;
    for (auto &p : set)
        f[p.first] = p.second;
    return f;
}

int Classify(const Bytes &f) { return ClassifyCardFrame(f.data(), static_cast<int>(f.size())); }

} // namespace

TEST(CardDetection, EachKindNeedsItsBytesAndItsLength)
{
    EXPECT_EQ(Classify(Frame(26, {{2, 0x17}, {3, 0x01}})), 5);
    EXPECT_EQ(Classify(Frame(26, {{2, 0x17}, {3, 0x02}})), 0);
    EXPECT_EQ(Classify(Frame(26, {{2, 0x16}, {3, 0x01}})), 0);
    EXPECT_EQ(Classify(Frame(12, {{3, 0x03}, {4, 0x01}})), 1);
    EXPECT_EQ(Classify(Frame(13, {{3, 0x03}, {4, 0x01}})), 0);
    EXPECT_EQ(Classify(Frame(41, {{3, 0x03}, {4, 0x02}})), 4) << "byte 4 = 2 is a YCT card";
    EXPECT_EQ(Classify(Frame(39, {{3, 0x03}, {4, 0x03}})), 3);
    EXPECT_EQ(Classify(Frame(25, {{3, 0x03}, {4, 0x04}})), 2) << "byte 4 = 4 is kind 2";
    EXPECT_EQ(Classify(Frame(41, {{3, 0x03}, {4, 0x04}})), 0);
    EXPECT_EQ(Classify(Frame(12, {{3, 0x03}, {4, 0x02}})), 0);

    Bytes notAA = Frame(12, {{3, 0x03}, {4, 0x01}});
    notAA[0] = 0xAB;
    EXPECT_EQ(Classify(notAA), 0);
    EXPECT_EQ(ClassifyCardFrame(notAA.data(), 0), 0);
    EXPECT_EQ(ClassifyCardFrame(notAA.data(), -1), 0);
}

TEST(IcCard, UnpacksKindAndData)
{
    CardMain reader;
    Bytes f = {0xAA, 0x00, 0x0B, 0x03, 0x05, 0x00, 0x07, 0x03, 0x11, 0x22, 0x33, 0x9C};
    unsigned char kind = 0;
    unsigned char data[kIcDataBytes];
    memset(data, 0xEE, sizeof data);
    int copied = -1;
    EXPECT_EQ(reader.ICCard(f.data(), &kind, static_cast<int>(f.size()), data, &copied), 1);
    EXPECT_EQ(kind, 0x07);
    EXPECT_EQ(copied, 3);
    EXPECT_EQ(Bytes(data, data + 4), (Bytes{0x11, 0x22, 0x33, 0xEE}));
}

TEST(IcCard, OtherFramesWriteNothing)
{
    CardMain reader;
    unsigned char kind = 0x42;
    unsigned char data[kIcDataBytes];
    memset(data, 0xEE, sizeof data);
    Bytes wrongStart = {0xAB, 0x00, 0x0B, 0x03, 0x05, 0x00, 0x07, 0x03, 0x11, 0x22, 0x33, 0x00};
    Bytes wrongType = {0xAA, 0x00, 0x0B, 0x04, 0x05, 0x00, 0x07, 0x03, 0x11, 0x22, 0x33, 0x00};
    Bytes tooShort = {0xAA, 0x00, 0x0B, 0x03, 0x05, 0x00, 0x07};
    for (const Bytes &f : {wrongStart, wrongType, tooShort}) {
        Bytes padded = f;
        padded.resize(32, 0); // the cycle's buffer is zeroed beyond what arrived
        EXPECT_EQ(reader.ICCard(padded.data(), &kind, static_cast<int>(f.size()), data), 0);
    }
    EXPECT_EQ(kind, 0x42);
    EXPECT_EQ(Bytes(data, data + kIcDataBytes), Bytes(kIcDataBytes, 0xEE));
}

TEST(IcCard, AnnouncedLengthNeverOverrunsTheDataArea)
{
    CardMain reader;
    // The answer claims 255 data bytes and really carries 40.
    Bytes f(48, 0x77);
    f[0] = 0xAA;
    f[3] = 0x03;
    f[6] = 0x09;
    f[7] = 0xFF;
    unsigned char area[kIcDataBytes + 8];
    memset(area, 0xEE, sizeof area);
    unsigned char kind = 0;
    int copied = 0;
    EXPECT_EQ(reader.ICCard(f.data(), &kind, static_cast<int>(f.size()), area, &copied), 1);
    EXPECT_EQ(copied, kIcDataBytes);
    EXPECT_EQ(Bytes(area, area + kIcDataBytes), Bytes(kIcDataBytes, 0x77));
    EXPECT_EQ(Bytes(area + kIcDataBytes, area + sizeof area), Bytes(8, 0xEE));

    // Announcing more than arrived takes only what arrived.
    Bytes shortData = {0xAA, 0x00, 0x0B, 0x03, 0x05, 0x00, 0x07, 0x10, 0x01, 0x02};
    memset(area, 0xEE, sizeof area);
    EXPECT_EQ(reader.ICCard(shortData.data(), &kind, static_cast<int>(shortData.size()), area, &copied), 1);
    EXPECT_EQ(copied, 2);
    EXPECT_EQ(area[2], 0xEE);
}

TEST(Heartbeat, UnknownTransportSendsNothing)
{
    CardMain reader;
    EXPECT_EQ(reader.heartbeat(2), 0);
    EXPECT_EQ(reader.heartbeat(-1), 0);
}

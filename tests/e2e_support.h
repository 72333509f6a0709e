// Shared by the end-to-end tests: event recording, console capture, descriptor
// counting and the record a catalogue card must produce.
#pragma once

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "CardMain.h"
#include "DecodeServer.h"
#include "ReaderModule.h"
#include "SimCards.h"
#include "test_support.h"

namespace e2e {

using Event = std::pair<int, std::string>;

struct Recorder {
    std::mutex mu;
    std::vector<Event> events;
    std::vector<long long> eventMs; // when each came
    int cardFoundCalls = 0;
    size_t eventsAtCardFound = 0;
};

inline Recorder &Rec()
{
    static Recorder r;
    return r;
}

inline void OnEvent(int kind, void *message)
{
    std::lock_guard<std::mutex> lock(Rec().mu);
    Rec().events.emplace_back(kind, static_cast<const char *>(message));
    Rec().eventMs.push_back(testsupport::NowMs());
}

// Milliseconds since the first event whose text starts with `start`, or -1:
// a time limit on part of a cycle, whatever the machine spent before it.
inline long long MsSinceEvent(const std::string &start)
{
    std::lock_guard<std::mutex> lock(Rec().mu);
    for (size_t i = 0; i < Rec().events.size(); i++)
        if (Rec().events[i].second.rfind(start, 0) == 0)
            return testsupport::NowMs() - Rec().eventMs[i];
    return -1;
}

inline void OnCardFound(int kind, void *message)
{
    std::lock_guard<std::mutex> lock(Rec().mu);
    EXPECT_EQ(kind, 1);
    EXPECT_EQ(message, nullptr);
    Rec().cardFoundCalls++;
    Rec().eventsAtCardFound = Rec().events.size();
}

inline void ResetEvents()
{
    std::lock_guard<std::mutex> lock(Rec().mu);
    Rec().events.clear();
    Rec().eventMs.clear();
    Rec().cardFoundCalls = 0;
    Rec().eventsAtCardFound = 0;
}

inline std::vector<Event> Events()
{
    std::lock_guard<std::mutex> lock(Rec().mu);
    return Rec().events;
}

inline std::string Describe(const std::vector<Event> &events)
{
    std::string s;
    for (const auto &e : events)
        s += "  " + std::to_string(e.first) + ": \"" + e.second + "\"\n";
    return s;
}

using testsupport::OpenDescriptors;

using testsupport::DescriptorsBackTo;
using testsupport::ThreadsBackTo;

// A baseline for DescriptorsBackTo, once the count has held still.
inline int SteadyDescriptors() { return testsupport::Steady(OpenDescriptors); }

using StdoutCapture = testsupport::ConsoleCapture;

// The record a read of this catalogue card must leave: the same block
// decoded directly, so any byte lost or changed on the way shows.
inline idInfo ExpectedRecord(const sim::IdCard &card)
{
    unsigned char block[sim::kDecodedBlockBytes];
    sim::BuildDecodedBlock(card.fields, block);
    idInfo rec;
    memset(&rec, 0, sizeof rec);
    FillIdInfo(&rec, block);
    return rec;
}

inline void ExpectSameIdentity(const idInfo &got, const idInfo &want)
{
    EXPECT_STREQ(got.name, want.name);
    EXPECT_STREQ(got.cardno, want.cardno);
    EXPECT_STREQ(got.address, want.address);
    EXPECT_STREQ(got.authority, want.authority);
    EXPECT_EQ(std::string(got.nation, strnlen(got.nation, 4)), std::string(want.nation, strnlen(want.nation, 4)));
    EXPECT_EQ(0, memcmp(&got, &want, offsetof(idInfo, cardkind))) << "record differs from the card's block";
}

// The other document kinds in the catalogue, each with the kind it must
// read as and its number as printed on the card.
struct DocumentCase {
    size_t card;
    int document;
    const char *number;
};

inline std::vector<DocumentCase> DocumentCases()
{
    return {{5, SCANID_DOC_FOREIGN_2017, "USA110179050116"},
            {6, SCANID_DOC_FOREIGN_2023, "911840197905010118"},
            {7, SCANID_DOC_HMT_PERMIT, "810000199003150138"},
            {8, SCANID_DOC_HMT_PERMIT, "830000199211300245"}};
}

inline void PrintTo(const DocumentCase &c, std::ostream *os) { *os << "card " << c.card << ", " << c.number; }

inline std::string DocumentCaseName(const ::testing::TestParamInfo<DocumentCase> &info)
{
    return "Card" + std::to_string(info.param.card);
}

// The extended record a read of this card must give: its block decoded
// directly, so anything lost on the way shows.
inline void ExpectSameDocument(const scanid_record &got, const sim::IdCard &card)
{
    unsigned char block[sim::kDecodedBlockBytes];
    sim::BuildDecodedBlock(card.fields, block);
    scanid_record want;
    memset(&want, 0, sizeof want);
    want.size = sizeof want;
    DecodeDocument(block, &want);
    EXPECT_STREQ(got.name_zh, want.name_zh);
    EXPECT_STREQ(got.name_en, want.name_en);
    EXPECT_STREQ(got.number, want.number);
    EXPECT_EQ(0, memcmp(&got, &want, offsetof(scanid_record, card_kind))) << "record differs from the card's block";
}

// The standby fail-over probes the standby server, then reads the card from
// its next notice: the module repeats it as the probe comes in, not after an
// interval that a slow host could overrun later in the read.
inline void AnnounceAgainOnProbe(sim::DecodeServer &standby, sim::ReaderModule &module)
{
    standby.SetEventSink(
        [](void *user, const char *line) {
            if (strncmp(line, "connection 0 from", 17) == 0)
                static_cast<sim::ReaderModule *>(user)->AnnounceAgain();
        },
        &module);
}

inline long long MsSince(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
}

} // namespace e2e

// Writes the fuzzers' seed corpora, built from the simulators' frames and
// cards, and first plays every cycle script through the world to check it
// ends as meant: a seed that no longer reaches its ending (a changed frame,
// a changed world) fails here instead of quietly fuzzing less.
//
//   make_seeds <dir>   writes <dir>/{decode,frames,usb_cycle,serial_cycle}/
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "CardMain.h"
#include "Protocol.h"
#include "SimCard.h"
#include "SimCards.h"
#include "World.h"

namespace {

using Bytes = std::vector<uint8_t>;
namespace proto = sim::proto;
using fuzzworld::AddEvent;
using fuzzworld::kThenGone;
using fuzzworld::kToServer;
using fuzzworld::kUnasked;

struct Seed {
    std::string name;
    Bytes data;
    int expect;   // result code a cycle script must end with
    const sim::IdCard *card = nullptr;
};

int failures = 0;

Bytes Packet(uint8_t seq, size_t len, uint8_t statusAt5 = 0)
{
    return proto::MakeFrame(proto::kExchangeType, {seq, statusAt5}, len);
}

Bytes Packet34()
{
    Bytes params(proto::kPacket34Len - 5, 0);
    params[13 - 4] = proto::kStatusOk;
    return proto::MakeFrame(proto::kExchangeType, params, proto::kPacket34Len);
}

Bytes Block(const sim::IdCard &card)
{
    Bytes block(sim::kDecodedBlockBytes);
    sim::BuildDecodedBlock(card.fields, block.data());
    return block;
}

// A full identity exchange on either link. The server answers each module
// packet it is sent, and the final answer once the module has said all.
// Over the standby (USB only): the primary refuses, the probe of the standby
// succeeds, and the card is read again and relayed to the standby.
Bytes IdentityScript(const sim::IdCard &card, bool serial, bool cached, bool standby = false)
{
    const uint8_t challenge[proto::kChallengeLen] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    const uint8_t unasked = serial ? kUnasked : 0;
    Bytes s{standby ? uint8_t(fuzzworld::kOptionRefuse | fuzzworld::kOptionStandby) : uint8_t(0)};
    AddEvent(s, 0, proto::HeartbeatAnswer());
    AddEvent(s, unasked, proto::IdCardNotice(card.serial));
    if (standby)
        AddEvent(s, 0, proto::IdCardNotice(card.serial));
    Bytes block = Block(card);
    if (cached) {
        AddEvent(s, kToServer, proto::FinalAnswer(block.data()));
        return s;
    }
    AddEvent(s, kToServer, proto::kReadStart);
    if (!serial)
        AddEvent(s, 0, Bytes{});   // the relay's first look finds the module quiet
    AddEvent(s, 0, Packet(0x00, proto::kPacket12Len));
    AddEvent(s, kToServer, proto::ServerStep(3, challenge));
    AddEvent(s, 0, Packet34());
    AddEvent(s, kToServer, proto::ServerStep(5, challenge));
    AddEvent(s, 0, Packet(0x05, proto::kPacket5Len, proto::kStatusOk));
    for (size_t i = 0; i < proto::kTailCount; i++) {
        uint8_t status = i == 0 ? proto::kStatusOk : 0;
        AddEvent(s, unasked, Packet(static_cast<uint8_t>(6 + i), proto::kSerialTail[i], status));
    }
    AddEvent(s, kToServer | kUnasked | fuzzworld::kAfterModule, proto::FinalAnswer(block.data()));
    return s;
}

std::vector<Seed> CycleSeeds(bool serial)
{
    std::vector<Seed> seeds;
    const auto &cards = sim::IdCards();
    for (size_t i = 0; i < cards.size(); i++) {
        seeds.push_back({"id-" + std::to_string(i), IdentityScript(cards[i], serial, false), SCANID_IDCARD, &cards[i]});
        seeds.push_back({"cached-" + std::to_string(i), IdentityScript(cards[i], serial, true), SCANID_IDCARD, &cards[i]});
    }
    const uint8_t unasked = serial ? kUnasked : 0;
    Bytes hb{0};
    AddEvent(hb, 0, proto::HeartbeatAnswer());
    seeds.push_back({"no-card", hb, SCANID_NO_CARD});

    if (serial) {
        Bytes ic = hb;
        AddEvent(ic, kUnasked, proto::IcCardFrame(0x11, {0xDE, 0xAD, 0xBE, 0xEF}));
        seeds.push_back({"ic-card", ic, SCANID_OTHERCARD});
    } else {
        const sim::CardKind kinds[] = {sim::CardKind::M1, sim::CardKind::Yct, sim::CardKind::Kind3, sim::CardKind::Kind2};
        for (sim::CardKind k : kinds) {
            Bytes other = hb;
            AddEvent(other, 0, sim::OtherCardAnnouncement(k));
            seeds.push_back({"other-" + std::to_string(static_cast<int>(k)), other, SCANID_OTHERCARD});
        }
        Bytes silent{0};
        seeds.push_back({"no-heartbeat", silent, SCANID_ERR_HEARTBEAT});
        Bytes unplug{0};
        AddEvent(unplug, kThenGone, proto::HeartbeatAnswer());
        seeds.push_back({"unplugged", unplug, SCANID_NO_CARD});
    }

    const sim::IdCard &card = cards[0];
    Bytes failure = hb;
    AddEvent(failure, unasked, proto::IdCardNotice(card.serial));
    AddEvent(failure, kToServer, proto::FailureNotice());
    seeds.push_back({"failure-notice", failure, SCANID_ERR_SERVER_DATA});

    // The program cancels in the middle of an exchange, and before it.
    for (int at : {0, 12}) {
        Bytes cancelled = IdentityScript(card, serial, false);
        cancelled[0] = static_cast<uint8_t>(fuzzworld::kOptionCancel | at << 3);
        seeds.push_back({"cancelled-" + std::to_string(at), cancelled, SCANID_CANCELLED});
    }

    Bytes refused = hb;
    refused[0] = fuzzworld::kOptionRefuse;
    AddEvent(refused, unasked, proto::IdCardNotice(card.serial));
    seeds.push_back({"refused", refused, SCANID_ERR_SERVER_CONNECT});

    if (!serial) {
        seeds.push_back({"standby-id", IdentityScript(cards[1], false, false, true), SCANID_IDCARD, &cards[1]});
        Bytes restart = hb;
        AddEvent(restart, 0, proto::IdCardNotice(card.serial));
        AddEvent(restart, 0, proto::IdCardNotice(card.serial));
        seeds.push_back({"restart-notice", restart, SCANID_ERR_MODULE});
        Bytes error = hb;
        AddEvent(error, 0, proto::IdCardNotice(card.serial));
        AddEvent(error, 0, proto::ModuleErrorFrame());
        seeds.push_back({"error-frame", error, SCANID_ERR_MODULE});
    }
    return seeds;
}

void Check(bool ok, const std::string &what)
{
    if (!ok) {
        fprintf(stderr, "seed check failed: %s\n", what.c_str());
        failures++;
    }
}

void Replay(const std::vector<Seed> &seeds, fuzzworld::Link link, const char *tag)
{
    for (const Seed &s : seeds) {
        idInfo info;
        fuzzworld::Outcome out = fuzzworld::RunCycle(link, s.data.data(), s.data.size(), &info);
        Check(out.code == s.expect, std::string(tag) + " " + s.name + ": code " + std::to_string(out.code) +
                                        ", expected " + std::to_string(s.expect));
        if (s.card && out.code == SCANID_IDCARD) {
            idInfo want;
            memset(&want, 0, sizeof want);
            Bytes block = Block(*s.card);
            FillIdInfo(&want, block.data());
            Check(memcmp(&info, &want, offsetof(idInfo, cardkind)) == 0,
                  std::string(tag) + " " + s.name + ": record differs from the card");
        }
    }
}

void Write(const std::string &dir, const std::string &name, const Bytes &data)
{
    mkdir(dir.c_str(), 0755);
    std::string path = dir + "/" + name;
    FILE *f = fopen(path.c_str(), "wb");
    if (!f || fwrite(data.data(), 1, data.size(), f) != data.size()) {
        fprintf(stderr, "cannot write %s\n", path.c_str());
        failures++;
    }
    if (f)
        fclose(f);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s <corpus dir>\n", argv[0]);
        return 2;
    }
    const std::string root = argv[1];
    mkdir(root.c_str(), 0755);
    // The library's console lines are not wanted here.
    if (!freopen("/dev/null", "w", stdout))
        return 1;

    std::vector<Seed> usb = CycleSeeds(false);
    std::vector<Seed> serial = CycleSeeds(true);
    Replay(usb, fuzzworld::Link::Usb, "usb");
    Replay(serial, fuzzworld::Link::Serial, "serial");
    for (const Seed &s : usb)
        Write(root + "/usb_cycle", s.name, s.data);
    for (const Seed &s : serial)
        Write(root + "/serial_cycle", s.name, s.data);

    // Decoding: the catalogue's blocks behind the two control bytes.
    const auto &cards = sim::IdCards();
    for (size_t i = 0; i < cards.size(); i++) {
        Bytes d{40, 1};
        Bytes block = Block(cards[i]);
        d.insert(d.end(), block.begin(), block.end());
        Write(root + "/decode", "card-" + std::to_string(i), d);
    }
    // Frames: every announcement and answer the module makes.
    Write(root + "/frames", "notice", proto::IdCardNotice(cards[0].serial));
    Write(root + "/frames", "ic", proto::IcCardFrame(0x11, {1, 2, 3, 4, 5, 6, 7, 8}));
    Write(root + "/frames", "heartbeat", proto::HeartbeatAnswer());
    const sim::CardKind kinds[] = {sim::CardKind::M1, sim::CardKind::Yct, sim::CardKind::Kind3, sim::CardKind::Kind2};
    for (sim::CardKind k : kinds)
        Write(root + "/frames", "other-" + std::to_string(static_cast<int>(k)), sim::OtherCardAnnouncement(k));

    fprintf(stderr, "%zu usb and %zu serial cycle seeds checked, %d failure(s)\n", usb.size(), serial.size(), failures);
    return failures == 0 ? 0 : 1;
}

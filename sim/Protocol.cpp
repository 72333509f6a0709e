#include "Protocol.h"

#include <algorithm>
#include <cstring>

namespace sim {
namespace proto {

uint8_t CheckByte(const uint8_t *frame, size_t len)
{
    uint8_t x = 0;
    for (size_t i = 1; i + 1 < len; i++)
        x ^= frame[i];
    return x;
}

Bytes MakeFrame(uint8_t type, const Bytes &params, size_t totalLen)
{
    if (totalLen < 5)
        totalLen = 5;
    Bytes f(totalLen, 0);
    f[0] = kStart;
    f[1] = static_cast<uint8_t>((totalLen - 3) >> 8);
    f[2] = static_cast<uint8_t>((totalLen - 3) & 0xFF);
    f[3] = type;
    size_t room = totalLen - 5;
    std::copy_n(params.begin(), std::min(room, params.size()), f.begin() + 4);
    f[totalLen - 1] = CheckByte(f.data(), totalLen);
    return f;
}

const Bytes kLinkCheck = {0xAA, 0x00, 0x03, 0x00, 0x00, 0x03};
const Bytes kHwRestart = {0xAA, 0x00, 0x03, 0xF0, 0x00, 0xF3};
const Bytes kReadStart = {0xAA, 0x00, 0x04, 0x01, 0x00, 0x00, 0x05};

Bytes HeartbeatAnswer() { return MakeFrame(0x00, {0x00, 0x90, 0x00}, 8); }
Bytes RestartAnswer() { return MakeFrame(0xF0, {0x00, 0x90, 0x00}, 8); }

Bytes IdCardNotice(const uint8_t *serial)
{
    Bytes params(kNoticeLen - 5, 0);
    // Bytes 4 and 5 are status; the serial follows.
    std::copy_n(serial, kSerialLen, params.begin() + (kNoticeSerialOffset - 4));
    return MakeFrame(0x01, params, kNoticeLen);
}

size_t OtherCardLength(uint8_t kindByte)
{
    switch (kindByte) {
    case kKindM1: return 12;
    case kKindYct: return 41;
    case kKind3: return 39;
    case kKind2: return 25;
    default: return 0;
    }
}

Bytes OtherCardFrame(uint8_t kindByte, const Bytes &data)
{
    Bytes params(1 + data.size());
    params[0] = kindByte;
    std::copy(data.begin(), data.end(), params.begin() + 1);
    return MakeFrame(0x03, params, OtherCardLength(kindByte));
}

Bytes IcCardFrame(uint8_t kind, const Bytes &data)
{
    size_t n = std::min<size_t>(data.size(), 16);
    Bytes params(4 + n);
    params[0] = kKindIc;
    params[2] = kind;
    params[3] = static_cast<uint8_t>(n);
    std::copy_n(data.begin(), n, params.begin() + 4);
    return MakeFrame(0x03, params, 9 + n);
}

void ChallengeResponse(const uint8_t *challenge, const uint8_t *serial, const uint8_t *nonce,
                       uint8_t *response)
{
    for (size_t i = 0; i < kResponseLen; i++)
        response[i] = static_cast<uint8_t>(challenge[i] ^ challenge[i + 7] ^ serial[i] ^ nonce[i]);
}

Bytes ServerStep(uint8_t step, const uint8_t *challenge)
{
    Bytes params(1 + kChallengeLen);
    params[0] = step;
    std::copy_n(challenge, kChallengeLen, params.begin() + 1);
    return MakeFrame(kExchangeType, params, kServerStepLen);
}

Bytes FinalAnswer(const uint8_t *decodedBlock)
{
    // Header of 19 bytes, then the whole 1280-byte block: the answer fills
    // its length exactly and carries no check byte.
    Bytes f(kFinalAnswerLen, 0);
    f[0] = kStart;
    f[1] = static_cast<uint8_t>((kFinalAnswerLen - 3) >> 8);
    f[2] = static_cast<uint8_t>((kFinalAnswerLen - 3) & 0xFF);
    f[3] = kStatusOk;
    f[4] = kStatusOk;
    std::copy_n(decodedBlock, kFinalAnswerLen - kAnswerHeaderLen, f.begin() + kAnswerHeaderLen);
    return f;
}

Bytes FailureNotice() { return MakeFrame(0xA0, {0x00, 0x6F, 0x00}, kFailureLen); }

Bytes ModuleErrorFrame() { return MakeFrame(kExchangeType, {0x00, 0x69, 0x86}, 8); }

} // namespace proto
} // namespace sim

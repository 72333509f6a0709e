// Conversions between bytes, hex text and integers, and the key packet.
// Internal to libscanid: nothing here is exported. No member throws; the
// library's C interface must never see an exception.
#ifndef SCANID_COMMON_H
#define SCANID_COMMON_H

#include <string>

class CCommon {
public:
    // Most identifier bytes a key packet can carry (256 hex digits).
    static constexpr int kMaxIdBytes = 128;

    // Decimal text of value. text is left as it was if memory runs out.
    static void int2str(const int& value, std::string& text) noexcept;

    // Integer at the start of text (leading white space skipped); 0 if the
    // text does not start with one, INT_MAX / INT_MIN if it is out of range.
    static void str2int(int& value, const std::string& text) noexcept;

    // "AA 00 03 ": upper-case hex, every byte followed by a blank.
    // count <= 0 (or no data) gives an empty text.
    static std::string ByteToString(const unsigned char* data, int start, int count) noexcept;

    // Two upper-case hex digits, high nibble first.
    static std::string ByteToHex(unsigned char b) noexcept;

    // Replaces every occurrence of pattern, left to right; replacement text
    // is never searched again. An empty pattern matches nowhere useful and
    // would never end, so text is left unchanged. Returns a copy of the
    // result (empty if that copy cannot be made).
    static std::string strReplaceString(std::string& text, const std::string& pattern,
                                        const std::string& repl) noexcept;

    // dst[i] = src[start + i] for i < count; returns count. count <= 0
    // copies nothing. The caller keeps both ranges inside their arrays.
    static int subBytes(const unsigned char* src, int start, int count, unsigned char* dst) noexcept;

    // Hex text to integer: "0x..." (more than two characters) by automatic
    // base, anything else as base 16; stops at the first non-digit, 0 if
    // there is none. Out-of-range values saturate at INT_MAX / INT_MIN.
    static int hex2int(const std::string& text) noexcept;

    // Converts the first len characters of id, two hex digits per byte, into
    // the mixed-endian byte order of a GUID: bytes 3,2,1,0, 5,4, 7,6, then
    // 8.. as given. n = len / 2, with len clamped to 0..id.size() and n cut
    // to kMaxIdBytes; an odd last digit is ignored. The first eight output
    // bytes are always written (zeros past the identifier), so out must
    // hold max(n, 8) bytes. Returns n (0 if out is null).
    static int GuidToBytearry(std::string id, int len, unsigned char* out) noexcept;

    // Key packet for a GUID-style identifier (dashes ignored):
    // FF BB n_hi n_lo, the first n bytes of GuidToBytearry, their sum
    // mod 256, AA. out must hold n + 6 bytes, at most kMaxIdBytes + 6 = 134.
    // Returns n + 6 (0 if out is null).
    static int getSecretkeyPacket(std::string id, unsigned char* out) noexcept;
};

#endif

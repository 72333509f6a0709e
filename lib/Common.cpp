#include "Common.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

const char kHexDigits[] = "0123456789ABCDEF";

// The library's target has a 32-bit long, where strtol itself saturates;
// clamping here gives the same results on 64-bit hosts.
int ClampToInt(long v) noexcept
{
    if (v > INT_MAX)
        return INT_MAX;
    if (v < INT_MIN)
        return INT_MIN;
    return static_cast<int>(v);
}

// Same result as hex2int on a two-character text (which can never take
// the "0x" branch), without building a std::string per byte.
unsigned char HexPair(char hi, char lo) noexcept
{
    const char pair[3] = {hi, lo, '\0'};
    return static_cast<unsigned char>(strtol(pair, nullptr, 16) & 0xFF);
}

} // namespace

void CCommon::int2str(const int& value, std::string& text) noexcept
{
    // to_string instead of a stream: same decimal text, but immune to a
    // global locale with digit grouping that the loading program may set.
    try {
        text = std::to_string(value);
    } catch (...) {
    }
}

void CCommon::str2int(int& value, const std::string& text) noexcept
{
    // strtol base 10 reads exactly what a stream's int extraction reads
    // (white space, sign, digits) without allocating or throwing.
    value = ClampToInt(strtol(text.c_str(), nullptr, 10));
}

std::string CCommon::ByteToHex(unsigned char b) noexcept
{
    std::string s(2, '0'); // fits the small-string buffer, cannot throw in practice
    s[0] = kHexDigits[b >> 4];
    s[1] = kHexDigits[b & 0x0F];
    return s;
}

std::string CCommon::ByteToString(const unsigned char* data, int start, int count) noexcept
{
    std::string s;
    if (count <= 0 || data == nullptr)
        return s;
    try {
        s.reserve(static_cast<size_t>(count) * 3);
        for (int i = 0; i < count; ++i) {
            unsigned char b = data[start + i];
            s += kHexDigits[b >> 4];
            s += kHexDigits[b & 0x0F];
            s += ' ';
        }
    } catch (...) {
        s.clear();
    }
    return s;
}

std::string CCommon::strReplaceString(std::string& text, const std::string& pattern,
                                      const std::string& repl) noexcept
{
    try {
        if (!pattern.empty()) {
            // Built aside and swapped in, so text is never left half replaced.
            // Scanning the original from after each match is the same as
            // skipping the replacement in the modified text.
            std::string out;
            size_t from = 0;
            for (size_t hit; (hit = text.find(pattern, from)) != std::string::npos;
                 from = hit + pattern.size()) {
                out.append(text, from, hit - from);
                out += repl;
            }
            if (from != 0) {
                out.append(text, from); // the rest of text
                text.swap(out);
            }
        }
        return text;
    } catch (...) {
        return std::string();
    }
}

int CCommon::subBytes(const unsigned char* src, int start, int count, unsigned char* dst) noexcept
{
    if (count > 0 && src != nullptr && dst != nullptr)
        memmove(dst, src + start, static_cast<size_t>(count));
    return count;
}

int CCommon::hex2int(const std::string& text) noexcept
{
    const bool prefixed = text.size() > 2 && text[0] == '0' && text[1] == 'x';
    return ClampToInt(strtol(text.c_str(), nullptr, prefixed ? 0 : 16));
}

int CCommon::GuidToBytearry(std::string id, int len, unsigned char* out) noexcept
{
    if (out == nullptr)
        return 0;
    // Never read past the text nor write past the scratch: a longer
    // identifier is cut to what the packet can carry.
    size_t usable = len > 0 ? std::min(static_cast<size_t>(len), id.size()) : 0;
    int n = static_cast<int>(std::min(usable / 2, static_cast<size_t>(kMaxIdBytes)));

    unsigned char scratch[kMaxIdBytes] = {};
    for (int i = 0; i < n; ++i) {
        const size_t at = 2 * static_cast<size_t>(i);
        scratch[i] = HexPair(id[at], id[at + 1]);
    }

    static const int kGuidOrder[8] = {3, 2, 1, 0, 5, 4, 7, 6};
    for (int i = 0; i < 8; ++i)
        out[i] = scratch[kGuidOrder[i]];
    for (int i = 8; i < n; ++i)
        out[i] = scratch[i];
    return n;
}

int CCommon::getSecretkeyPacket(std::string id, unsigned char* out) noexcept
{
    if (out == nullptr)
        return 0;
    // Erasing in place needs no allocation, unlike a replace with "".
    id.erase(std::remove(id.begin(), id.end(), '-'), id.end());
    int len = id.size() > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(id.size());

    unsigned char bytes[kMaxIdBytes] = {};
    // std::move: the copy into the by-value parameter could throw.
    int n = GuidToBytearry(std::move(id), len, bytes);

    out[0] = 0xFF;
    out[1] = 0xBB;
    out[2] = static_cast<unsigned char>(n >> 8);
    out[3] = static_cast<unsigned char>(n & 0xFF);
    unsigned sum = 0;
    for (int i = 0; i < n; ++i) {
        out[4 + i] = bytes[i];
        sum += bytes[i];
    }
    out[4 + n] = static_cast<unsigned char>(sum & 0xFF);
    out[5 + n] = 0xAA;
    return n + 6;
}

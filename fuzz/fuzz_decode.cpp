// Identity decoding on arbitrary blocks: the final answer's block and the
// conversions behind it, each writing into a buffer of exactly the size it
// is given, so that any write past it is caught.
#include <cstdint>
#include <cstring>
#include <cstdlib>
#include <vector>

#include "CardMain.h"

namespace {

void Require(bool ok)
{
    if (!ok)
        abort();
}

// The decoding never writes a field's last byte: a zeroed record's text
// fields stay terminated.
void CheckField(const char *field, size_t size)
{
    Require(field[size - 1] == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 3)
        return 0;
    const int dstSize = data[0] % 160;   // 0..159: room given to the conversions
    const int code = static_cast<int8_t>(data[1]);
    const uint8_t *src = data + 2;
    const size_t srcLen = size - 2;

    // The whole block, as the final answer carries it.
    std::vector<unsigned char> block(kDecodedBlockBytes, 0);
    memcpy(block.data(), src, srcLen < block.size() ? srcLen : block.size());
    idInfo *info = static_cast<idInfo *>(calloc(1, sizeof(idInfo)));
    FillIdInfo(info, block.data());
    CheckField(info->name, sizeof info->name);
    CheckField(info->nation, sizeof info->nation);
    CheckField(info->birth, sizeof info->birth);
    CheckField(info->address, sizeof info->address);
    CheckField(info->cardno, sizeof info->cardno);
    CheckField(info->authority, sizeof info->authority);
    CheckField(info->starttime, sizeof info->starttime);
    CheckField(info->endtime, sizeof info->endtime);
    Require(info->photolen == SCANID_PHOTO_BYTES);
    Require(memcmp(info->photo, block.data() + kTextBlockBytes, SCANID_PHOTO_BYTES) == 0);
    Require(info->cardkind == 0 && info->carddatalen == 0 && info->cardfoundcb == nullptr);
    free(info);

    // Every document layout: each text field terminated within its room, the
    // raw block and the photo carried over, the caller's size kept.
    auto *rec = static_cast<scanid_record *>(malloc(sizeof(scanid_record)));
    memset(rec, 0xA5, sizeof *rec);
    rec->size = sizeof *rec;
    DecodeDocument(block.data(), rec);
    Require(rec->size == sizeof *rec && rec->document == DocumentOf(block.data()));
    for (const auto &f : {std::make_pair(rec->name_zh, sizeof rec->name_zh), std::make_pair(rec->name_en, sizeof rec->name_en),
                          std::make_pair(rec->number, sizeof rec->number), std::make_pair(rec->address, sizeof rec->address),
                          std::make_pair(rec->previous_number, sizeof rec->previous_number),
                          std::make_pair(rec->type_letter, sizeof rec->type_letter)})
        Require(memchr(f.first, 0, f.second) != nullptr);
    Require(memcmp(rec->text_block, block.data(), kTextBlockBytes) == 0);
    Require(memcmp(rec->photo, block.data() + kTextBlockBytes, SCANID_PHOTO_BYTES) == 0);
    free(rec);

    // The conversions on their own, with exact-size source and destination.
    std::vector<unsigned char> in(src, src + srcLen);
    const int len = static_cast<int>(srcLen > 4096 ? 4096 : srcLen);
    unsigned char *dst = static_cast<unsigned char *>(malloc(dstSize > 0 ? dstSize : 1));
    if (dstSize > 0) {
        memset(dst, 0, dstSize);
        ParesCardChiness(in.data(), len, dst, dstSize);
        Require(dst[dstSize - 1] == 0);
        memset(dst, 0, dstSize);
        ParesCardNumber(in.data(), len, dst, dstSize);
        Require(dst[dstSize - 1] == 0);
        memset(dst, 0, dstSize);
        GetNational(code, dst, dstSize);
        Require(dst[dstSize - 1] == 0);
    }
    if (srcLen >= 2) {
        unsigned short ch = static_cast<unsigned short>(src[0] | src[1] << 8);
        int n = EncUnicodeToUtf8(ch, dst, dstSize);
        Require(n >= 0 && n <= dstSize);
    }
    free(dst);
    return 0;
}

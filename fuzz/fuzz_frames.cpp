// Card detection and IC-card unpacking on arbitrary module frames, each in
// a buffer of exactly its length.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "CardMain.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 4096)
        return 0;
    const int n = static_cast<int>(size);
    unsigned char *frame = static_cast<unsigned char *>(malloc(size ? size : 1));
    if (size)
        memcpy(frame, data, size);

    int kind = ClassifyCardFrame(frame, n);
    if (kind < 0 || kind > 5)
        abort();
    // Every kind but "none" is a frame of a fixed length that fits carddata.
    if (kind != 0 && (n < 12 || n > 51))
        abort();

    unsigned char icKind = 0;
    unsigned char icData[kIcDataBytes];
    int copied = -1;
    static CardMain reader;
    if (reader.ICCard(frame, &icKind, n, icData, &copied)) {
        if (copied < 0 || copied > kIcDataBytes || copied > n - 8)
            abort();
        if (memcmp(icData, frame + 8, copied) != 0)
            abort();
    } else if (copied != -1) {
        abort();
    }
    free(frame);
    return 0;
}

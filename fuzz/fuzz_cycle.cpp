// A whole read cycle driven by arbitrary module frames and server packets:
// over USB detection, relay and standby fail-over; over serial the card
// wait, IC cards and the packet script. Built once per link (FUZZ_LINK).
// Script format in World.h.
#include <cstdio>

#include "World.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // The library's console lines would drown the fuzzer's own output.
    if (!freopen("/dev/null", "w", stdout))
        return 1;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static idInfo info;
    fuzzworld::RunCycle(fuzzworld::Link::FUZZ_LINK, data, size, &info);
    return 0;
}

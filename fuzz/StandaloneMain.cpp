// Runs a fuzz target's entry point over files, without libFuzzer: the same
// targets replay their seeds and past findings in every ordinary build
// (gcc, the cross builds under qemu, valgrind).
#include <cstdint>
#include <cstdio>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) __attribute__((weak));
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv)
{
    if (LLVMFuzzerInitialize && LLVMFuzzerInitialize(&argc, &argv) != 0)
        return 1;
    for (int i = 1; i < argc; i++) {
        FILE *f = fopen(argv[i], "rb");
        if (!f) {
            fprintf(stderr, "cannot open %s\n", argv[i]);
            return 1;
        }
        std::vector<uint8_t> data;
        unsigned char chunk[4096];
        size_t n;
        while ((n = fread(chunk, 1, sizeof chunk, f)) > 0)
            data.insert(data.end(), chunk, chunk + n);
        fclose(f);
        LLVMFuzzerTestOneInput(data.data(), data.size());
    }
    fprintf(stderr, "%d input(s) replayed\n", argc - 1);
    return 0;
}

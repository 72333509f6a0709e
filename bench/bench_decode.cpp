// Workloads for callgrind's instruction counts: the identity decoding on its
// own, and one serial identity-card read with the simulators in-process.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "CardMain.h"
#include "DecodeServer.h"
#include "SerialModule.h"
#include "SimCards.h"

int main(int argc, char **argv)
{
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "decode") {
        int n = argc > 2 ? atoi(argv[2]) : 1000;
        static unsigned char block[kDecodedBlockBytes];
        sim::BuildDecodedBlock(sim::IdCards()[1].fields, block);
        idInfo rec;
        for (int i = 0; i < n; i++)
            FillIdInfo(&rec, block);
        printf("%s\n", rec.name);
        return 0;
    }
    if (mode == "serial" || mode == "cached") {
        sim::SerialModule module;
        sim::DecodeServer server;
        if (!module.Ok() || !server.Start())
            return 2;
        SetComInfo(module.SlavePath().c_str(), 115200);
        SetServiceInfo("127.0.0.1", server.Port());
        server.SetCache(mode == "cached");
        module.Module().PlaceIdCard(sim::IdCards()[0].serial);
        idInfo rec = {};
        int n = mode == "cached" ? 2 : 1;
        int r = 0;
        for (int i = 0; i < n; i++)
            r = ReadIDCardLib(&rec, CARDTYPE_SERIAL);
        return r == SCANID_IDCARD ? 0 : 1;
    }
    fprintf(stderr, "usage: bench_decode decode [N] | serial\n");
    return 2;
}

// Stand-ins for libraries the binding must refuse at import: one older than
// the interface it needs, one whose records are laid out differently.
#ifdef OLD_VERSION
#include "scanid.h"

extern "C" SCANID_API unsigned int GetScanIdVersion(void) { return (1 << 16) | (3 << 8); }
#else
#include <cstring>

// The real table, under another name, with one field moved: what a library
// built from another header would give.
#define scanid_layout scanid_real_layout
#include "../../lib/Layout.cpp"
#undef scanid_layout

extern "C" SCANID_API unsigned int GetScanIdVersion(void) { return SCANID_VERSION; }

extern "C" SCANID_API const scanid_field *scanid_layout(void)
{
    static scanid_field moved[128];
    const scanid_field *f = scanid_real_layout();
    for (size_t i = 0; f[i].record != nullptr && i + 1 < sizeof moved / sizeof moved[0]; i++) {
        moved[i] = f[i];
        if (f[i].field != nullptr && strcmp(f[i].field, "photolen") == 0)
            moved[i].offset += 4;
    }
    return moved;
}
#endif

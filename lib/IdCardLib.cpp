// The exported C interface: thin forwards to the one reader object.
#include "CardMain.h"
#include "Public.h"

#include <cstring>

extern "C" {

// From the photo decoder library, resolved from the loading program.
SCANID_API int saveWlt2Bmp(const unsigned char *wlt, const char *bmpPath);

SCANID_API CardMain g_IdCardMain;
SCANID_API unsigned char g_OnecOpen = 0;

SCANID_API int ReadIDCardLib(idInfo *info, Cardtype type)
{
    return g_IdCardMain.IScanIdInfo(info, static_cast<int>(type));
}

SCANID_API int SetServiceInfo(const char *address, int port)
{
    return g_IdCardMain.setServiceinfo(address, port);
}

SCANID_API int SetComInfo(const char *path, int baud)
{
    return g_IdCardMain.setComInfo(path, baud);
}

SCANID_API int SaveImage(const unsigned char *photo, const char *path)
{
    return saveWlt2Bmp(photo, path);
}

SCANID_API void CARD_SetReadInfoCB(ReadInfoCallback callback)
{
    g_IdCardMain.IDCARD_SetReadInfoCB(callback);
}

SCANID_API int ReadIDCardEx(scanid_record *record, Cardtype type)
{
    if (!record || record->size < sizeof(scanid_record))
        return SCANID_ERR_INVALID;
    return g_IdCardMain.ScanRecord(record, type);
}

#define SCANID_TEXT(x) #x
#define SCANID_VERSION_TEXT(a, b, c) SCANID_TEXT(a) "." SCANID_TEXT(b) "." SCANID_TEXT(c)

SCANID_API unsigned int GetScanIdVersion(void)
{
    return SCANID_VERSION;
}

SCANID_API const char *GetScanIdVersionString(void)
{
    return SCANID_VERSION_TEXT(SCANID_VERSION_MAJOR, SCANID_VERSION_MINOR, SCANID_VERSION_MICRO);
}

// Async-signal-safe: an atomic exchange and a write() to an eventfd.
SCANID_API int CancelReadIDCard(void)
{
    return CycleCancel() ? 1 : 0;
}

} // extern "C"

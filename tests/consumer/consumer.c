/* A program built against the installed packages only. */
#include <stdio.h>
#include <string.h>

#include <scanid.h>
#include <wlt.h>

int main(void)
{
    idInfo rec;
    unsigned char photo[2048];
    memset(&rec, 0, sizeof rec);
    memset(photo, 0, sizeof photo);
    if (SetServiceInfo("127.0.0.1", 19904) != 0 || ReadIDCardLib(&rec, (Cardtype)7) != SCANID_ERR_INVALID) {
        puts("consumer: the library misbehaves");
        return 1;
    }
    if (SaveImage(photo, "/nonexistent/x.bmp") != WLT_ERR_FORMAT) {
        puts("consumer: the photo decoder misbehaves");
        return 1;
    }
    printf("consumer: ok (idInfo is %u bytes)\n", (unsigned)sizeof(idInfo));
    return 0;
}

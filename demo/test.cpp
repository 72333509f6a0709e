// iddemo: reads cards over USB in an endless loop and prints what it reads.
//
// The main thread only shows it is alive; a detached reading thread makes
// every library call after the setup, so the library never sees two calls
// at once.
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "scanid.h"

#ifndef SCANID_DEMO_SERVER_IP
#define SCANID_DEMO_SERVER_IP "127.0.0.1"
#endif
#ifndef SCANID_DEMO_PHOTO_DIR
#define SCANID_DEMO_PHOTO_DIR "/mnt"
#endif

static const int kServerPort = 19904;

static void DemoIDCardCB(int kind, void *message)
{
    if (kind == SCANID_EVENT_CARD || kind == SCANID_EVENT_HEARTBEAT || kind == SCANID_EVENT_PROGRESS)
        printf("DemoIdcardCB: %s\r\n", static_cast<const char *>(message));
}

static void PrintIdCard(const idInfo &info)
{
    printf("Usage:");
    printf("\tname:%s\n", info.name);
    printf("\tcardno:%s\n", info.cardno);
    printf("\taddress:%s\n", info.address);
    printf("\tnation:%s\n", info.nation);
    puts(strtol(info.sex, nullptr, 10) == 1 ? "\tsex:男" : "\tsex:女");
    printf("\tbirdth :%s\n", info.birth);
    printf("\tethnicity:%s\n", info.authority);
    printf("\tstarttime:%s\n", info.starttime);
    printf("\tendtime:%s\n", info.endtime);
}

static void PrintOtherCard(const idInfo &info)
{
    puts("ICUsage:");
    printf("Size :%d\r\n", info.carddatalen);
    for (int i = 0; i < info.carddatalen && i < static_cast<int>(sizeof info.carddata); i++)
        printf("%02x ", info.carddata[i]);
    puts("\r");
}

static void *Scanid_thread(void *)
{
    idInfo info;
    // Room for the folder, the whole card number field and the extension, so
    // a long photo folder can never cut the name short.
    char path[sizeof SCANID_DEMO_PHOTO_DIR + sizeof info.cardno + sizeof ".jpg"];
    for (;;) {
        memset(&info, 0, sizeof info);
        int ret = ReadIDCardLib(&info, CARDTYPE_USB);
        if (ret == SCANID_IDCARD) {
            PrintIdCard(info);
            (void)snprintf(path, sizeof path, SCANID_DEMO_PHOTO_DIR "/%s.jpg", info.cardno);
            printf("\t%s\n", path);
            SaveImage(info.photo, path);
        } else if (ret == SCANID_OTHERCARD) {
            PrintOtherCard(info);
        }
        sleep(1); // NOLINT(concurrency-mt-unsafe): glibc's note concerns SIGCHLD, unused here
    }
    return nullptr;
}

int main()
{
    // Lines appear as they are printed even when the output is a pipe.
    (void)setvbuf(stdout, nullptr, _IOLBF, 0); // on failure output is merely buffered

    SetServiceInfo(SCANID_DEMO_SERVER_IP, kServerPort);
    CARD_SetReadInfoCB(DemoIDCardCB);

    pthread_t tid;
    pthread_create(&tid, nullptr, Scanid_thread, nullptr);
    pthread_detach(tid);

    for (;;) {
        puts("...\r");
        sleep(1); // NOLINT(concurrency-mt-unsafe): as above
    }
}

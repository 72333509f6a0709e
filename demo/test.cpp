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
    puts(atoi(info.sex) == 1 ? "\tsex:男" : "\tsex:女");
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
    char path[120];
    for (;;) {
        memset(&info, 0, sizeof info);
        int ret = ReadIDCardLib(&info, CARDTYPE_USB);
        if (ret == SCANID_IDCARD) {
            PrintIdCard(info);
            snprintf(path, sizeof path, SCANID_DEMO_PHOTO_DIR "/%s.jpg", info.cardno);
            printf("\t%s\n", path);
            SaveImage(info.photo, path);
        } else if (ret == SCANID_OTHERCARD) {
            PrintOtherCard(info);
        }
        sleep(1);
    }
    return nullptr;
}

int main()
{
    // Lines appear as they are printed even when the output is a pipe.
    setvbuf(stdout, nullptr, _IOLBF, 0);

    SetServiceInfo(SCANID_DEMO_SERVER_IP, kServerPort);
    CARD_SetReadInfoCB(DemoIDCardCB);

    pthread_t tid;
    pthread_create(&tid, nullptr, Scanid_thread, nullptr);
    pthread_detach(tid);

    for (;;) {
        puts("...\r");
        sleep(1);
    }
}

/* Feature-test macro: reserved on purpose, it asks libc for fileno(). */
#define _POSIX_C_SOURCE 200809L /* NOLINT(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp) */

#include "wlt.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

_Static_assert(WLT_SOURCE_WIDTH * WLT_SCALE == WLT_IMAGE_WIDTH, "width mismatch");
_Static_assert(WLT_SOURCE_HEIGHT * WLT_SCALE == WLT_IMAGE_HEIGHT, "height mismatch");
_Static_assert(WLT_SOURCE_WIDTH % 2 == 0, "rows must fill whole bytes");
_Static_assert(WLT_PIXEL_OFFSET + WLT_PIXEL_BYTES <= WLT_PHOTO_BYTES, "pixels overflow photo");

enum {
    BMP_FILE_HEADER = 14,
    BMP_INFO_HEADER = 40,
    BMP_HEADERS = BMP_FILE_HEADER + BMP_INFO_HEADER,
    /* BMP rows are padded to a multiple of four bytes. */
    BMP_ROW_BYTES = (WLT_IMAGE_WIDTH * 3 + 3) & ~3,
    BMP_IMAGE_BYTES = BMP_ROW_BYTES * WLT_IMAGE_HEIGHT,
    BMP_FILE_BYTES = BMP_HEADERS + BMP_IMAGE_BYTES
};

static uint16_t crc16_ccitt_false(const unsigned char *data, size_t len)
{
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < len; ++i) {
        crc ^= (uint16_t)(data[i] << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? (uint16_t)((crc << 1) ^ 0x1021) : (uint16_t)(crc << 1);
    }
    return crc;
}

static int photo_is_valid(const unsigned char *p)
{
    if (memcmp(p, WLT_MAGIC, WLT_MAGIC_BYTES) != 0)
        return 0;
    if (p[4] != WLT_SOURCE_WIDTH || p[5] != WLT_SOURCE_HEIGHT ||
        p[6] != WLT_SCALE || p[7] != WLT_BITS_PER_PIXEL)
        return 0;
    for (int i = WLT_RESERVED_OFFSET; i < WLT_HEADER_BYTES; ++i)
        if (p[i] != 0)
            return 0;
    uint16_t stored = (uint16_t)(p[WLT_CRC_OFFSET] | (p[WLT_CRC_OFFSET + 1] << 8));
    return stored == crc16_ccitt_false(p + WLT_PIXEL_OFFSET, WLT_PIXEL_BYTES);
}

/* Byte-wise stores keep the file layout independent of host endianness. */
static unsigned char *put_u16(unsigned char *dst, uint16_t v)
{
    dst[0] = (unsigned char)(v & 0xFF);
    dst[1] = (unsigned char)(v >> 8);
    return dst + 2;
}

static unsigned char *put_u32(unsigned char *dst, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        dst[i] = (unsigned char)((v >> (8 * i)) & 0xFF);
    return dst + 4;
}

static void build_headers(unsigned char *h)
{
    *h++ = 'B';
    *h++ = 'M';
    h = put_u32(h, BMP_FILE_BYTES);
    h = put_u16(h, 0);
    h = put_u16(h, 0);
    h = put_u32(h, BMP_HEADERS);

    h = put_u32(h, BMP_INFO_HEADER);
    h = put_u32(h, WLT_IMAGE_WIDTH);
    h = put_u32(h, WLT_IMAGE_HEIGHT); /* positive height: bottom-up rows */
    h = put_u16(h, 1);                /* planes */
    h = put_u16(h, 24);               /* bits per pixel */
    h = put_u32(h, 0);                /* BI_RGB */
    h = put_u32(h, BMP_IMAGE_BYTES);
    h = put_u32(h, 0);                /* no resolution recorded */
    h = put_u32(h, 0);
    h = put_u32(h, 0);                /* colours used */
    (void)put_u32(h, 0);              /* important colours */
}

static void build_pixels(const unsigned char *photo, unsigned char *img)
{
    const unsigned char *px = photo + WLT_PIXEL_OFFSET;
    for (int row = 0; row < WLT_IMAGE_HEIGHT; ++row) {
        int sy = (WLT_IMAGE_HEIGHT - 1 - row) / WLT_SCALE;
        unsigned char *out = img + (size_t)row * BMP_ROW_BYTES;
        for (int x = 0; x < WLT_IMAGE_WIDTH; ++x) {
            int sx = x / WLT_SCALE;
            unsigned char b = px[(sy * WLT_SOURCE_WIDTH + sx) / 2];
            unsigned char nibble = (sx & 1) ? (b & 0x0F) : (b >> 4);
            unsigned char grey = (unsigned char)(nibble * 17);
            out[3 * (size_t)x] = grey;
            out[3 * x + 1] = grey;
            out[3 * x + 2] = grey;
        }
        memset(out + (size_t)WLT_IMAGE_WIDTH * 3, 0, BMP_ROW_BYTES - WLT_IMAGE_WIDTH * 3);
    }
}

WLT_API int saveWlt2Bmp(const unsigned char *wlt, const char *bmpPath)
{
    if (wlt == NULL || bmpPath == NULL || bmpPath[0] == '\0')
        return WLT_ERR_ARGUMENT;
    if (!photo_is_valid(wlt))
        return WLT_ERR_FORMAT;

    unsigned char *file = malloc(BMP_FILE_BYTES);
    if (file == NULL)
        return WLT_ERR_FILE;
    build_headers(file);
    build_pixels(wlt, file + BMP_HEADERS);

    FILE *fp = fopen(bmpPath, "wb");
    if (fp == NULL) {
        free(file);
        return WLT_ERR_FILE;
    }
    /* Never unlink a device or pipe the caller pointed us at. */
    struct stat st;
    int regular = fstat(fileno(fp), &st) == 0 && S_ISREG(st.st_mode);
    int ok = fwrite(file, 1, BMP_FILE_BYTES, fp) == (size_t)BMP_FILE_BYTES;
    /* fclose flushes, so a full disk may only show up here. */
    if (fclose(fp) != 0)
        ok = 0;
    free(file);
    if (!ok) {
        if (regular)
            (void)remove(bmpPath); /* best effort: the result is already a failure */
        return WLT_ERR_FILE;
    }
    return WLT_OK;
}

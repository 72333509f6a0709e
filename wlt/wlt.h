/*
 * libwlt - stand-in photo decoder for simulated identity cards.
 *
 * Decodes the 1024-byte compressed photo carried in a card record into a
 * 24-bit Windows BMP file. Only the photo encoding produced by our own card
 * simulator is understood; any other data is rejected without touching the
 * file system.
 *
 * Compressed photo layout (all multi-byte fields little-endian):
 *   0..3     magic "SPH1"
 *   4        source width  (WLT_SOURCE_WIDTH)
 *   5        source height (WLT_SOURCE_HEIGHT)
 *   6        scale factor  (WLT_SCALE)
 *   7        bits per pixel (WLT_BITS_PER_PIXEL)
 *   8..9     CRC-16/CCITT-FALSE of the pixel bytes
 *   10..15   reserved, must be zero
 *   16..729  4-bit grey pixels, top row first, high nibble = left pixel
 *   730..1023 padding, ignored
 */
#ifndef WLT_H
#define WLT_H

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__) || defined(__clang__)
#define WLT_API __attribute__((visibility("default")))
#else
#define WLT_API
#endif

/* Result codes of saveWlt2Bmp. */
#define WLT_OK            1   /* BMP file written */
#define WLT_ERR_ARGUMENT (-1) /* null pointer or empty path */
#define WLT_ERR_FORMAT   (-2) /* photo not recognised; no file created */
#define WLT_ERR_FILE     (-3) /* file not created or written; partial file removed */

/* Compressed photo format. */
#define WLT_PHOTO_BYTES     1024
#define WLT_MAGIC           "SPH1"
#define WLT_MAGIC_BYTES     4
#define WLT_SOURCE_WIDTH    34
#define WLT_SOURCE_HEIGHT   42
#define WLT_SCALE           3
#define WLT_BITS_PER_PIXEL  4
#define WLT_HEADER_BYTES    16
#define WLT_CRC_OFFSET      8
#define WLT_RESERVED_OFFSET 10
#define WLT_PIXEL_OFFSET    WLT_HEADER_BYTES
#define WLT_PIXEL_BYTES     (WLT_SOURCE_WIDTH * WLT_SOURCE_HEIGHT / 2)

/* Decoded image. */
#define WLT_IMAGE_WIDTH     102
#define WLT_IMAGE_HEIGHT    126

/*
 * Decodes the photo at `wlt` (exactly WLT_PHOTO_BYTES are read) and writes
 * it to `bmpPath` as a 24-bit bottom-up BMP of WLT_IMAGE_WIDTH x
 * WLT_IMAGE_HEIGHT pixels, replacing any existing file.
 *
 * Returns WLT_OK, WLT_ERR_ARGUMENT, WLT_ERR_FORMAT or WLT_ERR_FILE.
 */
WLT_API int saveWlt2Bmp(const unsigned char *wlt, const char *bmpPath);

#ifdef __cplusplus
}
#endif

#endif /* WLT_H */

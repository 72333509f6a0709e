/*
 * libscanid - read resident identity cards and other contactless cards
 * through a reader module on USB or a serial port.
 *
 * This is the whole public interface of the library. It is plain C and can
 * be included from C and C++.
 *
 * Typical use:
 *
 *     SetServiceInfo("192.0.2.10", 19904);     // the decode server
 *     CARD_SetReadInfoCB(on_event);            // optional, see below
 *     for (;;) {
 *         idInfo rec;
 *         memset(&rec, 0, sizeof rec);         // always hand in a zeroed record
 *         int rc = ReadIDCardLib(&rec, CARDTYPE_USB);
 *         if (rc == SCANID_IDCARD)   { ... rec.name, rec.cardno, ... }
 *         if (rc == SCANID_OTHERCARD) { ... rec.cardkind, rec.carddata ... }
 *     }
 *
 * Threads: the library starts no thread and takes no lock. Every function
 * but CancelReadIDCard() must be called from one thread at a time; a read
 * cycle runs wholly on the calling thread, and the event callback and the
 * record's cardfoundcb hook are called on that thread from inside
 * ReadIDCardLib(). The settings calls may be made at any time between read
 * cycles, never during one. CancelReadIDCard() may be called at any time
 * from any thread, and from a signal handler.
 *
 * Descriptors: from the moment it is loaded the library holds one event
 * descriptor (close-on-exec) through which CancelReadIDCard() wakes a
 * waiting read cycle. A program that closes descriptors it did not open
 * costs itself nothing but a new one at the next read cycle.
 *
 * Stack: a read cycle keeps about 66,000 bytes of working buffers on the
 * calling thread's stack. With the C library, libusb and the thread's own
 * bookkeeping a full read needs about 80 KB; give the reading thread at
 * least 128 KB plus what the event callback needs (the default thread
 * stack of glibc, 8 MB, is plenty).
 *
 * Runtime dependencies: the library does not link libusb-1.0 or the photo
 * decoder library libwlt itself. A program that loads it must link both
 * (for example "-lscanid -lwlt -lusb-1.0"), so that their symbols are
 * resolved from the program at load time.
 */
#ifndef SCANID_H
#define SCANID_H

#ifdef __cplusplus
extern "C" {
#endif

/** Version of this header's interface: compare with GetScanIdVersion() to
 *  learn whether the library loaded at run time is at least as new. */
#define SCANID_VERSION_MAJOR 1
#define SCANID_VERSION_MINOR 2
#define SCANID_VERSION_MICRO 0
/** The three numbers in one: (major << 16) | (minor << 8) | micro. */
#define SCANID_VERSION ((SCANID_VERSION_MAJOR << 16) | (SCANID_VERSION_MINOR << 8) | SCANID_VERSION_MICRO)

#if defined(__GNUC__)
#define SCANID_API __attribute__((visibility("default")))
#else
#define SCANID_API
#endif

/** Transport of a read cycle, passed by value to ReadIDCardLib(). */
typedef enum Cardtype
#ifdef __cplusplus
    : int /* every int is a valid value in C++ too; the library checks it */
#endif
{
    CARDTYPE_SERIAL = 0, /**< reader module on the serial port set by SetComInfo() */
    CARDTYPE_USB = 1     /**< reader module on USB, vendor 0x0400, product 0xC355 */
} Cardtype;

/**
 * Result codes of ReadIDCardLib(). The integers are part of the interface
 * and never change; the names are a convenience.
 */
enum scanid_result {
    /** An identity card was read: fields name to photolen are filled. */
    SCANID_IDCARD = 1,
    /** Another card kind was found: cardkind and carddata are filled (and
     *  carddatalen). */
    SCANID_OTHERCARD = 2,
    /** The decode server (or its standby) could not be reached. */
    SCANID_ERR_SERVER_CONNECT = 3,
    /** The serial port could not be opened or set up. */
    SCANID_ERR_SERIAL_OPEN = 4,
    /** The USB reader module could not be opened. */
    SCANID_ERR_USB_OPEN = 5,
    /** The decode server did not answer a relayed packet in time (serial). */
    SCANID_ERR_SERVER_TIMEOUT = 6,
    /** The reader module failed a step of the card exchange. */
    SCANID_ERR_MODULE = 7,
    /** The decode server's answer was unusable (a failure notice, an
     *  unexpected length, a final answer that stayed short of its 1299 bytes,
     *  a document of a kind the library does not know). */
    SCANID_ERR_SERVER_DATA = 8,
    /** No card, or no final answer, within the cycle's time limits. */
    SCANID_NO_CARD = 10,
    /** The reader module did not answer the heartbeat (USB). */
    SCANID_ERR_HEARTBEAT = 11,
    /** The cycle was ended by CancelReadIDCard() (since version 1.1 of the
     *  interface, symbol version SCANID_1.1). */
    SCANID_CANCELLED = 12,
    /** ReadIDCardEx() only (since interface 1.2): an identity document whose
     *  type letter the library does not know; the record holds its raw text
     *  block and photo, document SCANID_DOC_UNKNOWN. ReadIDCardLib() ends
     *  such a read with SCANID_ERR_SERVER_DATA, its record untouched. Both
     *  report the event "unknown document kind". */
    SCANID_UNKNOWN_DOCUMENT = 13,
    /** Transport other than 0 or 1; or (serial) the module's answer to a
     *  relayed step lacked the expected header and success status. */
    SCANID_ERR_INVALID = 0,
    /** The decode server did not answer the first relayed packet (serial). */
    SCANID_ERR_FIRST_PACKET = -1,
    /** SetServiceInfo()/SetComInfo(): null or over-long text. */
    SCANID_ERR_SETTING = -101
};

/** Event kinds passed as the first argument of the event callback. */
enum scanid_event {
    SCANID_EVENT_CARD = 1,      /**< a card was detected ("find ID card", ...) */
    SCANID_EVENT_HEARTBEAT = 2, /**< "Detect the heart" / "NOT Detect the heart" */
    SCANID_EVENT_PROGRESS = 3   /**< progress and failure texts of a read cycle */
};

/**
 * Event callback. @p kind is one of enum scanid_event; @p message is a
 * NUL-terminated English text owned by the library and valid only during
 * the call (copy it to keep it). Called on the thread inside ReadIDCardLib().
 */
typedef void (*ReadInfoCallback)(int kind, void *message);

/** Largest server address SetServiceInfo() accepts, in characters. */
#define SCANID_MAX_SERVER_ADDRESS 31
/** Largest serial device path SetComInfo() accepts, in characters. */
#define SCANID_MAX_DEVICE_PATH 255
/** Bytes of compressed photo in idInfo.photo after an identity-card read. */
#define SCANID_PHOTO_BYTES 1024

/**
 * The record a read cycle fills. The caller owns it and must hand it in
 * zeroed. Field order and widths are fixed for good.
 *
 * Text fields hold UTF-8; digit fields hold ASCII digits. The library never
 * writes a field's last byte with text, so every text field of a zeroed
 * record reads as a NUL-terminated string. After an identity-card read the
 * fields name to photolen are set and cardkind to carddatalen are untouched;
 * after another card kind the reverse holds.
 *
 * The other documents of the family (foreign permanent resident cards,
 * residence permits for Hong Kong, Macao and Taiwan residents) fill it field
 * by field, never one field with another's data: name is the Chinese name,
 * or the English name cut at a whole character when there is none; sex the
 * code digit; nation the three-letter nationality code of a foreign
 * permanent resident card and empty on a permit; cardno the permit or
 * identity number; address and authority only where the card has them (the
 * permit); birth, starttime, endtime and the photo as on the identity card.
 * ReadIDCardEx() gives every field of every kind.
 */
typedef struct idInfo {
    char name[30];       /**< holder's name; cut at a whole character if longer */
    char sex[2];         /**< one digit: "1" male, "2" female */
    char nation[4];      /**< nationality, first character of its name (the
                              field holds only one CJK character); the two
                              code digits when the code is unknown */
    char birth[16];      /**< eight digits, YYYYMMDD */
    char address[140];   /**< address */
    char cardno[36];     /**< 18-character citizen identity number */
    char authority[64];  /**< issuing authority */
    char starttime[16];  /**< eight digits, start of validity */
    char endtime[16];    /**< end of validity: eight digits, or a text such
                              as "长期" (long-term) followed by blanks */
    unsigned char photo[2048]; /**< compressed photo, first 1024 bytes used */
    int photolen;        /**< 1024 after every identity-card read */
    unsigned char cardkind;     /**< kind of another card (1 M1, 2, 3, 4 YCT; IC
                                     card: the module's kind byte) */
    unsigned char carddata[51]; /**< that card's raw data: over USB the module's
                                     whole frame; over serial (IC card) the
                                     card's data bytes, at most 20 */
    int carddatalen;            /**< bytes in carddata */
    /** Set by the caller, never by the library: when a read cycle sees an
     *  identity card it calls this (if not null) with 1 and a null pointer,
     *  on the reading thread, before the "find ID card" event. */
    void (*cardfoundcb)(int kind, void *message);
} idInfo;

/**
 * Run one read cycle on the given transport and fill @p info.
 *
 * Blocks the calling thread until the cycle ends: at once for an invalid
 * transport; otherwise as long as the card exchange takes, bounded by the
 * cycle's time limits (over USB a silent module can hold one card-wait read
 * for 10 seconds; over serial a silent decode server up to about 30 seconds
 * in all), or until another thread or a signal handler calls
 * CancelReadIDCard(). Every device, port and connection the cycle opens is
 * closed again before it returns.
 *
 * For an identity card over USB, when the decode server set by
 * SetServiceInfo() cannot be reached, the cycle falls back to the standby
 * server (a host name fixed at build time, port 19977) and keeps using it:
 * the settings then name the standby server until SetServiceInfo() is
 * called again.
 *
 * @param info  writable, zeroed record owned by the caller; not tested
 *              for null. The library keeps no pointer to it.
 * @param type  CARDTYPE_USB or CARDTYPE_SERIAL.
 * @return one of enum scanid_result: SCANID_IDCARD, SCANID_OTHERCARD on
 *         success; any other value is a failure, also reported as a text
 *         to the event callback. SCANID_ERR_INVALID (0) at once, with no
 *         event and nothing opened, for a transport other than 0 or 1.
 */
SCANID_API int ReadIDCardLib(idInfo *info, Cardtype type);

/**
 * Set the decode server, as a dotted IPv4 address and a TCP port.
 * The text is copied; the caller keeps ownership of @p address.
 *
 * @return 0 on success; SCANID_ERR_SETTING (-101) if @p address is null or
 *         longer than SCANID_MAX_SERVER_ADDRESS characters, in which case
 *         the previous setting stays.
 */
SCANID_API int SetServiceInfo(const char *address, int port);

/**
 * Set the serial device (for example "/dev/ttyS1") and its baud rate
 * (2400 to 460800) for CARDTYPE_SERIAL read cycles. The text is copied.
 *
 * @return 0 on success; SCANID_ERR_SETTING (-101) if @p path is null or
 *         longer than SCANID_MAX_DEVICE_PATH characters, in which case the
 *         previous setting stays. The baud rate is checked when the port
 *         is opened.
 */
SCANID_API int SetComInfo(const char *path, int baud);

/**
 * Decode a compressed card photo into an image file, through the photo
 * decoder library's saveWlt2Bmp(); both arguments are passed unchanged.
 *
 * @param photo  the record's photo field (its first 1024 bytes are read).
 * @param path   the image file to write; the caller owns both buffers.
 * @return the photo decoder's result, unchanged.
 */
SCANID_API int SaveImage(const unsigned char *photo, const char *path);

/**
 * Register the event callback. A null @p callback keeps the one registered
 * before. With no callback registered, events are not reported.
 */
SCANID_API void CARD_SetReadInfoCB(ReadInfoCallback callback);

/**
 * End the read cycle that is running now, from any thread or from a signal
 * handler (the call is async-signal-safe and leaves errno as it was).
 *
 * The cycle stops waiting at once, wherever it waits (the pause after
 * opening, the heartbeat, the card wait, the server connection, the relay,
 * the serial exchange, the server waits, the pause after a failed open), and
 * within 50 ms returns SCANID_CANCELLED after the event "read cancelled"
 * (kind SCANID_EVENT_PROGRESS). It closes everything it opened, as every
 * other ending does, and the record is left as a failed cycle leaves it.
 * One wait is not cut short: the host-name lookup of the standby server.
 *
 * With no cycle running the call does nothing: it is not remembered for the
 * next cycle. A cancel that comes as a cycle is about to end may find the
 * cycle already returning its own result, and a cancel just before a cycle
 * starts finds nothing to end. To stop a reading loop for good, set a flag
 * of your own that the loop checks before each ReadIDCardLib(), then call
 * CancelReadIDCard():
 *
 *     static volatile sig_atomic_t stop;
 *     void on_signal(int sig) { stop = 1; CancelReadIDCard(); }
 *     ...
 *     while (!stop) {
 *         int rc = ReadIDCardLib(&rec, CARDTYPE_USB);
 *         if (rc == SCANID_CANCELLED) break;
 *         ...
 *     }
 *
 * @return 1 when a running cycle was told to end (or had been told already);
 *         0 when no cycle was running.
 */
SCANID_API int CancelReadIDCard(void);

/** Kind of identity document a read found (scanid_record.document). */
enum scanid_document {
    SCANID_DOC_NONE = 0,         /**< no identity document was read */
    SCANID_DOC_RESIDENT = 1,     /**< resident identity card (type letter blank) */
    SCANID_DOC_FOREIGN_2017 = 2, /**< foreign permanent resident ID card, 2017 ('I') */
    SCANID_DOC_HMT_PERMIT = 3,   /**< residence permit for Hong Kong, Macao and Taiwan residents ('J') */
    SCANID_DOC_FOREIGN_2023 = 4, /**< foreign permanent resident ID card, 2023 ('Y') */
    SCANID_DOC_UNKNOWN = 9       /**< a type letter the library does not know: only the raw
                                      text block and the photo are given */
};

/**
 * The extended record (interface 1.2): every field of every document kind,
 * as NUL-terminated UTF-8 text, and the other card kinds' data. A field the
 * kind does not have stays empty. Kinds filling a field: R resident identity
 * card, I foreign permanent resident card 2017, Y the same 2023, J residence
 * permit for Hong Kong, Macao and Taiwan residents. The caller owns it and
 * sets size to sizeof(scanid_record) before each read: later versions only
 * ever append fields, and a library never writes past the size it is given.
 */
typedef struct scanid_record {
    unsigned int size;          /**< sizeof(scanid_record), set by the caller */
    int document;               /**< enum scanid_document */
    char type_letter[4];        /**< the letter at block offset 248 ("" when blank) */
    char name_zh[48];           /**< Chinese name (R, J, I if any, Y) */
    char name_en[124];          /**< English name (I: 60 characters; Y: 46, joined) */
    char sex[4];                /**< code digit: "0" unknown, "1" male, "2" female, "9" unspecified */
    char sex_text[24];          /**< its Chinese text */
    char ethnic_code[4];        /**< ethnic group code, two digits (R) */
    char ethnic[16];            /**< ethnic group name (R) */
    char nationality[8];        /**< three-letter code (I, Y) */
    char birth[12];             /**< YYYYMMDD */
    char address[108];          /**< address (R, J) */
    char number[40];            /**< identity or permit number */
    char authority[48];         /**< issuing authority (R, J) */
    char valid_from[12];        /**< YYYYMMDD */
    char valid_to[32];          /**< YYYYMMDD, or a text such as "长期" */
    char travel_permit[20];     /**< travel-permit number (J) */
    char issue_count[4];        /**< travel-permit issue count (J) */
    char renewal_count[4];      /**< renewal count (Y) */
    char card_version[4];       /**< card version (I) */
    char authority_code[12];    /**< code of the accepting authority (I) */
    char previous_number[20];   /**< the earlier 15-character permit number (Y, when linked) */
    int number_valid;           /**< 1 when the number passes its kind's check, else 0 */
    unsigned char photo[SCANID_PHOTO_BYTES]; /**< compressed photo (every kind) */
    unsigned char text_block[256];           /**< the raw UCS-2 text block (every kind) */
    int card_kind;              /**< another card (result SCANID_OTHERCARD): as idInfo.cardkind */
    int card_data_len;          /**< bytes in card_data */
    unsigned char card_data[64]; /**< that card's data, as idInfo.carddata */
} scanid_record;

/**
 * Run one read cycle, as ReadIDCardLib(), and fill the extended record.
 *
 * @param record  writable record owned by the caller, with size set to
 *                sizeof(scanid_record) (or the size of an older version);
 *                everything after size is overwritten.
 * @return as ReadIDCardLib(), and SCANID_UNKNOWN_DOCUMENT for a document
 *         of an unknown kind; SCANID_ERR_INVALID at once for a null record
 *         or a size below the first version's.
 */
SCANID_API int ReadIDCardEx(scanid_record *record, Cardtype type);

/** The library's version, encoded as SCANID_VERSION. */
SCANID_API unsigned int GetScanIdVersion(void);

/** The library's version as text, "major.minor.micro"; static, never freed. */
SCANID_API const char *GetScanIdVersionString(void);

/** Reserved one-byte flag, zero at load; the library never reads or writes it. */
SCANID_API extern unsigned char g_OnecOpen;

#ifdef __cplusplus
}
#endif

#endif /* SCANID_H */

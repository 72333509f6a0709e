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
 * Threads: the library starts no thread (but the one of each hotplug
 * registration, below) and takes no lock. Every function of this first
 * group but CancelReadIDCard() must be called from one thread at a time; a read
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
#define SCANID_VERSION_MINOR 4
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
    /** scanid_wait_removal() only (since interface 1.3): the card that was
     *  read has left the reader (or another card took its place). */
    SCANID_CARD_REMOVED = 14,
    /** scanid_wait_removal() only: the time limit passed with the card still
     *  on the reader. */
    SCANID_CARD_PRESENT = 15,
    /** Transport other than 0 or 1; or (serial) the module's answer to a
     *  relayed step lacked the expected header and success status. */
    SCANID_ERR_INVALID = 0,
    /** The decode server did not answer the first relayed packet (serial). */
    SCANID_ERR_FIRST_PACKET = -1,
    /** SetServiceInfo()/SetComInfo(): null or over-long text. */
    SCANID_ERR_SETTING = -101,
    /** scanid_open(): a reader name of no known form (since interface 1.3). */
    SCANID_ERR_NAME = -102,
    /** Memory, a descriptor or a thread the call needed could not be had. */
    SCANID_ERR_RESOURCE = -103,
    /** A read or a wait on a reader handle while another thread runs one
     *  on the same handle: nothing was done. */
    SCANID_ERR_BUSY = -104,
    /** A null handle, record or output pointer, or an argument out of range. */
    SCANID_ERR_ARGUMENT = -105
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

/*
 * Reader handles (interface 1.3, symbol version SCANID_1.3)
 * ==========================================================
 *
 * Several readers in one program: each handle is a reader of its own, with
 * its own decode server and standby server, event callback, console
 * callback, read cycle and cancel. The functions above work on one hidden
 * default reader, exactly as they always have; handles never share anything
 * with it or with each other.
 *
 * Reader names say which port a handle reads from; they stay true when the
 * module is unplugged and plugged in again in the same port:
 *
 *     "usb"                     the first USB module found (0400:C355), as
 *                               CARDTYPE_USB reads it
 *     "usb:1-1.4"               the USB module on bus 1, port 1 of the root
 *                               hub, port 4 of the hub behind it (the bus
 *                               and port chain, as in /sys/bus/usb/devices)
 *     "serial:/dev/ttyS1@115200" a serial module: device path and baud rate
 *                               (the rate is checked when the port opens)
 *
 * Threads: one read or wait at a time per handle (another thread gets
 * SCANID_ERR_BUSY); reads on different handles may run at the same time on
 * different threads. A cycle runs wholly on the calling thread, and the
 * handle's event and console callbacks are called on it. The settings calls
 * may be made between cycles, not during one. scanid_cancel() may be called
 * from any thread and from a signal handler. scanid_close() must not race
 * any other call on the same handle.
 *
 * Descriptors: each handle holds one event descriptor (close-on-exec) for
 * its whole life, through which scanid_cancel() wakes its cycle.
 *
 * Two readers in two threads:
 *
 *     static void *lane(void *arg) {
 *         scanid_reader *r = arg;
 *         for (;;) {
 *             idInfo rec;
 *             memset(&rec, 0, sizeof rec);
 *             int rc = scanid_read(r, &rec);
 *             if (rc == SCANID_CANCELLED) break;
 *             if (rc == SCANID_IDCARD || rc == SCANID_OTHERCARD)
 *                 scanid_wait_removal(r, -1);   // one read per card placed
 *         }
 *         return NULL;
 *     }
 *     ...
 *     scanid_reader *in, *out;
 *     scanid_open("usb:1-1", &in);
 *     scanid_open("serial:/dev/ttyS1@115200", &out);
 *     scanid_set_server(in, "192.0.2.10", 19904);
 *     scanid_set_server(out, "192.0.2.10", 19904);
 *     pthread_create(&t1, NULL, lane, in);
 *     pthread_create(&t2, NULL, lane, out);
 */

/** An open reader; opaque. */
typedef struct scanid_reader scanid_reader;

/** Longest reader name the library takes or gives, terminator included. */
#define SCANID_MAX_READER_NAME 280

/**
 * Open a reader by name. Nothing is opened on the device yet: every read
 * cycle opens the port anew and closes it before it returns, so a handle
 * outlives its module being unplugged and plugged in again, and a USB
 * module that is not attached yet gives SCANID_ERR_USB_OPEN at its read.
 *
 * The handle starts with no decode server (set one with
 * scanid_set_server()), the build's standby server, and no callbacks.
 *
 * @param name    a reader name as above (NULL means "usb"); copied.
 * @param reader  receives the handle, which the caller owns and gives back
 *                with scanid_close(); set to NULL on failure.
 * @return 0; SCANID_ERR_ARGUMENT for a null @p reader; SCANID_ERR_NAME for
 *         a name of no known form (an empty path, a baud rate that is not
 *         a number, a port chain that is not numbers joined by '.', a name
 *         longer than SCANID_MAX_READER_NAME - 1); SCANID_ERR_RESOURCE when
 *         memory or the event descriptor could not be had.
 */
SCANID_API int scanid_open(const char *name, scanid_reader **reader);

/** Close a handle and free it; NULL is ignored. No cycle may run on it. */
SCANID_API void scanid_close(scanid_reader *reader);

/** The handle's name in its canonical form ("usb:1-2", "usb",
 *  "serial:/dev/ttyUSB0@115200"); valid until scanid_close(). */
SCANID_API const char *scanid_reader_name(const scanid_reader *reader);

/**
 * Set the handle's decode server, as SetServiceInfo() does for the default
 * reader (including the USB cycle's fail-over to the standby server, which
 * then stays this handle's server until the next call).
 * @return 0; SCANID_ERR_SETTING for a null or over-long address;
 *         SCANID_ERR_ARGUMENT for a null handle.
 */
SCANID_API int scanid_set_server(scanid_reader *reader, const char *address, int port);

/**
 * Set the handle's standby server: a host name or dotted address (looked up
 * when the fail-over happens) and a port. NULL @p host turns the fail-over
 * off: a decode server that cannot be reached then ends the cycle with
 * SCANID_ERR_SERVER_CONNECT after "Gethostbyname error for host".
 * @return 0; SCANID_ERR_SETTING for a host longer than 255 characters;
 *         SCANID_ERR_ARGUMENT for a null handle.
 */
SCANID_API int scanid_set_standby(scanid_reader *reader, const char *host, int port);

/**
 * Event callback of a handle: as ReadInfoCallback, with the handle it comes
 * from and the caller's pointer. @p message is valid during the call only.
 */
typedef void (*scanid_event_cb)(scanid_reader *reader, int kind, const char *message, void *user);

/** Set (or with NULL remove) the handle's event callback. */
SCANID_API void scanid_set_event_cb(scanid_reader *reader, scanid_event_cb callback, void *user);

/** Streams of console lines. */
enum scanid_stream {
    SCANID_STREAM_OUT = 1, /**< lines the library prints on standard output */
    SCANID_STREAM_ERR = 2  /**< lines it prints on standard error (perror()) */
};

/**
 * Console callback: receives each console line instead of it being printed.
 * @p line is the line's text without its line end; @p error_text is the
 * system's error text perror() would have added (NULL for lines without
 * one). Both are valid during the call only. @p reader is the handle, or
 * NULL for the default reader. Called on the thread that runs the cycle.
 */
typedef void (*scanid_console_cb)(scanid_reader *reader, int stream, const char *line,
                                  const char *error_text, void *user);

/**
 * Route the console lines of a handle, or with a NULL @p reader those of
 * the default reader (ReadIDCardLib() and the other calls above), to
 * @p callback; a NULL callback prints them again, exactly as without one.
 * For the default reader, set it between cycles.
 */
SCANID_API void scanid_set_console_cb(scanid_reader *reader, scanid_console_cb callback, void *user);

/**
 * Run one read cycle on the handle's reader, as ReadIDCardLib() does on the
 * default reader: the same steps, time limits, events, console lines and
 * results. For a serial reader the port is opened at the name's rate.
 * @return as ReadIDCardLib(); SCANID_ERR_BUSY or SCANID_ERR_ARGUMENT at
 *         once (nothing opened, no event) for a busy or null handle.
 */
SCANID_API int scanid_read(scanid_reader *reader, idInfo *info);

/** The same for the extended record, as ReadIDCardEx(). */
SCANID_API int scanid_read_ex(scanid_reader *reader, scanid_record *record);

/**
 * End the cycle or wait running on this handle, and only that, as
 * CancelReadIDCard() does for the default reader: async-signal-safe, leaves
 * errno alone, the cycle returns SCANID_CANCELLED within 50 ms.
 * @return 1 when a running cycle was told to end; 0 when none was running
 *         (or the handle is null).
 */
SCANID_API int scanid_cancel(scanid_reader *reader);

/** How long a module may stay silent before a card counts as taken away. */
#define SCANID_REMOVAL_QUIET_MS 700

/**
 * Wait until the card the handle's last read found has left the reader.
 *
 * Runs only the module's side: opens the port, checks the link, and watches
 * the module's card notices; no decode server is contacted. The card counts
 * as gone when the module has announced no card for
 * SCANID_REMOVAL_QUIET_MS, or announces another card (a different kind, or
 * over USB another card's frame), which the next read then reads. When the
 * last read found no card, any card on the reader is waited for.
 * Events: as a read cycle's up to the link check ("usb connect ok",
 * "Detect the heart", ...), and its disconnect text.
 *
 * @param timeout_ms  limit in milliseconds; -1 for none (end it with
 *                    scanid_cancel()).
 * @return SCANID_CARD_REMOVED; SCANID_CARD_PRESENT at the time limit;
 *         SCANID_ERR_USB_OPEN, SCANID_ERR_SERIAL_OPEN, SCANID_ERR_HEARTBEAT
 *         (the module did not answer its link check), SCANID_CANCELLED;
 *         SCANID_ERR_BUSY or SCANID_ERR_ARGUMENT at once.
 */
SCANID_API int scanid_wait_removal(scanid_reader *reader, int timeout_ms);

/** One attached USB module, as scanid_list_usb() gives it. */
typedef struct scanid_device {
    const char *name;   /**< reader name for scanid_open(), "usb:1-1.4" */
    const char *serial; /**< the device's serial-number string, NULL if it has none */
    int bus;            /**< USB bus number */
    int address;        /**< device address on the bus (changes on a replug) */
} scanid_device;

/**
 * List the attached USB reader modules (0400:C355), in bus and port order.
 * @param list  receives an array of the modules, followed by one entry whose
 *              name is NULL; allocated by the library, freed with
 *              scanid_free_list(). Set to NULL on failure.
 * @return the number of modules (0 or more); SCANID_ERR_ARGUMENT for a null
 *         @p list; SCANID_ERR_RESOURCE when libusb or memory failed.
 *         May be called from any thread at any time.
 */
SCANID_API int scanid_list_usb(scanid_device **list);

/** Free a list from scanid_list_usb(); NULL is ignored. */
SCANID_API void scanid_free_list(scanid_device *list);

/** Hotplug events. */
enum scanid_hotplug_event {
    SCANID_HOTPLUG_ARRIVED = 1, /**< a module was plugged in */
    SCANID_HOTPLUG_LEFT = 2     /**< a module was unplugged */
};

/** scanid_hotplug_register() flags. */
enum scanid_hotplug_flag {
    /** Report the modules already attached as arrivals first. */
    SCANID_HOTPLUG_ENUMERATE = 1,
    /** Re-enumerate every SCANID_HOTPLUG_POLL_MS even where libusb has
     *  hotplug notices (for platforms whose notices are unreliable). */
    SCANID_HOTPLUG_POLL = 2
};

/** Interval of the re-enumeration used where libusb has no hotplug. */
#define SCANID_HOTPLUG_POLL_MS 500

/** A hotplug registration; opaque. */
typedef struct scanid_hotplug scanid_hotplug;

/**
 * Hotplug callback. @p device (and its strings) is valid during the call
 * only; for a module that left it is the entry the module had while
 * attached. Called on the library's hotplug thread, one call at a time.
 * It may call scanid_list_usb(), scanid_open() and the settings calls, and
 * tell other threads to read; it must not itself read, wait or call
 * scanid_hotplug_deregister() on its own registration, and should return
 * quickly.
 */
typedef void (*scanid_hotplug_cb)(int event, const scanid_device *device, void *user);

/**
 * Start reporting arrivals and removals of USB modules. The library starts
 * one thread per registration, which calls @p callback: from libusb's
 * hotplug notices where the platform has them (within a second of the
 * change), else from re-enumerating every SCANID_HOTPLUG_POLL_MS.
 * @param flags   enum scanid_hotplug_flag values, or-ed.
 * @param handle  receives the registration, ended with
 *                scanid_hotplug_deregister().
 * @return 0; SCANID_ERR_ARGUMENT for a null callback or handle;
 *         SCANID_ERR_RESOURCE when libusb or the thread failed.
 */
SCANID_API int scanid_hotplug_register(scanid_hotplug_cb callback, void *user, int flags,
                                       scanid_hotplug **handle);

/** End a registration: returns once its thread has stopped, so no call of
 *  its callback runs after it. Not from that callback; NULL is ignored. */
SCANID_API void scanid_hotplug_deregister(scanid_hotplug *handle);

/*
 * Record layouts (interface 1.4, symbol version SCANID_1.4)
 * ==========================================================
 *
 * For bindings that declare the records themselves instead of compiling
 * this header (Python's ctypes, cffi's ABI mode): the library's own view of
 * each public record, so that a binding can check its declarations against
 * the library it loaded before it hands that library a record.
 */

/** One field of a public record as this build of the library lays it out. */
typedef struct scanid_field {
    const char *record; /**< "idInfo", "scanid_record" or "scanid_device" */
    const char *field;  /**< the field's name as in this header; NULL in the
                             record's first entry, which gives its whole size */
    unsigned int offset; /**< offsetof() the field (0 for the first entry) */
    unsigned int size;   /**< sizeof() the field, or of the whole record */
} scanid_field;

/**
 * The layouts of idInfo, scanid_record and scanid_device: for each record an
 * entry with a NULL field and the record's size, then one entry per field in
 * declaration order; the array ends with an entry whose record is NULL.
 * Static and constant: never freed, may be read from any thread at any time.
 * Records keep their layout for good; later versions only append fields to
 * scanid_record (and entries to this table).
 */
SCANID_API const scanid_field *scanid_layout(void);

/** Reserved one-byte flag, zero at load; the library never reads or writes it. */
SCANID_API extern unsigned char g_OnecOpen;

#ifdef __cplusplus
}
#endif

#endif /* SCANID_H */

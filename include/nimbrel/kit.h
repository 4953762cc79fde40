/*
 * kit.h - the plug-in kit: what every plug-in writes the same way, written
 * once. It gives a plug-in
 *   - its exports (the four descriptive symbols and nbpg_handler) from one
 *     macro, NBKIT_PLUGIN;
 *   - request dispatch to named handlers, each called with its payload
 *     already checked, typed and counted;
 *   - its session keys read and written by name with typed values;
 *   - the channel status and number at hand, kept up to date from
 *     PGRP_INIT and PGRP_STATUS;
 *   - the CAN FD opt-in, NBKIT_PLUGIN_FD, with FD frames through the
 *     handlers rx_fd_frames and tx_fd_frames;
 *   - file choosers that start where the user last chose a file of their
 *     kind, nbkit_chooser_start and nbkit_chooser_keep;
 *   - the host's stream of every frame of every channel in time order
 *     (interface 0x0304), NBKIT_PLUGIN_STREAM, with the frames through
 *     the handler stream, and the channels' names kept by the kit
 *     (nbkit_chans, the handler channels);
 *   - deprecated, kept for plug-ins written before the stream: a poll
 *     tick's sent and received frames in one time order, nbkit_order.
 *
 * It is header-only and uses nothing but the C interface of nimbrel.h, so
 * a plug-in built with it is an ordinary plug-in to the host, and one
 * written without it works as before. It compiles as C (C99 and later)
 * and as C++ (the handler record is filled with designated initializers:
 * C++20, or GCC and Clang in earlier modes).
 *
 * A whole plug-in:
 *
 *   #include <nimbrel/kit.h>
 *
 *   static unsigned long frames;
 *   static GtkWidget *init(const nb_chan_status *status, uint64_t ts)
 *   {
 *       return gtk_label_new("Counting");
 *   }
 *   static void rx(const zk_frame *f, int n, uint64_t ts) { frames += n; }
 *
 *   static const nbkit_plugin plugin = { .init = init, .rx_frames = rx };
 *   NBKIT_PLUGIN(plugin, 0x0300, "Counter", "Me", "Counts frames")
 *
 * NBKIT_PLUGIN stands once in a plug-in, at file scope (outside any C++
 * namespace) in any one of its source files;
 * every other file may include this header and use nbkit_status(),
 * nbkit_chan() and the helpers. The handler record must outlive the
 * plug-in (make it static or global).
 *
 * The interface version a plug-in declares is the one it needs: 0x0300
 * (NBPG_VERSION_MIN) unless it calls a host function, or relies on a
 * request, of a later minor version. A session value longer than the
 * 511 characters of pgrp_session_key reaches a plug-in only when it
 * declares 0x0301 or later; the nbkit_key_* helpers then read it whole
 * (the kit asks the host for it where the host has nbpg_session_key_value,
 * so a plug-in of the kit loads on an older host as well).
 *
 * To see CAN FD frames, a plug-in names its FD handlers and opts in:
 *
 *   static void rx_fd(const zk_fdframe *f, int n, uint64_t ts) { ... }
 *   static const nbkit_plugin plugin = { .init = init, .rx_fd_frames = rx_fd };
 *   NBKIT_PLUGIN_FD(plugin, 0x0301, "Counter", "Me", "Counts frames")
 *
 * It then gets every frame, classic and FD, through rx_fd_frames and
 * tx_fd_frames, and none through rx_frames and tx_frames. A plug-in made
 * with NBKIT_PLUGIN gets the classic frames only, as with interface 0x0300.
 *
 * A plug-in that shows or records frames takes the stream instead:
 *
 *   static void frames(const nb_stream_frame *f, int n, uint64_t ts) { ... }
 *   static const nbkit_plugin plugin = { .init = init, .stream = frames };
 *   NBKIT_PLUGIN_STREAM(plugin, 0x0304, "Counter", "Me", "Counts frames")
 *
 * Every frame of every channel, received and sent, then comes in one time
 * order with its time on the host's time line (time_us; relative times
 * are time_us - nbkit_origin_us()) and its channel index: the host merges
 * and places them, so the plug-in keeps no clock of its own. Indexes are
 * compact and move when a channel is removed; the kit keeps a table of
 * the channels' names by index (nbkit_chans()), read again at PGRP_INIT
 * and PGRP_CHANNELS, after which the handler channels is called.
 */
#ifndef NIMBREL_KIT_H
#define NIMBREL_KIT_H

#include <libintl.h>
#include <stdint.h>
#include <string.h>

#include "nimbrel.h"

#ifdef __cplusplus
extern "C" {
#define NBKIT_C_LINKAGE extern "C"
#else
#define NBKIT_C_LINKAGE
#endif

/* ---------------------------------------------------------------------
 * Handlers. Every one is optional: a null handler means the request is
 * not wanted. ts is the request's timestamp (nimbrel.h's format; see
 * nbkit_time_us). Payloads belong to the host and are valid only during
 * the call.
 * ------------------------------------------------------------------- */
typedef struct nbkit_plugin {
    /* The plug-in's gettext text domain: at PGRP_INIT, before init, it is
     * bound to the host's locale folder with UTF-8 output. Null: none. */
    const char *text_domain;

    /* PGRP_INIT. status is the open channel's status (also nbkit_status()),
     * null if the host gave none. Returns the page, which belongs to the
     * host from then on (null: no page). */
    GtkWidget *(*init)(const nb_chan_status *status, uint64_t ts);
    /* PGRP_RELEASE: the last request; the host destroys the page after it. */
    void (*release)(void);

    /* Traffic, every 20 ms on the poll tick: do not allocate or block.
     * n is at least 1. Sent frames are those of every plug-in. */
    void (*rx_frames)(const zk_frame *frames, int n, uint64_t ts);
    void (*tx_frames)(const nb_tx_entry *sent, int n, uint64_t ts);
    void (*errors)(const zk_errs *errs, uint64_t ts);
    /* PGRP_STATUS, after nbkit_status() took the new status. */
    void (*status)(const nb_chan_status *status, uint64_t ts);

    /* PGRP_SESSION_SAVE: write the keys with the nbkit_save_* helpers (or
     * nbpg_save_key) into file. */
    void (*session_save)(void *file);
    /* A session section of this plug-in being read: load_begin, then
     * load_key for each key in file order, then load_end. The key's name
     * and value are NUL-terminated; read them with the nbkit_key_*
     * helpers. A key outside such a section is not handed on (the host
     * sends none), so load_key always finds what load_begin prepared. */
    void (*load_begin)(void);
    void (*load_key)(const pgrp_session_key *key);
    void (*load_end)(void);

    /* CAN FD (interface 0x0301), for a plug-in that opts in with
     * NBKIT_PLUGIN_FD: every frame, classic (ZK_FRAME_FDF clear) and FD,
     * received in receive order and sent in the order sent, on the poll
     * tick like rx_frames and tx_frames (which such a plug-in never gets).
     * A null handler hands its request to other. */
    void (*rx_fd_frames)(const zk_fdframe *frames, int n, uint64_t ts);
    void (*tx_fd_frames)(const nb_tx_fd_entry *sent, int n, uint64_t ts);

    /* Any request type the kit does not dispatch, such as those a later
     * minor version adds, with the record itself. */
    void (*other)(pgrp *req);

    /* The stream (interface 0x0304), for a plug-in that opts in with
     * NBKIT_PLUGIN_STREAM: every frame of the tick, received and sent,
     * classic and FD, in time order, on the host's clock (PGRP_STREAM),
     * in place of the four frame handlers above, which such a plug-in
     * never gets; declared 0x0307 or later, also the records of frames
     * written that never went out (NB_DIR_TX_LOST). A null handler hands
     * its request to other. */
    void (*stream)(const nb_stream_frame *frames, int n, uint64_t ts);

    /* PGRP_CHANNELS (0x0304, stream plug-ins): channels were added or
     * removed; nbkit_chans() holds their names already. A null handler
     * hands the request to other. */
    void (*channels)(void);
} nbkit_plugin;

/* ---------------------------------------------------------------------
 * Channels by index (0x0304). A channel's index changes when one below it
 * is removed; its name ("ch3", nb_chan_get_name) does not, so a plug-in
 * that keeps frames keeps a slot: channels get slots in the order the
 * table first saw their names, and a slot keeps its name for the table's
 * life. On a host before 0x0304 the table holds the main channel alone.
 * ------------------------------------------------------------------- */
#define NBKIT_CHAN_NAME 16    /* a channel's name, NUL included */
#define NBKIT_CHAN_SLOTS 64   /* names a table keeps; later ones share the last */
#define NBKIT_CHAN_INDEXES 256

typedef struct nbkit_chans_s {
    int count;                                  /* channels the host has now */
    int nslots;
    char name[NBKIT_CHAN_SLOTS][NBKIT_CHAN_NAME];
    char log_name[NBKIT_CHAN_SLOTS][NBKIT_CHAN_NAME];   /* see nbkit_chans_log_name */
    uint8_t slot_of[NBKIT_CHAN_INDEXES];        /* by index, valid below count */
} nbkit_chans_t;

/* What the kit keeps for its plug-in; read it through the functions below.
 * NBKIT_PLUGIN defines the one instance of a plug-in. */
typedef struct nbkit_state {
    nb_chan_status status;  /* the latest of PGRP_INIT and PGRP_STATUS */
    int32_t chan;           /* channel number of the latest request */
    int loading;            /* between PGRP_SESSION_LOAD_BEGIN and _END */
    int32_t channel;        /* channel index of the latest request (0x0304) */
    nbkit_chans_t chans;    /* names by index, read at PGRP_INIT and PGRP_CHANNELS */
} nbkit_state;

/* The key load_key is given and its whole value (null: the record's).
 * NBKIT_PLUGIN defines it; code that reads keys without it (a test) finds
 * none and reads the record. */
typedef struct nbkit_whole_value {
    const pgrp_session_key *key;
    const char *value;
} nbkit_whole_value;
extern nbkit_whole_value nbkit_whole __attribute__((weak, visibility("hidden")));

/* The host export of 0x0301, looked for where the host has it. */
extern const char *nbpg_session_key_value(const pgrp *req) __attribute__((weak));
/* Those of 0x0304, likewise. */
extern int32_t pgrp_get_channel(const pgrp *req) __attribute__((weak));
extern int nb_chan_count(void) __attribute__((weak));
extern int nb_chan_get_name(int channel, char *buf, size_t size) __attribute__((weak));
extern int nb_chan_get_adapter(int channel, nb_chan_adapter *out) __attribute__((weak));

extern nbkit_state nbkit_self __attribute__((visibility("hidden")));

/* The main channel's status as the host last gave it (zeroed until it
 * gave one). The host sends every change of the channel's state or
 * settings; a stream plug-in's status handler also hears of the other
 * channels (nbkit_channel() says which), which leave this as it is. */
static inline const nb_chan_status *nbkit_status(void)
{
    return &nbkit_self.status;
}

/* The number of the channel the host has open. */
static inline int nbkit_chan(void)
{
    return nbkit_self.chan;
}

/* The channel index the request being handled is about (PGRP_STATUS,
 * PGRP_ERRORS: 0x0304); 0, the main channel, for any other. */
static inline int nbkit_channel(void)
{
    return nbkit_self.channel;
}

static inline void nbkit_chans_reset(nbkit_chans_t *c)
{
    memset(c, 0, sizeof *c);
}

/* The name a candump log gives the channel with this index: the
 * interface of a SocketCAN channel on a board of one interface (the
 * board's name says "SocketCAN vcan0, driver vcan"), else can<N> with N
 * the channel's number in the adapter library. */
static inline void nbkit_chan_log_name(int index, char *out, size_t size)
{
    nb_chan_adapter a;
    if (!nb_chan_get_adapter || nb_chan_get_adapter(index, &a) != 0) {
        g_snprintf(out, size, "can%d", index);
        return;
    }
    const char *prefix = "SocketCAN ";
    size_t plen = strlen(prefix);
    if (strncmp(a.board, prefix, plen) == 0) {
        const char *ifs = a.board + plen;
        size_t len = strcspn(ifs, ", ");
        if (len > 0 && len < size && len < NBKIT_CHAN_NAME && strncmp(ifs + len, ", ", 2) == 0) {
            memcpy(out, ifs, len);
            out[len] = '\0';
            return;
        }
    }
    g_snprintf(out, size, "can%u", (unsigned)a.number);
}

/* Whether a slot below `below` has a log name ending in the same number as
 * name (none: 0): a candump reader takes that number for the channel. */
static inline int nbkit_log_number_taken(const nbkit_chans_t *c, int below, const char *name)
{
    size_t n = strlen(name);
    for (int s = 0; s < below; s++) {
        const char *o = c->log_name[s];
        size_t m = strlen(o), i = n, j = m;
        while (i > 0 && name[i - 1] >= '0' && name[i - 1] <= '9')
            i--;
        while (j > 0 && o[j - 1] >= '0' && o[j - 1] <= '9')
            j--;
        unsigned a = 0, b = 0;
        for (size_t k = i; k < n && a < 100000u; k++)
            a = a * 10u + (unsigned)(name[k] - '0');
        for (size_t k = j; k < m && b < 100000u; k++)
            b = b * 10u + (unsigned)(o[k] - '0');
        if (a == b)
            return 1;
    }
    return 0;
}

/* The slot of a name, taken when it is new (the last slot when all are);
 * index, when not negative, is the channel's, for its log name. */
static inline int nbkit_chans_take(nbkit_chans_t *c, const char *name, int index)
{
    for (int s = 0; s < c->nslots; s++)
        if (strcmp(c->name[s], name) == 0)
            return s;
    if (c->nslots == NBKIT_CHAN_SLOTS)
        return NBKIT_CHAN_SLOTS - 1;
    int slot = c->nslots++;
    g_strlcpy(c->name[slot], name, NBKIT_CHAN_NAME);
    if (index >= 0)
        nbkit_chan_log_name(index, c->log_name[slot], NBKIT_CHAN_NAME);
    else
        g_strlcpy(c->log_name[slot], name, NBKIT_CHAN_NAME);
    /* Two channels never share a name in one log, nor the number a reader
     * takes from its end (vcan0 beside can0): the channel's own name then,
     * else can<M> with the lowest number no other name ends in. */
    if (nbkit_log_number_taken(c, slot, c->log_name[slot])) {
        g_strlcpy(c->log_name[slot], name, NBKIT_CHAN_NAME);
        for (unsigned m = 0; nbkit_log_number_taken(c, slot, c->log_name[slot]); m++)
            g_snprintf(c->log_name[slot], NBKIT_CHAN_NAME, "can%u", m);
    }
    return slot;
}

static inline int nbkit_chans_slot_named(nbkit_chans_t *c, const char *name)
{
    return nbkit_chans_take(c, name, -1);
}

/* Reads the host's channels and their names again. Allocates nothing: it
 * may be called on the poll tick. */
static inline void nbkit_chans_sync(nbkit_chans_t *c)
{
    int n = nb_chan_count ? nb_chan_count() : 1;
    if (n < 1)
        n = 1;
    if (n > NBKIT_CHAN_INDEXES)
        n = NBKIT_CHAN_INDEXES;
    for (int i = 0; i < n; i++) {
        char name[NBKIT_CHAN_NAME];
        if (!nb_chan_get_name || nb_chan_get_name(i, name, sizeof name) != 0 || !name[0])
            g_snprintf(name, sizeof name, i == 0 ? "ch%d" : "#%d", i == 0 ? nbkit_self.chan : i);
        c->slot_of[i] = (uint8_t)nbkit_chans_take(c, name, i);
    }
    c->count = n;
}

/* The slot of the channel with this index; an index the table does not
 * know yet (a channel added since) makes it read the host's again. */
static inline int nbkit_chans_slot(nbkit_chans_t *c, int index)
{
    if (index < 0 || index >= NBKIT_CHAN_INDEXES)
        return NBKIT_CHAN_SLOTS - 1;
    if (index >= c->count)
        nbkit_chans_sync(c);
    return index < c->count ? c->slot_of[index] : NBKIT_CHAN_SLOTS - 1;
}

/* A slot's name ("" for a slot not taken). */
static inline const char *nbkit_chans_name(const nbkit_chans_t *c, int slot)
{
    return slot >= 0 && slot < c->nslots ? c->name[slot] : "";
}

/* The name a candump log gives the slot's channel (nbkit_chan_log_name,
 * taken when the slot was; the channel's own name where two would be the
 * same); "" for a slot not taken. */
static inline const char *nbkit_chans_log_name(const nbkit_chans_t *c, int slot)
{
    return slot >= 0 && slot < c->nslots ? c->log_name[slot] : "";
}

/* The kit's own table: slots since the plug-in was loaded. */
static inline nbkit_chans_t *nbkit_chans(void)
{
    return &nbkit_self.chans;
}

/* A timestamp (pgrp, nb_tx_entry, nbsdep_timestamp_get) as microseconds
 * since the Unix epoch; 0 for a time before it. */
static inline int64_t nbkit_time_us(uint64_t ts)
{
    if (ts < NB_TIMESTAMP_UNIX_EPOCH)
        return 0;
    return (int64_t)((ts - NB_TIMESTAMP_UNIX_EPOCH) / 10u);
}

/* The program's time origin (nb_get_time_origin, 0x0301) in the same
 * microseconds: relative times are t - nbkit_origin_us(). */
static inline int64_t nbkit_origin_us(void)
{
    return nbkit_time_us(nb_get_time_origin());
}

/* A stream frame's time relative to the program's time origin, in
 * microseconds. */
static inline int64_t nbkit_stream_rel_us(const nb_stream_frame *f)
{
    return (int64_t)f->time_us - nbkit_origin_us();
}

/* ---------------------------------------------------------------------
 * Session keys, written by name (in session_save). Each returns
 * nbpg_save_key's result: 0, NB_CFG_E_BADNAME or NB_CFG_E_IO.
 * ------------------------------------------------------------------- */
static inline int nbkit_save_text(void *file, const char *name, const char *text)
{
    return nbpg_save_key(file, name, text ? text : "");
}

static inline int nbkit_save_int(void *file, const char *name, long long value)
{
    char text[32];
    g_snprintf(text, sizeof text, "%lld", value);
    return nbpg_save_key(file, name, text);
}

/* "1" or "0". */
static inline int nbkit_save_bool(void *file, const char *name, int value)
{
    return nbpg_save_key(file, name, value ? "1" : "0");
}

/* With a printf format for one double ("%.2f", "%.6g"), always with a
 * decimal point whatever the locale. */
static inline int nbkit_save_double(void *file, const char *name, const char *format, double value)
{
    char text[G_ASCII_DTOSTR_BUF_SIZE];
    return nbpg_save_key(file, name, g_ascii_formatd(text, sizeof text, format, value));
}

/* One word of a null-terminated list, chosen by its index; an index
 * outside the list writes nothing and gives NB_CFG_E_IO. */
static inline int nbkit_save_choice(void *file, const char *name, const char *const *words, int index)
{
    for (int i = 0; words[i]; i++)
        if (i == index)
            return nbpg_save_key(file, name, words[i]);
    return NB_CFG_E_IO;
}

/* ---------------------------------------------------------------------
 * Session keys, read by name (in load_key). Names compare without regard
 * to ASCII letter case. Each reader returns 1 when the key has that name
 * and its value is valid, after storing it; else 0, leaving *out as it
 * was, so a bad value keeps the setting the plug-in had.
 * ------------------------------------------------------------------- */
static inline int nbkit_key_is(const pgrp_session_key *key, const char *name)
{
    return g_ascii_strcasecmp(key->name, name) == 0;
}

/* The key's whole value (the record holds a value only when it fits). */
static inline const char *nbkit_key_value(const pgrp_session_key *key)
{
    const nbkit_whole_value *w = &nbkit_whole;
    return w && w->key == key && w->value ? w->value : key->value;
}

/* The text as it stands (whole, see nbkit_key_value), cut to size: give
 * room for NBPG_SESSION_VALUE_MAX where a cut text would mislead (a path). */
static inline int nbkit_key_text(const pgrp_session_key *key, const char *name, char *out, size_t size)
{
    if (!nbkit_key_is(key, name))
        return 0;
    g_strlcpy(out, nbkit_key_value(key), size);
    return 1;
}

/* A whole number as the host reads one (nbpg_keyval_get_int: decimal or
 * 0x hexadecimal, optionally followed by a '#' comment). */
static inline int nbkit_key_int(const pgrp_session_key *key, const char *name, int32_t *out)
{
    int32_t v = 0;
    if (!nbkit_key_is(key, name) || nbpg_keyval_get_int(nbkit_key_value(key), &v) != 0)
        return 0;
    *out = v;
    return 1;
}

/* A number: non-zero is true (1), zero false (0). */
static inline int nbkit_key_bool(const pgrp_session_key *key, const char *name, int *out)
{
    int32_t v = 0;
    if (!nbkit_key_int(key, name, &v))
        return 0;
    *out = v != 0;
    return 1;
}

/* A number with a decimal point (never the locale's comma) within
 * [min, max], the whole value (blanks after it aside): "7FF#01" is no
 * number, not 7. */
static inline int nbkit_key_double(const pgrp_session_key *key, const char *name, double min,
                                   double max, double *out)
{
    if (!nbkit_key_is(key, name))
        return 0;
    const char *text = nbkit_key_value(key);
    char *end = NULL;
    double v = g_ascii_strtod(text, &end);
    if (end == text)
        return 0;
    while (*end == ' ' || *end == '\t')
        end++;
    if (*end || !(v >= min && v <= max))
        return 0;
    *out = v;
    return 1;
}

/* One word of a null-terminated list (any letter case): *out is its index. */
static inline int nbkit_key_choice(const pgrp_session_key *key, const char *name,
                                   const char *const *words, int *out)
{
    if (!nbkit_key_is(key, name))
        return 0;
    for (int i = 0; words[i]; i++)
        if (g_ascii_strcasecmp(nbkit_key_value(key), words[i]) == 0) {
            *out = i;
            return 1;
        }
    return 0;
}

/* ---------------------------------------------------------------------
 * Deprecated since 0x0304 (the stream, NBKIT_PLUGIN_STREAM, has every
 * frame in time order on the host's clock); kept unchanged for plug-ins
 * written before it.
 * Sent and received frames in one time order. In each poll tick the host
 * hands on the frames sent through it before the frames received, though
 * a frame received during the tick may be older than one sent in it. Each
 * list is in time order on its own, and both carry the channel's clock in
 * the frame's ts (the receive time; for a sent frame the moment the
 * adapter library accepted it). A plug-in that shows or records frames in
 * one sequence therefore holds the sent frames (nbkit_order_hold, in
 * tx_fd_frames) and merges them with the received ones
 * (nbkit_order_merge, in rx_fd_frames). At equal times the received frame
 * comes first. A tick that received nothing has no received frames'
 * request: merge with none (rx null, nrx 0) before anything else goes
 * into the sequence (an error report, a status line) and now and then (a
 * refresh), so that sent frames do not wait for the next received ones.
 * Nothing is allocated; the record is large (keep it static).
 * ------------------------------------------------------------------- */
#define NBKIT_ORDER_HELD 512   /* sent frames held, one request's worth */

typedef struct nbkit_order {
    nb_tx_fd_entry held[NBKIT_ORDER_HELD];  /* sent frames, oldest first */
    int nheld;
    uint64_t held_ts;                       /* request time of the latest held */
} nbkit_order;

/* a before b on the channel's clock, which wraps (32-bit microseconds):
 * compared by their difference. */
static inline int nbkit_clock_before(uint32_t a, uint32_t b)
{
    return (int32_t)(a - b) < 0;
}

/* Holds up to n sent frames of the request at time ts; returns how many
 * found room (when fewer: merge with none, then hold the rest). */
static inline int nbkit_order_hold(nbkit_order *o, const nb_tx_fd_entry *sent, int n, uint64_t ts)
{
    int room = NBKIT_ORDER_HELD - o->nheld;
    if (n > room)
        n = room;
    if (n <= 0)
        return 0;
    memcpy(o->held + o->nheld, sent, (size_t)n * sizeof *sent);
    o->nheld += n;
    o->held_ts = ts;
    return n;
}

/* Holds all n sent frames of the request at time ts, handing the held
 * ones on with flush (the plug-in's merge with none) whenever there is no
 * more room. */
static inline void nbkit_order_hold_all(nbkit_order *o, const nb_tx_fd_entry *sent, int n,
                                        uint64_t ts, void (*flush)(void))
{
    while (n > 0) {
        int took = nbkit_order_hold(o, sent, n, ts);
        sent += took;
        n -= took;
        if (n > 0)
            flush();
    }
}

/* The channel clock's first and last time among the held frames and the
 * nrx received ones (rx may be null when nrx is 0); 0 when there are
 * none, else 1. */
static inline int nbkit_order_span(const nbkit_order *o, const zk_fdframe *rx, int nrx,
                                   uint32_t *first, uint32_t *last)
{
    if (nrx <= 0 && o->nheld == 0)
        return 0;
    if (nrx <= 0) {
        *first = o->held[0].frame.ts;
        *last = o->held[o->nheld - 1].frame.ts;
        return 1;
    }
    *first = rx[0].ts;
    *last = rx[nrx - 1].ts;
    if (o->nheld > 0) {
        if (nbkit_clock_before(o->held[0].frame.ts, *first))
            *first = o->held[0].frame.ts;
        if (nbkit_clock_before(*last, o->held[o->nheld - 1].frame.ts))
            *last = o->held[o->nheld - 1].frame.ts;
    }
    return 1;
}

/* One frame of the merged sequence: a received one (sent null) or a held
 * sent one (frame is &sent->frame). */
typedef void (*nbkit_order_fn)(void *ctx, const zk_fdframe *frame, const nb_tx_fd_entry *sent);

/* Hands the held frames and the nrx received ones (rx may be null when
 * nrx is 0) to each, in time order; nothing is held afterwards. Returns
 * how many it handed on. */
static inline int nbkit_order_merge(nbkit_order *o, const zk_fdframe *rx, int nrx,
                                    nbkit_order_fn each, void *ctx)
{
    int i = 0, j = 0;
    if (nrx < 0)
        nrx = 0;
    while (i < o->nheld || j < nrx) {
        if (j < nrx && (i >= o->nheld || !nbkit_clock_before(o->held[i].frame.ts, rx[j].ts))) {
            each(ctx, &rx[j], NULL);
            j++;
        } else {
            each(ctx, &o->held[i].frame, &o->held[i]);
            i++;
        }
    }
    o->nheld = 0;
    return i + j;
}

/* ---------------------------------------------------------------------
 * File choosers. Every chooser of a kind of file (NB_FOLDER_LOGS,
 * NB_FOLDER_DBC, NB_FOLDER_SESSIONS, NB_FOLDER_EXPORTS) starts in the
 * folder where the user last chose such a file, in this plug-in, another
 * one or the host, which the host keeps in the session (nb_get_folder,
 * nb_set_folder, 0x0303). The kit asks the host only where it has them,
 * so a plug-in using these loads on an older host as well (its choosers
 * then start in fallback) and may keep declaring its older version.
 * ------------------------------------------------------------------- */
extern int nb_get_folder(int kind, char *buf, size_t size) __attribute__((weak));
extern int nb_set_folder(int kind, const char *folder) __attribute__((weak));

/* Sets the chooser's current folder: the kind's folder, else fallback (a
 * folder in UTF-8, or null), else the home folder; never the toolkit's
 * list of recent files. Call it before setting a file name to select. */
static inline void nbkit_chooser_start(GtkFileChooser *chooser, int kind, const char *fallback)
{
    char folder[NB_FOLDER_MAX];
    const char *start = nb_get_folder && nb_get_folder(kind, folder, sizeof folder) == 0 ? folder : fallback;
    gchar *local = start ? g_filename_from_utf8(start, -1, NULL, NULL, NULL) : NULL;
    if (!local || !g_file_test(local, G_FILE_TEST_IS_DIR)) {
        g_free(local);
        local = g_strdup(g_get_home_dir());
    }
    gtk_file_chooser_set_current_folder(chooser, local);
    g_free(local);
}

/* After the user accepted the chooser: the folder of the chosen file (the
 * folder itself for a folder chooser) becomes the kind's folder. */
static inline void nbkit_chooser_keep(GtkFileChooser *chooser, int kind)
{
    gchar *chosen = gtk_file_chooser_get_filename(chooser);
    if (!chosen || !nb_set_folder) {
        g_free(chosen);
        return;
    }
    gchar *dir = gtk_file_chooser_get_action(chooser) == GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER
                     ? g_strdup(chosen)
                     : g_path_get_dirname(chosen);
    gchar *utf8 = g_filename_to_utf8(dir, -1, NULL, NULL, NULL);
    if (utf8)
        nb_set_folder(kind, utf8);
    g_free(utf8);
    g_free(dir);
    g_free(chosen);
}

/* ---------------------------------------------------------------------
 * Dispatch: what NBKIT_PLUGIN's nbpg_handler does with each request.
 * ------------------------------------------------------------------- */
static inline int nbkit_dispatch(const nbkit_plugin *p, pgrp *req)
{
    if (!req)
        return 0;
    nbkit_state *k = &nbkit_self;
    void *data = pgrp_get_data_ptr(req);
    uint64_t size = pgrp_get_data_size(req);
    uint64_t ts = pgrp_get_timestamp(req);
    int have_status = data && size >= sizeof(nb_chan_status);
    k->chan = pgrp_get_chan(req);
    k->channel = pgrp_get_channel ? pgrp_get_channel(req) : 0;
    switch (pgrp_get_type(req)) {
    case PGRP_INIT:
        k->loading = 0;
        k->channel = 0;
        memset(&k->status, 0, sizeof k->status);
        if (have_status)
            memcpy(&k->status, data, sizeof k->status);
        nbkit_chans_reset(&k->chans);
        nbkit_chans_sync(&k->chans);
        if (p->text_domain) {
            const char *dir = nb_get_locale_dir();
            if (dir && *dir)
                bindtextdomain(p->text_domain, dir);
            bind_textdomain_codeset(p->text_domain, "UTF-8");
        }
        if (p->init)
            pgrp_set_result_ptr(req, p->init(have_status ? &k->status : NULL, ts));
        break;
    case PGRP_RELEASE:
        k->loading = 0;
        if (p->release)
            p->release();
        break;
    case PGRP_RX_FRAMES:
        if (data && p->rx_frames && size >= sizeof(zk_frame))
            p->rx_frames((const zk_frame *)data, (int)(size / sizeof(zk_frame)), ts);
        break;
    case PGRP_TX_FRAMES:
        if (data && p->tx_frames && size >= sizeof(nb_tx_entry))
            p->tx_frames((const nb_tx_entry *)data, (int)(size / sizeof(nb_tx_entry)), ts);
        break;
    case PGRP_RX_FD_FRAMES:
        if (!p->rx_fd_frames)
            goto other;
        if (data && size >= sizeof(zk_fdframe))
            p->rx_fd_frames((const zk_fdframe *)data, (int)(size / sizeof(zk_fdframe)), ts);
        break;
    case PGRP_TX_FD_FRAMES:
        if (!p->tx_fd_frames)
            goto other;
        if (data && size >= sizeof(nb_tx_fd_entry))
            p->tx_fd_frames((const nb_tx_fd_entry *)data, (int)(size / sizeof(nb_tx_fd_entry)), ts);
        break;
    case PGRP_STREAM:
        if (!p->stream)
            goto other;
        if (data && size >= sizeof(nb_stream_frame))
            p->stream((const nb_stream_frame *)data, (int)(size / sizeof(nb_stream_frame)), ts);
        break;
    case PGRP_ERRORS:
        if (data && p->errors && size >= sizeof(zk_errs))
            p->errors((const zk_errs *)data, ts);
        break;
    case PGRP_STATUS:
        if (have_status) {
            if (k->channel == 0) {
                memcpy(&k->status, data, sizeof k->status);
                if (p->status)
                    p->status(&k->status, ts);
            } else if (p->status) {
                nb_chan_status other;
                memcpy(&other, data, sizeof other);
                p->status(&other, ts);
            }
        }
        break;
    case PGRP_CHANNELS:
        nbkit_chans_sync(&k->chans);
        if (!p->channels)
            goto other;
        p->channels();
        break;
    case PGRP_SESSION_SAVE:
        if (data && p->session_save)
            p->session_save(data);
        break;
    case PGRP_SESSION_LOAD_BEGIN:
        k->loading = 1;
        if (p->load_begin)
            p->load_begin();
        break;
    case PGRP_SESSION_LOAD_KEY:
        if (k->loading && p->load_key && data && size >= sizeof(pgrp_session_key)) {
            /* The host's fields may be full to the last byte: the handler
             * gets NUL-terminated copies. */
            pgrp_session_key key;
            memcpy(&key, data, sizeof key);
            key.name[sizeof key.name - 1] = '\0';
            key.value[sizeof key.value - 1] = '\0';
            nbkit_whole.key = &key;
            nbkit_whole.value = nbpg_session_key_value ? nbpg_session_key_value(req) : NULL;
            p->load_key(&key);
            nbkit_whole.key = NULL;
            nbkit_whole.value = NULL;
        }
        break;
    case PGRP_SESSION_LOAD_END:
        if (k->loading) {
            k->loading = 0;
            if (p->load_end)
                p->load_end();
        }
        break;
    default:
    other:
        if (p->other)
            p->other(req);
        break;
    }
    return 0;
}

/* The plug-in's exports: interface version (the one the plug-in needs,
 * at least NBPG_VERSION_MIN), display name, author and description
 * (string literals, UTF-8), and nbpg_handler dispatching to the handlers
 * of the nbkit_plugin record named first. */
/* A plug-in built with a GETTEXT_PACKAGE names it as its text domain, so
 * that the host shows its name translated. */
#ifdef GETTEXT_PACKAGE
#define NBKIT_TEXT_DOMAIN \
    NBKIT_C_LINKAGE NBPG_EXPORT const char __nbpg_text_domain[] = GETTEXT_PACKAGE;
#else
#define NBKIT_TEXT_DOMAIN
#endif

#define NBKIT_PLUGIN(handlers, version, name, author, description)                \
    NBKIT_PLUGIN_EXPORTS_(handlers, version, name, author, description)

/* The same for a plug-in that handles CAN FD: it also exports
 * __nbpg_features with NBPG_FEATURE_FD, so the host sends it
 * PGRP_RX_FD_FRAMES and PGRP_TX_FD_FRAMES (rx_fd_frames, tx_fd_frames) in
 * place of the classic request types. version must be 0x0301 or later
 * (the host reads the opt-in from then on); a lower one fails to compile. */
#define NBKIT_PLUGIN_FD(handlers, version, name, author, description)             \
    typedef char nbkit_fd_needs_version_0x0301[(version) >= NBPG_VERSION_FEATURES ? 1 : -1]; \
    NBKIT_C_LINKAGE NBPG_EXPORT const uint32_t __nbpg_features = NBPG_FEATURE_FD; \
    NBKIT_PLUGIN_EXPORTS_(handlers, version, name, author, description)

/* The same for a plug-in that takes the host's stream: it exports
 * __nbpg_features with NBPG_FEATURE_STREAM, so the host sends it
 * PGRP_STREAM (the handler stream) in place of the four frame requests.
 * version must be 0x0304 or later; a lower one fails to compile. */
#define NBKIT_PLUGIN_STREAM(handlers, version, name, author, description)         \
    typedef char nbkit_stream_needs_version_0x0304[(version) >= NBPG_VERSION_STREAM ? 1 : -1]; \
    NBKIT_C_LINKAGE NBPG_EXPORT const uint32_t __nbpg_features = NBPG_FEATURE_STREAM; \
    NBKIT_PLUGIN_EXPORTS_(handlers, version, name, author, description)

#define NBKIT_PLUGIN_EXPORTS_(handlers, version, name, author, description)       \
    __attribute__((visibility("hidden"))) nbkit_state nbkit_self;                  \
    __attribute__((visibility("hidden"))) nbkit_whole_value nbkit_whole;           \
    NBKIT_TEXT_DOMAIN                                                             \
    NBKIT_C_LINKAGE NBPG_EXPORT const uint16_t __nbpg_version = (version);        \
    NBKIT_C_LINKAGE NBPG_EXPORT const char __nbpg_name[] = name;                  \
    NBKIT_C_LINKAGE NBPG_EXPORT const char __nbpg_author[] = author;              \
    NBKIT_C_LINKAGE NBPG_EXPORT const char __nbpg_description[] = description;    \
    NBKIT_C_LINKAGE NBPG_EXPORT int nbpg_handler(pgrp *req);                      \
    NBKIT_C_LINKAGE NBPG_EXPORT int nbpg_handler(pgrp *req)                       \
    {                                                                             \
        return nbkit_dispatch(&(handlers), req);                                  \
    }

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* NIMBREL_KIT_H */

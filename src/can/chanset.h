/*
 * chanset.h - the channels of the window: index 0 is the main channel
 * (nb_app.chan, the one chosen at start), 1.. the channels the user added.
 * Indexes are compact: removing a channel moves the ones above it down,
 * and the plug-ins are told (PGRP_CHANNELS).
 */
#ifndef NB_CAN_CHANSET_H
#define NB_CAN_CHANSET_H

#include <stdint.h>

#include "app/nb_defs.h"
#include "can/chan.h"

#define NB_CHAN_MAX 16            /* channels in one window, the main one included */

/* A channel's settings as a value: what a session keeps for a channel and
 * what an added channel is opened with, applied once. */
struct nb_chan_settings {
    uint8_t frame_format;         /* ZK_OPEN_STD, ZK_OPEN_EXT or ZK_OPEN_BOTH */
    uint8_t fd;                   /* NB_FD_OFF, NB_FD_ISO, NB_FD_NON_ISO */
    uint8_t lom;                  /* 1: listen-only mode */
    int32_t baud_index;           /* 0 manual (bt0, bt1), 1..9 predefined */
    uint8_t bt0;
    uint8_t bt1;
    uint32_t data_kbit;           /* CAN FD data-phase bit rate */
    uint16_t data_sp;             /* its sample point, permille; 0 the adapter's */
    uint32_t acc_code;
    uint32_t acc_mask;
    uint16_t wtout;               /* write timeout, ms */
};

struct nb_chanset {
    nb_chan *at[NB_CHAN_MAX];     /* [0] &nb_app.chan; [1, count) added, owned */
    int32_t count;                /* 1 while the main channel is alone */
    int32_t selected;             /* the channel the left pane shows */
    uint32_t changes;             /* counts adds and removes */
    nb_chan *closing;             /* being removed: sends refused, its last frames handed on */
};

/* Failure of chanset_add when NB_CHAN_MAX channels are open. */
#define NB_CHANSET_E_FULL ZK_E_NOMEM

/* The defaults of a new channel: both formats, classic, 500 kbit/s,
 * 2 Mbit/s data rate, all identifiers accepted, 20 ms write timeout. */
void     chan_settings_default(nb_chan_settings *s);
/* The settings a channel record holds now. */
void     chan_settings_of(const nb_chan *chan, nb_chan_settings *out);
/* The channel's name as the window and the plug-ins show it: "ch3" for
 * the library's channel 3. */
void     chan_name(const nb_chan *chan, char *buf, size_t size);

/* Sets the main channel as index 0; app_init calls it once. */
void     chanset_init(nb_app *app);
/* Opens the library's channel number with the settings as a new channel,
 * stopped (listen-only mode switched on when asked). Returns 0 with *index
 * its index; or a failure with nothing added: ZK_E_BUSY when the window
 * has that channel already, NB_CHANSET_E_FULL, or the library's result
 * (chan_open's step in *step when not null). */
int32_t  chanset_add(nb_app *app, uint8_t number, const nb_chan_settings *s, int32_t *index,
                     const char **step);
/* Removes an added channel (index >= 1): its frames waiting now are handed
 * on, then it is stopped, closed and freed. ZK_E_NOCHAN for the main
 * channel or an index that names none; ZK_E_BUSY while a poll tick is
 * under way (from a main loop a plug-in runs inside a request). */
int32_t  chanset_remove(nb_app *app, int32_t index);
/* Sends a frame, classic or FD, on the channel at index, from
 * any thread: under a lock that adding and removing take, so the channel
 * cannot go meanwhile. With name (chan_name's), a channel that is no
 * longer the one at that index is refused too. ZK_E_NOCHAN when there is
 * none, else the send's result. No allocation. */
int32_t  chanset_send(nb_app *app, int32_t index, const char *name, const zk_fdframe *frame);
/* Removes every added channel (end of a pass). */
void     chanset_remove_all(nb_app *app);
/* The channel at an index; null outside [0, count). */
nb_chan *chanset_at(nb_app *app, int32_t index);
/* The index of the channel with this library number; -1 when none. */
int32_t  chanset_find(const nb_app *app, uint8_t number);

#endif /* NB_CAN_CHANSET_H */

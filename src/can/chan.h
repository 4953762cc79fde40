/*
 * chan.h - the channel operations, for the two files that implement them
 * (chan.cpp, bitrate.cpp) and for their tests. Everyone else reaches them
 * through nb_chan_ops.
 */
#ifndef NB_CAN_CHAN_H
#define NB_CAN_CHAN_H

#include "app/nb_app.h"

/* Highest bit-rate index; 0 is the manual rate. */
#define NB_BAUD_INDEX_MAX 9
#define NB_BAUD_INDEX_DEFAULT 7
/* Result of set_baud for an index outside 0..9. */
#define NB_BAUD_E_INDEX (-6)
/* Display names are this long, blank-padded. */
#define NB_BAUD_NAME_LEN 25

/* bitrate.cpp */
int32_t     chan_set_baud(nb_chan *chan, int32_t index, uint8_t bt0, uint8_t bt1);
void        chan_get_baud_regs(nb_chan *chan, int32_t index, uint8_t *bt0, uint8_t *bt1);
const char *chan_baud_name(int32_t index);
/* CAN FD channels only (else ZK_E_NOFD): data rate in kbit/s (1..65535),
 * sample point in permille (0: the adapter's default). */
int32_t     chan_set_data_rate(nb_chan *chan, uint32_t kbit, uint16_t sample_point);
int32_t     chan_autobaud(nb_chan *chan, int32_t method, int32_t timeout_ms,
                          nb_autobaud_cb progress, void *progress_data,
                          nb_autobaud_cb tick, void *tick_data);

#endif /* NB_CAN_CHAN_H */

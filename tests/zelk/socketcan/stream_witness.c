/*
 * stream_witness.c - the plug-in of interface 0x0304 the two-channel test
 * in the guest loads. It writes every stream record to
 * $NB_WITNESS_DIR/stream.frames, one line each:
 *   <time_us> <channel index> <channel name> <rx|tx> <frame>
 * with the frame in candump's syntax (ID#DATA, ID#R, ID##<flags>DATA).
 * A received frame with identifier 0x7FF makes it send one frame on every
 * channel: 0x7A0 + index, FD with BRS where the channel is FD.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "nimbrel/nimbrel.h"

NBPG_EXPORT const uint16_t __nbpg_version = 0x0304;
NBPG_EXPORT const uint32_t __nbpg_features = NBPG_FEATURE_STREAM;
NBPG_EXPORT const char __nbpg_name[] = "Witness stream";
NBPG_EXPORT const char __nbpg_author[] = "Nimbrel tests";
NBPG_EXPORT const char __nbpg_description[] = "Writes down every frame of every channel";

static FILE *g_out;

static void line(const nb_stream_frame *f)
{
    char name[32] = "?";
    (void)nb_chan_get_name(f->channel, name, sizeof name);
    fprintf(g_out, "%llu %u %s %s ", (unsigned long long)f->time_us, (unsigned)f->channel, name,
            f->dir == NB_DIR_TX ? "tx" : "rx");
    if (f->flags & ZK_FRAME_EFF)
        fprintf(g_out, "%08X", (unsigned)f->id);
    else
        fprintf(g_out, "%03X", (unsigned)f->id);
    if (f->flags & ZK_FRAME_FDF)
        fprintf(g_out, "##%X", (unsigned)(((f->flags & ZK_FRAME_BRS) ? 1 : 0) |
                                          ((f->flags & ZK_FRAME_ESI) ? 2 : 0)));
    else if (f->flags & ZK_FRAME_RTR)
        fputs("#R", g_out);
    else
        fputc('#', g_out);
    for (int i = 0; i < f->len && i < 64 && !(f->flags & ZK_FRAME_RTR); i++)
        fprintf(g_out, "%02X", f->data[i]);
    fputc('\n', g_out);
}

static void send_on_every_channel(void)
{
    for (int c = 0; c < nb_chan_count(); c++) {
        nb_chan_status st;
        memset(&st, 0, sizeof st);
        (void)nb_chan_get_status(c, &st);
        zk_fdframe f;
        memset(&f, 0, sizeof f);
        f.id = 0x7A0u + (uint32_t)c;
        if (st.fd) {
            f.flags = ZK_FRAME_FDF | ZK_FRAME_BRS;
            f.len = 12;
        } else {
            f.len = 3;
        }
        for (int i = 0; i < f.len; i++)
            f.data[i] = (uint8_t)(0x5A + c + i);
        if (nb_chan_send(c, &f) < 0)
            fprintf(g_out, "send on channel %d failed\n", c);
    }
}

NBPG_EXPORT int nbpg_handler(pgrp *req)
{
    switch (pgrp_get_type(req)) {
    case PGRP_INIT: {
        const char *dir = getenv("NB_WITNESS_DIR");
        char path[1024];
        if (dir) {
            snprintf(path, sizeof path, "%s/stream.frames", dir);
            g_out = fopen(path, "w");
        }
        pgrp_set_result_ptr(req, gtk_label_new(__nbpg_name));
        break;
    }
    case PGRP_STREAM: {
        if (!g_out)
            break;
        const nb_stream_frame *f = (const nb_stream_frame *)pgrp_get_data_ptr(req);
        uint64_t n = pgrp_get_data_size(req) / sizeof *f;
        int trigger = 0;
        for (uint64_t i = 0; i < n; i++) {
            line(&f[i]);
            trigger |= f[i].dir == NB_DIR_RX && f[i].id == 0x7FF;
        }
        if (trigger)
            send_on_every_channel();
        fflush(g_out);
        break;
    }
    case PGRP_RELEASE:
        if (g_out)
            fclose(g_out);
        g_out = NULL;
        break;
    default:
        break;
    }
    return 0;
}

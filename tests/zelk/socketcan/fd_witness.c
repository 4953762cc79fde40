/*
 * fd_witness.c - the plug-in the whole-program CAN FD test in the guest
 * loads, built twice: WITNESS_FD opts in to CAN FD (interface 0x0301),
 * without it the plug-in is one of interface 0x0300. It writes every frame
 * it receives, one line each in candump's frame syntax (ID#DATA, ID#R,
 * ID##<flags>DATA with the BRS and ESI bits), to
 * $NB_WITNESS_DIR/<fd|classic>.frames.
 */
#include <stdio.h>
#include <stdlib.h>

#include "nimbrel/nimbrel.h"

#ifdef WITNESS_FD
NBPG_EXPORT const uint16_t __nbpg_version = 0x0301;
NBPG_EXPORT const uint32_t __nbpg_features = NBPG_FEATURE_FD;
NBPG_EXPORT const char __nbpg_name[] = "Witness FD";
#define WITNESS_FILE "fd.frames"
#else
NBPG_EXPORT const uint16_t __nbpg_version = 0x0300;
NBPG_EXPORT const char __nbpg_name[] = "Witness classic";
#define WITNESS_FILE "classic.frames"
#endif
NBPG_EXPORT const char __nbpg_author[] = "Nimbrel tests";
NBPG_EXPORT const char __nbpg_description[] = "Writes down every frame it receives";

static FILE *g_out;

static void line(uint32_t id, uint8_t flags, uint8_t len, const uint8_t *data)
{
    if (!g_out)
        return;
    if (flags & ZK_FRAME_EFF)
        fprintf(g_out, "%08X", (unsigned)id);
    else
        fprintf(g_out, "%03X", (unsigned)id);
    if (flags & ZK_FRAME_FDF)
        fprintf(g_out, "##%X", (unsigned)(((flags & ZK_FRAME_BRS) ? 1 : 0) |
                                          ((flags & ZK_FRAME_ESI) ? 2 : 0)));
    else if (flags & ZK_FRAME_RTR)
        fputs("#R", g_out);
    else
        fputc('#', g_out);
    for (int i = 0; i < len && !(flags & ZK_FRAME_RTR); i++)
        fprintf(g_out, "%02X", data[i]);
    fputc('\n', g_out);
}

NBPG_EXPORT int nbpg_handler(pgrp *req)
{
    const void *data = pgrp_get_data_ptr(req);
    uint64_t size = pgrp_get_data_size(req);
    switch (pgrp_get_type(req)) {
    case PGRP_INIT: {
        const char *dir = getenv("NB_WITNESS_DIR");
        char path[1024];
        if (dir) {
            snprintf(path, sizeof path, "%s/%s", dir, WITNESS_FILE);
            g_out = fopen(path, "w");
        }
        pgrp_set_result_ptr(req, gtk_label_new(__nbpg_name));
        break;
    }
    case PGRP_RX_FRAMES:
        for (uint64_t i = 0; i < size / sizeof(zk_frame); i++) {
            const zk_frame *f = (const zk_frame *)data + i;
            line(f->id, f->flags, f->len, f->data);
        }
        if (g_out)
            fflush(g_out);
        break;
    case PGRP_RX_FD_FRAMES:
        for (uint64_t i = 0; i < size / sizeof(zk_fdframe); i++) {
            const zk_fdframe *f = (const zk_fdframe *)data + i;
            line(f->id, f->flags, f->len, f->data);
        }
        if (g_out)
            fflush(g_out);
        break;
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

/*
 * nbt_hook.h - what the test plug-ins report to the test that loaded
 * them. Each plug-in calls nbt_hook (a weak reference: defined by the test
 * binary, absent in the real program) once per request or entry-point
 * call, with what it received. The hook may answer through the event's
 * result (the page a PGRP_INIT returns).
 */
#ifndef NBT_HOOK_H
#define NBT_HOOK_H

#include <stdint.h>
#include "nimbrel/nimbrel.h"

#ifdef __cplusplus
extern "C" {
#endif

/* NBT_STYLE_KIT: a handler of the plug-in kit (nbt_kit.c). */
enum { NBT_STYLE_HANDLER = 0, NBT_STYLE_LEGACY = 1, NBT_STYLE_KIT = 2 };

/* Calls of the older set that are not requests of their own. */
enum { NBT_LEGACY_TYPE_NONE = -1 };

typedef struct nbt_event {
    const void *self;       /* identifies the loaded copy: its __nbpg_version */
    int32_t type;           /* PGRP_* the call stands for */
    int32_t style;          /* NBT_STYLE_* */
    int32_t chan;           /* handler style: pgrp_get_chan */
    uint64_t timestamp;     /* handler style: pgrp_get_timestamp */
    uint64_t data_size;     /* handler style: pgrp_get_data_size */
    uint64_t result_size;   /* handler style: pgrp_get_result_size on entry */
    void *data_ptr;         /* payload pointer as received */
    int32_t n;              /* frames passed (rx, tx) */
    uint32_t first_id;      /* id of the first and last frame passed */
    uint32_t last_id;
    uint32_t hash;          /* FNV-1a over the frame records passed (20 or 76 bytes) */
    uint32_t content;       /* nbt_content over the frames passed, either record */
    int32_t fd_n;           /* of the frames passed, those with ZK_FRAME_FDF */
    uint32_t ids[32];       /* id, flags and len of the first 32 frames passed */
    uint8_t flags[32];
    uint8_t lens[32];
    uint64_t entry_ts;      /* handler PGRP_TX_FRAMES: first entry's timestamp */
    int32_t phase;          /* older set's load_session */
    char name[160];         /* session key name / value as received (cut) */
    char value[600];
    uint16_t errs[5];       /* PGRP_ERRORS */
    uint8_t running;        /* PGRP_STATUS / PGRP_INIT status */
    void *result;           /* out: PGRP_INIT page */
    int32_t set_result;     /* out: non-zero when result should be used */
    pgrp *req;              /* handler style: the record itself */
    int32_t channel;        /* NBT_STREAM: pgrp_get_channel */
} nbt_event;

void nbt_hook(nbt_event *ev) __attribute__((weak));

/* FNV-1a over n records of size bytes each (only those bytes, whatever
 * the stride). */
static inline uint32_t nbt_hash_records(const void *base, int n, size_t stride, size_t size)
{
    uint32_t h = 2166136261u;
    const unsigned char *p = (const unsigned char *)base;
    for (int i = 0; i < n; i++) {
        const unsigned char *f = p + (size_t)i * stride;
        for (size_t k = 0; k < size; k++) {
            h ^= f[k];
            h *= 16777619u;
        }
    }
    return h;
}

/* FNV-1a over n frames (only their 20 bytes, whatever the stride). */
static inline uint32_t nbt_hash_frames(const void *base, int n, size_t stride)
{
    return nbt_hash_records(base, n, stride, sizeof(zk_frame));
}

/* What a frame carries, whatever its record: identifier, flags, length
 * and its data bytes, folded into h (start with 2166136261u). Receive
 * times are left out, so a test can compute it from the frames it sent. */
static inline uint32_t nbt_content(uint32_t h, uint32_t id, uint8_t flags, uint8_t len,
                                   const uint8_t *data)
{
    const uint8_t head[6] = {(uint8_t)id, (uint8_t)(id >> 8), (uint8_t)(id >> 16),
                             (uint8_t)(id >> 24), flags, len};
    for (int k = 0; k < 6; k++) {
        h ^= head[k];
        h *= 16777619u;
    }
    for (int k = 0; k < len && k < 64; k++) {
        h ^= data[k];
        h *= 16777619u;
    }
    return h;
}

#ifdef __cplusplus
}
#endif

#endif /* NBT_HOOK_H */

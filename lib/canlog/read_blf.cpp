/*
 * read_blf.cpp - the BLF reader.
 *
 * Top-level objects are read from the file one at a time; a log container
 * is unpacked after what is left of the previous one, so that objects
 * running on across containers read whole. CAN messages (both kinds),
 * error frames (both kinds) and the frames of CAN FD message objects
 * (types 100 and 101; their CAN FD frames only to a reader that asked for
 * them) are returned; other objects are skipped and counted. A bad object is counted and reading goes on at the next object
 * signature. In a large file the compressed containers ahead are unpacked
 * on worker threads (blf_ahead.cpp); what they do not take is unpacked
 * here.
 */
#include "blf.h"
#include "reader.h"

#include <stdlib.h>
#include <string.h>
#include <libdeflate.h>
#include <zlib.h>

namespace {

const uint8_t SIG[4] = {'L', 'O', 'B', 'J'};

bool sig_at(const uint8_t *p)
{
    return memcmp(p, SIG, 4) == 0;
}


/* Makes room for n bytes: *buf grows to at least n. */
bool reserve(uint8_t **buf, size_t *cap, size_t n)
{
    if (n <= *cap)
        return true;
    size_t want = *cap ? *cap : 64 * 1024;
    while (want < n)
        want *= 2;
    uint8_t *b = static_cast<uint8_t *>(realloc(*buf, want));
    if (!b)
        return false;
    *buf = b;
    *cap = want;
    return true;
}

/* Moves to the next object signature at or after the source's place, or
 * to the end. */
void seek_signature(cl_source *s)
{
    for (;;) {
        size_t n = src_need(s, 4);
        if (n < 4) {
            s->pos += n;
            return;
        }
        const uint8_t *p = s->p + s->pos;
        const void *hit = memmem(p, n, SIG, 4);
        if (hit) {
            s->pos += (size_t)(static_cast<const uint8_t *>(hit) - p);
            return;
        }
        s->pos += n - 3;
    }
}

/* Past a bad spot to the next signature, or the end. */
void resync(cl_source *s)
{
    s->pos++;
    seek_signature(s);
}

/* Goes to file offset off and on to the next signature there. */
void resync_at(cl_source *s, uint64_t off)
{
    if (src_seek(s, off) == 0)
        seek_signature(s);
}

void read_file_header(cl_reader *r)
{
    cl_source *s = &r->src;
    size_t n = src_need(s, BLF_FILE_HEADER);
    const uint8_t *p = s->p + s->pos;
    if (n < 72 || memcmp(p, "LOGG", 4) != 0) {
        cl_bad(r, "offset", 0, "no BLF file header");
        return;
    }
    cl_blf_peek_date(r);
    uint32_t hsize = blf_u32(s->p + s->pos + 4);
    if (hsize < 72 || hsize > BLF_OBJECT_MAX || (s->size && hsize > s->size)) {
        /* The objects are found by their signature after the fixed part. */
        cl_bad(r, "offset", 4, "bad file header size");
        src_skip(s, 72);
        seek_signature(s);
        return;
    }
    src_skip(s, hsize);
}

/* After an object: its padding, found by where the next signature is
 * (writers differ in how much they pad). */
void skip_padding(cl_source *s)
{
    size_t n = src_need(s, 8);
    const uint8_t *p = s->p + s->pos;
    for (size_t k = 0; k < 4 && k + 4 <= n; k++) {
        if (sig_at(p + k)) {
            s->pos += k;
            return;
        }
    }
    if (n < 4)
        s->pos += n;  /* padding at the end of the file */
}


/* The frame objects: none takes more than a few hundred bytes, so a
 * larger size field is a damaged one. */
bool frame_type(uint32_t type)
{
    switch (type) {
    case BLF_CAN_MESSAGE:
    case BLF_CAN_MESSAGE2:
    case BLF_CAN_ERROR:
    case BLF_CAN_ERROR_EXT:
    case BLF_CAN_FD_MESSAGE:
    case BLF_CAN_FD_MESSAGE_64:
        return true;
    default:
        return false;
    }
}

/* One object (base header included, size checked by the caller): 1 with
 * a frame, 0 when it was skipped or bad. */
int parse_object(cl_reader *r, const uint8_t *p, uint32_t osize, uint64_t where, cl_frame *f)
{
    uint32_t type = blf_u32(p + 12);
    if (type == BLF_LOG_CONTAINER) {
        cl_bad(r, "offset", where, "log container inside a log container");
        return 0;
    }
    if (!frame_type(type)) {
        r->st.skipped++;
        return 0;
    }
    uint16_t hsize = blf_u16(p + 4), ver = blf_u16(p + 6);
    if (ver != 1 && ver != 2) {
        cl_bad(r, "offset", where, "unknown object header version");
        return 0;
    }
    if (hsize < (ver == 1 ? BLF_V1_HEADER : BLF_V2_HEADER) || hsize > osize) {
        cl_bad(r, "offset", where, "bad object header size");
        return 0;
    }
    uint32_t tflags = blf_u32(p + 16);
    uint64_t ts = blf_u64(p + 24);
    uint64_t ns = tflags == BLF_TIME_10US ? (ts > UINT64_MAX / 10000 ? UINT64_MAX : ts * 10000)
                                          : ts;
    const uint8_t *d = p + hsize;
    size_t dn = osize - hsize;
    memset(f, 0, sizeof *f);
    f->t_ns = cl_add_sat(r->blf.start_ns, ns > (uint64_t)INT64_MAX ? INT64_MAX : (int64_t)ns);

    size_t need = 0;
    switch (type) {
    case BLF_CAN_MESSAGE:
    case BLF_CAN_MESSAGE2:
        need = 16;
        break;
    case BLF_CAN_ERROR:
        need = 2;
        break;
    case BLF_CAN_ERROR_EXT:
        need = 32;
        break;
    case BLF_CAN_FD_MESSAGE:
        need = 20;
        break;
    default:
        need = 40;
        break;
    }
    if (dn < need) {
        cl_bad(r, "offset", where, "object too short for its type");
        return 0;
    }
    uint16_t chan = type == BLF_CAN_FD_MESSAGE_64 ? d[0] : blf_u16(d);
    f->chan = chan > 0 ? (uint16_t)(chan - 1) : 0;
    uint32_t id;
    switch (type) {
    case BLF_CAN_ERROR:
        f->flags = CL_ERR;
        return 1;
    case BLF_CAN_ERROR_EXT:
        f->flags = CL_ERR;
        f->id = blf_u32(d + 16) & 0x1FFFFFFFu;
        f->len = d[10] > 8 ? 8 : d[10];
        memcpy(f->data, d + 24, f->len);
        return 1;
    case BLF_CAN_MESSAGE:
    case BLF_CAN_MESSAGE2:
        id = blf_u32(d + 4);
        f->flags = (uint8_t)(((id & BLF_ID_EXT) ? CL_EXT : 0) | ((d[2] & BLF_MSG_TX) ? CL_TX : 0) |
                             ((d[2] & BLF_MSG_RTR) ? CL_RTR : 0));
        f->len = d[3] > 8 ? 8 : d[3];
        if (!(f->flags & CL_RTR))
            memcpy(f->data, d + 8, f->len);
        break;
    default: {
        /* CAN FD message objects, 100 and 101: a classic or a CAN FD frame. */
        bool fd64 = type == BLF_CAN_FD_MESSAGE_64;
        uint32_t fl = fd64 ? blf_u32(d + 12) : 0;
        bool tx = fd64 ? d[34] != 0 : (d[2] & BLF_MSG_TX) != 0;
        bool rtr = fd64 ? (fl & 0x10u) != 0 : (d[2] & BLF_MSG_RTR) != 0;
        bool edl = fd64 ? (fl & 0x1000u) != 0 : (d[13] & 0x01) != 0;
        bool brs = fd64 ? (fl & 0x2000u) != 0 : (d[13] & 0x02) != 0;
        bool esi = fd64 ? (fl & 0x4000u) != 0 : (d[13] & 0x04) != 0;
        uint8_t dlc = fd64 ? d[1] : d[3], valid = fd64 ? d[2] : d[14];
        size_t at = fd64 ? 40 : 20;
        if (edl && !r->fd) {
            r->st.skipped_fd++;
            return 0;
        }
        id = blf_u32(d + 4);
        f->flags = (uint8_t)(((id & BLF_ID_EXT) ? CL_EXT : 0) | (tx ? CL_TX : 0) |
                             (edl ? CL_FDF | (brs ? CL_BRS : 0) | (esi ? CL_ESI : 0)
                                  : (rtr ? CL_RTR : 0)));
        f->len = edl ? zk_fd_len(dlc) : dlc > 8 ? 8 : dlc;
        size_t have = valid < f->len ? valid : f->len;
        if (dn < at + have) {
            /* Loggers write a 64-byte object whose valid count is larger
             * than the bytes it holds: those it holds, the rest zero. */
            if (!fd64) {
                cl_bad(r, "offset", where, "object too short for its data");
                return 0;
            }
            have = dn - at;
        }
        if (!(f->flags & CL_RTR))
            memcpy(f->data, d + at, have);
        break;
    }
    }
    f->id = id & ((f->flags & CL_EXT) ? 0x1FFFFFFFu : 0x7FFu);
    return 1;
}

/* Whether p (n bytes or more) starts what looks like an object's base
 * header: its signature, a known header version and sizes that fit. */
bool object_at(const uint8_t *p, size_t n)
{
    if (n < BLF_BASE_HEADER || !sig_at(p))
        return false;
    uint16_t hsize = blf_u16(p + 4), ver = blf_u16(p + 6);
    uint32_t osize = blf_u32(p + 8);
    return (ver == 1 || ver == 2) && hsize >= BLF_BASE_HEADER && hsize <= 64 && osize >= hsize &&
           osize <= BLF_OBJECT_MAX;
}

/* The next object from the unpacked containers: 1 frame, 0 go on, 2 the
 * rest of the object is in the next container. */
int inner_object(cl_reader *r, cl_frame *f)
{
    cl_blf *b = &r->blf;
    size_t avail = b->ib_len - b->ib_pos;
    if (avail < BLF_BASE_HEADER)
        return 2;
    const uint8_t *p = b->ib + b->ib_pos;
    /* Past a damaged object to the next signature in these bytes. */
    auto skip_to_next = [&](size_t from) {
        const void *hit = avail > from ? memmem(p + from, avail - from, SIG, 4) : nullptr;
        b->ib_pos = hit ? (size_t)(static_cast<const uint8_t *>(hit) - b->ib) : b->ib_len - 3;
    };
    if (!sig_at(p)) {
        for (size_t k = 1; k < 4; k++) {
            if (sig_at(p + k)) {  /* padding */
                b->ib_pos += k;
                return 0;
            }
        }
        cl_bad(r, "offset", b->ib_where, "no object signature in the log container");
        skip_to_next(1);
        return 0;
    }
    uint32_t osize = blf_u32(p + 8);
    if (osize < BLF_BASE_HEADER || osize > BLF_OBJECT_MAX ||
        (frame_type(blf_u32(p + 12)) && osize > BLF_FRAME_OBJECT_MAX)) {
        cl_bad(r, "offset", b->ib_where, "bad object size in the log container");
        skip_to_next(4);
        return 0;
    }
    if (osize > avail) {
        /* It runs on into the next container, unless another object
         * begins within it: then its size is wrong, and the objects after
         * it are not swallowed. */
        for (const uint8_t *q = p + BLF_BASE_HEADER; q + BLF_BASE_HEADER <= p + avail; q++) {
            q = static_cast<const uint8_t *>(memmem(q, (size_t)(p + avail - q), SIG, 4));
            if (!q)
                break;
            if (object_at(q, (size_t)(p + avail - q))) {
                cl_bad(r, "offset", b->ib_where, "object size runs over the next object");
                b->ib_pos = (size_t)(q - b->ib);
                return 0;
            }
        }
        return 2;
    }
    b->ib_pos += osize;
    return parse_object(r, p, osize, b->ib_where, f);
}

/* Unpacks as much of a zlib stream cut off at the end of the file as it
 * holds, into out (room for cap bytes). Returns the bytes unpacked. */
size_t inflate_cut(const uint8_t *in, size_t n, uint8_t *out, size_t cap)
{
    z_stream z;
    memset(&z, 0, sizeof z);
    if (inflateInit(&z) != Z_OK)
        return 0;
    z.next_in = const_cast<uint8_t *>(in);
    z.avail_in = (uInt)n;
    z.next_out = out;
    z.avail_out = (uInt)cap;
    inflate(&z, Z_SYNC_FLUSH);
    size_t got = cap - z.avail_out;
    inflateEnd(&z);
    return got;
}

/* Unpacks the log container whose header is at the source's place (size
 * field osize) after the bytes left of the previous one, and leaves the
 * source after it. The size field is checked against the data: a zlib
 * stream ends where it ends, and a stored container holds its unpacked
 * size, so a damaged size field (up to 0xFFFFFFFF) costs a count, not the
 * rest of the file; a container cut off at the end of the file gives the
 * objects that came whole. */
void unpack(cl_reader *r, const uint8_t *hdr, uint32_t osize, uint64_t where)
{
    cl_blf *b = &r->blf;
    cl_source *s = &r->src;
    uint16_t method = blf_u16(hdr + 16);
    uint32_t usize = blf_u32(hdr + 24);
    const uint64_t data_at = where + BLF_CONTAINER_HEADER;
    const uint64_t rest = s->size > data_at ? s->size - data_at : 0;
    const uint64_t clen = osize - BLF_CONTAINER_HEADER;
    s->pos += BLF_CONTAINER_HEADER;
    if (method != 0 && method != BLF_ZLIB) {
        cl_bad(r, "offset", where, "unknown compression of a log container");
        if (clen <= rest)
            src_skip(s, clen);
        else
            resync_at(s, where + 1);
        return;
    }
    /* An unpacked size above what a container may hold is a damaged
     * field: what the data holds is unpacked, up to that limit. */
    const bool absurd = usize > BLF_UNPACKED_MAX;
    const uint32_t room = absurd ? BLF_UNPACKED_MAX : usize;
    /* What the size field names, or what the file has when it names
     * more: a zlib stream is never much larger than what it unpacks to. */
    const bool cut = clen > rest;
    uint64_t want = cut ? rest : clen;
    const uint64_t slack = absurd ? room / 64 + 4096 : 4096;
    if (want > (uint64_t)room + slack)
        want = (uint64_t)room + slack;
    /* The container as stored: in the read buffer when it fits there
     * whole (unpacked from where it lies), else copied together. */
    const uint8_t *zin;
    size_t got = 0;
    if (want <= CL_READ_BUFFER && src_need(s, (size_t)want) >= want) {
        zin = s->p + s->pos;
        got = (size_t)want;
        s->pos += got;
    } else {
        if (!reserve(&b->in, &b->in_cap, (size_t)want)) {
            cl_bad(r, "offset", where, "out of memory");
            resync_at(s, where + 1);
            return;
        }
        while (got < want) {
            size_t n = src_need(s, want - got < CL_READ_BUFFER ? (size_t)(want - got)
                                                               : CL_READ_BUFFER);
            if (n == 0)
                break;
            size_t k = n < want - got ? n : (size_t)(want - got);
            memcpy(b->in + got, s->p + s->pos, k);
            s->pos += k;
            got += k;
        }
        zin = b->in;
    }
    /* Keep the unread tail, then append: in the reader's own buffer,
     * where the tail may come from a slot of those unpacked ahead. */
    size_t tail = b->ib_len - b->ib_pos;
    if (b->ib != b->own) {
        if (!reserve(&b->own, &b->own_cap, tail + room)) {
            cl_bad(r, "offset", where, "out of memory");
            b->ib_len = b->ib_pos = b->ib_tail = 0;
            b->ib = b->own;
            return;
        }
        if (tail > 0)
            memcpy(b->own, b->ib + b->ib_pos, tail);
        b->ib = b->own;
    } else if (b->ib_pos > 0 && tail > 0) {
        memmove(b->ib, b->ib + b->ib_pos, tail);
    }
    b->ib_pos = 0;
    b->ib_len = tail;
    b->ib_tail = tail;
    if (!reserve(&b->own, &b->own_cap, tail + room)) {
        cl_bad(r, "offset", where, "out of memory");
        return;
    }
    b->ib = b->own;
    size_t used = 0, dlen = 0;
    bool whole = false, over = false;
    if (method == 0) {
        dlen = room <= got ? room : got;
        /* An empty container leaves both buffers unallocated. */
        if (dlen > 0)
            memcpy(b->ib + tail, zin, dlen);
        used = dlen;
        whole = dlen == usize || (absurd && dlen == got && got == clen);
        over = absurd && got > room;
    } else {
        if (!b->inflater)
            b->inflater = libdeflate_alloc_decompressor();
        libdeflate_result rc = LIBDEFLATE_BAD_DATA;
        if (b->inflater)
            rc = libdeflate_zlib_decompress_ex(static_cast<libdeflate_decompressor *>(b->inflater), zin,
                                               got, b->ib + tail, room, &used, &dlen);
        whole = rc == LIBDEFLATE_SUCCESS;
        over = absurd && rc == LIBDEFLATE_INSUFFICIENT_SPACE;
        if (!whole && (got < clen || over)) {
            dlen = inflate_cut(zin, got, b->ib + tail, room);
            used = got;
        }
    }
    b->ib_where = where;
    b->ib_len += dlen;
    if (over) {
        /* More than a container may hold: the objects of its first part. */
        cl_bad(r, "offset", where, "log container too large");
        if (cut) {
            b->cut = 1;
            return;
        }
        src_seek(s, data_at + clen);
        return;
    }
    if (!whole && got < clen) {
        /* Cut off at the end of the file: the objects that came whole. */
        cl_bad(r, "offset", where, "log container cut off at the end of the file");
        b->cut = 1;
        return;
    }
    if (!whole) {
        cl_bad(r, "offset", where, "log container does not unpack");
        b->ib_len = b->ib_tail = 0;  /* an object begun before it cannot be finished */
        resync_at(s, where + 1);
        return;
    }
    /* A size field larger than the data: on after the data. */
    if (used + 4 <= clen) {
        if (!cut)
            cl_bad(r, "offset", where, "log container size does not match its data");
        else
            cl_bad(r, "offset", where, "bad log container size");
        src_seek(s, data_at + used);
    } else if (got < clen) {
        src_seek(s, data_at + clen);
    }
}

/* The log container at the source's place taken from those unpacked
 * ahead, and the source moved past it and its padding: true; false when
 * the reader unpacks it itself. The look-ahead starts with the second
 * container in a row of a large file, so that a reader put at a mark to
 * read a screen of rows does not unpack containers it never reads. */
bool take_ahead(cl_reader *r, uint64_t where)
{
    cl_blf *b = &r->blf;
    cl_source *s = &r->src;
    if (++b->run < 2 || b->ahead_off)
        return false;
    if (!b->ahead) {
        int workers = b->ahead_workers ? b->ahead_workers : cl_ahead_workers();
        uint64_t min = b->ahead_min ? b->ahead_min : CL_BLF_AHEAD_MIN;
        if (workers > 0 && s->size >= min)
            b->ahead = cl_ahead_start(s, workers);
        if (!b->ahead) {
            b->ahead_off = 1;
            return false;
        }
    }
    uint8_t *data;
    size_t len;
    uint64_t next;
    size_t tail = b->ib_len - b->ib_pos;
    if (cl_ahead_take(b->ahead, where, b->ib + b->ib_pos, tail, &data,
                      &len, &next) != 1)
        return false;
    b->ib = data;
    b->ib_pos = 0;
    b->ib_len = len;
    b->ib_tail = tail;
    b->ib_where = where;
    src_pass(s, next);
    return true;
}

/* The next top-level object: 1 frame, 0 go on, -1 the end of the file. */
int outer_object(cl_reader *r, cl_frame *f)
{
    cl_source *s = &r->src;
    size_t n = src_need(s, BLF_CONTAINER_HEADER);
    uint64_t where = src_offset(s);
    if (n == 0)
        return -1;
    const uint8_t *p = s->p + s->pos;
    if (n < BLF_BASE_HEADER) {
        cl_bad(r, "offset", where, "object cut off at the end of the file");
        s->pos += n;
        return -1;
    }
    if (!sig_at(p)) {
        cl_bad(r, "offset", where, "no object signature");
        resync(s);
        return 0;
    }
    uint32_t osize = blf_u32(p + 8);
    uint32_t type = blf_u32(p + 12);
    if (type == BLF_LOG_CONTAINER) {
        if (osize < BLF_CONTAINER_HEADER || n < BLF_CONTAINER_HEADER) {
            cl_bad(r, "offset", where, "log container too short");
            resync(s);
            return 0;
        }
        if (!take_ahead(r, where))
            unpack(r, p, osize, where);
        skip_padding(s);
        r->blf.ib_after = src_offset(s);
        return 0;
    }
    if (osize < BLF_BASE_HEADER || osize > BLF_OBJECT_MAX) {
        cl_bad(r, "offset", where, "bad object size");
        resync(s);
        return 0;
    }
    /* An object outside any container. */
    if (src_need(s, osize) < osize) {
        cl_bad(r, "offset", where, "object cut off at the end of the file");
        s->pos = s->len;
        return -1;
    }
    p = s->p + s->pos;
    s->pos += osize;
    int rc = parse_object(r, p, osize, where, f);
    skip_padding(s);
    return rc;
}

}  // namespace

int cl_next_blf(cl_reader *r, cl_frame *f)
{
    cl_blf *b = &r->blf;
    if (!b->header_done) {
        b->header_done = 1;
        read_file_header(r);
    }
    for (;;) {
        int rc;
        while ((rc = inner_object(r, f)) != 2) {
            if (rc == 1)
                return 1;
        }
        if (src_spent(&r->src)) {
            r->yielded = 1;
            return 0;
        }
        rc = outer_object(r, f);
        if (rc == 1)
            return 1;
        if (rc < 0) {
            size_t left = b->ib_len - b->ib_pos;
            bool padding = left < 4;
            for (size_t i = 0; padding && i < left; i++)
                padding = b->ib[b->ib_pos + i] == 0;
            if (left > 0 && !padding && !b->cut) {
                cl_bad(r, "offset", b->ib_where, "object cut off at the end of the file");
            }
            b->ib_len = b->ib_pos = b->ib_tail = 0;
            b->cut = 0;
            return 0;
        }
    }
}

void cl_blf_peek_date(cl_reader *r)
{
    cl_source *s = &r->src;
    size_t n = src_need(s, BLF_FILE_HEADER);
    const uint8_t *p = s->p + s->pos;
    if (n < 72 || memcmp(p, "LOGG", 4) != 0)
        return;
    const uint8_t *st = p + 40;
    int year = blf_u16(st), month = blf_u16(st + 2), day = blf_u16(st + 6);
    if (year >= 1970 && year < 3000 && month >= 1 && month <= 12 && day >= 1 && day <= 31) {
        r->blf.start_ns = cl_local_to_ns(year, month, day, blf_u16(st + 8), blf_u16(st + 10),
                                         blf_u16(st + 12), blf_u16(st + 14) % 1000);
        r->has_date = r->blf.start_ns != 0;
    }
}

int cl_blf_reenter(cl_reader *r, size_t pos)
{
    cl_blf *b = &r->blf;
    cl_source *s = &r->src;
    cl_blf_jump(b);
    size_t n = src_need(s, BLF_CONTAINER_HEADER);
    const uint8_t *p = s->p + s->pos;
    if (n < BLF_CONTAINER_HEADER || !sig_at(p) || blf_u32(p + 12) != BLF_LOG_CONTAINER ||
        blf_u32(p + 8) < BLF_CONTAINER_HEADER)
        return -1;
    unpack(r, p, blf_u32(p + 8), src_offset(s));
    skip_padding(s);
    b->ib_after = src_offset(s);
    if (pos > b->ib_len)
        return -1;
    b->ib_pos = pos;
    return 0;
}

void cl_blf_jump(cl_blf *b)
{
    if (b->ahead)
        cl_ahead_drop(b->ahead);
    b->ib = b->own;
    b->ib_len = b->ib_pos = b->ib_tail = 0;
    b->run = 0;
}

void cl_blf_free(cl_blf *b)
{
    cl_ahead_stop(b->ahead);
    if (b->inflater)
        libdeflate_free_decompressor(static_cast<libdeflate_decompressor *>(b->inflater));
    free(b->in);
    free(b->own);
    memset(b, 0, sizeof *b);
}

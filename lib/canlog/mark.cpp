/*
 * mark.cpp - a reader's place between two frames, kept and returned to:
 * what random access to a file goes back to instead of reading it again
 * from the start.
 */
#include "reader.h"

#include <errno.h>
#include <string.h>

int cl_mark_get(const cl_reader *r, cl_mark *m)
{
    memset(m, 0, sizeof *m);
    m->lines = r->st.lines;
    m->has_date = (uint8_t)r->has_date;
    switch (r->format) {
    case CL_FMT_ASC:
        m->start_ns = r->asc.start_ns;
        m->last_ns = r->asc.last_ns;
        m->dec = (uint8_t)r->asc.dec;
        m->relative = (uint8_t)r->asc.relative;
        break;
    case CL_FMT_TRC:
        m->start_ns = r->trc.start_ns;
        m->trc_ver = r->trc.ver;
        m->trc_ncols = r->trc.ncols;
        memcpy(m->trc_cols, r->trc.cols, sizeof m->trc_cols);
        break;
    case CL_FMT_BLF: {
        const cl_blf *b = &r->blf;
        m->start_ns = b->start_ns;
        m->header_done = (uint8_t)b->header_done;
        if (!b->header_done) {
            m->offset = 0;  /* the start: the file header is read again */
            return 0;
        }
        if (b->ib_pos < b->ib_len) {
            /* Inside a container: the bytes that came with it, not those
             * left over from the one before, and nothing read after it. */
            if (b->ib_pos < b->ib_tail || src_offset(&r->src) != b->ib_after)
                return -1;
            m->offset = b->ib_where;
            m->inner = (uint32_t)(b->ib_pos - b->ib_tail) + 1;
            return 0;
        }
        break;
    }
    default:
        break;
    }
    m->offset = src_offset(&r->src);
    return 0;
}

int cl_mark_set(cl_reader *r, const cl_mark *m)
{
    int e = src_seek(&r->src, m->offset);
    if (e)
        return e;
    r->st.lines = m->lines;
    r->has_date = m->has_date;
    switch (r->format) {
    case CL_FMT_ASC:
        r->asc.start_ns = m->start_ns;
        r->asc.last_ns = m->last_ns;
        r->asc.dec = m->dec;
        r->asc.relative = m->relative;
        break;
    case CL_FMT_TRC:
        r->trc.start_ns = m->start_ns;
        r->trc.ver = m->trc_ver;
        r->trc.ncols = m->trc_ncols;
        memcpy(r->trc.cols, m->trc_cols, sizeof r->trc.cols);
        break;
    case CL_FMT_BLF: {
        cl_blf *b = &r->blf;
        cl_blf_jump(b);
        b->start_ns = m->start_ns;
        b->header_done = m->header_done;
        b->cut = 0;
        if (m->inner && cl_blf_reenter(r, m->inner - 1) != 0)
            return EINVAL;
        break;
    }
    default:
        break;
    }
    return 0;
}

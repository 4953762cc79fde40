// libFuzzer entry for one log reader (FUZZ_FORMAT: 1 candump, 2 ASC,
// 3 BLF, 4 TRC): every input is read to its end, then read again after a rewind,
// which must give the same frames; a second reader put at the places the
// first one marked on the way must read the same frame next. CAN FD
// frames are read; each frame has a length its kind can have, and its
// candump line reads back as the same frame.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "reader.h"

namespace {

void check_frame(const cl_frame &f)
{
    bool fd = f.flags & CL_FDF;
    if ((fd && zk_fd_len(zk_fd_dlc(f.len)) != f.len) || (!fd && f.len > 8))
        abort();
    for (size_t i = f.len; i < sizeof f.data; i++)
        if (f.data[i])
            abort();
    if (f.flags & CL_ERR)
        return;
    char line[CL_LINE_MAX];
    cl_frame at0 = f;  /* the content is checked, not the range of times */
    at0.t_ns = 0;
    size_t n = cl_fmt_candump(line, sizeof line, &at0);
    cl_reader *back = n ? cl_open_mem(line, n, CL_FMT_CANDUMP) : nullptr;
    cl_frame g;
    if (!back)
        abort();
    cl_set_fd(back, 1);
    if (cl_next(back, &g) != 1 || g.id != f.id || g.flags != f.flags ||
        (!(f.flags & CL_RTR) && memcmp(g.data, f.data, sizeof f.data) != 0) || g.len != f.len)
        abort();
    cl_close(back);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    cl_reader *r = cl_open_mem(data, size, FUZZ_FORMAT);
    if (!r)
        return 0;
    cl_set_fd(r, 1);
    cl_frame f;
    uint64_t n = 0, sum = 0;
    while (cl_next(r, &f) == 1) {
        n++;
        sum += f.id + f.len + (uint64_t)f.t_ns;
        check_frame(f);
    }
    const cl_stats *st = cl_reader_stats(r);
    if (st->frames != n || (st->bad > 0 && strlen(st->first_bad) == 0))
        abort();
    if (cl_offset(r) > size)
        abort();
    cl_rewind(r);
    uint64_t n2 = 0, sum2 = 0;
    cl_reader *again = cl_open_mem(data, size, FUZZ_FORMAT);
    if (again)
        cl_set_fd(again, 1);
    for (;;) {
        cl_mark m;
        int marked = (n2 % 7 == 0 && cl_mark_get(r, &m) == 0);
        if (cl_next(r, &f) != 1)
            break;
        n2++;
        sum2 += f.id + f.len + (uint64_t)f.t_ns;
        cl_frame g;
        if (again)
            cl_names_take(again, &r->names);
        if (marked && again && (cl_mark_set(again, &m) != 0 || cl_next(again, &g) != 1 ||
                                memcmp(&f, &g, sizeof f) != 0))
            abort();
    }
    if (n2 != n || sum2 != sum)
        abort();
    cl_close(again);
    cl_close(r);
    return 0;
}

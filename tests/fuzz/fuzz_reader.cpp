// libFuzzer entry for one log reader (FUZZ_FORMAT: 1 candump, 2 ASC,
// 3 BLF): every input is read to its end, then read again after a rewind,
// which must give the same frames; a second reader put at the places the
// first one marked on the way must read the same frame next.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    cl_reader *r = cl_open_mem(data, size, FUZZ_FORMAT);
    if (!r)
        return 0;
    cl_frame f;
    uint64_t n = 0, sum = 0;
    while (cl_next(r, &f) == 1) {
        n++;
        sum += f.id + f.len + (uint64_t)f.t_ns;
        if (f.len > 8)
            abort();
    }
    const cl_stats *st = cl_reader_stats(r);
    if (st->frames != n || (st->bad > 0 && strlen(st->first_bad) == 0))
        abort();
    if (cl_offset(r) > size)
        abort();
    cl_rewind(r);
    uint64_t n2 = 0, sum2 = 0;
    cl_reader *again = cl_open_mem(data, size, FUZZ_FORMAT);
    for (;;) {
        cl_mark m;
        int marked = (n2 % 7 == 0 && cl_mark_get(r, &m) == 0);
        if (cl_next(r, &f) != 1)
            break;
        n2++;
        sum2 += f.id + f.len + (uint64_t)f.t_ns;
        cl_frame g;
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

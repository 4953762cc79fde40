/* The public headers compile as C, and the records keep their layout
 * there too. */
#include "zelk.h"
#include "zelk_sim.h"

#include <stddef.h>

_Static_assert(offsetof(zk_frame, ts) == 16, "zk_frame.ts");
_Static_assert(offsetof(zk_errs, wtout) == 8, "zk_errs.wtout");
_Static_assert(offsetof(zk_board, manufacturer) == 80, "zk_board.manufacturer");
_Static_assert(offsetof(zk_chipstat, sovr) == 20, "zk_chipstat.sovr");
_Static_assert(offsetof(zk_chipstat_text, value) == 512, "zk_chipstat_text.value");
_Static_assert(offsetof(zk_fdframe, ts) == 8 && offsetof(zk_fdframe, data) == 12, "zk_fdframe");
_Static_assert(offsetof(zk_chipstat, fd_skipped) == 40, "zk_chipstat.fd_skipped");
_Static_assert(offsetof(zk_board, fd_slots) == 1, "zk_board.fd_slots");

/* Called from the C++ test: the C view of the library version. */
unsigned long zktest_c_version(void)
{
    return (unsigned long)ZkGetLibVer();
}

// CAN FD frames for tests: identifier, flags and length, data bytes
// counting up from the identifier's low byte (none for a remote frame).
#pragma once

#include <string.h>

#include "zelk.h"

namespace nbtest {

inline zk_fdframe fd_frame(uint32_t id, uint8_t flags, uint8_t len)
{
    zk_fdframe f;
    memset(&f, 0, sizeof f);
    f.id = id;
    f.flags = flags;
    f.len = len;
    for (int i = 0; i < len && !(flags & ZK_FRAME_RTR); i++)
        f.data[i] = (uint8_t)(id + i);
    return f;
}

}  // namespace nbtest

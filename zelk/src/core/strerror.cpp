// ZkStrError: English text for every result code.
#include "core.h"

#include <cstdio>
#include <cstring>

namespace {

const char *code_text(int16_t code)
{
    switch (code) {
    case ZK_E_NOCHAN: return "no such CAN channel";
    case ZK_E_NOTOPEN: return "CAN channel is not open";
    case ZK_E_BUSY: return "CAN channel is busy: it is open in this or another program";
    case ZK_E_NOTINIT: return "CAN adapter library is not initialised (ZkInit was not called or failed)";
    case ZK_E_CONFIG: return "board configuration is malformed";
    case ZK_E_BADARG: return "invalid argument";
    case ZK_E_NOTSTARTED: return "CAN controller is not started";
    case ZK_E_LOM: return "CAN controller is in listen-only mode and cannot send";
    case ZK_E_WTOUT: return "write timeout: the transmit queue stayed full";
    case ZK_E_QEMPTY: return "nothing to report";
    case ZK_E_IO: return "device input/output error";
    case ZK_E_NORATE: return "this adapter cannot produce the requested bit rate";
    case ZK_E_NOMEM: return "out of memory";
    case ZK_E_BUSOFF: return "CAN controller is bus-off (reset it)";
    case ZK_E_GONE: return "CAN adapter disappeared (unplugged or hung up)";
    case ZK_E_NOSERIAL: return "board has no serial number";
    case ZK_E_NODEV: return "CAN adapter device cannot be opened";
    case ZK_E_NORESPONSE: return "CAN adapter does not answer";
    case ZK_E_PROTO: return "CAN adapter answered something unexpected";
    case ZK_E_NOBOARD: return "no such board";
    case ZK_E_UNSUPPORTED: return "operation not supported by this adapter";
    case ZK_E_FORMAT: return "frame format (11-bit or 29-bit) is not enabled on this channel";
    case ZK_E_PERM: return "not permitted";
    case ZK_E_NOFD: return "CAN FD is not available: the adapter cannot do it, or the channel was not opened for it";
    case ZK_E_BADLEN: return "data length not valid: a classic frame carries 0 to 8 bytes, a CAN FD frame 0 to 8, 12, 16, 20, 24, 32, 48 or 64";
    default: return nullptr;
    }
}

}  // namespace

extern "C" int16_t ZkStrError(int16_t code, char *buf, uint16_t size)
{
    if (!buf || size == 0) return ZK_E_BADARG;
    zk::lib_state &L = zk::lib();
    std::lock_guard<zk::api_mutex> g(L.api);
    const char *text = code_text(code);
    if (code >= 0) {
        if (code == 0) snprintf(buf, size, "no error");
        else snprintf(buf, size, "no error (result %d)", int(code));
    } else if (!text) {
        snprintf(buf, size, "unknown ZELK error code %d", int(code));
    } else if (code == ZK_E_CONFIG && L.config_error[0]) {
        snprintf(buf, size, "%s: %s", text, L.config_error);
    } else if (code == L.last_code && L.last_detail[0]) {
        snprintf(buf, size, "%s (%s)", text, L.last_detail);
    } else {
        snprintf(buf, size, "%s", text);
    }
    return ZK_OK;
}

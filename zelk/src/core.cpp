// Temporary: entry points that report "not initialised" until the core lands.
#include "backend.h"
#include "zelk_sim.h"

#include <cstdio>

extern "C" {
int16_t ZkInit(void) { return ZK_E_NOTINIT; }
uint32_t ZkGetLibVer(void) { return (ZK_VERSION_MAJOR << 16) | (ZK_VERSION_MINOR << 8) | ZK_VERSION_PATCH; }
int16_t ZkOpen(uint8_t, uint8_t) { return ZK_E_NOTINIT; }
int16_t ZkClose(uint8_t) { return ZK_E_NOTINIT; }
int16_t ZkSetBaud(uint8_t, uint8_t, uint8_t) { return ZK_E_NOTINIT; }
int16_t ZkSetWriteTout(uint8_t, uint16_t) { return ZK_E_NOTINIT; }
int16_t ZkWriteTout(uint8_t, uint8_t, uint16_t *) { return ZK_E_NOTINIT; }
int16_t ZkSetFilter(uint8_t, uint32_t, uint32_t) { return ZK_E_NOTINIT; }
int16_t ZkSetLom(uint8_t, uint8_t) { return ZK_E_NOTINIT; }
int16_t ZkStart(uint8_t) { return ZK_E_NOTINIT; }
int16_t ZkStop(uint8_t) { return ZK_E_NOTINIT; }
int16_t ZkHwReset(uint8_t) { return ZK_E_NOTINIT; }
int16_t ZkRcQueEmpty(uint8_t) { return ZK_E_NOTINIT; }
int16_t ZkRead(uint8_t, zk_frame *, uint16_t) { return ZK_E_NOTINIT; }
int16_t ZkWrite(uint8_t, const zk_frame *, uint16_t) { return ZK_E_NOTINIT; }
int16_t ZkErrsGetClear(uint8_t, zk_errs *) { return ZK_E_NOTINIT; }
int16_t ZkChipStat(uint8_t, zk_chipstat *) { return ZK_E_NOTINIT; }
int16_t ZkChipStatToStr(const zk_chipstat *, zk_chipstat_text *) { return ZK_E_NOTINIT; }
int16_t ZkBoardInfo(zk_board *) { return ZK_E_NOTINIT; }
int16_t ZkBoardGetSerial(uint8_t, char *, uint16_t) { return ZK_E_NOTINIT; }
int16_t ZkStrError(int16_t code, char *buf, uint16_t size)
{
    if (buf && size) snprintf(buf, size, "error %d", code);
    return ZK_OK;
}

int16_t zk_sim_inject(uint8_t, const zk_frame *) { return ZK_E_NOTINIT; }
int16_t zk_sim_inject_errors(uint8_t, const zk_errs *) { return ZK_E_NOTINIT; }
int zk_sim_sent(uint8_t, zk_frame *, int) { return ZK_E_NOTINIT; }
int zk_sim_tx_pending(uint8_t) { return ZK_E_NOTINIT; }
void zk_sim_fail_next(const char *, int16_t) {}
void zk_sim_clear_failures(void) {}
int16_t zk_sim_set_bus(uint8_t, uint32_t, const char *) { return ZK_E_NOTINIT; }
int16_t zk_sim_set_wtout_adjust(uint8_t, uint16_t, uint16_t) { return ZK_E_NOTINIT; }
int16_t zk_sim_set_error_counters(uint8_t, uint8_t, uint16_t) { return ZK_E_NOTINIT; }
void zk_sim_reset(void) {}
void zk_sim_manual_clock(int) {}
void zk_sim_advance_us(uint64_t) {}
uint64_t zk_sim_now_us(void) { return 0; }
}

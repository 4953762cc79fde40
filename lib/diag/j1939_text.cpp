/*
 * j1939_text.cpp - descriptions of J1939 messages: address claims, DM1
 * and DM2, requests, acknowledgements and the identification messages.
 */
#include "j1939.h"
#include "uds.h"
#include "writer.h"

#include <string.h>

using dgw::writer;

namespace {

void dm_describe(writer &w, const uint8_t *d, uint32_t len, const dg_texts *tx)
{
    j19_dm dm;
    j19_dtc dtcs[64];
    if (j19_dm_decode(d, len, &dm, dtcs, 64) < 0) {
        w.hex_field("", d, len);
        return;
    }
    const uint8_t lamps[4] = {dm.mil, dm.rsl, dm.awl, dm.pl};
    const uint8_t flash[4] = {dm.mil_flash, dm.rsl_flash, dm.awl_flash, dm.pl_flash};
    static const char *const names[4] = {"MIL", "RSL", "AWL", "PL"};
    for (int i = 0; i < 4; i++) {
        w.field("%s %s", names[i], tx->lamp[lamps[i]]);
        if (lamps[i] == 1 && flash[i] < 2)
            w.add(" (%s)", tx->flash[flash[i]]);
    }
    if (dm.ndtc == 0) {
        w.field("DTC: %s", tx->none);
        return;
    }
    for (uint32_t i = 0; i < dm.ndtc && i < 64; i++) {
        if (!w.detail && i == 4) {
            w.field(DG_T(tx, "... (%u DTC)"), dm.ndtc);
            return;
        }
        w.field("SPN %u FMI %u OC %u", dtcs[i].spn, dtcs[i].fmi, dtcs[i].oc);
        if (w.detail) {
            const char *f = j19_fmi_name(dtcs[i].fmi);
            if (f)
                w.add(" (%s)", f);
            if (dtcs[i].cm)
                w.add(" CM 1");
        }
    }
}

/* Text fields separated by '*' (identification messages). */
void star_fields(writer &w, const char *label, const uint8_t *d, uint32_t len)
{
    uint32_t start = 0;
    int k = 0;
    for (uint32_t i = 0; i <= len; i++) {
        if (i < len && d[i] != '*')
            continue;
        if (i > start || k == 0) {
            w.field("%s%s", label, k ? "" : " = ");
            if (k)
                w.add(" %d = ", k + 1);
            w.add("\"%.*s\"", (int)(i - start), (const char *)d + start);
        }
        k++;
        start = i + 1;
        if (i + 1 >= len)
            break;
    }
}

}  // namespace

size_t j19_describe(uint32_t pgn, const uint8_t *d, uint32_t len, int detail, const dg_texts *tx,
                    char *out, size_t size)
{
    writer w{out, size, 0, detail, 0};
    if (size)
        out[0] = 0;
    if (!tx)
        tx = &dg_texts_en;
    const char *name = j19_pgn_name(pgn);
    if (name) {
        const char *sp = strchr(name, ' ');
        w.field("%.*s", sp ? (int)(sp - name) : (int)strlen(name), name);
        if (detail && sp)
            w.add(" (%s)", sp + 1);
    } else {
        w.field("PGN %u", pgn);
    }
    switch (pgn) {
    case J19_PGN_ADDRESS_CLAIMED:
        if (len >= 8) {
            j19_name n;
            j19_name_decode(d, &n);
            w.field(DG_T(tx, "identity %u"), n.identity);
            w.field(DG_T(tx, "manufacturer %u"), n.manufacturer);
            w.field(DG_T(tx, "function %u"), n.function);
            if (detail) {
                w.field(DG_T(tx, "function instance %u"), n.function_instance);
                w.field(DG_T(tx, "ECU instance %u"), n.ecu_instance);
                w.field(DG_T(tx, "vehicle system %u"), n.vehicle_system);
                w.field(DG_T(tx, "vehicle system instance %u"), n.vehicle_system_instance);
            }
            w.field(DG_T(tx, "industry group %u"), n.industry_group);
            w.field(DG_T(tx, "arbitrary address capable %u"), n.arbitrary_address);
            return w.n;
        }
        break;
    case J19_PGN_DM1:
    case J19_PGN_DM2:
        dm_describe(w, d, len, tx);
        return w.n;
    case J19_PGN_REQUEST:
        if (len >= 3) {
            const uint32_t req = (uint32_t)d[0] | (uint32_t)d[1] << 8 | (uint32_t)(d[2] & 3) << 16;
            const char *rn = j19_pgn_name(req);
            w.field("PGN %u", req);
            if (rn)
                w.add(" %s", rn);
            return w.n;
        }
        break;
    case J19_PGN_ACK:
        if (len >= 8) {
            static const char *const ctl[] = {"ACK", "NACK", "AccessDenied", "CannotRespond"};
            w.field("%s", d[0] < 4 ? ctl[d[0]] : "control");
            if (d[0] >= 4)
                w.add(" %u", d[0]);
            w.field(DG_T(tx, "group function %u"), d[1]);
            w.field(DG_T(tx, "address %u"), d[4]);
            w.field("PGN %u", (uint32_t)d[5] | (uint32_t)d[6] << 8 | (uint32_t)(d[7] & 3) << 16);
            return w.n;
        }
        break;
    case 0xFEEC:
        star_fields(w, "VIN", d, len);
        return w.n;
    case 0xFEEB:
    case 0xFDC5:
        star_fields(w, tx->ascii, d, len);
        return w.n;
    case 0xFEDA:
        if (len >= 1) {
            w.field("%u", d[0]);
            star_fields(w, tx->ascii, d + 1, len - 1);
            return w.n;
        }
        break;
    default:
        break;
    }
    if (len)
        w.hex_field("", d, len);
    return w.n;
}

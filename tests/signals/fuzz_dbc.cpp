// libFuzzer entry: any bytes as a DBC file (in any encoding the reader
// takes), and frames made of the same bytes decoded with every message the
// file defines, classic and CAN FD lengths.
#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "dbc.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    dbc_db db;
    dbc_error err;
    if (dbc_load_bytes((const char *)bytes, size, &db, &err) != 0)
        return 0;
    std::vector<dbc_value> values;
    uint8_t data[DBC_MAX_MESSAGE_BYTES] = {0};
    for (size_t i = 0; i < sizeof data && i < size; i++)
        data[i] = bytes[size - 1 - i];
    for (const dbc_message &m : db.messages) {
        values.assign(m.signals.size(), dbc_value{0, 0, 0});
        for (unsigned len : {0u, 4u, 8u, 12u, 33u, 64u})
            dbc_decode(&m, data, len, values.data());
        dbc_find(&db, m.id, m.extended);
        for (const dbc_signal &s : m.signals)
            dbc_value_label(&s, values.empty() ? 0 : values[0].raw);
    }
    return 0;
}

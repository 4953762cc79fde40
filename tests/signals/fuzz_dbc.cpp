// libFuzzer entry: any bytes as a DBC file, and frames made of the same
// bytes decoded with every message the file defines.
#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "dbc.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    std::string text = dbc_to_utf8((const char *)bytes, size);
    dbc_db db;
    dbc_error err;
    if (dbc_parse(text.data(), text.size(), &db, &err) != 0)
        return 0;
    std::vector<dbc_value> values;
    uint8_t data[8] = {0};
    for (size_t i = 0; i < 8 && i < size; i++)
        data[i] = bytes[size - 1 - i];
    for (const dbc_message &m : db.messages) {
        values.assign(m.signals.size(), dbc_value{0, 0, 0});
        for (unsigned len = 0; len <= 8; len += 4)
            dbc_decode(&m, data, len, values.data());
        dbc_find(&db, m.id, m.extended);
        for (const dbc_signal &s : m.signals)
            dbc_value_label(&s, values.empty() ? 0 : values[0].raw);
    }
    return 0;
}

/*
 * A recorder plug-in for the session tests. It reports every request it
 * gets to nbtest_record (exported by the test binary; absent in the real
 * program, where the plug-in simply records nothing), keeps the keys of
 * the last plug-in section it was given and writes them back in order
 * when the session is saved.
 *
 * REC_VARIANT (1, 2 or 3) gives each built copy its name, author and
 * description; the third holds markup characters.
 * Environment, read at each save:
 *   REC_SAVE_BIG=n        also write n keys of 1000 characters
 *   REC_AUTOSAVE_IN_SAVE  call nbpg_autosave from inside the save and
 *                         record its result
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <utility>
#include <vector>

#include "nimbrel/nimbrel.h"

#if REC_VARIANT == 1
#define REC_NAME "RecA"
#define REC_AUTHOR "Author A"
#define REC_DESC "Records requests (A)"
#elif REC_VARIANT == 2
#define REC_NAME "RecB"
#define REC_AUTHOR "Author B"
#define REC_DESC "Records requests (B)"
#else
#define REC_NAME "Rec <C> & Co"
#define REC_AUTHOR "<i>Bold</i> & sons"
#define REC_DESC "Uses <span> & \"quotes\""
#endif

extern "C" {
NBPG_EXPORT extern const uint16_t __nbpg_version;
NBPG_EXPORT extern const char __nbpg_name[];
NBPG_EXPORT extern const char __nbpg_author[];
NBPG_EXPORT extern const char __nbpg_description[];
NBPG_EXPORT int nbpg_handler(pgrp *req);

/* The second copy is of the newer interface: it takes whole values. */
#if REC_VARIANT == 2
const uint16_t __nbpg_version = 0x0301;
#else
const uint16_t __nbpg_version = 0x0300;
#endif
const char __nbpg_name[] = REC_NAME;
const char __nbpg_author[] = REC_AUTHOR;
const char __nbpg_description[] = REC_DESC;

__attribute__((weak, visibility("default"))) void nbtest_record(const char *who,
                                                                 const char *what);
}

namespace {

std::vector<std::pair<std::string, std::string>> keys;
std::vector<std::pair<std::string, std::string>> incoming;

void record(const std::string &what)
{
    if (nbtest_record)
        nbtest_record(REC_NAME, what.c_str());
}

void save(pgrp *req)
{
    void *file = pgrp_get_data_ptr(req);
    record("SAVE size=" + std::to_string(pgrp_get_data_size(req)) +
           " chan=" + std::to_string(pgrp_get_chan(req)));
    for (const auto &kv : keys)
        nbpg_save_key(file, kv.first.c_str(), kv.second.c_str());
    if (const char *big = getenv("REC_SAVE_BIG")) {
        std::string value(1000, 'b');
        for (int i = 0, n = atoi(big); i < n; ++i)
            nbpg_save_key(file, ("Big" + std::to_string(i)).c_str(), value.c_str());
    }
    if (getenv("REC_AUTOSAVE_IN_SAVE"))
        record("nested autosave " + std::to_string(nbpg_autosave()));
}

}  // namespace

int nbpg_handler(pgrp *req)
{
    switch (pgrp_get_type(req)) {
    case PGRP_INIT:
        record("INIT");
        keys.clear();   /* the library may stay mapped between loads */
        pgrp_set_result_ptr(req, gtk_label_new(REC_NAME));
        break;
    case PGRP_RELEASE:
        record("RELEASE");
        break;
    case PGRP_SESSION_SAVE:
        save(req);
        break;
    case PGRP_SESSION_LOAD_BEGIN:
        record("BEGIN size=" + std::to_string(pgrp_get_data_size(req)));
        incoming.clear();
        break;
    case PGRP_SESSION_LOAD_KEY: {
        const pgrp_session_key *k = (const pgrp_session_key *)pgrp_get_data_ptr(req);
        std::string name(k->name, strnlen(k->name, sizeof k->name));
        std::string value(k->value, strnlen(k->value, sizeof k->value));
        std::string line = "KEY " + name + "=" + value + " size=" + std::to_string(pgrp_get_data_size(req));
#if REC_VARIANT == 2
        const char *whole = nbpg_session_key_value(req);
        if (whole && value != whole) {
            value = whole;
            line += " whole=" + value;
        }
#endif
        record(line);
        incoming.emplace_back(name, value);
        break;
    }
    case PGRP_SESSION_LOAD_END:
        record("END");
        keys = incoming;
        break;
    default:
        break;
    }
    return 0;
}

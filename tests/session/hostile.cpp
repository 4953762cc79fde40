/*
 * A library that looks like a plug-in but must never be loaded by a
 * session file: its constructor reports the load to the test binary.
 */
#include "nimbrel/nimbrel.h"

extern "C" {
NBPG_EXPORT extern const uint16_t __nbpg_version;
NBPG_EXPORT extern const char __nbpg_name[];
NBPG_EXPORT extern const char __nbpg_author[];
NBPG_EXPORT extern const char __nbpg_description[];
const uint16_t __nbpg_version = 0x0300;
const char __nbpg_name[] = "Hostile";
const char __nbpg_author[] = "nobody";
const char __nbpg_description[] = "must not run";

__attribute__((weak, visibility("default"))) void nbtest_record(const char *who,
                                                                 const char *what);
}

__attribute__((constructor)) static void on_load(void)
{
    if (nbtest_record)
        nbtest_record("Hostile", "LOADED");
}

/*
 * Reads a large session-like file with the configuration-file reader and
 * looks every key up in a token table of the host's twelve key names, as
 * the session reader does; also times nbpg_save_key. Prints lines per
 * second.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <string>

#include "nimbrel/nimbrel.h"
#include "session/cfg.h"

namespace {

const char *keys[] = {"Chan", "Flags", "Baud", "BT0", "BT1", "Amask", "Acode",
                      "Wtout", "LoadPlugin", "Hsize", "Vsize", "LeftPaneSize"};
long found = 0;

int on_section(cfg_reader *, void *, const char *, size_t) { return 0; }
int on_end(cfg_reader *, void *) { return 0; }
int on_key(cfg_reader *rd, void *, const char *key, size_t, const char *)
{
    if (cfg_tokens_find(&rd->keys, key))
        ++found;
    return 0;
}

double seconds_since(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

int main(int argc, char **argv)
{
    const long lines = argc > 1 ? atol(argv[1]) : 1000000;
    char path[] = "/tmp/bench-session-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0)
        return 1;
    FILE *f = fdopen(fd, "w");

    auto t0 = std::chrono::steady_clock::now();
    cfg_write_section(f, "Nimbrel");
    for (long i = 0; i < lines; ++i) {
        char value[32];
        snprintf(value, sizeof value, "0x%lx", i);
        nbpg_save_key(f, keys[i % 12], value);
    }
    fclose(f);
    double w = seconds_since(t0);

    cfg_reader *rd = nullptr;
    if (cfg_open(path, nullptr, on_section, on_end, on_key, &rd) != 0)
        return 1;
    for (int i = 0; i < 12; ++i)
        cfg_tokens_add(&rd->keys, keys[i], i + 3);
    t0 = std::chrono::steady_clock::now();
    int status = 0;
    while (cfg_next_line(rd, &status))
        ;
    double r = seconds_since(t0);
    cfg_close(rd);
    remove(path);
    if (status < 0 || found != lines) {
        fprintf(stderr, "read failed: status %d, %ld of %ld keys found\n", status, found, lines);
        return 1;
    }
    printf("nbpg_save_key (write+flush per line): %ld lines in %.3f s, %.0f lines/s\n", lines, w,
           lines / w);
    printf("cfg_next_line + token lookup:        %ld lines in %.3f s, %.0f lines/s\n", lines, r,
           lines / r);
    return 0;
}

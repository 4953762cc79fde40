// Board configuration: ZELK_BOARDS, else $XDG_CONFIG_HOME/zelk/boards,
// else the default list: the simulated board as board 0 and every CAN
// network interface as boards 1 to 7. Board specs are separated by ';' (or
// new lines in the file), each "[N=]KIND[:ARGS]"; '#' starts a comment.
#include "core.h"
#include "socketcan/socketcan_sys.h"

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace zk {

namespace {

struct spec {
    int number = -1;        // explicit board number, else -1
    char kind[16] = "";
    char args[512] = "";
    char where[160] = "";   // where the board entry stands, for messages
};

struct parser {
    const char *source = "";  // "ZELK_BOARDS" or the file's path
    bool is_file = false;
    spec specs[ZK_MAX_BOARDS];
    int count = 0;
};

void fail(const char *where, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void fail(const char *where, const char *fmt, ...)
{
    lib_state &L = lib();
    char what[384];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(what, sizeof what, fmt, ap);
    va_end(ap);
    snprintf(L.config_error, sizeof L.config_error, "%s: %s", where, what);
}

void trim(const char **a, const char **b)
{
    while (*a < *b && isspace(static_cast<unsigned char>(**a))) (*a)++;
    while (*b > *a && isspace(static_cast<unsigned char>((*b)[-1]))) (*b)--;
}

// One board spec [a, b), already trimmed and not empty.
bool parse_spec(parser &P, const char *a, const char *b, int index, int line)
{
    char where[160];
    const int len = int(b - a);
    const char *cut = len > 40 ? "..." : "";
    if (P.is_file)
        snprintf(where, sizeof where, "%s line %d, board spec \"%.*s%s\"", P.source, line,
                 len > 40 ? 40 : len, a, cut);
    else
        snprintf(where, sizeof where, "%s, board spec %d \"%.*s%s\"", P.source, index,
                 len > 40 ? 40 : len, a, cut);
    if (P.count >= ZK_MAX_BOARDS) {
        fail(where, "more than %d boards", ZK_MAX_BOARDS);
        return false;
    }
    spec &s = P.specs[P.count];
    copy_text(s.where, sizeof s.where, where);

    const char *colon = static_cast<const char *>(memchr(a, ':', size_t(b - a)));
    const char *head_end = colon ? colon : b;
    const char *eq = static_cast<const char *>(memchr(a, '=', size_t(head_end - a)));
    const char *kind_a = a;
    if (eq) {
        const char *na = a, *nb = eq;
        trim(&na, &nb);
        bool digits = na < nb;
        long n = 0;
        for (const char *c = na; c < nb; c++) {
            if (!isdigit(static_cast<unsigned char>(*c)) || n > 100) {
                digits = false;
                break;
            }
            n = n * 10 + (*c - '0');
        }
        if (!digits || n >= ZK_MAX_BOARDS) {
            fail(where, "board number \"%.*s\" is not a number from 0 to %d", int(nb - na), na,
                 ZK_MAX_BOARDS - 1);
            return false;
        }
        s.number = int(n);
        kind_a = eq + 1;
    }
    const char *kind_b = head_end;
    trim(&kind_a, &kind_b);
    if (kind_a == kind_b) {
        fail(where, "board kind missing (for example \"sim\" or \"slcan:/dev/ttyACM0\")");
        return false;
    }
    if (kind_b - kind_a >= int(sizeof s.kind)) {
        fail(where, "unknown board kind \"%.*s\"", int(kind_b - kind_a), kind_a);
        return false;
    }
    int k = 0;
    for (const char *c = kind_a; c < kind_b; c++) {
        const unsigned char ch = static_cast<unsigned char>(*c);
        if (!isalnum(ch) && ch != '_' && ch != '-') {
            fail(where, "unknown board kind \"%.*s\"", int(kind_b - kind_a), kind_a);
            return false;
        }
        s.kind[k++] = char(tolower(ch));
    }
    s.kind[k] = '\0';
    if (!find_backend(s.kind)) {
        const char *kinds[16];
        int n = backend_kinds(kinds, 16);
        char known[128] = "";
        for (int i = 0; i < n; i++) {
            size_t used = strlen(known);
            snprintf(known + used, sizeof known - used, "%s%s", i ? ", " : "", kinds[i]);
        }
        fail(where, "unknown board kind \"%s\" (known: %s)", s.kind, known);
        return false;
    }
    if (colon) {
        const char *xa = colon + 1, *xb = b;
        trim(&xa, &xb);
        if (xb - xa >= int(sizeof s.args)) {
            fail(where, "arguments longer than %d characters", int(sizeof s.args) - 1);
            return false;
        }
        memcpy(s.args, xa, size_t(xb - xa));
        s.args[xb - xa] = '\0';
    }
    P.count++;
    return true;
}

bool parse_text(parser &P, const char *text)
{
    int line = 1, index = 0;
    const char *p = text;
    while (*p) {
        // A spec ends at ';', a line end, a comment or the end of the text.
        const char *a = p;
        while (*p && *p != ';' && *p != '\n' && *p != '#') p++;
        const char *b = p;
        trim(&a, &b);
        if (a < b) {
            index++;
            if (!parse_spec(P, a, b, index, line)) return false;
        }
        if (*p == '#')
            while (*p && *p != '\n') p++;
        if (*p == '\n') line++;
        if (*p) p++;
    }
    if (P.count == 0) {
        fail(P.source, "no board given (for example \"sim\")");
        return false;
    }
    return true;
}

// The first "key=" that an option list ("rate=500,len=8") gives twice,
// into key; false when every key is given once.
bool repeated_option(const char *args, char *key, size_t size)
{
    const char *p = args;
    char k[ZK_MAX_BOARDS * 8][32];
    int n = 0;
    while (*p) {
        const char *end = strchr(p, ',');
        if (!end) end = p + strlen(p);
        const char *eq = static_cast<const char *>(memchr(p, '=', size_t(end - p)));
        if (eq) {
            const char *a = p, *b = eq;
            trim(&a, &b);
            char name[32];
            snprintf(name, sizeof name, "%.*s", int(b - a), a);
            for (int i = 0; i < n; i++)
                if (strcmp(k[i], name) == 0) {
                    copy_text(key, size, name);
                    return true;
                }
            if (n < int(sizeof k / sizeof k[0])) copy_text(k[n++], sizeof k[0], name);
        }
        p = *end ? end + 1 : end;
    }
    return false;
}

}  // namespace

int16_t load_config()
{
    lib_state &L = lib();
    L.config_error[0] = '\0';
    parser P;
    static char text[16384];
    char path[1024];
    const char *env = getenv("ZELK_BOARDS");
    bool have = false;
    if (env && *env) {
        P.source = "ZELK_BOARDS";
        if (strlen(env) >= sizeof text) {
            fail(P.source, "longer than %d characters", int(sizeof text) - 1);
            return ZK_E_CONFIG;
        }
        copy_text(text, sizeof text, env);
        have = true;
    } else {
        const char *xdg = getenv("XDG_CONFIG_HOME");
        const char *home = getenv("HOME");
        if (xdg && *xdg) snprintf(path, sizeof path, "%s/zelk/boards", xdg);
        else snprintf(path, sizeof path, "%s/.config/zelk/boards", home && *home ? home : "");
        int err = 0;
        const char *kind = nullptr;
        const int fd = open_regular(path, &err, &kind);
        FILE *f = fd >= 0 ? fdopen(fd, "r") : nullptr;
        if (fd >= 0 && !f) {
            err = errno;
            close(fd);
        }
        // Only a board list that is not there leaves the default list in
        // force; one that cannot be read is named with the reason.
        struct stat st;
        if (kind) {
            fail(path, "%s, not a regular file", kind);
            return ZK_E_CONFIG;
        }
        if (!f && (err != ENOENT || lstat(path, &st) == 0)) {
            fail(path, "cannot be read: %s",
                 err == ENOENT ? "a symbolic link to nothing" : strerror(err));
            return ZK_E_CONFIG;
        }
        if (f) {
            size_t n = fread(text, 1, sizeof text - 1, f);
            bool longer = fgetc(f) != EOF;
            bool failed = ferror(f) != 0;
            fclose(f);
            P.source = path;
            if (failed) {
                fail(path, "cannot be read: %s", strerror(errno ? errno : EIO));
                return ZK_E_CONFIG;
            }
            P.is_file = true;
            if (longer) {
                fail(path, "file longer than %d bytes", int(sizeof text) - 1);
                return ZK_E_CONFIG;
            }
            text[n] = '\0';
            if (strlen(text) != n) {
                fail(path, "file contains a NUL byte");
                return ZK_E_CONFIG;
            }
            have = true;
        }
    }
    if (!have) {
        // The simulated board keeps number 0 whether interfaces exist or
        // not; the interfaces follow in natural name order (can0, can1,
        // can10, vcan0), one board each.
        P.source = "default configuration";
        copy_text(text, sizeof text, "0=sim");
        char names[ZK_MAX_BOARDS - 1][zk_socketcan::kNameMax];
        const int n = zk_socketcan::scan_interfaces(zk_socketcan::sysfs_root(), names,
                                                    ZK_MAX_BOARDS - 1);
        for (int i = 0; i < n; i++) {
            const size_t used = strlen(text);
            snprintf(text + used, sizeof text - used, ";%d=socketcan:%s", i + 1, names[i]);
        }
    }
    if (!parse_text(P, text)) return ZK_E_CONFIG;

    // Explicit numbers first, then the others take the lowest free ones.
    int number[ZK_MAX_BOARDS];
    bool used[ZK_MAX_BOARDS] = {};
    for (int i = 0; i < P.count; i++) {
        number[i] = P.specs[i].number;
        if (number[i] < 0) continue;
        if (used[number[i]]) {
            fail(P.specs[i].where, "board number %d given twice", number[i]);
            return ZK_E_CONFIG;
        }
        used[number[i]] = true;
    }
    for (int i = 0; i < P.count; i++) {
        if (number[i] >= 0) continue;
        int n = 0;
        while (used[n]) n++;  // at most 8 specs, so one is free
        number[i] = n;
        used[n] = true;
    }
    for (int i = 0; i < P.count; i++) {
        char key[32];
        if (repeated_option(P.specs[i].args, key, sizeof key)) {
            fail(P.specs[i].where, "option \"%s\" given twice", key);
            return ZK_E_CONFIG;
        }
    }
    for (int i = 0; i < P.count; i++) {
        const spec &s = P.specs[i];
        char err[256] = "";
        std::unique_ptr<zk_backend> be =
            find_backend(s.kind)(s.args, uint8_t(number[i]), err, sizeof err);
        if (!be) {
            fail(s.where, "board %d (%s): %s", number[i], s.kind, err[0] ? err : "cannot be set up");
            shutdown_boards();
            return ZK_E_CONFIG;
        }
        const int n = be->channels();
        if (n < 1 || n > ZK_CHANNELS_PER_BOARD) {
            fail(s.where, "board %d (%s): %d channels, expected 1 to %d", number[i], s.kind, n,
                 ZK_CHANNELS_PER_BOARD);
            shutdown_boards();
            return ZK_E_CONFIG;
        }
        board_state &b = L.boards[size_t(number[i])];
        copy_text(b.kind, sizeof b.kind, s.kind);
        be->board = uint8_t(number[i]);
        be->kind = b.kind;
        b.nchan = n;
        b.be = std::move(be);
    }
    // Channels are numbered across the boards in board order.
    int next = 0;
    for (int n = 0; n < ZK_MAX_BOARDS; n++) {
        board_state &b = L.boards[size_t(n)];
        if (!b.be) continue;
        b.first_chan = next;
        for (int slot = 0; slot < b.nchan; slot++) {
            chan_state &ch = L.chans[size_t(next++)];
            ch = chan_state{};
            ch.board = n;
            ch.slot = slot;
            ch.port_impl.reset(new zk_rx_port::impl);
            ch.port.p = ch.port_impl.get();
        }
    }
    L.nchan = next;
    return ZK_OK;
}

}  // namespace zk

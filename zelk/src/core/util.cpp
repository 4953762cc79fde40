// Helpers shared by the core and the backends: clock, bit timing, option
// strings, bounded text, the backend registry.
#include "backend.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace zk {

uint64_t clock_us()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000u + uint64_t(ts.tv_nsec) / 1000u;
}

uint32_t sja1000_bitrate(uint8_t bt0, uint8_t bt1)
{
    // BTR0: SJW in bits 7..6, BRP in 5..0. BTR1: SAM bit 7, TSEG2-1 in
    // 6..4, TSEG1-1 in 3..0. The controller runs at half the 16 MHz
    // crystal, so one time quantum is 2 x (BRP + 1) crystal periods.
    const uint32_t brp = bt0 & 0x3Fu;
    const uint32_t tseg1 = (bt1 & 0x0Fu) + 1;
    const uint32_t tseg2 = ((bt1 >> 4) & 0x07u) + 1;
    const uint32_t div = 2u * (brp + 1) * (1 + tseg1 + tseg2);
    return (16000000u + div / 2) / div;
}

int cia_index(uint8_t bt0, uint8_t bt1)
{
    for (int i = 0; i < ZK_CIA_RATES; i++)
        if (zk_cia_rate_at(i)->bt0 == bt0 && zk_cia_rate_at(i)->bt1 == bt1) return i;
    return -1;
}

void copy_text(char *dst, size_t size, const char *src)
{
    if (!dst || size == 0) return;
    if (!src) src = "";
    size_t n = strnlen(src, size - 1);
    memcpy(dst, src, n);
    dst[n] = '\0';
}

bool next_option(const char **p, char *key, size_t key_size, char *val, size_t val_size)
{
    const char *s = *p;
    if (!s || !*s) return false;
    const char *end = strchr(s, ',');
    if (!end) end = s + strlen(s);
    const char *eq = static_cast<const char *>(memchr(s, '=', size_t(end - s)));
    const char *kend = eq ? eq : end;
    auto put = [](char *dst, size_t size, const char *a, const char *b) {
        if (!dst || size == 0) return;
        // Trim blanks on both sides.
        while (a < b && (*a == ' ' || *a == '\t')) a++;
        while (b > a && (b[-1] == ' ' || b[-1] == '\t')) b--;
        size_t n = size_t(b - a);
        if (n > size - 1) n = size - 1;
        memcpy(dst, a, n);
        dst[n] = '\0';
    };
    put(key, key_size, s, kend);
    if (eq) put(val, val_size, eq + 1, end);
    else put(val, val_size, end, end);
    *p = *end ? end + 1 : end;
    return true;
}

bool zk_text_list::add(const char *name, const char *value)
{
    if (!text || count >= 32) return false;
    copy_text(text->name[count], sizeof text->name[count], name);
    copy_text(text->value[count], sizeof text->value[count], value);
    if (!text->name[count][0]) copy_text(text->name[count], sizeof text->name[count], "?");
    count++;
    return true;
}

bool lock_holder(const char *path, char *buf, size_t size)
{
    struct stat st;
    if (!buf || size == 0 || stat(path, &st) != 0) return false;
    FILE *locks = fopen("/proc/locks", "re");
    if (!locks) return false;
    // "1: FLOCK  ADVISORY  WRITE 1234 00:19:5 0 EOF": the holder's process
    // id, then the file's device (hex major:minor) and inode. Lines of
    // waiters carry "->" after the number and are skipped.
    char line[256];
    long pid = -1;
    while (pid < 0 && fgets(line, sizeof line, locks)) {
        char kind[16], mode[16], access[16];
        long p = 0;
        unsigned maj = 0, min = 0;
        unsigned long ino = 0;
        if (sscanf(line, "%*d: %15s %15s %15s %ld %x:%x:%lu", kind, mode, access, &p, &maj, &min,
                   &ino) == 7 &&
            strcmp(kind, "FLOCK") == 0 && maj == major(st.st_dev) && min == minor(st.st_dev) &&
            ino == st.st_ino && p > 0)
            pid = p;
    }
    fclose(locks);
    if (pid < 0) return false;
    char file[64], name[64] = "?";
    snprintf(file, sizeof file, "/proc/%ld/comm", pid);
    if (FILE *f = fopen(file, "re")) {
        if (fgets(name, sizeof name, f)) name[strcspn(name, "\n")] = '\0';
        fclose(f);
    }
    long uid = -1;
    snprintf(file, sizeof file, "/proc/%ld/status", pid);
    if (FILE *f = fopen(file, "re")) {
        while (fgets(line, sizeof line, f))
            if (sscanf(line, "Uid: %ld", &uid) == 1) break;
        fclose(f);
    }
    const passwd *pw = uid >= 0 ? getpwuid(uid_t(uid)) : nullptr;
    if (pw)
        snprintf(buf, size, "process %ld (%s) of user %s", pid, name, pw->pw_name);
    else if (uid >= 0)
        snprintf(buf, size, "process %ld (%s) of user id %ld", pid, name, uid);
    else
        snprintf(buf, size, "process %ld (%s)", pid, name);
    return true;
}

namespace {
const char *kind_of(mode_t mode)
{
    if (S_ISREG(mode)) return nullptr;
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a regular file";
}
}  // namespace

int open_regular(const char *path, int *err, const char **kind)
{
    *err = 0;
    *kind = nullptr;
    struct stat st;
    if (stat(path, &st) != 0) {
        *err = errno;
        return -1;
    }
    if ((*kind = kind_of(st.st_mode))) return -1;
    // Opened without waiting, and looked at again: a FIFO swapped in
    // between is refused as well.
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        *err = errno;
        return -1;
    }
    if (fstat(fd, &st) != 0 || (*kind = kind_of(st.st_mode)) ||
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        if (!*kind) *err = errno ? errno : EIO;
        close(fd);
        return -1;
    }
    return fd;
}

uint32_t zk_backend::clock_us(int slot)
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint32_t(uint64_t(ts.tv_sec) * 1000000u + uint64_t(ts.tv_nsec) / 1000u);
}

void zk_backend::lock_name(int slot, char *buf, size_t size)
{
    snprintf(buf, size, "%s-%u-%d", kind, unsigned(board), slot);
}

namespace {
struct registry_entry {
    const char *kind;
    zk_backend_factory factory;
};
// Function-local so that registration from other files' static
// initialisers works whatever the order.
registry_entry *registry(int *)
{
    static registry_entry entries[16];
    return entries;
}
int &registry_count()
{
    static int n = 0;
    return n;
}
}  // namespace

bool register_backend(const char *kind, zk_backend_factory factory)
{
    registry_entry *e = registry(nullptr);
    int &n = registry_count();
    for (int i = 0; i < n; i++)
        if (strcmp(e[i].kind, kind) == 0) {
            e[i].factory = factory;
            return true;
        }
    if (n < 16) e[n++] = {kind, factory};
    return true;
}

zk_backend_factory find_backend(const char *kind)
{
    registry_entry *e = registry(nullptr);
    int n = registry_count();
    for (int i = 0; i < n; i++)
        if (strcmp(e[i].kind, kind) == 0) return e[i].factory;
    return nullptr;
}

int backend_kinds(const char **out, int max)
{
    registry_entry *e = registry(nullptr);
    int n = registry_count();
    int k = 0;
    for (int i = 0; i < n && k < max; i++) out[k++] = e[i].kind;
    return k;
}

}  // namespace zk

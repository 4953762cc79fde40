/*
 * platform.cpp - the host's layer over Linux: installation directory,
 * user folders, timestamps, process priority and plug-in libraries.
 */
#include "app/platform.h"

#include <dlfcn.h>
#include <elf.h>
#include <errno.h>
#include <fcntl.h>
#include <glib.h>
#include <link.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "nimbrel/nimbrel.h"
#include "userfile.h"

namespace {

/* Copies src into buf (size bytes), cut and always NUL-terminated;
 * returns 0, or -1 with an empty buf when src is null or empty. */
int copy_out(char *buf, size_t size, const char *src)
{
    if (!buf || size == 0)
        return -1;
    buf[0] = '\0';
    if (!src || !*src)
        return -1;
    g_strlcpy(buf, src, size);
    return 0;
}

/* The machine this program was built for, from its own ELF header; 0
 * when it cannot be read (the check is then left out). */
int own_machine(void)
{
    static int machine = -1;
    if (machine < 0) {
        machine = 0;
        int fd = open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
        ElfW(Ehdr) eh;
        if (fd >= 0 && pread(fd, &eh, sizeof eh, 0) == (ssize_t)sizeof eh &&
            memcmp(eh.e_ident, ELFMAG, SELFMAG) == 0)
            machine = eh.e_machine;
        if (fd >= 0)
            close(fd);
    }
    return machine;
}

/* Why fd (a file of size bytes) is not a complete ELF shared object for
 * this machine, or null when it is one. dlopen maps the loadable segments
 * as they are: one that reaches past the end of a cut file is mapped over
 * nothing, and the first touch of it kills the process (SIGBUS). */
const char *elf_problem(int fd, uint64_t size)
{
    ElfW(Ehdr) eh;
    if (pread(fd, &eh, sizeof eh, 0) != (ssize_t)sizeof eh)
        return "too short for an ELF header";
    if (memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0)
        return "not an ELF file";
    const unsigned char own_class = sizeof(void *) == 8 ? ELFCLASS64 : ELFCLASS32;
    const unsigned char own_data =
        __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? ELFDATA2LSB : ELFDATA2MSB;
    if (eh.e_ident[EI_CLASS] != own_class || eh.e_ident[EI_DATA] != own_data ||
        (own_machine() != 0 && eh.e_machine != own_machine()))
        return "built for another machine";
    if (eh.e_type != ET_DYN)
        return "not a shared object";
    if (eh.e_phentsize != sizeof(ElfW(Phdr)) || eh.e_phnum == 0 || eh.e_phnum == PN_XNUM)
        return "no usable program headers";
    if (eh.e_phoff > size || (uint64_t)eh.e_phnum * sizeof(ElfW(Phdr)) > size - eh.e_phoff)
        return "cut short: the program headers end past the end of the file";
    for (unsigned i = 0; i < eh.e_phnum; i++) {
        ElfW(Phdr) ph;
        if (pread(fd, &ph, sizeof ph, (off_t)(eh.e_phoff + i * sizeof ph)) != (ssize_t)sizeof ph)
            return "the program headers cannot be read";
        if (ph.p_filesz != 0 && (ph.p_offset > size || ph.p_filesz > size - ph.p_offset))
            return ph.p_type == PT_LOAD ? "cut short: a loadable segment ends past the end of the file"
                                        : "cut short: a segment ends past the end of the file";
    }
    return nullptr;
}

/* Why the file cannot be handed to dlopen, or null. Only a regular file
 * is opened (a FIFO would block), and without waiting. */
const char *library_problem(const char *name)
{
    int err = 0;
    int fd = uf_open_read(name, &err);
    if (fd < 0)
        return err >= UF_E_FOLDER ? "not a regular file" : g_strerror(err);
    struct stat st;
    const char *why = fstat(fd, &st) != 0 ? g_strerror(errno) : elf_problem(fd, (uint64_t)st.st_size);
    close(fd);
    return why;
}

}  // namespace

int nbsdep_install_dir_of(const char *exe_path, char *buf, size_t size)
{
    if (!buf || size == 0)
        return -1;
    buf[0] = '\0';
    if (!exe_path || !*exe_path)
        return -1;
    gchar *dir = g_path_get_dirname(exe_path);
    gchar *base = g_path_get_basename(dir);
    /* A program installed as <prefix>/bin/nimbrel has <prefix> as its
     * installation directory, where its plug-ins and share/locale are. */
    if (strcmp(base, "bin") == 0 || strcmp(base, "lib") == 0) {
        gchar *parent = g_path_get_dirname(dir);
        g_free(dir);
        dir = parent;
    }
    g_free(base);
    int rc = copy_out(buf, size, dir);
    g_free(dir);
    return rc;
}

int nbsdep_install_dir(char *buf, size_t size)
{
    if (!buf || size == 0)
        return -1;
    buf[0] = '\0';
    gchar *exe = g_file_read_link("/proc/self/exe", nullptr);
    if (!exe)
        return -1;
    int rc = nbsdep_install_dir_of(exe, buf, size);
    g_free(exe);
    return rc;
}

#ifndef NB_DATADIR_REL
#define NB_DATADIR_REL "../../share"
#endif

int nbsdep_data_dir(const char *install_dir, char *buf, size_t size)
{
    if (!buf || size == 0)
        return -1;
    buf[0] = '\0';
    if (!install_dir || !*install_dir)
        return -1;
    gchar *staged = g_build_filename(install_dir, "share", nullptr);
    gchar *dir = nullptr;
    if (g_file_test(staged, G_FILE_TEST_IS_DIR)) {
        dir = staged;
    } else {
        g_free(staged);
        gchar *rel = g_build_filename(install_dir, NB_DATADIR_REL, nullptr);
        dir = g_canonicalize_filename(rel, nullptr);
        g_free(rel);
    }
    int rc = -1;
    if (strlen(dir) < size)   /* a cut path would name another folder */
        rc = copy_out(buf, size, dir);
    g_free(dir);
    return rc;
}

int nbsdep_desktop_dir(char *buf, size_t size)
{
    const char *dir = g_get_user_special_dir(G_USER_DIRECTORY_DESKTOP);
    if (!dir || !*dir)
        dir = g_get_home_dir();
    return copy_out(buf, size, dir);
}

int nbsdep_user_data_dir(char *buf, size_t size)
{
    const char *dir = g_get_user_data_dir();
    if (copy_out(buf, size, dir) != 0)
        return -1;
    if (g_mkdir_with_parents(dir, 0700) != 0) {
        buf[0] = '\0';
        return -1;
    }
    return 0;
}

int nbsdep_app_data_dir(char *buf, size_t size)
{
    if (!buf || size == 0)
        return -1;
    buf[0] = '\0';
    gchar *dir = g_build_filename(g_get_user_data_dir(), "nimbrel", nullptr);
    int rc = -1;
    /* A cut path would name another folder. */
    if (strlen(dir) < size && g_mkdir_with_parents(dir, 0700) == 0)
        rc = copy_out(buf, size, dir);
    g_free(dir);
    return rc;
}

uint64_t nbsdep_timestamp_from_unix(int64_t sec, int64_t usec)
{
    /* Millisecond resolution: the sub-millisecond part is dropped, so
     * every value is a multiple of 10 000 (100 ns units). */
    int64_t ms = sec * 1000 + usec / 1000;
    return NB_TIMESTAMP_UNIX_EPOCH + (uint64_t)ms * 10000u;
}

void nbsdep_raise_priority(void)
{
    /* Only a privileged process may lower its nice value; a refusal
     * leaves the priority as it was and is not reported. */
    (void)setpriority(PRIO_PROCESS, 0, -10);
}

void *nbsdep_dl_open(const char *utf8_path)
{
    if (!utf8_path)
        return nullptr;
    gchar *name = g_filename_from_utf8(utf8_path, -1, nullptr, nullptr, nullptr);
    if (!name)
        return nullptr;
    if (const char *why = library_problem(name)) {
        fprintf(stderr, "nimbrel: %s: not loaded: %s\n", utf8_path, why);
        g_free(name);
        return nullptr;
    }
    void *handle = dlopen(name, RTLD_NOW | RTLD_LOCAL);
    g_free(name);
    return handle;
}

void *nbsdep_dl_sym(void *handle, const char *name)
{
    if (!handle || !name)
        return nullptr;
    return dlsym(handle, name);
}

void nbsdep_dl_close(void *handle)
{
    if (handle)
        dlclose(handle);
}

int nbsdep_is_library_name(const char *name)
{
    if (!name)
        return 0;
    size_t n = strlen(name);
    if (n < 2)
        return 0;
    return g_ascii_strcasecmp(name + n - 2, "so") == 0 ? 1 : 0;
}

extern "C" NB_HOST_API uint64_t nbsdep_timestamp_get(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return nbsdep_timestamp_from_unix((int64_t)ts.tv_sec, (int64_t)(ts.tv_nsec / 1000));
}

/*
 * Session files: the writer (full and automatic variants) and the reader
 * with its three load modes. Plug-ins write their own keys into their
 * section through PGRP_SESSION_SAVE and get them back through
 * PGRP_SESSION_LOAD_BEGIN / _KEY / _END.
 *
 * A session is written to a temporary file next to the target, flushed to
 * disk and renamed over the target only when every line was written, so a
 * full disk, a crash or a failing plug-in never destroys the previous
 * session.
 */
#include "session/session_file.h"
#include "session/folders.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <glib.h>
#include <glib/gi18n.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "app/messages.h"
#include "app/nb_app.h"
#include "session/cfg.h"
#include "userfile.h"
#include "zelk.h"

namespace {

enum {
    SEC_MAIN = 1,
    SEC_PLUGIN = 2
};

enum {
    KEY_CHAN = 3,
    KEY_FLAGS = 4,
    KEY_BAUD = 5,
    KEY_BT0 = 6,
    KEY_BT1 = 7,
    KEY_AMASK = 8,
    KEY_ACODE = 9,
    KEY_WTOUT = 10,
    KEY_LOADPLUGIN = 11,
    KEY_HSIZE = 12,
    KEY_VSIZE = 13,
    KEY_LEFTPANESIZE = 14,
    KEY_FD = 15,
    KEY_DATARATE = 16,
    KEY_DATASP = 17,
    KEY_XPOS = 18,
    KEY_YPOS = 19,
    KEY_PAGE = 20,
    KEY_BOARD = 21,
    KEY_MAKER = 22,
    KEY_SERIAL = 23,
    KEY_QUITUNASKED = 24,
    KEY_TIMEORIGIN = 25,
    KEY_FOLDER = 26,         /* KEY_FOLDER + kind: the NB_FOLDER_* folders */
    /* Keys of an added channel's section only. */
    KEY_CHANNEL = 40,
    KEY_SLOT = 41,
    KEY_LISTENONLY = 42
};

struct token_name {
    const char *name;
    int64_t token;
};

const token_name section_names[] = {
    {"Nimbrel", SEC_MAIN},
    {"Plugin", SEC_PLUGIN},
};

const token_name key_names[] = {
    {"Chan", KEY_CHAN},       {"Flags", KEY_FLAGS},
    {"Baud", KEY_BAUD},       {"BT0", KEY_BT0},
    {"BT1", KEY_BT1},         {"Amask", KEY_AMASK},
    {"Acode", KEY_ACODE},     {"Wtout", KEY_WTOUT},
    {"LoadPlugin", KEY_LOADPLUGIN},
    {"Hsize", KEY_HSIZE},     {"Vsize", KEY_VSIZE},
    {"LeftPaneSize", KEY_LEFTPANESIZE},
    {"FD", KEY_FD},           {"DataRate", KEY_DATARATE},
    {"DataSP", KEY_DATASP},
    {"Xpos", KEY_XPOS},       {"Ypos", KEY_YPOS},
    {"Page", KEY_PAGE},
    {"Board", KEY_BOARD},     {"Maker", KEY_MAKER},
    {"Serial", KEY_SERIAL},
    {"QuitWithoutAsking", KEY_QUITUNASKED},
    {"TimeOrigin", KEY_TIMEORIGIN},
    {"LogFolder", KEY_FOLDER + NB_FOLDER_LOGS},
    {"DbcFolder", KEY_FOLDER + NB_FOLDER_DBC},
    {"SessionFolder", KEY_FOLDER + NB_FOLDER_SESSIONS},
    {"ExportFolder", KEY_FOLDER + NB_FOLDER_EXPORTS},
    {"Channel", KEY_CHANNEL}, {"Slot", KEY_SLOT},
    {"ListenOnly", KEY_LISTENONLY},
};

/* Bit rate in kbit/s of a bit-rate index: 0 for index 0, the manual rate;
 * index 1..9 is the CiA rate zk_cia_rate_at(index - 1). */
constexpr int32_t BAUD_COUNT = ZK_CIA_RATES + 1;
int32_t baud_kbit(int32_t index)
{
    const zk_cia_rate *r = zk_cia_rate_at(index - 1);
    return r ? r->kbit : 0;
}

/* glib-allocated string, freed on scope exit. */
struct gstr {
    char *p = nullptr;
    explicit gstr(char *s) : p(s) {}
    gstr(const gstr &) = delete;
    gstr &operator=(const gstr &) = delete;
    ~gstr() { g_free(p); }
};

void send_request(nb_app *app, nb_plugin *entry, int32_t type, void *data, uint64_t size)
{
    pgrp req;
    memset(&req, 0, sizeof req);
    req.type = type;
    req.chan = app->chan.number;
    req.timestamp = nbsdep_timestamp_get();
    req.data_size = size;
    req.data_ptr = data;
    app->pgmgr.ops.pgmgr_request(entry, &req);
}

/* ------------------------------------------------------------- writing */

/* Why the last session_write failed, for the user. */
char write_error[NB_TEXT_MAX] = "";

void set_write_error(const char *format, ...) __attribute__((format(printf, 1, 2)));
void set_write_error(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    g_vsnprintf(write_error, sizeof write_error, format, ap);
    va_end(ap);
}

/* The temporary file a session is written into before it replaces the
 * target: ".<name>.nbtmp" in the target's folder. */
struct staged_file {
    std::string target;
    std::string tmp;
    FILE *f = nullptr;

    ~staged_file() { discard(); }

    void discard()
    {
        if (f) {
            fclose(f);
            f = nullptr;
            unlink(tmp.c_str());
        }
    }

    int open(const char *fname)
    {
        target = fname;
        /* Replace what a symbolic link points to, not the link. */
        struct stat st;
        if (lstat(fname, &st) == 0 && S_ISLNK(st.st_mode)) {
            char *real = realpath(fname, nullptr);
            if (real) {
                target = real;
                free(real);
            }
        }
        /* A FIFO or device node would be replaced by a regular file, a
         * folder cannot be: neither is a session file. */
        if (int kind = uf_check_target(target.c_str())) {
            char why[NB_TEXT_MAX];
            set_write_error("%s", uf_describe(why, sizeof why, target.c_str(), kind));
            return -1;
        }
        mode_t mode = 0666;
        if (stat(target.c_str(), &st) == 0)
            mode = st.st_mode & 07777;
        size_t slash = target.rfind('/');
        std::string dir = slash == std::string::npos ? std::string(".") : target.substr(0, slash + 1);
        std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
        if (base.empty()) {
            set_write_error("%s names no file", target.c_str());
            return -1;
        }
        tmp = (slash == std::string::npos ? std::string() : dir) + "." + base + ".nbtmp";

        /* A leftover of an interrupted write is removed first; O_EXCL and
         * O_NOFOLLOW make sure nothing but a new file of ours is written. */
        unlink(tmp.c_str());
        int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0) {
            set_write_error("can not create %s: %s", tmp.c_str(), g_strerror(errno));
            return -1;
        }
        if (mode != 0666)
            (void)fchmod(fd, mode);
        f = fdopen(fd, "w");
        if (!f) {
            set_write_error("can not create %s: %s", tmp.c_str(), g_strerror(errno));
            close(fd);
            unlink(tmp.c_str());
            return -1;
        }
        return 0;
    }

    /* Makes the written file the target. Returns 0, CFG_E_IO when the data
     * did not reach the disk (write_errno: the system's reason of a line
     * that failed earlier), -1 when the target cannot be replaced. */
    int commit(int write_errno)
    {
        int rc = 0;
        int err = write_errno;
        errno = 0;
        if (ferror(f) || fflush(f) != 0 || fsync(fileno(f)) != 0)
            rc = CFG_E_IO;
        if (fclose(f) != 0 && rc == 0)
            rc = CFG_E_IO;
        f = nullptr;
        if (rc != 0 && err == 0)
            err = errno ? errno : EIO;
        if (rc != 0)
            set_write_error("can not write %s: %s", tmp.c_str(), g_strerror(err));
        if (rc == 0 && rename(tmp.c_str(), target.c_str()) != 0) {
            set_write_error("can not replace %s: %s", target.c_str(), g_strerror(errno));
            rc = -1;
        }
        if (rc != 0) {
            unlink(tmp.c_str());
            return rc;
        }
        size_t slash = target.rfind('/');
        std::string dir = slash == std::string::npos ? std::string(".") : target.substr(0, slash + 1);
        int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dfd >= 0) {
            (void)fsync(dfd);
            close(dfd);
        }
        return 0;
    }
};

/* Plug-ins that the last session read named but that are not loaded in
 * this pass (the library is missing, broken or refused for one start):
 * their LoadPlugin line and the lines of their sections go on into every
 * automatic file, so that their settings outlive the start. A plug-in
 * loaded in this pass writes its own keys from then on, and reading
 * another session starts the list afresh. */
/* The user's released plug-ins keep their section the same way, without
 * a LoadPlugin line (load false): loading one again later, in this run or
 * a later one, gives it back its settings. */
struct kept_plugin {
    std::string path;
    std::vector<std::pair<std::string, std::string>> keys;
    bool load = true;
};
std::vector<kept_plugin> kept;

/* Drops what a plug-in loaded in this pass has taken over. */
void prune_kept(nb_pgmgr *mgr)
{
    for (size_t i = kept.size(); i-- > 0;) {
        nb_plugin *entry = mgr->ops.pgmgr_find(mgr, kept[i].path.c_str());
        if (entry && (entry->loaded || (kept[i].load && entry->ever_loaded)))
            kept.erase(kept.begin() + (long)i);
    }
}

long kept_index(const char *path)
{
    for (size_t i = 0; i < kept.size(); i++)
        if (kept[i].path == path)
            return (long)i;
    return -1;
}

int write_kept_load_lines(FILE *f)
{
    int rc = 0;
    for (const kept_plugin &k : kept)
        if (k.load && (rc = cfg_write_key(f, "LoadPlugin", k.path.c_str())) < 0)
            return rc;
    return 0;
}

int write_kept_sections(FILE *f)
{
    int rc = 0;
    for (const kept_plugin &k : kept) {
        if ((rc = cfg_write_section(f, "Plugin")) < 0) return rc;
        if ((rc = cfg_write_key(f, "Path", k.path.c_str())) < 0) return rc;
        for (const auto &kv : k.keys)
            if ((rc = cfg_write_key(f, kv.first.c_str(), kv.second.c_str())) == CFG_E_IO)
                return rc;
    }
    return 0;
}

int write_int(FILE *f, const char *key, const char *fmt, long v)
{
    char buf[32];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    snprintf(buf, sizeof buf, fmt, v);
#pragma GCC diagnostic pop
    return cfg_write_key(f, key, buf);
}

const char *flags_text(uint8_t frame_format)
{
    switch (frame_format) {
    case 2: return "CAN11";
    case 4: return "CAN29";
    default: return "BOTH";
    }
}

/* The word a key's value holds: after leading blanks, up to a blank or a
 * comment. */
const char *value_word(const char *value, size_t *len)
{
    while (*value && g_ascii_isspace(*value))
        ++value;
    size_t n = 0;
    while (value[n] && !g_ascii_isspace(value[n]) && value[n] != '#')
        ++n;
    *len = n;
    return value;
}

/* Values of the FD key: the CAN FD variant a channel is opened in. A
 * classic channel has no FD key, so its file reads as before everywhere. */
const char *const fd_names[] = {"OFF", "ISO", "NON-ISO"};

/* What a session holds of the main window. The window keeps the geometry
 * fields current (its size, place and divider as the user left them, or
 * as a session just asked for them); the loaded plug-ins are listed in
 * the order of their tabs, those without a page after them. */
struct window_state {
    int32_t w = 0, h = 0, x = -1, y = -1, pane = 0;
    std::vector<nb_plugin *> order;
    std::string page;            /* path of the plug-in whose page is shown */

    bool operator==(const window_state &o) const
    {
        return w == o.w && h == o.h && x == o.x && y == o.y && pane == o.pane &&
               order == o.order && page == o.page;
    }
};

window_state current_window(nb_app *app)
{
    window_state ws;
    ws.w = app->gui.hsize;
    ws.h = app->gui.vsize;
    ws.x = app->gui.xpos;
    ws.y = app->gui.ypos;
    ws.pane = app->gui.left_pane_size;
    nb_pgmgr *mgr = &app->pgmgr;
    GtkNotebook *book = app->gui.notebook ? GTK_NOTEBOOK(app->gui.notebook) : nullptr;
    std::vector<std::pair<int, nb_plugin *>> tabs;
    nb_plugin *entry = nullptr;
    int n = 0;
    for (nb_plugin_node *node = mgr->ops.pgmgr_next(nullptr, mgr, &entry); node;
         node = mgr->ops.pgmgr_next(node, mgr, &entry), n++) {
        if (!entry || !entry->loaded || !entry->path)
            continue;
        int tab = book && entry->page ? gtk_notebook_page_num(book, entry->page) : -1;
        tabs.emplace_back(tab >= 0 ? tab : 100000 + n, entry);
        if (tab >= 0 && tab == gtk_notebook_get_current_page(book))
            ws.page = entry->path;
    }
    std::stable_sort(tabs.begin(), tabs.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    for (const auto &t : tabs)
        ws.order.push_back(t.second);
    return ws;
}

/* The window's state in the last automatic session written. */
window_state written_window;

/* The settings keys of a channel, as the main section and an added
 * channel's section both hold them. */
int write_chan_settings(FILE *f, const nb_chan &ch)
{
    int rc;
    /* An index outside the table (never set by the channel) is written as
     * the default rate rather than as a value the reader would refuse. */
    int32_t index = (ch.baud_index >= 0 && ch.baud_index < BAUD_COUNT) ? ch.baud_index : 7;
    if ((rc = write_int(f, "Baud", "%ld", baud_kbit(index))) < 0) return rc;
    if (index == 0) {
        if ((rc = write_int(f, "BT0", "0x%lx", ch.bt0)) < 0) return rc;
        if ((rc = write_int(f, "BT1", "0x%lx", ch.bt1)) < 0) return rc;
    }
    if (ch.fd) {
        if ((rc = write_int(f, "DataRate", "%ld", (long)ch.data_kbit)) < 0) return rc;
        if (ch.data_sp && (rc = write_int(f, "DataSP", "%ld", (long)ch.data_sp)) < 0) return rc;
    }
    if ((rc = write_int(f, "Amask", "0x%lx", (long)ch.acc_mask)) < 0) return rc;
    if ((rc = write_int(f, "Acode", "0x%lx", (long)ch.acc_code)) < 0) return rc;
    return write_int(f, "Wtout", "%ld", ch.wtout);
}

int write_board(FILE *f, const nb_board_info &b)
{
    int rc;
    if (!b.b.name[0])
        return 0;
    if ((rc = cfg_write_key(f, "Board", b.b.name)) < 0) return rc;
    if ((rc = cfg_write_key(f, "Maker", b.b.manufacturer)) < 0) return rc;
    return cfg_write_key(f, "Serial", b.serial);
}

/* The channels added to the window, one section each, in index order.
 * The section is a "Plugin" section whose first key is Channel (the
 * index): earlier versions refuse a section they do not know, and skip
 * the keys of a plug-in section that names no Path. */
int write_added_channels(nb_app *app, FILE *f)
{
    int rc;
    for (int32_t i = 1; i < app->chans.count; i++) {
        const nb_chan &ch = *app->chans.at[i];
        if ((rc = cfg_write_section(f, "Plugin")) < 0) return rc;
        if ((rc = write_int(f, "Channel", "%ld", i)) < 0) return rc;
        if ((rc = write_int(f, "Chan", "%ld", ch.number)) < 0) return rc;
        if ((rc = cfg_write_key(f, "Flags", flags_text(ch.frame_format))) < 0) return rc;
        if ((ch.fd == NB_FD_ISO || ch.fd == NB_FD_NON_ISO) &&
            (rc = cfg_write_key(f, "FD", fd_names[ch.fd])) < 0) return rc;
        if ((rc = write_board(f, ch.board)) < 0) return rc;
        for (int slot = 0; ch.board.b.name[0] && slot < ZK_CHANNELS_PER_BOARD; slot++)
            if (ch.board.b.chip[slot] == ch.number) {
                if ((rc = write_int(f, "Slot", "%ld", slot)) < 0) return rc;
                break;
            }
        if ((rc = write_chan_settings(f, ch)) < 0) return rc;
        if (ch.lom && (rc = cfg_write_key(f, "ListenOnly", "1")) < 0) return rc;
    }
    return 0;
}

int write_lines(nb_app *app, FILE *f, int automatic)
{
    const nb_chan &ch = app->chan;
    nb_pgmgr *mgr = &app->pgmgr;
    int rc;
    const window_state ws = current_window(app);

    pgrp save;
    memset(&save, 0, sizeof save);
    save.type = PGRP_SESSION_SAVE;
    save.chan = ch.number;

    if ((rc = cfg_write_section(f, "Nimbrel")) < 0) return rc;
    if ((rc = write_int(f, "Hsize", "%ld", ws.w)) < 0) return rc;
    if ((rc = write_int(f, "Vsize", "%ld", ws.h)) < 0) return rc;
    if ((rc = write_int(f, "LeftPaneSize", "%ld", ws.pane)) < 0) return rc;
    if (ws.x >= 0 && ws.y >= 0) {
        if ((rc = write_int(f, "Xpos", "%ld", ws.x)) < 0) return rc;
        if ((rc = write_int(f, "Ypos", "%ld", ws.y)) < 0) return rc;
    }
    /* Only the choice that is not the default: a file without the key
     * reads as before everywhere. */
    if (app->time.from_start)
        if ((rc = cfg_write_key(f, "TimeOrigin", "START")) < 0) return rc;
    if (!automatic) {
        if ((rc = write_int(f, "Chan", "%ld", ch.number)) < 0) return rc;
        if ((rc = cfg_write_key(f, "Flags", flags_text(ch.frame_format))) < 0) return rc;
    }
    /* Automatic files too: the chooser offers the channel's last mode. */
    if (ch.fd == NB_FD_ISO || ch.fd == NB_FD_NON_ISO)
        if ((rc = cfg_write_key(f, "FD", fd_names[ch.fd])) < 0) return rc;
    /* The adapter the settings below are made for: a later start that
     * finds another one on the channel asks before it takes them. */
    if ((rc = write_board(f, ch.board)) < 0) return rc;
    if ((rc = write_chan_settings(f, ch)) < 0) return rc;
    /* Only when set: files of earlier versions never had the key. */
    if (app->session.quit_unasked &&
        (rc = cfg_write_key(f, "QuitWithoutAsking", "1")) < 0) return rc;
    /* The start folders of the file choosers, those known. */
    for (int kind = 0; kind < NB_FOLDER_KINDS; kind++)
        if (app->session.folders[kind][0] &&
            (rc = cfg_write_key(f, folder_key(kind), app->session.folders[kind])) < 0) return rc;

    for (nb_plugin *loaded : ws.order)
        if ((rc = cfg_write_key(f, "LoadPlugin", loaded->path)) < 0) return rc;
    if (!ws.page.empty())
        if ((rc = cfg_write_key(f, "Page", ws.page.c_str())) < 0) return rc;
    if (automatic) {
        prune_kept(mgr);
        if ((rc = write_kept_load_lines(f)) < 0) return rc;
    }
    if ((rc = write_added_channels(app, f)) < 0) return rc;

    save.timestamp = nbsdep_timestamp_get();
    save.data_ptr = f;
    save.data_size = 8;
    nb_plugin *entry = nullptr;
    for (nb_plugin_node *n = mgr->ops.pgmgr_next(nullptr, mgr, &entry); n;
         n = mgr->ops.pgmgr_next(n, mgr, &entry)) {
        if (!entry || !entry->loaded || !entry->path)
            continue;
        if ((rc = cfg_write_section(f, "Plugin")) < 0) return rc;
        if ((rc = cfg_write_key(f, "Path", entry->path)) < 0) return rc;
        mgr->ops.pgmgr_request(entry, &save);
    }
    return automatic ? write_kept_sections(f) : 0;
}

/* A plug-in that asks for an autosave while it saves its own keys would
 * otherwise start a write inside the write. */
bool writing = false;

/* ------------------------------------------------------------- reading */

struct read_state {
    nb_app *app;
    int64_t cur_section;
    int main_seen;
    int load_mode;
    int pending_chan;          /* -1: no Chan key read */
    nb_plugin *cur_plugin;
    std::vector<std::string> named;  /* LoadPlugin paths of the main section */
    std::string page;          /* Page: the plug-in whose page is to be shown */
    long cur_kept;             /* index in kept of the section's plug-in, or -1 */
    int sec_keys;              /* keys read in the current plug-in section */
    bool chan_sec;             /* that section is an added channel's */
    bool chan_sec_number;      /* and named its channel (Chan) */
    nb_session_chan main;      /* the main channel as read */
    nb_session_chan cur_chan;  /* the added channel being read */
    nb_session_chan added[NB_CHAN_MAX - 1];
    int32_t added_count;
};

read_state rs;
bool reading = false;

/* A check read that starts from the channel record, as a load does. */
bool check_from_record = false;

/* What a SES_LOAD_CHECK read reads values into: never the program's own. */
nb_gui check_gui;

bool checking() { return rs.load_mode == SES_LOAD_CHECK; }

int bad_value(cfg_reader *rd)
{
    cfg_set_reason(rd, "bad key value");
    return CFG_E_SYNTAX;
}

int read_number(cfg_reader *rd, const char *value, int32_t *out)
{
    return nbpg_keyval_get_int(value, out) == 0 ? 0 : bad_value(rd);
}

int ses_on_section(cfg_reader *rd, void *user, const char *name, size_t len)
{
    rs.cur_section = cfg_tokens_find(&rd->sections, name);
    if (rs.cur_section == 0) {
        cfg_set_reason(rd, "unrecognized section");
        return CFG_E_UNKNOWN_SECTION;
    }
    if (rs.cur_section == SEC_MAIN && rs.main_seen) {
        cfg_set_reason(rd, "double section definition");
        return CFG_E_SYNTAX;
    }
    if (rs.cur_section == SEC_PLUGIN) {
        rs.cur_plugin = nullptr;
        rs.cur_kept = -1;
        rs.sec_keys = 0;
        rs.chan_sec = false;
    }
    return 0;
}

/* The whole value of the key being given to a plug-in. */
const char *key_value = nullptr;

int plugin_key(nb_app *app, const char *key, const char *value)
{
    if (checking())
        return 0;
    if (strcmp(key, "Path") == 0) {
        nb_plugin *entry = app->pgmgr.ops.pgmgr_find(&app->pgmgr, value);
        if (entry && entry->loaded) {
            rs.cur_plugin = entry;
            send_request(app, entry, PGRP_SESSION_LOAD_BEGIN, nullptr, 0);
        } else if (rs.load_mode != SES_LOAD_PLUGINS) {
            /* A section of a plug-in the file does not load is kept as a
             * released plug-in's section. */
            rs.cur_kept = kept_index(value);
            if (rs.cur_kept < 0) {
                kept.push_back(kept_plugin{value, {}, false});
                rs.cur_kept = (long)kept.size() - 1;
            }
        }
        return 0;
    }
    if (rs.cur_kept >= 0 && !rs.cur_plugin) {
        kept[(size_t)rs.cur_kept].keys.emplace_back(key, value);
        return 0;
    }
    if (rs.cur_plugin && rs.cur_plugin->loaded) {
        pgrp_session_key k;
        memset(&k, 0, sizeof k);
        /* Nothing is given cut: a cut path is another path. The whole
         * value is at nbpg_session_key_value during the request; a plug-in
         * of the older interface, which knows nothing of it, does not get
         * a value that does not fit its record. */
        bool fits = strlen(value) < sizeof k.value;
        bool newer = !rs.cur_plugin->handler || rs.cur_plugin->version >= 0x0301;
        if (strlen(key) >= sizeof k.name || (!fits && !newer)) {
            gchar *name = g_path_get_basename(rs.cur_plugin->path);
            nb_message_warn(_("The session's key %.60s%s of the plug-in %s is longer than the "
                              "plug-in can take (%d characters for a name, %d for a value): it "
                              "is not given to it, and the plug-in keeps its own setting."),
                            key, strlen(key) > 60 ? "..." : "", name, (int)sizeof k.name - 1,
                            (int)sizeof k.value - 1);
            g_free(name);
            return 0;
        }
        g_strlcpy(k.name, key, sizeof k.name);
        if (fits)
            g_strlcpy(k.value, value, sizeof k.value);
        key_value = value;
        send_request(app, rs.cur_plugin, PGRP_SESSION_LOAD_KEY, &k, sizeof k);
        key_value = nullptr;
    }
    return 0;
}

/* A key of a channel's settings into c: the main section's (main true)
 * or an added channel's. whole: Chan, Flags and FD are taken too. Returns
 * 1 when the key is not a channel key. */
int chan_key(cfg_reader *rd, int64_t token, const char *value, nb_session_chan &c, bool whole,
             bool main)
{
    nb_chan_settings &ch = c.s;
    int32_t v = 0;
    switch (token) {
    case KEY_CHAN:
        if (!whole)
            return 0;
        if (read_number(rd, value, &v) < 0)
            return CFG_E_SYNTAX;
        if (main) {
            rs.pending_chan = (uint8_t)v;
        } else {
            c.number = (uint8_t)v;
            rs.chan_sec_number = true;
        }
        return 0;
    case KEY_FLAGS: {
        if (!whole)
            return 0;
        const char *p = value;
        while (*p && g_ascii_isspace(*p))
            ++p;
        if (*p == '\0' || *p == '#') {
            cfg_set_reason(rd, "empty key value");
            return CFG_E_SYNTAX;
        }
        if (strncmp(p, "BOTH", 4) == 0)
            ch.frame_format = 6;
        else if (strncmp(p, "CAN11", 5) == 0)
            ch.frame_format = 2;
        else if (strncmp(p, "CAN29", 5) == 0)
            ch.frame_format = 4;
        else
            return bad_value(rd);
        /* A file without an FD key after its Flags was written for a
         * classic channel (every file before CAN FD came). */
        ch.fd = NB_FD_OFF;
        return 0;
    }
    case KEY_FD: {
        if (!whole)
            return 0;
        size_t len = 0;
        const char *p = value_word(value, &len);
        if (len == 0) {
            cfg_set_reason(rd, "empty key value");
            return CFG_E_SYNTAX;
        }
        for (uint8_t mode = NB_FD_OFF; mode <= NB_FD_NON_ISO; mode++) {
            if (strlen(fd_names[mode]) == len && strncmp(p, fd_names[mode], len) == 0) {
                ch.fd = mode;
                return 0;
            }
        }
        return bad_value(rd);
    }
    case KEY_BAUD:
        if (read_number(rd, value, &v) < 0)
            return CFG_E_SYNTAX;
        if (v == 0 || (v > 0 && zk_cia_index((uint32_t)v) >= 0)) {
            ch.baud_index = v ? zk_cia_index((uint32_t)v) + 1 : 0;
            return 0;
        }
        return bad_value(rd);
    case KEY_BOARD:
    case KEY_MAKER:
    case KEY_SERIAL: {
        nb_adapter_id &a = c.adapter;
        a.known = 1;
        if (token == KEY_BOARD)
            g_strlcpy(a.board, value, sizeof a.board);
        else if (token == KEY_MAKER)
            g_strlcpy(a.maker, value, sizeof a.maker);
        else
            g_strlcpy(a.serial, value, sizeof a.serial);
        return 0;
    }
    case KEY_BT0:
    case KEY_BT1:
    case KEY_AMASK:
    case KEY_ACODE:
    case KEY_WTOUT:
    case KEY_DATARATE:
    case KEY_DATASP:
        break;
    default:
        return 1;
    }

    if (read_number(rd, value, &v) < 0)
        return CFG_E_SYNTAX;
    switch (token) {
    case KEY_BT0: ch.bt0 = (uint8_t)v; break;
    case KEY_BT1: ch.bt1 = (uint8_t)v; break;
    case KEY_AMASK: ch.acc_mask = (uint32_t)v; break;
    case KEY_ACODE: ch.acc_code = (uint32_t)v; break;
    case KEY_WTOUT: ch.wtout = (uint16_t)v; break;
    case KEY_DATARATE:
        /* kbit/s, as the status record for plug-ins holds it */
        if (v < 1 || v > UINT16_MAX)
            return bad_value(rd);
        ch.data_kbit = (uint32_t)v;
        /* DataSP, written only when not the adapter's default, follows. */
        ch.data_sp = 0;
        break;
    case KEY_DATASP:
        if (v < 0 || v > 999)
            return bad_value(rd);
        ch.data_sp = (uint16_t)v;
        break;
    default: break;
    }
    return 0;
}

/* A key of an added channel's section (a plug-in section whose first key
 * is Channel). */
int added_chan_key(cfg_reader *rd, const char *key, const char *value)
{
    int64_t token = cfg_tokens_find(&rd->keys, key);
    int32_t v = 0;
    if (token == KEY_CHANNEL)
        return read_number(rd, value, &v) < 0 ? CFG_E_SYNTAX : 0;
    if (token == KEY_SLOT || token == KEY_LISTENONLY) {
        if (read_number(rd, value, &v) < 0)
            return CFG_E_SYNTAX;
        if (token == KEY_SLOT)
            rs.cur_chan.slot = v >= 0 && v < ZK_CHANNELS_PER_BOARD ? v : -1;
        else
            rs.cur_chan.s.lom = v != 0;
        return 0;
    }
    int rc = token ? chan_key(rd, token, value, rs.cur_chan, true, false) : 1;
    if (rc == 1) {
        cfg_set_reason(rd, "unrecognized key");
        return CFG_E_UNKNOWN_KEY;
    }
    return rc;
}

int ses_on_key(cfg_reader *rd, void *user, const char *key, size_t len, const char *value)
{
    nb_app *app = (nb_app *)user;
    if (rs.cur_section == SEC_PLUGIN) {
        if (rs.sec_keys++ == 0 && strcmp(key, "Channel") == 0) {
            rs.chan_sec = true;
            rs.chan_sec_number = false;
            memset(&rs.cur_chan, 0, sizeof rs.cur_chan);
            chan_settings_default(&rs.cur_chan.s);
            rs.cur_chan.slot = -1;
        }
        if (rs.chan_sec)
            return rs.load_mode == SES_LOAD_PLUGINS ? 0 : added_chan_key(rd, key, value);
        return plugin_key(app, key, value);
    }

    int64_t token = cfg_tokens_find(&rd->keys, key);
    if (token == 0 || token == KEY_CHANNEL || token == KEY_SLOT || token == KEY_LISTENONLY) {
        cfg_set_reason(rd, "unrecognized key");
        return CFG_E_UNKNOWN_KEY;
    }
    if (rs.load_mode == SES_LOAD_PLUGINS)
        return 0;

    const bool whole = rs.load_mode == SES_LOAD_FILE || checking();
    nb_gui &gui = checking() ? check_gui : app->gui;
    int rc = chan_key(rd, token, value, rs.main, whole, true);
    if (rc != 1)
        return rc;
    int32_t v = 0;
    switch (token) {
    case KEY_PAGE:
        if (!checking())
            rs.page = value;
        return 0;
    case KEY_TIMEORIGIN: {
        /* START: relative times from the controller's first start;
         * PASS: from the start of the pass. */
        size_t len = 0;
        const char *p = value_word(value, &len);
        uint8_t from_start;
        if (len == 5 && strncmp(p, "START", 5) == 0)
            from_start = 1;
        else if (len == 4 && strncmp(p, "PASS", 4) == 0)
            from_start = 0;
        else
            return bad_value(rd);
        if (!checking())
            app->time.from_start = from_start;
        return 0;
    }
    case KEY_FOLDER + NB_FOLDER_LOGS:
    case KEY_FOLDER + NB_FOLDER_DBC:
    case KEY_FOLDER + NB_FOLDER_SESSIONS:
    case KEY_FOLDER + NB_FOLDER_EXPORTS:
        /* A folder the store would not keep is left out, not refused:
         * it only says where a chooser starts. */
        if (!checking())
            (void)folder_set(app, (int)(token - KEY_FOLDER), value);
        return 0;
    case KEY_LOADPLUGIN: {
        if (checking())
            return 0;
        /* Only a library the manager listed may be loaded: an unlisted
         * path named by a file from elsewhere is never opened. */
        nb_plugin *entry = app->pgmgr.ops.pgmgr_find(&app->pgmgr, value);
        if (entry && app->pgmgr.ops.pgmgr_is_plugin(entry->path) == 1) {
            entry->pending = 1;
            app->pgmgr.changes_pending = 1;
        }
        rs.named.emplace_back(value);
        return 0;
    }
    default:
        break;
    }

    if (read_number(rd, value, &v) < 0)
        return CFG_E_SYNTAX;
    switch (token) {
    case KEY_QUITUNASKED: app->session.quit_unasked = v != 0; break;
    case KEY_HSIZE: gui.hsize = v; break;
    case KEY_VSIZE: gui.vsize = v; break;
    case KEY_LEFTPANESIZE: gui.left_pane_size = v; break;
    case KEY_XPOS: gui.xpos = v; break;
    case KEY_YPOS: gui.ypos = v; break;
    default: break;
    }
    return 0;
}

/* The tabs of the plug-ins the main section named take the order it
 * names them in, in the places their tabs have (a tab it does not name
 * keeps its place), and the page it names is shown. */
void arrange_pages(nb_app *app)
{
    if (!app->gui.notebook)
        return;
    GtkNotebook *book = GTK_NOTEBOOK(app->gui.notebook);
    nb_pgmgr *mgr = &app->pgmgr;
    std::vector<GtkWidget *> tabs, named;
    for (int i = 0; i < gtk_notebook_get_n_pages(book); i++)
        tabs.push_back(gtk_notebook_get_nth_page(book, i));
    for (const std::string &path : rs.named) {
        nb_plugin *entry = mgr->ops.pgmgr_find(mgr, path.c_str());
        if (entry && entry->loaded && entry->page &&
            std::find(tabs.begin(), tabs.end(), entry->page) != tabs.end() &&
            std::find(named.begin(), named.end(), entry->page) == named.end())
            named.push_back(entry->page);
    }
    size_t next = 0;
    for (GtkWidget *&tab : tabs)
        if (std::find(named.begin(), named.end(), tab) != named.end())
            tab = named[next++];
    for (size_t i = 0; i < tabs.size(); i++)
        gtk_notebook_reorder_child(book, tabs[i], (gint)i);
    nb_plugin *shown = rs.page.empty() ? nullptr : mgr->ops.pgmgr_find(mgr, rs.page.c_str());
    int tab = shown && shown->loaded && shown->page ? gtk_notebook_page_num(book, shown->page) : -1;
    if (tab >= 0)
        gtk_notebook_set_current_page(book, tab);
}

/* The plug-ins the main section named that did not load. */
void keep_unloaded(nb_app *app)
{
    for (const std::string &path : rs.named) {
        nb_plugin *entry = app->pgmgr.ops.pgmgr_find(&app->pgmgr, path.c_str());
        bool listed = kept_index(path.c_str()) >= 0;
        if (!(entry && entry->loaded) && !listed)
            kept.push_back(kept_plugin{path, {}});
    }
    rs.named.clear();
}

int ses_on_section_end(cfg_reader *rd, void *user)
{
    nb_app *app = (nb_app *)user;
    if (rs.cur_section == SEC_MAIN) {
        if (rs.load_mode != SES_LOAD_PLUGINS && !checking()) {
            rs.main_seen = 1;
            /* Without a Chan key the channel number stays as it is. */
            if (rs.load_mode == SES_LOAD_FILE && rs.pending_chan >= 0)
                rs.main.number = (uint8_t)rs.pending_chan;
            app->pgmgr.ops.pgmgr_apply_pending(app);
            arrange_pages(app);
            keep_unloaded(app);
        }
    } else if (rs.cur_section == SEC_PLUGIN && rs.chan_sec) {
        /* A section that names no channel is of no use and left out. */
        if (rs.chan_sec_number && rs.added_count < NB_CHAN_MAX - 1)
            rs.added[rs.added_count++] = rs.cur_chan;
        rs.chan_sec = false;
    } else if (rs.cur_section == SEC_PLUGIN) {
        if (rs.cur_plugin && rs.cur_plugin->loaded)
            send_request(app, rs.cur_plugin, PGRP_SESSION_LOAD_END, nullptr, 0);
        rs.cur_plugin = nullptr;
        rs.cur_kept = -1;
    }
    rs.cur_section = 0;
    return 0;
}

}  // namespace

void session_keep_released(nb_app *app, nb_plugin *entry)
{
    if (!app || !entry || !entry->loaded || !entry->path || writing)
        return;
    char *text = nullptr;
    size_t size = 0;
    FILE *mem = open_memstream(&text, &size);
    if (!mem)
        return;
    writing = true;
    send_request(app, entry, PGRP_SESSION_SAVE, mem, 8);
    writing = false;
    (void)cfg_take_write_errno();
    fclose(mem);

    /* The lines as the writer made them, "key=value": written back the
     * same way they read back as the plug-in's own. */
    kept_plugin k{entry->path, {}, false};
    for (char *line = text, *next; line && *line; line = next) {
        next = strchr(line, '\n');
        if (next)
            *next++ = '\0';
        char *eq = strchr(line, '=');
        if (eq && eq != line) {
            *eq = '\0';
            k.keys.emplace_back(line, eq + 1);
        }
    }
    free(text);
    long i = kept_index(entry->path);
    if (i >= 0)
        kept[(size_t)i] = std::move(k);
    else
        kept.push_back(std::move(k));
}

int32_t session_write(nb_app *app, const char *path, int automatic)
{
    write_error[0] = '\0';
    if (!app || !path || writing) {
        g_strlcpy(write_error, "another session is being written", sizeof write_error);
        return -1;
    }
    gstr fname(g_filename_from_utf8(path, -1, nullptr, nullptr, nullptr));
    if (!fname.p || !*fname.p) {
        set_write_error("%s cannot be used as a file name", path);
        return -1;
    }
    staged_file out;
    if (out.open(fname.p) != 0)
        return -1;
    writing = true;
    (void)cfg_take_write_errno();
    const window_state ws = current_window(app);
    int rc = write_lines(app, out.f, automatic);
    /* A plug-in's lines that failed to be written do not fail its request;
     * the stream's error flag and the writer's first error tell. */
    int err = cfg_take_write_errno();
    writing = false;
    if (rc < 0) {
        /* out's destructor removes the temporary file */
        if (rc == CFG_E_BADNAME)
            set_write_error("a key that cannot be written in %s", out.tmp.c_str());
        else
            set_write_error("can not write %s: %s", out.tmp.c_str(), g_strerror(err ? err : EIO));
        return rc;
    }
    rc = out.commit(err);
    if (rc == 0 && automatic)
        written_window = ws;
    return rc;
}

bool session_window_unsaved(nb_app *app)
{
    window_state now = current_window(app);
    if (now == written_window)
        return false;
    /* Loading and releasing plug-ins is written when the Available plugins
     * dialog closes, which first hands the new ones their keys from the
     * file: not before. */
    std::vector<nb_plugin *> a = now.order, b = written_window.order;
    std::sort(a.begin(), a.end());
    std::sort(b.begin(), b.end());
    return a == b;
}

const char *session_write_error(void)
{
    return write_error;
}

namespace {

/* Hands the channels read to the session record: the main channel's as a
 * value (and to the channel record when no pass applies it), the added
 * ones when the whole file read. */
void take_channels(nb_app *app, bool whole_file)
{
    nb_session &ses = app->session;
    ses.main = rs.main;
    ses.main_read = 1;
    ses.adapter = rs.main.adapter;
    if (!ses.defer_settings) {
        nb_chan &ch = app->chan;
        const nb_chan_settings &v = rs.main.s;
        ch.number = rs.main.number;
        ch.frame_format = v.frame_format;
        ch.fd = v.fd;
        ch.baud_index = v.baud_index;
        ch.bt0 = v.bt0;
        ch.bt1 = v.bt1;
        ch.data_kbit = v.data_kbit;
        ch.data_sp = v.data_sp;
        ch.acc_code = v.acc_code;
        ch.acc_mask = v.acc_mask;
        ch.wtout = v.wtout;
    }
    ses.added_count = whole_file ? rs.added_count : 0;
    for (int32_t i = 0; i < ses.added_count; i++)
        ses.added[i] = rs.added[i];
}

/* Why the last session_read failed, for the caller's message. */
char read_reason[CFG_MESSAGE_MAX];

void set_read_reason(const char *text)
{
    g_strlcpy(read_reason, text ? text : "", sizeof read_reason);
}

}  // namespace

const char *session_read_reason(void)
{
    return read_reason;
}

void session_unloadable_text(const char *path, char *buf, size_t size)
{
    /* Cut as a formatted message box cuts. */
    if (size > NB_MESSAGE_MAX_CHARS + 1)
        size = NB_MESSAGE_MAX_CHARS + 1;
    if (*read_reason)
        g_snprintf(buf, size, "Can not load session from file \"%s\": %s", path, read_reason);
    else
        g_snprintf(buf, size, "Can not load session from file \"%s\"", path);
}

void session_report_unloadable(const char *path)
{
    char text[NB_TEXT_MAX];
    session_unloadable_text(path, text, sizeof text);
    nb_error(text);
}

int32_t session_read(nb_app *app, const char *path, int mode)
{
    set_read_reason("");
    if (!app || !path || reading)
        return -1;
    rs.app = app;
    rs.main_seen = 0;
    rs.cur_section = 0;
    rs.load_mode = mode;
    rs.pending_chan = -1;
    rs.cur_plugin = nullptr;
    rs.named.clear();
    rs.page.clear();
    rs.cur_kept = -1;
    rs.sec_keys = 0;
    rs.chan_sec = false;
    rs.added_count = 0;
    /* Keys the file does not hold keep the settings the record has. */
    memset(&rs.main, 0, sizeof rs.main);
    rs.main.number = app->chan.number;
    rs.main.slot = -1;
    /* A check reads the file alone: a file without FD is classic. */
    if (mode == SES_LOAD_CHECK && !check_from_record)
        chan_settings_default(&rs.main.s);
    else
        chan_settings_of(&app->chan, &rs.main.s);
    if (mode != SES_LOAD_PLUGINS && mode != SES_LOAD_CHECK) {
        kept.clear();
        memset(&app->session.adapter, 0, sizeof app->session.adapter);
    }
    const bool quiet = mode == SES_LOAD_CHECK;

    gstr fname(g_filename_from_utf8(path, -1, nullptr, nullptr, nullptr));
    if (!fname.p) {
        set_read_reason("the name is not valid in the file name encoding");
        return -1;
    }
    cfg_reader *rd = nullptr;
    char why[CFG_REASON_MAX];
    errno = 0;
    int rc = cfg_open(fname.p, app, ses_on_section, ses_on_section_end, ses_on_key, &rd, why,
                      sizeof why);
    if (rc < 0) {
        int err = errno;
        if (why[0]) {
            if (!quiet)
                nb_message_error("parsing error: %s", why);
            set_read_reason(why);
        } else {
            struct stat st;
            if (stat(fname.p, &st) == 0 && S_ISDIR(st.st_mode))
                err = EISDIR;
            set_read_reason(g_strerror(err ? err : EIO));
        }
        return rc;
    }

    for (const token_name &t : section_names)
        if (rc >= 0)
            rc = cfg_tokens_add(&rd->sections, t.name, t.token);
    for (const token_name &t : key_names)
        if (rc >= 0)
            rc = cfg_tokens_add(&rd->keys, t.name, t.token);
    if (rc < 0) {
        if (!quiet)
            nb_message_error("can't register tokens to parse session file: %s", rd->message);
        set_read_reason(rd->message);
        cfg_close(rd);
        return rc;
    }

    reading = true;
    int status = 0;
    while (cfg_next_line(rd, &status))
        ;
    reading = false;
    rs.cur_plugin = nullptr;
    if (mode == SES_LOAD_FILE || mode == SES_LOAD_AUTO)
        take_channels(app, status >= 0);
    if (status < 0) {
        if (!quiet)
            nb_message_error("parsing error: %s", rd->message);
        set_read_reason(rd->message);
    }
    cfg_close(rd);
    return status < 0 ? status : 0;
}

uint8_t session_last_fd(nb_app *app, uint8_t chan)
{
    static nb_session ses;
    ses = app->session;
    app->session.ops.make_paths(&ses, chan);
    if (!ses.auto_file[0] || session_read(app, ses.auto_file, SES_LOAD_CHECK) < 0)
        return NB_FD_OFF;
    return rs.main.s.fd;
}

int32_t session_peek_main(nb_app *app, const char *path, nb_session_chan *out)
{
    check_from_record = true;
    int32_t rc = session_read(app, path, SES_LOAD_CHECK);
    check_from_record = false;
    if (rc < 0)
        return rc;
    *out = rs.main;
    if (rs.pending_chan >= 0)
        out->number = (uint8_t)rs.pending_chan;
    return 0;
}

extern "C" NB_HOST_API const char *nbpg_session_key_value(const pgrp *req)
{
    return req && req->type == PGRP_SESSION_LOAD_KEY ? key_value : nullptr;
}

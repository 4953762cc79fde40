/*
 * pgmgr.cpp - the plug-in manager: finds the plug-in libraries of the
 * installation directory, keeps the list of them, loads them into pages of
 * the main window's notebook, releases them and hands every request to the
 * loaded ones, either to their request handler or through the older set
 * of entry points.
 *
 * The list is singly linked, newest entry first, paths unique. Entries,
 * their path buffers and the nodes belong to the manager and live until
 * pgmgr_release_all.
 *
 * Frames go to each plug-in in the form it was written for: an FD-aware
 * plug-in gets every frame, classic and FD, in the FD request types; any
 * other gets the classic frames in the classic types, and the FD frames it
 * could not be given are counted (fd_hidden) for the user to see. Each
 * form is made once per batch, into the channel's buffers, and only when
 * some loaded plug-in needs it. A plug-in that takes the stream gets none
 * of these, only PGRP_STREAM; it alone hears of the added channels
 * (PGRP_CHANNELS, their PGRP_STATUS and PGRP_ERRORS).
 *
 * A plug-in can run a nested main loop while it handles a request, and the
 * poller (or a menu action) then runs inside that call. The manager
 * therefore never releases or unloads an entry whose code is still on the
 * stack: every request is counted (in_request per entry, and a depth over
 * all entries), a pending mark of a busy entry waits for a later tick, and
 * a release-all inside a request keeps the old list aside until the
 * outermost request has returned.
 */
#include <ctype.h>
#include <libintl.h>
#include <string.h>

#include <glib.h>
#include <gtk/gtk.h>

#include "app/nb_app.h"
#include "app/platform.h"
#include "plugins/pgmgr.h"

namespace {

/* Page widgets the manager adds to the notebook carry this tab label text
 * at most (the plug-in's name, cut). */
constexpr size_t NAME_MAX_BYTES = 256;

/* The older set's tx_frames gets at most this many frames per request. */
constexpr uint64_t LEGACY_TX_MAX = NB_RX_BATCH;

/* Manager operations under way (requests, loads, releases, list walks).
 * While it is non-zero some caller may still hold a node or an entry. */
int g_busy = 0;

/* Nodes of a list emptied by pgmgr_release_all while the manager was
 * busy: their entries are released and freed from the main loop once
 * nothing is under way any more. */
nb_plugin_node *g_retired = nullptr;
guint g_bury_source = 0;

gboolean bury_retired(gpointer);

/* Marks a manager operation under way for its scope. */
struct busy_scope {
    busy_scope() { g_busy++; }
    ~busy_scope()
    {
        if (--g_busy == 0 && g_retired && !g_bury_source)
            g_bury_source = g_idle_add(bury_retired, nullptr);
    }
    busy_scope(const busy_scope &) = delete;
    busy_scope &operator=(const busy_scope &) = delete;
};

nb_app *app_of(nb_pgmgr *mgr)
{
    return reinterpret_cast<nb_app *>(reinterpret_cast<char *>(mgr) - offsetof(nb_app, pgmgr));
}

void free_entry(nb_plugin *entry)
{
    if (!entry)
        return;
    g_free(entry->path);
    g_free(entry);
}

/* A request record with the fields every request shares. */
pgrp make_request(int32_t type, uint8_t chan, void *data, uint64_t size)
{
    pgrp req;
    memset(&req, 0, sizeof req);
    req.type = type;
    req.chan = chan;
    req.timestamp = nbsdep_timestamp_get();
    req.data_size = data ? size : 0;
    req.result_size = 0;
    req.result_ptr = nullptr;
    req.data_ptr = data;
    return req;
}

/* The plug-in's display name, copied out of the library (it must outlive
 * the library), cut and made valid UTF-8 for the tab label. */
void copy_name(const char *src, char *dst, size_t size)
{
    size_t n = strnlen(src, size - 1);
    if (g_utf8_validate(src, (gssize)n, nullptr)) {
        memcpy(dst, src, n);
        dst[n] = '\0';
        return;
    }
    gchar *valid = g_utf8_make_valid(src, (gssize)n);
    g_strlcpy(dst, valid, size);
    g_free(valid);
}

/* Whether a library sets this bit of __nbpg_features (the caller checks
 * that its version knows the symbol). */
bool library_wants(void *module, uint32_t bit)
{
    const void *sym = nbsdep_dl_sym(module, "__nbpg_features");
    if (!sym)
        return false;
    uint32_t features;
    memcpy(&features, sym, sizeof features);
    return (features & bit) != 0;
}

/* The interface version a library declares, or -1 when it has none. */
int library_version(void *module)
{
    const void *sym = nbsdep_dl_sym(module, "__nbpg_version");
    if (!sym)
        return -1;
    uint16_t v;
    memcpy(&v, sym, sizeof v);
    return v;
}

/* The older set of entry points: turn one request into the matching
 * call. */
int pgmgr_request_legacy(nb_plugin *entry, pgrp *req)
{
    switch (req->type) {
    case PGRP_INIT: {
        void *page = entry->init ? entry->init(static_cast<nb_chan_status *>(req->data_ptr))
                                 : nullptr;
        req->result_ptr = nullptr;
        req->result_size = 0;
        if (page) {
            req->result_ptr = page;
            req->result_size = 8;
        }
        break;
    }
    case PGRP_RELEASE:
        if (entry->release)
            entry->release();
        break;
    case PGRP_RX_FRAMES:
        if (entry->ops.rx_frames && req->data_ptr) {
            uint64_t n = req->data_size / sizeof(zk_frame);
            if (n > (uint64_t)G_MAXINT)
                n = G_MAXINT;
            if (n > 0)
                entry->ops.rx_frames(static_cast<zk_frame *>(req->data_ptr), (int)n);
        }
        break;
    case PGRP_TX_FRAMES:
        if (entry->ops.tx_frames && req->data_ptr) {
            /* The older set sees plain frames: the first 20 bytes of every
             * entry, never more than the array holds, whatever the size
             * field claims. */
            zk_frame frames[LEGACY_TX_MAX];
            uint64_t n = req->data_size / sizeof(nb_tx_entry);
            if (n > LEGACY_TX_MAX)
                n = LEGACY_TX_MAX;
            const nb_tx_entry *entries = static_cast<const nb_tx_entry *>(req->data_ptr);
            for (uint64_t i = 0; i < n; i++)
                memcpy(&frames[i], &entries[i].frame, sizeof(zk_frame));
            if (n > 0)
                entry->ops.tx_frames(frames, (int)n);
        }
        break;
    case PGRP_ERRORS:
        if (entry->ops.errors)
            entry->ops.errors(static_cast<zk_errs *>(req->data_ptr));
        break;
    case PGRP_STATUS:
        if (entry->ops.status)
            entry->ops.status(static_cast<nb_chan_status *>(req->data_ptr));
        break;
    case PGRP_SESSION_SAVE:
        if (entry->save_session)
            entry->save_session(req->data_ptr);
        break;
    case PGRP_SESSION_LOAD_BEGIN:
        if (entry->load_session)
            entry->load_session(0, "", "");
        break;
    case PGRP_SESSION_LOAD_KEY:
        if (entry->load_session && req->data_ptr) {
            const pgrp_session_key *key = static_cast<const pgrp_session_key *>(req->data_ptr);
            /* The older entry point takes the whole value as it is. */
            const char *whole = nbpg_session_key_value(req);
            entry->load_session(1, key->name, whole ? whole : key->value);
        }
        break;
    case PGRP_SESSION_LOAD_END:
        if (entry->load_session)
            entry->load_session(2, "", "");
        break;
    default:
        break;
    }
    return 0;
}

/* Idle handler: releases and frees the entries of lists emptied while the
 * manager was busy. Runs from the main loop, so no manager operation is
 * on the stack below it unless it is nested again; then it waits for the
 * next time the manager becomes idle. */
gboolean bury_retired(gpointer)
{
    g_bury_source = 0;
    if (g_busy > 0)
        return FALSE; /* re-armed when the outer operation ends */
    busy_scope busy;
    while (g_retired) {
        nb_plugin_node *list = g_retired;
        g_retired = nullptr;
        while (list) {
            nb_plugin_node *next = list->next;
            if (list->entry && list->entry->loaded)
                pgmgr_release(list->entry);
            if (list->entry && list->entry->in_request == 0 && !list->entry->module) {
                free_entry(list->entry);
                g_free(list);
            } else {
                /* Still running (it was re-entered meanwhile): keep it. */
                list->next = g_retired;
                g_retired = list;
            }
            list = next;
        }
        if (g_retired)
            break; /* the scope's end re-arms the idle handler */
    }
    return FALSE;
}

/* ------------------------------------------------------- operations */

int op_request(nb_plugin *entry, pgrp *req)
{
    if (!entry || !req || !entry->module)
        return -1;
    busy_scope busy;
    entry->in_request++;
    int result = entry->handler ? entry->handler(req) : pgmgr_request_legacy(entry, req);
    entry->in_request--;
    return result;
}

int op_is_plugin(const char *path)
{
    void *module = nbsdep_dl_open(path);
    if (!module)
        return 0;
    int ok = library_version(module) >= (int)NBPG_VERSION_MIN &&
             nbsdep_dl_sym(module, "__nbpg_name") &&
             nbsdep_dl_sym(module, "__nbpg_author") &&
             nbsdep_dl_sym(module, "__nbpg_description");
    nbsdep_dl_close(module);
    return ok ? 1 : 0;
}

nb_plugin *op_add(nb_pgmgr *mgr, const char *path, size_t size)
{
    if (!mgr || !path || size == 0)
        return nullptr;
    nb_plugin *entry = static_cast<nb_plugin *>(g_try_malloc0(sizeof(nb_plugin)));
    char *buf = static_cast<char *>(g_try_malloc0(size));
    if (!entry || !buf) {
        g_free(entry);
        g_free(buf);
        return nullptr;
    }
    /* Bounded copy: the caller's text ends at its NUL or at size - 1. */
    size_t n = strnlen(path, size - 1);
    memcpy(buf, path, n);
    buf[n] = '\0';
    entry->path = buf;

    for (nb_plugin_node *node = mgr->head; node; node = node->next) {
        if (node->entry && node->entry->path && strcmp(node->entry->path, buf) == 0) {
            free_entry(entry);
            return nullptr;
        }
    }
    nb_plugin_node *node = static_cast<nb_plugin_node *>(g_try_malloc0(sizeof(nb_plugin_node)));
    if (!node) {
        free_entry(entry);
        return nullptr;
    }
    node->entry = entry;
    node->next = mgr->head;
    mgr->head = node;
    mgr->count++;
    return entry;
}

void op_scan(nb_pgmgr *mgr)
{
    if (!mgr)
        return;
    GDir *dir = g_dir_open(mgr->install_dir, 0, nullptr);
    if (!dir)
        return;
    const gchar *name;
    while ((name = g_dir_read_name(dir)) != nullptr) {
        if (!nbsdep_is_library_name(name))
            continue;
        char path[NB_TEXT_MAX];
        int len = g_snprintf(path, sizeof path, "%s" NBSDEP_DIR_SEP "%s", mgr->install_dir, name);
        if (len < 0 || (size_t)len >= sizeof path)
            continue; /* a cut path would name another file */
        if (op_is_plugin(path))
            op_add(mgr, path, sizeof path);
    }
    g_dir_close(dir);
}

void op_release_all(nb_pgmgr *mgr)
{
    if (!mgr)
        return;
    nb_plugin_node *list = mgr->head;
    mgr->head = nullptr;
    mgr->count = 0;
    mgr->changes_pending = 0;
    if (g_busy > 0) {
        /* Called from inside a request: release what is idle now, keep
         * the nodes (a broadcast may still be walking them) and finish
         * the rest once the manager is idle again. */
        for (nb_plugin_node *node = list; node; node = node->next) {
            nb_plugin *entry = node->entry;
            if (entry) {
                entry->pending = 0;
                if (entry->loaded && entry->in_request == 0)
                    pgmgr_release(entry);
            }
        }
        nb_plugin_node **tail = &g_retired;
        while (*tail)
            tail = &(*tail)->next;
        *tail = list;
        return;
    }
    for (nb_plugin_node *node = list; node; node = node->next) {
        if (node->entry && node->entry->loaded)
            pgmgr_release(node->entry);
    }
    while (list) {
        nb_plugin_node *next = list->next;
        free_entry(list->entry);
        g_free(list);
        list = next;
    }
}

nb_plugin_node *op_next(nb_plugin_node *node, nb_pgmgr *mgr, nb_plugin **out)
{
    nb_plugin_node *next = node ? node->next : (mgr ? mgr->head : nullptr);
    if (next && out)
        *out = next->entry;
    return next;
}

nb_plugin *op_find(nb_pgmgr *mgr, const char *path)
{
    if (!mgr || !path)
        return nullptr;
    for (nb_plugin_node *node = mgr->head; node; node = node->next) {
        if (node->entry && node->entry->path && strcmp(node->entry->path, path) == 0)
            return node->entry;
    }
    return nullptr;
}

int op_load_path(nb_app *app, const char *path)
{
    if (!app)
        return -1;
    nb_plugin *entry = op_find(&app->pgmgr, path);
    return entry ? pgmgr_load(app, entry) : -1;
}

void op_autoload(nb_app *app)
{
    if (!app)
        return;
    for (nb_plugin_node *node = app->pgmgr.head; node; node = node->next) {
        nb_plugin *entry = node->entry;
        if (entry && entry->path && strstr(entry->path, "busview")) {
            if (!entry->loaded)
                pgmgr_load(app, entry);
            return;
        }
    }
}

int op_apply_pending(nb_app *app)
{
    if (!app)
        return 0;
    nb_pgmgr *mgr = &app->pgmgr;
    if (!mgr->changes_pending)
        return 0;
    busy_scope busy;
    mgr->changes_pending = 0;
    int carried_out = 0;
    int deferred = 0;
    for (nb_plugin_node *node = mgr->head; node; node = node->next) {
        nb_plugin *entry = node->entry;
        if (!entry || entry->pending == 0)
            continue;
        if (entry->in_request > 0) {
            /* Its code is running below us: the mark waits. */
            deferred = 1;
            continue;
        }
        int pending = entry->pending;
        entry->pending = 0;
        if (pending == 1)
            pgmgr_load(app, entry);
        else if (pending == 2) {
            if (entry->loaded && app->session.ops.keep_released)
                app->session.ops.keep_released(app, entry);
            pgmgr_release(entry);
        }
        carried_out = 1;
    }
    if (deferred)
        mgr->changes_pending = 1;
    return carried_out;
}

/* One record to every loaded entry, in list order. */
void broadcast(nb_pgmgr *mgr, pgrp *req)
{
    busy_scope busy;
    for (nb_plugin_node *node = mgr->head; node; node = node->next) {
        if (node->entry && node->entry->loaded)
            op_request(node->entry, req);
    }
}

/* One batch of at most NB_RX_BATCH frames of one direction, in either
 * form or both: given by the caller, or made on first need into the
 * channel's buffers. */
template <typename FdRec, typename ClassicRec> struct batch {
    FdRec *fd;
    ClassicRec *classic;
    int n;            /* frames of the batch */
    int classic_n;    /* of them classic (valid once classic is set) */
};

bool to_classic(const zk_fdframe &in, zk_frame &out)
{
    return frame_to_classic(&in, &out);
}
bool to_classic(const nb_tx_fd_entry &in, nb_tx_entry &out)
{
    if (!frame_to_classic(&in.frame, &out.frame))
        return false;
    memset(out.reserved, 0, sizeof out.reserved);
    out.timestamp = in.timestamp;
    return true;
}
void to_fd(const zk_frame &in, zk_fdframe &out)
{
    frame_to_fd(&in, &out);
}
void to_fd(const nb_tx_entry &in, nb_tx_fd_entry &out)
{
    frame_to_fd(&in.frame, &out.frame);
    memset(out.reserved, 0, sizeof out.reserved);
    out.timestamp = in.timestamp;
}

/* Hands one batch to every loaded entry in list order, each in its form:
 * fd_type to FD-aware entries, classic_type (only when the batch holds a
 * classic frame) to the others. */
template <typename FdRec, typename ClassicRec>
void deliver(nb_pgmgr *mgr, batch<FdRec, ClassicRec> b, int32_t fd_type, int32_t classic_type,
             FdRec *fd_buf, ClassicRec *classic_buf)
{
    const uint8_t chan = app_of(mgr)->chan.number;
    pgrp fd_req{}, classic_req{};
    if (b.fd)
        fd_req = make_request(fd_type, chan, b.fd, (uint64_t)b.n * sizeof(FdRec));
    if (b.classic)
        classic_req = make_request(classic_type, chan, b.classic,
                                   (uint64_t)b.classic_n * sizeof(ClassicRec));
    busy_scope busy;
    for (nb_plugin_node *node = mgr->head; node; node = node->next) {
        nb_plugin *entry = node->entry;
        if (!entry || !entry->loaded || entry->stream_aware)
            continue;
        if (entry->fd_aware) {
            if (!b.fd) {
                for (int i = 0; i < b.n; i++)
                    to_fd(b.classic[i], fd_buf[i]);
                b.fd = fd_buf;
                fd_req = make_request(fd_type, chan, b.fd, (uint64_t)b.n * sizeof(FdRec));
            }
            op_request(entry, &fd_req);
            continue;
        }
        if (!b.classic) {
            b.classic_n = 0;
            for (int i = 0; i < b.n; i++)
                if (to_classic(b.fd[i], classic_buf[b.classic_n]))
                    b.classic_n++;
            b.classic = classic_buf;
            /* Counted once per batch, however many such plug-ins. */
            mgr->fd_hidden += (uint64_t)(b.n - b.classic_n);
            classic_req = make_request(classic_type, chan, b.classic,
                                       (uint64_t)b.classic_n * sizeof(ClassicRec));
        }
        if (b.classic_n > 0)
            op_request(entry, &classic_req);
    }
}

/* The callers hand on at most NB_RX_BATCH frames at once; a longer array
 * goes in batches of that size, since the buffers hold no more. */
template <typename Rec, typename Fn> void in_batches(Rec *recs, int n, Fn fn)
{
    for (int off = 0; off < n; off += NB_RX_BATCH)
        fn(recs + off, n - off < NB_RX_BATCH ? n - off : NB_RX_BATCH);
}

void op_rx_fd_frames(nb_pgmgr *mgr, zk_fdframe *frames, int n)
{
    if (!mgr || !frames || n <= 0)
        return;
    nb_chan &ch = app_of(mgr)->chan;
    in_batches(frames, n, [&](zk_fdframe *f, int k) {
        deliver(mgr, batch<zk_fdframe, zk_frame>{f, nullptr, k, 0}, PGRP_RX_FD_FRAMES,
                PGRP_RX_FRAMES, ch.rxfd, ch.rxbuf);
    });
}

void op_tx_fd_frames(nb_pgmgr *mgr, nb_tx_fd_entry *entries, int n)
{
    if (!mgr || !entries || n <= 0)
        return;
    nb_chan &ch = app_of(mgr)->chan;
    in_batches(entries, n, [&](nb_tx_fd_entry *e, int k) {
        deliver(mgr, batch<nb_tx_fd_entry, nb_tx_entry>{e, nullptr, k, 0}, PGRP_TX_FD_FRAMES,
                PGRP_TX_FRAMES, ch.txbatch_fd, ch.txbatch);
    });
}

void op_rx_frames(nb_pgmgr *mgr, zk_frame *frames, int n)
{
    if (!mgr || !frames || n <= 0)
        return;
    nb_chan &ch = app_of(mgr)->chan;
    in_batches(frames, n, [&](zk_frame *f, int k) {
        deliver(mgr, batch<zk_fdframe, zk_frame>{nullptr, f, k, k}, PGRP_RX_FD_FRAMES,
                PGRP_RX_FRAMES, ch.rxfd, ch.rxbuf);
    });
}

void op_tx_frames(nb_pgmgr *mgr, nb_tx_entry *entries, int n)
{
    if (!mgr || !entries || n <= 0)
        return;
    nb_chan &ch = app_of(mgr)->chan;
    in_batches(entries, n, [&](nb_tx_entry *e, int k) {
        deliver(mgr, batch<nb_tx_fd_entry, nb_tx_entry>{nullptr, e, k, k}, PGRP_TX_FD_FRAMES,
                PGRP_TX_FRAMES, ch.txbatch_fd, ch.txbatch);
    });
}

/* The records for plug-ins before NBPG_VERSION_TX_LOST: the request's
 * without the frames that never went out. */
nb_stream_frame g_older[NB_STREAM_MAX];

void op_stream(nb_pgmgr *mgr, nb_stream_frame *recs, int n)
{
    if (!mgr || !recs || n <= 0)
        return;
    const uint8_t number = app_of(mgr)->chan.number;
    pgrp req = make_request(PGRP_STREAM, number, recs, (uint64_t)n * sizeof(nb_stream_frame));
    bool lost = false;
    for (int i = 0; i < n && !lost; i++)
        lost = recs[i].dir == NB_DIR_TX_LOST;
    /* Made once, for the first older plug-in. */
    int older_n = -1;
    pgrp older;
    busy_scope busy;
    for (nb_plugin_node *node = mgr->head; node; node = node->next) {
        if (!node->entry || !node->entry->loaded || !node->entry->stream_aware)
            continue;
        if (!lost || node->entry->version >= (int32_t)NBPG_VERSION_TX_LOST) {
            op_request(node->entry, &req);
            continue;
        }
        if (older_n < 0) {
            older_n = 0;
            for (int i = 0; i < n && older_n < (int)NB_STREAM_MAX; i++) {
                if (recs[i].dir != NB_DIR_TX_LOST)
                    g_older[older_n++] = recs[i];
            }
            older = make_request(PGRP_STREAM, number, g_older,
                                 (uint64_t)older_n * sizeof(nb_stream_frame));
        }
        if (older_n > 0)
            op_request(node->entry, &older);
    }
}

int op_stream_wanted(nb_pgmgr *mgr)
{
    for (nb_plugin_node *node = mgr ? mgr->head : nullptr; node; node = node->next) {
        if (node->entry && node->entry->loaded && node->entry->stream_aware)
            return 1;
    }
    return 0;
}

void op_channels(nb_pgmgr *mgr)
{
    if (!mgr)
        return;
    pgrp req = make_request(PGRP_CHANNELS, app_of(mgr)->chan.number, nullptr, 0);
    busy_scope busy;
    for (nb_plugin_node *node = mgr->head; node; node = node->next) {
        if (node->entry && node->entry->loaded && node->entry->stream_aware)
            op_request(node->entry, &req);
    }
}

void op_errors(nb_pgmgr *mgr, zk_errs *errs)
{
    if (!mgr || !errs)
        return;
    pgrp req = make_request(PGRP_ERRORS, app_of(mgr)->chan.number, errs, sizeof(zk_errs));
    broadcast(mgr, &req);
}

void op_status(nb_pgmgr *mgr)
{
    if (!mgr)
        return;
    nb_app *app = app_of(mgr);
    nb_chan_status status;
    memset(&status, 0, sizeof status);
    if (app->chan.ops.get_status)
        app->chan.ops.get_status(&app->chan, &status);
    pgrp req = make_request(PGRP_STATUS, app->chan.number, &status, sizeof status);
    broadcast(mgr, &req);
}

/* One record to every loaded plug-in that takes the stream. */
void to_stream_plugins(nb_pgmgr *mgr, pgrp *req)
{
    busy_scope busy;
    for (nb_plugin_node *node = mgr->head; node; node = node->next) {
        if (node->entry && node->entry->loaded && node->entry->stream_aware)
            op_request(node->entry, req);
    }
}

void op_chan_status(nb_pgmgr *mgr, int32_t index)
{
    nb_chan *chan = mgr ? chanset_at(app_of(mgr), index) : nullptr;
    if (!chan || index < 1)
        return;
    nb_chan_status status;
    memset(&status, 0, sizeof status);
    chan->ops.get_status(chan, &status);
    pgrp req = make_request(PGRP_STATUS, chan->number, &status, sizeof status);
    req.channel = (uint16_t)index;
    to_stream_plugins(mgr, &req);
}

void op_chan_errors(nb_pgmgr *mgr, int32_t index, zk_errs *errs)
{
    nb_chan *chan = mgr ? chanset_at(app_of(mgr), index) : nullptr;
    if (!chan || index < 1 || !errs)
        return;
    pgrp req = make_request(PGRP_ERRORS, chan->number, errs, sizeof(zk_errs));
    req.channel = (uint16_t)index;
    to_stream_plugins(mgr, &req);
}

}  // namespace

const char *plugin_shown_name(void *module, const char *name)
{
    const char *domain = static_cast<const char *>(nbsdep_dl_sym(module, "__nbpg_text_domain"));
    if (!name || !domain || !*domain)
        return name;
    /* Where the plug-in itself binds it (nb_get_locale_dir). */
    bindtextdomain(domain, the_app.locale_dir);
    bind_textdomain_codeset(domain, "UTF-8");
    return g_dgettext(domain, name);
}

int pgmgr_load(nb_app *app, nb_plugin *entry)
{
    if (!app || !entry || entry->loaded || entry->module || !entry->path)
        return -1;
    busy_scope busy;
    void *module = nbsdep_dl_open(entry->path);
    if (!module)
        return -1;

    const char *name = static_cast<const char *>(nbsdep_dl_sym(module, "__nbpg_name"));
    nbpg_handler_fn handler =
        reinterpret_cast<nbpg_handler_fn>(nbsdep_dl_sym(module, "nbpg_handler"));
    nbpg_init_fn init = nullptr;
    nbpg_release_fn release = nullptr;
    nbpg_load_session_fn load_session = nullptr;
    nbpg_save_session_fn save_session = nullptr;
    const nbp_ops_table *ops = nullptr;
    if (!handler) {
        init = reinterpret_cast<nbpg_init_fn>(nbsdep_dl_sym(module, "nbpg_init"));
        release = reinterpret_cast<nbpg_release_fn>(nbsdep_dl_sym(module, "nbpg_release"));
        load_session =
            reinterpret_cast<nbpg_load_session_fn>(nbsdep_dl_sym(module, "nbpg_load_session"));
        save_session =
            reinterpret_cast<nbpg_save_session_fn>(nbsdep_dl_sym(module, "nbpg_save_session"));
        ops = static_cast<const nbp_ops_table *>(nbsdep_dl_sym(module, "nbp_ops"));
    }
    /* A library whose name or version is missing (or too old) is refused
     * for both styles: the tab label needs the name. */
    if (library_version(module) < (int)NBPG_VERSION_MIN || !name ||
        (!handler && (!ops || !init || !release))) {
        nbsdep_dl_close(module);
        return -1;
    }
    char label_text[NAME_MAX_BYTES];
    copy_name(plugin_shown_name(module, name), label_text, sizeof label_text);

    entry->module = module;
    entry->version = library_version(module);
    entry->page = nullptr;
    entry->handler = handler;
    entry->init = init;
    entry->release = release;
    entry->load_session = load_session;
    entry->save_session = save_session;
    /* Only the request handler can take the FD request types. */
    entry->fd_aware = handler && library_version(module) >= (int)NBPG_VERSION_FEATURES &&
                      library_wants(module, NBPG_FEATURE_FD);
    entry->stream_aware = handler && library_version(module) >= (int)NBPG_VERSION_STREAM &&
                          library_wants(module, NBPG_FEATURE_STREAM);
    if (ops)
        entry->ops = *ops;
    else
        memset(&entry->ops, 0, sizeof entry->ops);

    nb_chan_status status;
    memset(&status, 0, sizeof status);
    if (app->chan.ops.get_status)
        app->chan.ops.get_status(&app->chan, &status);
    pgrp req = make_request(PGRP_INIT, app->chan.number, &status, sizeof status);
    req.result_size = 8;
    op_request(entry, &req);

    /* The page belongs to the host from now on; keep a reference so that
     * it can be destroyed safely at release even when its window has gone
     * first. Only a real widget is taken: anything else the plug-in left
     * there is ignored. */
    GtkWidget *page = nullptr;
    if (req.result_ptr && GTK_IS_WIDGET(req.result_ptr)) {
        page = GTK_WIDGET(req.result_ptr);
        g_object_ref_sink(page);
    }
    entry->page = page;

    GtkWidget *notebook = app->gui.notebook;
    if (page && notebook && GTK_IS_NOTEBOOK(notebook) && !gtk_widget_is_toplevel(page) &&
        !gtk_widget_get_parent(page)) {
        GtkWidget *label = gtk_label_new(label_text);
        /* Shown first: the notebook's first page becomes its current one
         * at once, not later when the page is shown. */
        gtk_widget_show_all(page);
        gtk_notebook_append_page(GTK_NOTEBOOK(notebook), page, label);
        gtk_notebook_set_tab_reorderable(GTK_NOTEBOOK(notebook), page, TRUE);
        gtk_widget_show_all(notebook);
    }
    entry->loaded = 1;
    entry->ever_loaded = 1;
    return 0;
}

int pgmgr_release(nb_plugin *entry)
{
    if (!entry || !entry->loaded)
        return -1;
    if (entry->in_request > 0)
        return -1; /* its code is still running; try again later */
    busy_scope busy;
    /* From here on it receives nothing but its release. */
    entry->loaded = 0;
    pgrp req = make_request(PGRP_RELEASE, the_app.chan.number, nullptr, 0);
    op_request(entry, &req);

    GtkWidget *page = entry->page;
    if (page) {
        if (GTK_IS_WIDGET(page))
            gtk_widget_destroy(page);
        g_object_unref(page);
    }
    entry->page = nullptr;
    void *module = entry->module;
    entry->module = nullptr;
    nbsdep_dl_close(module);
    return 0;
}

void pgmgr_fill_ops(nb_pgmgr_ops *ops)
{
    ops->pgmgr_scan = op_scan;
    ops->pgmgr_release_all = op_release_all;
    ops->pgmgr_add = op_add;
    ops->pgmgr_next = op_next;
    ops->pgmgr_request = op_request;
    ops->pgmgr_find = op_find;
    ops->pgmgr_load_path = op_load_path;
    ops->pgmgr_is_plugin = op_is_plugin;
    ops->pgmgr_autoload = op_autoload;
    ops->pgmgr_apply_pending = op_apply_pending;
    ops->pgmgr_rx_frames = op_rx_frames;
    ops->pgmgr_tx_frames = op_tx_frames;
    ops->pgmgr_errors = op_errors;
    ops->pgmgr_status = op_status;
    ops->pgmgr_chan_status = op_chan_status;
    ops->pgmgr_chan_errors = op_chan_errors;
    ops->pgmgr_rx_fd_frames = op_rx_fd_frames;
    ops->pgmgr_tx_fd_frames = op_tx_fd_frames;
    ops->pgmgr_stream = op_stream;
    ops->pgmgr_stream_wanted = op_stream_wanted;
    ops->pgmgr_channels = op_channels;
}

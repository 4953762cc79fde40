// The library core: every Zk* entry point, channel state, the receive
// queues and the cross-process channel locks. Backends do the hardware.
#include "core.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zk {

lib_state &lib()
{
    static lib_state *state = new lib_state;
    return *state;
}

void set_detail(const char *fmt, ...)
{
    lib_state &L = lib();
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(L.pending_detail, sizeof L.pending_detail, fmt, ap);
    va_end(ap);
}

chan_state *find_chan(int chan)
{
    lib_state &L = lib();
    if (!L.inited || chan < 0 || chan >= ZK_MAX_CHANNELS) return nullptr;
    chan_state &ch = L.chans[size_t(chan)];
    return ch.board >= 0 ? &ch : nullptr;
}

// Folder of the channel lock files and of the simulated buses, created
// when missing. Every program of one user must find the same folder,
// whatever its environment (a program started from cron, sudo -u or a
// service has no XDG_RUNTIME_DIR, and a variable can point anywhere), so it
// follows from the user id alone: "zelk" in the user's runtime folder
// /run/user/UID when that exists as the user's own, private folder, else
// "zelk-locks" in the cache folder of the home folder the password database
// names. Both lie in folders only the user can write, so no other user can
// create or replace them. Only a folder of our own that nobody else may
// write is used, never a link: anything else there is named, never passed
// over for another place. ZELK_LOCK_DIR names another folder for set-ups
// that must not meet the user's programs (test suites run side by side).
int16_t runtime_dir(char *buf, size_t size)
{
    const uid_t uid = getuid();
    auto own_private = [uid](const char *dir) {
        struct stat st;
        return lstat(dir, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == uid &&
               (st.st_mode & 077) == 0;
    };
    const char *forced = getenv("ZELK_LOCK_DIR");
    char run[64];
    snprintf(run, sizeof run, "/run/user/%u", unsigned(uid));
    if (forced && *forced == '/') {
        snprintf(buf, size, "%s", forced);
    } else if (own_private(run)) {
        snprintf(buf, size, "%s/zelk", run);
    } else {
        const passwd *pw = getpwuid(uid);
        if (!pw || !pw->pw_dir || pw->pw_dir[0] != '/') {
            set_detail("no folder for the channel locks: user id %u has no home folder",
                       unsigned(uid));
            return ZK_E_IO;
        }
        char parent[768];
        snprintf(parent, sizeof parent, "%s/.cache", pw->pw_dir);
        (void)mkdir(parent, 0700);
        snprintf(buf, size, "%s/zelk-locks", parent);
    }
    if (mkdir(buf, 0700) != 0 && errno != EEXIST) {
        set_detail("cannot make the folder of the channel locks %s: %s", buf, strerror(errno));
        return ZK_E_IO;
    }
    struct stat st;
    const char *wrong = nullptr;
    if (lstat(buf, &st) != 0) wrong = strerror(errno);
    else if (S_ISLNK(st.st_mode)) wrong = "it is a symbolic link";
    else if (!S_ISDIR(st.st_mode)) wrong = "it is not a folder";
    else if (st.st_uid != uid) wrong = "it belongs to another user";
    else if (st.st_mode & 022) wrong = "others may write in it";
    if (wrong) {
        set_detail("the folder of the channel locks %s cannot be used: %s", buf, wrong);
        return ZK_E_IO;
    }
    return ZK_OK;
}

namespace {

zk_backend *backend_of(const chan_state &ch)
{
    return lib().boards[size_t(ch.board)].be.get();
}

// Mirror what the receive path needs into the port, under its mutex.
void sync_port(chan_state &ch)
{
    zk_rx_port::impl *q = ch.port_impl.get();
    std::lock_guard<std::mutex> g(q->m);
    q->open = ch.open;
    q->accepting = ch.open && ch.started;
    q->flags = ch.flags;
    q->code = ch.code;
    q->mask = ch.mask;
}

void sat_add(uint16_t &counter, uint32_t n)
{
    uint32_t v = uint32_t(counter) + n;
    counter = uint16_t(v > 0xFFFFu ? 0xFFFFu : v);
}

// One Zk* call: holds the API lock, applies an armed failure, and records
// the failure code returned to the application for ZkStrError.
class api_call {
public:
    explicit api_call(const char *function) : lock_(lib().api)
    {
        lib().pending_detail[0] = '\0';
        failed = take_failure(function, &code);
    }
    int16_t ret(int16_t result)
    {
        if (result < 0) {
            lib_state &L = lib();
            L.last_code = result;
            copy_text(L.last_detail, sizeof L.last_detail, L.pending_detail);
        }
        return result;
    }
    // The channel of the call; polls its board so that backends without
    // threads catch up first.
    int16_t chan(uint8_t number, bool need_open, chan_state **out)
    {
        if (!lib().inited) return ZK_E_NOTINIT;
        chan_state *ch = find_chan(number);
        if (!ch) return ZK_E_NOCHAN;
        backend_of(*ch)->poll();
        if (need_open && !ch->open) return ZK_E_NOTOPEN;
        *out = ch;
        return ZK_OK;
    }
    bool failed = false;
    int16_t code = 0;

private:
    std::unique_lock<api_mutex> lock_;
};

#define ZK_CALL(name)                     \
    api_call call(name);                  \
    if (call.failed) return call.ret(call.code)

#define ZK_CHAN(number, need_open)                                    \
    chan_state *ch = nullptr;                                         \
    if (int16_t e_ = call.chan(number, need_open, &ch); e_ < 0) return call.ret(e_)

// Takes the channel's cross-process lock; *fd is the open lock file.
int16_t take_lock(chan_state &ch, int *fd)
{
    char dir[768];
    if (int16_t e = runtime_dir(dir, sizeof dir); e < 0) return e;
    char name[128] = "";
    backend_of(ch)->lock_name(ch.slot, name, sizeof name);
    for (char *c = name; *c; c++)
        if (!((*c >= 'A' && *c <= 'Z') || (*c >= 'a' && *c <= 'z') || (*c >= '0' && *c <= '9') ||
              *c == '.' || *c == '_' || *c == '-'))
            *c = '_';
    if (name[0] == '.' || !name[0]) name[0] = '_';
    char path[1024];
    snprintf(path, sizeof path, "%s/%s.lock", dir, name);
    int f = open(path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (f < 0) {
        set_detail("cannot open lock file %s: %s", path, strerror(errno));
        return ZK_E_IO;
    }
    if (flock(f, LOCK_EX | LOCK_NB) != 0) {
        int err = errno;
        close(f);
        char who[160];
        if (err == EWOULDBLOCK && lock_holder(path, who, sizeof who))
            set_detail("held by %s", who);
        if (err == EWOULDBLOCK) return ZK_E_BUSY;
        set_detail("cannot lock %s: %s", path, strerror(err));
        return ZK_E_IO;
    }
    *fd = f;
    return ZK_OK;
}

// Frames the backend did not settle while the controller stopped, reset
// or closed never go out.
void drop_unsettled(chan_state &ch)
{
    zk_rx_port::impl *q = ch.port_impl.get();
    const uint32_t now = backend_of(ch)->clock_us(ch.slot);
    std::lock_guard<std::mutex> g(q->m);
    tx_settle(q->tx, ZK_TX_DROPPED, ZK_TX_ALL, now);
}

void close_chan(chan_state &ch)
{
    backend_of(ch)->close(ch.slot);
    drop_unsettled(ch);
    ch.open = false;
    ch.started = false;
    sync_port(ch);
    // Closing the descriptor (not LOCK_UN) releases the lock only when no
    // forked child still holds a copy of it.
    if (ch.lock_fd >= 0) close(ch.lock_fd);
    ch.lock_fd = -1;
}

const char *bus_state_text(uint8_t s)
{
    switch (s) {
    case 0: return "error active";
    case 1: return "error warning";
    case 2: return "error passive";
    case 3: return "bus-off";
    default: return "unknown";
    }
}

void rate_text(char *buf, size_t size, uint32_t bitrate)
{
    if (bitrate == 0) snprintf(buf, size, "unknown");
    else if (bitrate > 1000000 && bitrate % 1000000 == 0)
        snprintf(buf, size, "%u Mbit/s", unsigned(bitrate / 1000000));
    else if (bitrate % 1000 == 0) snprintf(buf, size, "%u kbit/s", unsigned(bitrate / 1000));
    else snprintf(buf, size, "%u bit/s", unsigned(bitrate));
}

// The common part of ZkRead and ZkReadFd: take(q, want) moves up to want
// frames out of the queue (its mutex held) and returns how many it stored.
template <class Take>
int16_t read_frames(api_call &call, chan_state *ch, uint16_t n, bool null, Take take)
{
    if (n == 0) return call.ret(0);
    if (null) return call.ret(ZK_E_BADARG);
    zk_rx_port::impl *q = ch->port_impl.get();
    std::lock_guard<std::mutex> g(q->m);
    if (q->gone && q->count == 0) {
        set_detail("%s", q->gone_detail);
        return call.ret(ZK_E_GONE);
    }
    return call.ret(int16_t(take(q, std::min<int>(n, 32767))));
}

// Checks one frame of ZkWrite, ZkWriteFd or ZkCyclicSet against its own
// rules and the channel's formats.
int16_t check_frame(const chan_state &ch, const zk_fdframe &in, bool classic_call)
{
    const uint8_t known = ZK_FRAME_EFF | ZK_FRAME_RTR | ZK_FRAME_FDF | ZK_FRAME_BRS | ZK_FRAME_ESI;
    const bool ext = (in.flags & ZK_FRAME_EFF) != 0;
    const bool fd = (in.flags & ZK_FRAME_FDF) != 0;
    if (classic_call && (in.flags & ~(ZK_FRAME_EFF | ZK_FRAME_RTR))) {
        set_detail("frame flags 0x%02X: only 0x01 (extended) and 0x02 (remote) exist",
                   unsigned(in.flags));
        return ZK_E_BADARG;
    }
    if (classic_call && in.len > 8) {
        set_detail("frame length %u: at most 8", unsigned(in.len));
        return ZK_E_BADARG;
    }
    if (in.flags & ~known) {
        set_detail("frame flags 0x%02X: unknown bits 0x%02X", unsigned(in.flags),
                   unsigned(in.flags & ~known));
        return ZK_E_BADARG;
    }
    if (fd && (in.flags & ZK_FRAME_RTR)) {
        set_detail("CAN FD has no remote frames");
        return ZK_E_BADARG;
    }
    if (!fd && (in.flags & (ZK_FRAME_BRS | ZK_FRAME_ESI))) {
        set_detail("frame flags 0x%02X: BRS and ESI belong to FD frames (flag 0x04)",
                   unsigned(in.flags));
        return ZK_E_BADARG;
    }
    if (!fd && in.len > 8) {
        set_detail("length %u: a classic frame carries at most 8 bytes", unsigned(in.len));
        return ZK_E_BADLEN;
    }
    if (fd && zk_fd_round_len(in.len) != in.len) {
        set_detail("length %u: a CAN FD frame carries 0 to 8, 12, 16, 20, 24, 32, 48 or 64 bytes",
                   unsigned(in.len));
        return ZK_E_BADLEN;
    }
    if (in.id > (ext ? 0x1FFFFFFFu : 0x7FFu)) {
        set_detail("identifier 0x%X does not fit %s", unsigned(in.id), ext ? "29 bits" : "11 bits");
        return ZK_E_BADARG;
    }
    if (!(ch.flags & (ext ? ZK_OPEN_EXT : ZK_OPEN_STD))) return ZK_E_FORMAT;
    if (fd && !ch.fd) {
        set_detail("an FD frame on a channel open for classic CAN only");
        return ZK_E_NOFD;
    }
    return ZK_OK;
}

// Checks and sends one frame of ZkWrite or ZkWriteFd; the channel is open,
// started and not listen-only.
int16_t write_one(chan_state &ch, const zk_fdframe &in, bool classic_call)
{
    const bool fd = (in.flags & ZK_FRAME_FDF) != 0;
    if (int16_t e = check_frame(ch, in, classic_call); e < 0) return e;
    zk_backend *be = backend_of(ch);
    zk_rx_port::impl *q = ch.port_impl.get();
    {
        // Numbered before the backend sees it: a confirmation may come back
        // before write() returns.
        std::lock_guard<std::mutex> g(q->m);
        q->tx.accepted++;
        q->tx_in_write = true;
    }
    int16_t e;
    if (fd) {
        zk_fdframe f = in;
        f.reserved[0] = f.reserved[1] = 0;
        f.ts = 0;
        memset(f.data + f.len, 0, sizeof f.data - f.len);
        e = be->write_fd(ch.slot, f, ch.wtout);
    } else {
        zk_frame f{};
        f.id = in.id;
        f.flags = in.flags;
        f.len = in.len;
        memcpy(f.data, in.data, sizeof f.data);
        e = be->write(ch.slot, f, ch.wtout);
    }
    std::lock_guard<std::mutex> g(q->m);
    q->tx_in_write = false;
    if (e < 0) {
        tx_unaccept(q->tx);
        if (e == ZK_E_WTOUT) sat_add(q->errs.wtout, 1);
    } else if (q->gone) {
        tx_settle(q->tx, ZK_TX_DROPPED, ZK_TX_ALL, uint32_t(be->clock_us(ch.slot)));
    } else if (!ch.tx_tracked) {
        tx_settle(q->tx, ZK_TX_HANDED, ZK_TX_ALL, uint32_t(be->clock_us(ch.slot)));
    }
    return e;
}

// The common part of ZkWrite and ZkWriteFd: frame i through get(i).
template <class Get>
int16_t write_frames(api_call &call, chan_state *ch, uint16_t n, bool null, bool classic_call,
                     Get get)
{
    if (n == 0) return call.ret(0);
    if (null) return call.ret(ZK_E_BADARG);
    if (!ch->started) return call.ret(ZK_E_NOTSTARTED);
    if (ch->lom) return call.ret(ZK_E_LOM);
    const int want = std::min<int>(n, 32767);
    int done = 0;
    for (; done < want; done++) {
        const int16_t e = write_one(*ch, get(done), classic_call);
        if (e < 0) return call.ret(done > 0 ? int16_t(done) : e);
    }
    return call.ret(int16_t(done));
}

}  // namespace

namespace {

// Queues one frame (classic or FD) in the port's ring, q->m held.
bool queue_frame(zk_rx_port::impl *q, uint32_t id, uint8_t flags, uint8_t len, uint32_t ts,
                 const uint8_t *data)
{
    if (!q->accepting) return false;
    const bool ext = (flags & ZK_FRAME_EFF) != 0;
    if (!(q->flags & (ext ? ZK_OPEN_EXT : ZK_OPEN_STD))) return false;
    id &= ext ? 0x1FFFFFFFu : 0x7FFu;
    if ((id ^ q->code) & q->mask) return false;
    const bool fd = (flags & ZK_FRAME_FDF) != 0;
    if (fd && !(q->flags & ZK_OPEN_FD)) {
        // A classic reader: counted, so that it knows what it did not get.
        q->fd_skipped++;
        return false;
    }
    if (q->count >= ZK_RX_QUEUE_CAP) {
        sat_add(q->errs.sovr, 1);
        q->sovr_total++;
        return false;
    }
    zk_fdframe &d = q->ring[size_t((q->head + q->count) % ZK_RX_QUEUE_CAP)];
    d.id = id;
    d.reserved[0] = d.reserved[1] = 0;
    d.ts = ts;
    if (fd) {
        d.flags = flags & (ZK_FRAME_EFF | ZK_FRAME_FDF | ZK_FRAME_BRS | ZK_FRAME_ESI);
        d.len = zk_fd_round_len(len);
    } else {
        d.flags = flags & (ZK_FRAME_EFF | ZK_FRAME_RTR);
        d.len = len > 8 ? 8 : len;
    }
    const size_t have = (flags & ZK_FRAME_RTR) || !data ? 0 : std::min<size_t>(len, d.len);
    if (have) memcpy(d.data, data, have);
    memset(d.data + have, 0, sizeof d.data - have);
    q->count++;
    return true;
}

}  // namespace

bool zk_rx_port::frame(const zk_frame &f)
{
    impl *q = p;
    if (!q) return false;
    std::lock_guard<std::mutex> g(q->m);
    return queue_frame(q, f.id, f.flags & (ZK_FRAME_EFF | ZK_FRAME_RTR), f.len > 8 ? 8 : f.len,
                       f.ts, f.data);
}

bool zk_rx_port::frame(const zk_fdframe &f)
{
    impl *q = p;
    if (!q) return false;
    std::lock_guard<std::mutex> g(q->m);
    return queue_frame(q, f.id, f.flags, f.len > 64 ? 64 : f.len, f.ts, f.data);
}

void zk_rx_port::event(zk_event ev, uint32_t count)
{
    impl *q = p;
    if (!q) return;
    std::lock_guard<std::mutex> g(q->m);
    if (!q->open) return;
    switch (ev) {
    case ZK_EV_EWL: sat_add(q->errs.ewl, count); break;
    case ZK_EV_BOFF: sat_add(q->errs.boff, count); break;
    case ZK_EV_HOVR:
        sat_add(q->errs.hovr, count);
        q->hovr_total += count;
        break;
    case ZK_EV_SOVR:
        sat_add(q->errs.sovr, count);
        q->sovr_total += count;
        break;
    case ZK_EV_WTOUT: sat_add(q->errs.wtout, count); break;
    case ZK_EV_ACKERR: q->ack_errors += count; break;
    }
}

uint32_t zk_rx_port::tx_settle(uint8_t status, uint32_t count, uint32_t ts)
{
    impl *q = p;
    if (!q) return 0;
    std::lock_guard<std::mutex> g(q->m);
    if (!q->open) return 0;
    return zk::tx_settle(q->tx, status, count, ts);
}

void zk_rx_port::lost(const char *detail)
{
    impl *q = p;
    if (!q) return;
    std::lock_guard<std::mutex> g(q->m);
    if (!q->open || q->gone) return;
    q->gone = true;
    copy_text(q->gone_detail, sizeof q->gone_detail, detail ? detail : "");
    // Nothing queued goes out any more; a frame still in write() is
    // settled when that returns.
    uint32_t out = tx_outstanding(q->tx);
    if (q->tx_in_write && out) out--;
    zk::tx_settle(q->tx, ZK_TX_DROPPED, out, uint32_t(clock_us()));
}

void shutdown_boards()
{
    lib_state &L = lib();
    for (chan_state &ch : L.chans)
        if (ch.board >= 0 && ch.open) close_chan(ch);
    for (board_state &b : L.boards) b = board_state{};
    for (chan_state &ch : L.chans) ch = chan_state{};
    L.nchan = 0;
    L.inited = false;
}

int16_t init_locked()
{
    shutdown_boards();
    int16_t r = load_config();
    lib().inited = r >= 0;
    return r;
}

// Used by the sim control functions: add counts as a backend would.
void add_errors(chan_state &ch, const zk_errs &e)
{
    zk_rx_port::impl *q = ch.port_impl.get();
    std::lock_guard<std::mutex> g(q->m);
    sat_add(q->errs.ewl, e.ewl);
    sat_add(q->errs.boff, e.boff);
    sat_add(q->errs.hovr, e.hovr);
    sat_add(q->errs.sovr, e.sovr);
    sat_add(q->errs.wtout, e.wtout);
    q->hovr_total += e.hovr;
    q->sovr_total += e.sovr;
}

}  // namespace zk

using namespace zk;

extern "C" {

int16_t ZkInit(void)
{
    ZK_CALL("ZkInit");
    return call.ret(init_locked());
}

uint32_t ZkGetLibVer(void)
{
    return (uint32_t(ZK_VERSION_MAJOR) << 16) | (uint32_t(ZK_VERSION_MINOR) << 8) |
           uint32_t(ZK_VERSION_PATCH);
}

int16_t ZkOpen(uint8_t chan, uint8_t flags)
{
    ZK_CALL("ZkOpen");
    ZK_CHAN(chan, false);
    const uint8_t formats = flags & uint8_t(~(ZK_OPEN_FD | ZK_OPEN_TXRESULT));
    if ((formats != ZK_OPEN_STD && formats != ZK_OPEN_EXT && formats != ZK_OPEN_BOTH &&
         flags != ZK_OPEN_PROBE)) {
        set_detail("open flags %u: use 2 (11-bit), 4 (29-bit), 6 (both), each with 8 added "
                   "for CAN FD and 16 for transmit results, or 0 (probe)", unsigned(flags));
        return call.ret(ZK_E_BADARG);
    }
    if (ch->open) return call.ret(ZK_E_BUSY);
    zk_backend *be = backend_of(*ch);
    const bool want_fd = (flags & ZK_OPEN_FD) != 0;
    if (want_fd && !be->fd_capable(ch->slot)) {
        // The backend may have said why.
        if (!lib().pending_detail[0])
            set_detail("channel %u (board %d, %s) is a classic CAN channel", unsigned(chan),
                       ch->board, lib().boards[size_t(ch->board)].kind);
        return call.ret(ZK_E_NOFD);
    }
    int fd = -1;
    if (int16_t e = take_lock(*ch, &fd); e < 0) return call.ret(e);
    if (flags == ZK_OPEN_PROBE) {
        int16_t e = be->probe(ch->slot);
        close(fd);
        return call.ret(e < 0 ? e : ZK_OK);
    }
    uint8_t bt0 = 0x00, bt1 = 0x1C;
    {
        // Fresh receive state before the backend can deliver.
        zk_rx_port::impl *q = ch->port_impl.get();
        std::lock_guard<std::mutex> g(q->m);
        q->head = q->count = 0;
        q->errs = zk_errs{};
        q->hovr_total = q->sovr_total = 0;
        q->fd_skipped = 0;
        q->gone = false;
        q->gone_detail[0] = '\0';
        const bool keep = (flags & ZK_OPEN_TXRESULT) != 0;
        if (keep && !q->tx_runs) q->tx_runs.reset(new (std::nothrow) zk_txresult[ZK_TX_RUNS]);
        if (keep && !q->tx_runs) {
            close(fd);
            return call.ret(ZK_E_NOMEM);
        }
        tx_reset(q->tx, keep ? q->tx_runs.get() : nullptr, keep ? ZK_TX_RUNS : 0);
        q->tx_in_write = false;
        q->ack_errors = 0;
    }
    if (int16_t e = be->open(ch->slot, flags, &ch->port, &bt0, &bt1); e < 0) {
        close(fd);
        return call.ret(e);
    }
    ch->open = true;
    ch->flags = flags;
    ch->lock_fd = fd;
    ch->started = false;
    ch->lom = false;
    ch->bt0 = bt0;
    ch->bt1 = bt1;
    ch->bitrate = sja1000_bitrate(bt0, bt1);
    ch->fd = 0;
    ch->data_bitrate = 0;
    ch->data_sp = 0;
    if (want_fd) {
        uint32_t rate = 2000000;
        uint16_t sp = 0;
        uint8_t mode = ZK_FD_ISO;
        be->fd_timing(ch->slot, &rate, &sp, &mode);
        ch->fd = mode == ZK_FD_NON_ISO ? 2 : 1;
        ch->data_bitrate = rate;
        ch->data_sp = sp;
    }
    ch->code = ch->mask = 0;
    ch->wtout = be->adjust_wtout(ch->slot, 20);
    ch->tx_tracked = be->tx_fates(ch->slot);
    sync_port(*ch);
    return call.ret(ZK_OK);
}

int16_t ZkClose(uint8_t chan)
{
    ZK_CALL("ZkClose");
    ZK_CHAN(chan, true);
    close_chan(*ch);
    return call.ret(ZK_OK);
}

int16_t ZkSetBaud(uint8_t chan, uint8_t bt0, uint8_t bt1)
{
    ZK_CALL("ZkSetBaud");
    ZK_CHAN(chan, true);
    const uint32_t rate = sja1000_bitrate(bt0, bt1);
    if (rate == 0 || rate > 1000000) {
        set_detail("bus timing 0x%02X/0x%02X gives %u bit/s, above the 1 Mbit/s of CAN",
                   unsigned(bt0), unsigned(bt1), unsigned(rate));
        return call.ret(ZK_E_NORATE);
    }
    if (int16_t e = backend_of(*ch)->set_baud(ch->slot, bt0, bt1, rate); e < 0)
        return call.ret(e);
    ch->bt0 = bt0;
    ch->bt1 = bt1;
    ch->bitrate = rate;
    return call.ret(ZK_OK);
}

int16_t ZkSetDataRate(uint8_t chan, uint32_t bitrate, uint16_t sample_point, uint8_t mode)
{
    ZK_CALL("ZkSetDataRate");
    ZK_CHAN(chan, true);
    if (!ch->fd) {
        set_detail("channel %u is open for classic CAN only: open it with ZK_OPEN_FD",
                   unsigned(chan));
        return call.ret(ZK_E_NOFD);
    }
    if (bitrate < 1000 || bitrate > 16000000) {
        set_detail("data bit rate %u bit/s: CAN FD runs its data phase at 1 kbit/s to 16 Mbit/s",
                   unsigned(bitrate));
        return call.ret(ZK_E_BADARG);
    }
    if (sample_point != 0 && (sample_point < 500 || sample_point > 950)) {
        set_detail("sample point %u permille: give 500 to 950, or 0 for the adapter's choice",
                   unsigned(sample_point));
        return call.ret(ZK_E_BADARG);
    }
    if (mode != ZK_FD_ISO && mode != ZK_FD_NON_ISO) {
        set_detail("CAN FD mode %u: 0 (ISO) or 1 (non-ISO)", unsigned(mode));
        return call.ret(ZK_E_BADARG);
    }
    zk_backend *be = backend_of(*ch);
    if (int16_t e = be->set_data_rate(ch->slot, bitrate, sample_point, mode); e < 0)
        return call.ret(e);
    // What the backend put in force (an adapter's own sample point, say).
    be->fd_timing(ch->slot, &bitrate, &sample_point, &mode);
    ch->data_bitrate = bitrate;
    ch->data_sp = sample_point;
    ch->fd = mode == ZK_FD_NON_ISO ? 2 : 1;
    return call.ret(ZK_OK);
}

int16_t ZkSetWriteTout(uint8_t chan, uint16_t ms)
{
    ZK_CALL("ZkSetWriteTout");
    ZK_CHAN(chan, true);
    ch->wtout = backend_of(*ch)->adjust_wtout(ch->slot, ms);
    return call.ret(ZK_OK);
}

int16_t ZkWriteTout(uint8_t chan, uint8_t set, uint16_t *ms)
{
    ZK_CALL("ZkWriteTout");
    ZK_CHAN(chan, true);
    if (!ms) return call.ret(ZK_E_BADARG);
    if (set) ch->wtout = backend_of(*ch)->adjust_wtout(ch->slot, *ms);
    *ms = ch->wtout;
    return call.ret(ZK_OK);
}

int16_t ZkSetFilter(uint8_t chan, uint32_t code, uint32_t mask)
{
    ZK_CALL("ZkSetFilter");
    ZK_CHAN(chan, true);
    if (int16_t e = backend_of(*ch)->set_filter(ch->slot, code, mask); e < 0) return call.ret(e);
    ch->code = code;
    ch->mask = mask;
    sync_port(*ch);
    return call.ret(ZK_OK);
}

int16_t ZkSetLom(uint8_t chan, uint8_t on)
{
    ZK_CALL("ZkSetLom");
    ZK_CHAN(chan, true);
    if (int16_t e = backend_of(*ch)->set_lom(ch->slot, on != 0); e < 0) return call.ret(e);
    ch->lom = on != 0;
    return call.ret(ZK_OK);
}

int16_t ZkStart(uint8_t chan)
{
    ZK_CALL("ZkStart");
    ZK_CHAN(chan, true);
    // Frames are taken from the moment the controller is told to start:
    // an adapter may deliver the first ones before it acknowledges.
    const bool was = ch->started;
    ch->started = true;
    sync_port(*ch);
    if (int16_t e = backend_of(*ch)->start(ch->slot); e < 0) {
        ch->started = was;
        sync_port(*ch);
        return call.ret(e);
    }
    return call.ret(ZK_OK);
}

int16_t ZkStop(uint8_t chan)
{
    ZK_CALL("ZkStop");
    ZK_CHAN(chan, true);
    if (int16_t e = backend_of(*ch)->stop(ch->slot); e < 0) return call.ret(e);
    ch->started = false;
    sync_port(*ch);
    drop_unsettled(*ch);
    return call.ret(ZK_OK);
}

int16_t ZkHwReset(uint8_t chan)
{
    ZK_CALL("ZkHwReset");
    ZK_CHAN(chan, true);
    if (int16_t e = backend_of(*ch)->hw_reset(ch->slot, ch->started); e < 0) return call.ret(e);
    drop_unsettled(*ch);
    return call.ret(ZK_OK);
}

int16_t ZkRcQueEmpty(uint8_t chan)
{
    ZK_CALL("ZkRcQueEmpty");
    ZK_CHAN(chan, true);
    zk_rx_port::impl *q = ch->port_impl.get();
    std::lock_guard<std::mutex> g(q->m);
    q->head = q->count = 0;
    return call.ret(ZK_OK);
}

int16_t ZkRead(uint8_t chan, zk_frame *buf, uint16_t n)
{
    ZK_CALL("ZkRead");
    ZK_CHAN(chan, true);
    // Classic frames only: FD frames on the way are taken out and counted.
    return read_frames(call, ch, n, !buf, [buf](zk_rx_port::impl *q, int want) {
        int got = 0;
        while (got < want && q->count > 0) {
            const zk_fdframe &s = q->ring[size_t(q->head)];
            q->head = (q->head + 1) % ZK_RX_QUEUE_CAP;
            q->count--;
            if (s.flags & ZK_FRAME_FDF) {
                q->fd_skipped++;
                continue;
            }
            zk_frame &d = buf[got++];
            d.id = s.id;
            d.flags = s.flags;
            d.len = s.len;
            memcpy(d.data, s.data, sizeof d.data);
            d.reserved[0] = d.reserved[1] = 0;
            d.ts = s.ts;
        }
        return got;
    });
}

int16_t ZkReadFd(uint8_t chan, zk_fdframe *buf, uint16_t n)
{
    ZK_CALL("ZkReadFd");
    ZK_CHAN(chan, true);
    return read_frames(call, ch, n, !buf, [buf](zk_rx_port::impl *q, int want) {
        const int got = std::min(want, q->count);
        for (int i = 0; i < got;) {
            const int chunk = std::min(got - i, ZK_RX_QUEUE_CAP - q->head);
            memcpy(buf + i, &q->ring[size_t(q->head)], size_t(chunk) * sizeof(zk_fdframe));
            q->head = (q->head + chunk) % ZK_RX_QUEUE_CAP;
            q->count -= chunk;
            i += chunk;
        }
        return got;
    });
}

int16_t ZkWrite(uint8_t chan, const zk_frame *frames, uint16_t n)
{
    ZK_CALL("ZkWrite");
    ZK_CHAN(chan, true);
    return write_frames(call, ch, n, !frames, true, [frames](int i) { return to_fdframe(frames[i]); });
}

int16_t ZkWriteFd(uint8_t chan, const zk_fdframe *frames, uint16_t n)
{
    ZK_CALL("ZkWriteFd");
    ZK_CHAN(chan, true);
    return write_frames(call, ch, n, !frames, false, [frames](int i) { return frames[i]; });
}

int16_t ZkTxResults(uint8_t chan, zk_txresult *buf, uint16_t n)
{
    ZK_CALL("ZkTxResults");
    ZK_CHAN(chan, true);
    if (!(ch->flags & ZK_OPEN_TXRESULT)) {
        set_detail("channel %u was opened without ZK_OPEN_TXRESULT (16)", unsigned(chan));
        return call.ret(ZK_E_BADARG);
    }
    if (n == 0) return call.ret(0);
    if (!buf) return call.ret(ZK_E_BADARG);
    zk_rx_port::impl *q = ch->port_impl.get();
    std::lock_guard<std::mutex> g(q->m);
    if (q->gone && q->tx.count == 0) {
        set_detail("%s", q->gone_detail);
        return call.ret(ZK_E_GONE);
    }
    return call.ret(int16_t(tx_take(q->tx, buf, std::min<int>(n, 32767))));
}

int16_t ZkErrsGetClear(uint8_t chan, zk_errs *errs)
{
    ZK_CALL("ZkErrsGetClear");
    ZK_CHAN(chan, true);
    if (!errs) return call.ret(ZK_E_BADARG);
    zk_rx_port::impl *q = ch->port_impl.get();
    std::lock_guard<std::mutex> g(q->m);
    const zk_errs none{};
    if (q->gone && q->count == 0 && memcmp(&q->errs, &none, sizeof none) == 0) {
        set_detail("%s", q->gone_detail);
        return call.ret(ZK_E_GONE);
    }
    *errs = q->errs;
    q->errs = zk_errs{};
    return call.ret(ZK_OK);
}

int16_t ZkGetClock(uint8_t chan, uint32_t *now_us)
{
    ZK_CALL("ZkGetClock");
    ZK_CHAN(chan, true);
    if (!now_us) return call.ret(ZK_E_BADARG);
    *now_us = backend_of(*ch)->clock_us(ch->slot);
    return call.ret(ZK_OK);
}

int16_t ZkChipStat(uint8_t chan, zk_chipstat *st)
{
    ZK_CALL("ZkChipStat");
    ZK_CHAN(chan, true);
    if (!st) return call.ret(ZK_E_BADARG);
    zk_chipstat s{};
    s.irq = -1;
    if (int16_t e = backend_of(*ch)->chip_status(ch->slot, &s); e < 0) return call.ret(e);
    s.chan = chan;
    s.board = int16_t(ch->board);
    s.state = ch->started ? 1 : 0;
    s.lom = ch->lom ? 1 : 0;
    s.bt0 = ch->bt0;
    s.bt1 = ch->bt1;
    s.bitrate = ch->bitrate;
    s.fd = ch->fd;
    s.data_bitrate = ch->fd ? ch->data_bitrate : 0;
    s.data_sp = ch->fd ? ch->data_sp : 0;
    s.fd_capable = backend_of(*ch)->fd_capable(ch->slot) ? 1 : 0;
    {
        zk_rx_port::impl *q = ch->port_impl.get();
        std::lock_guard<std::mutex> g(q->m);
        s.hovr = q->hovr_total;
        s.sovr = q->sovr_total;
        s.fd_skipped = q->fd_skipped;
        s.tx_dropped = q->tx.dropped;
        s.ack_errors = q->ack_errors;
    }
    memset(s.reserved1, 0, sizeof s.reserved1);
    s.reserved0 = 0;
    *st = s;
    return call.ret(ZK_OK);
}

int16_t ZkChipStatToStr(const zk_chipstat *st, zk_chipstat_text *text)
{
    ZK_CALL("ZkChipStatToStr");
    if (!st || !text) return call.ret(ZK_E_BADARG);
    memset(text, 0, sizeof *text);
    zk_text_list list;
    list.text = text;
    char v[32];
    lib_state &L = lib();
    zk_backend *be = nullptr;
    chan_state *ch = find_chan(st->chan);
    if (L.inited && st->board >= 0 && st->board < ZK_MAX_BOARDS)
        be = L.boards[size_t(st->board)].be.get();
    if (ch && ch->board != st->board) ch = nullptr;

    snprintf(v, sizeof v, "%d", int(st->board));
    list.add("Board", v);
    if (be) list.add("Type", L.boards[size_t(st->board)].kind);
    snprintf(v, sizeof v, "%u", unsigned(st->chan));
    list.add("Channel", v);
    if (st->irq >= 0) {
        snprintf(v, sizeof v, "%d", int(st->irq));
        list.add("IRQ", v);
    }
    if (st->base) {
        snprintf(v, sizeof v, "0x%X", unsigned(st->base));
        list.add("Base address", v);
    }
    if (be) be->board_text(list);
    list.add("CAN chip", be && ch ? be->chip_name(ch->slot) : "unknown");
    list.add("Mode", st->lom ? "listen-only" : "normal");
    list.add("State", st->state ? "running" : "stopped");
    rate_text(v, sizeof v, st->bitrate);
    list.add("Bit rate", v);
    snprintf(v, sizeof v, "0x%02X/0x%02X", unsigned(st->bt0), unsigned(st->bt1));
    list.add("Bus timing", v);
    list.add("CAN FD", st->fd == 1   ? "on (ISO)"
                       : st->fd == 2 ? "on (non-ISO)"
                       : st->fd_capable ? "off"
                                        : "not supported");
    if (st->fd) {
        rate_text(v, sizeof v, st->data_bitrate);
        list.add("Data rate", v);
        if (st->data_sp) {
            snprintf(v, sizeof v, "%u.%u %%", unsigned(st->data_sp / 10), unsigned(st->data_sp % 10));
            list.add("Data sample pt", v);
        }
    }
    list.add("Bus state", bus_state_text(st->bus_state));
    snprintf(v, sizeof v, "%u", unsigned(st->tec));
    list.add("TX errors", v);
    snprintf(v, sizeof v, "%u", unsigned(st->rec));
    list.add("RX errors", v);
    snprintf(v, sizeof v, "%u", unsigned(st->hovr));
    list.add("HW overruns", v);
    snprintf(v, sizeof v, "%u", unsigned(st->sovr));
    list.add("SW overruns", v);
    if (st->fd_capable || st->fd_skipped) {
        snprintf(v, sizeof v, "%u", unsigned(st->fd_skipped));
        list.add("FD skipped", v);
    }
    snprintf(v, sizeof v, "%u", unsigned(st->tx_dropped));
    list.add("TX dropped", v);
    snprintf(v, sizeof v, "%u", unsigned(st->ack_errors));
    list.add("ACK errors", v);
    return call.ret(ZK_OK);
}

int16_t ZkBoardInfo(zk_board *board)
{
    ZK_CALL("ZkBoardInfo");
    if (!board) return call.ret(ZK_E_BADARG);
    lib_state &L = lib();
    if (!L.inited) return call.ret(ZK_E_NOTINIT);
    const uint8_t n = board->number;
    if (n >= ZK_MAX_BOARDS || !L.boards[n].be) return call.ret(ZK_E_NOBOARD);
    board_state &b = L.boards[n];
    b.be->poll();
    zk_board out{};
    out.number = n;
    for (int i = 0; i < 4; i++) {
        out.chip[i] = int16_t(i < b.nchan ? b.first_chan + i : -1);
        if (i < b.nchan && b.be->fd_capable(i)) out.fd_slots |= uint8_t(1u << i);
    }
    b.be->board_names(out.name, sizeof out.name, out.manufacturer, sizeof out.manufacturer);
    out.name[sizeof out.name - 1] = '\0';
    out.manufacturer[sizeof out.manufacturer - 1] = '\0';
    *board = out;
    return call.ret(ZK_OK);
}

int16_t ZkBoardGetSerial(uint8_t board, char *buf, uint16_t size)
{
    ZK_CALL("ZkBoardGetSerial");
    if (!buf || size == 0) return call.ret(ZK_E_BADARG);
    buf[0] = '\0';
    lib_state &L = lib();
    if (!L.inited) return call.ret(ZK_E_NOTINIT);
    if (board >= ZK_MAX_BOARDS || !L.boards[board].be) return call.ret(ZK_E_NOBOARD);
    int16_t e = L.boards[board].be->serial(buf, size);
    buf[size - 1] = '\0';
    if (e < 0) buf[0] = '\0';
    return call.ret(e < 0 ? e : ZK_OK);
}

}  // extern "C"

namespace {

// A job's name: its identifier and format.
bool same_job(const zk_fdframe &a, const zk_fdframe &b)
{
    const uint8_t key = ZK_FRAME_EFF | ZK_FRAME_FDF;
    return a.id == b.id && (a.flags & key) == (b.flags & key);
}

}  // namespace

extern "C" {

int16_t ZkCyclicSet(uint8_t chan, const zk_fdframe *frames, uint16_t n, uint32_t period_us)
{
    ZK_CALL("ZkCyclicSet");
    ZK_CHAN(chan, true);
    if (!frames || n == 0 || n > ZK_CYCLIC_FRAMES) {
        set_detail("%u frames: a cyclic job sends 1 to %d", unsigned(n), ZK_CYCLIC_FRAMES);
        return call.ret(ZK_E_BADARG);
    }
    if (period_us < 100 || period_us > 3600000000u) {
        set_detail("period %u us: 100 us to one hour", unsigned(period_us));
        return call.ret(ZK_E_BADARG);
    }
    if (!ch->started) return call.ret(ZK_E_NOTSTARTED);
    if (ch->lom) return call.ret(ZK_E_LOM);
    // One fixed buffer: the call holds the API lock.
    static zk_fdframe clean[ZK_CYCLIC_FRAMES];
    for (uint16_t i = 0; i < n; i++) {
        if (int16_t e = check_frame(*ch, frames[i], false); e < 0) return call.ret(e);
        if (!same_job(frames[i], frames[0])) {
            set_detail("frame %u: every frame of a cyclic job has the first one's identifier "
                       "and format", unsigned(i));
            return call.ret(ZK_E_BADARG);
        }
        zk_fdframe &f = clean[i];
        f = frames[i];
        f.reserved[0] = f.reserved[1] = 0;
        f.ts = 0;
        memset(f.data + f.len, 0, sizeof f.data - f.len);
    }
    return call.ret(backend_of(*ch)->cyclic_set(ch->slot, clean, n, period_us));
}

int16_t ZkCyclicStop(uint8_t chan, uint32_t id, uint8_t flags, uint32_t *sent)
{
    ZK_CALL("ZkCyclicStop");
    ZK_CHAN(chan, true);
    uint32_t n = 0;
    const int16_t e = backend_of(*ch)->cyclic_stop(ch->slot, id, uint8_t(flags & (ZK_FRAME_EFF | ZK_FRAME_FDF)), &n);
    if (sent) *sent = n;
    return call.ret(e);
}

int16_t ZkCyclicSent(uint8_t chan, uint32_t id, uint8_t flags, uint32_t *sent)
{
    ZK_CALL("ZkCyclicSent");
    ZK_CHAN(chan, true);
    if (!sent) return call.ret(ZK_E_BADARG);
    if (!ch->started) return call.ret(ZK_E_NOTSTARTED);
    return call.ret(backend_of(*ch)->cyclic_sent(ch->slot, id, uint8_t(flags & (ZK_FRAME_EFF | ZK_FRAME_FDF)), sent));
}

}  // extern "C"

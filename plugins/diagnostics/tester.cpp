/*
 * tester.cpp - the tester: a UDS or OBD-II request sent over ISO-TP to the
 * chosen address pair when the user presses Send (with the flow control
 * the ECU asks for), the flow control for the ECU's answer, the answer
 * shown decoded, and tester present while the user keeps it on. Nothing
 * is ever sent without the user's action; in listen-only mode nothing is
 * sent at all and the tester says so.
 */
#include "diagnostics.h"

#include <string.h>

namespace {

constexpr uint32_t MSG_MAX = 4095;
constexpr guint PRESENT_MS = 2000;
/* Answers are awaited this long after the request (P2*), then the tester
 * gives the flow control for them up. */
constexpr int64_t AWAIT_US = 10 * 1000000;
/* "Response pending" extends the wait this many times at most; then the
 * request has no response. */
constexpr uint32_t PENDING_MAX = 10;
/* Nodes whose answer to one request gets its flow control (one each). */
constexpr int FC_MAX = 8;
constexpr int PAD = 0xCC;

const char *const KEY_PAIR = "TesterPair";
const char *const KEY_REQUEST = "TesterRequest";
const char *const KEY_CHANNEL = "TesterChannel";   /* index; older sessions: the main channel */

struct tester {
    GtkWidget *box, *pair_combo, *request, *common, *send, *present, *fd_box, *answer;
    GtkWidget *chan_combo;    /* the channel asked on, shown with several */
    int chan;                 /* its index */
    GtkListStore *pairs;
    itp_pair pair;
    int have_pair;
    uint8_t msg[MSG_MAX];
    uint32_t len;
    itp_sender snd;
    int sending;
    int fd;                   /* the request goes in CAN FD frames */
    guint timer;
    guint present_timer;
    int awaiting;             /* our request went out; its answer is due */
    int64_t await_until;
    uint64_t handle;          /* our request's row, once the decoder saw it */
    uint32_t answers;
    uint32_t pendings;        /* "response pending" seen for our request */
    uint32_t fc_to[FC_MAX];   /* answering nodes given their flow control (id, bit 31: 29-bit) */
    int fc_n;
    char pair_text[64];       /* session: the pair chosen */
    char request_text[NBPG_SESSION_VALUE_MAX];  /* session: the request typed */
};

tester ts;

const struct {
    const char *hex;
    const char *label;
} COMMON[] = {
    {"22 F1 90", "ReadDataByIdentifier VIN (F190)"},
    {"22 F1 8C", "ReadDataByIdentifier ECUSerialNumber (F18C)"},
    {"10 03", "DiagnosticSessionControl extendedDiagnosticSession"},
    {"10 01", "DiagnosticSessionControl defaultSession"},
    {"3E 00", "TesterPresent"},
    {"19 02 FF", "ReadDTCInformation reportDTCByStatusMask"},
    {"27 01", "SecurityAccess requestSeed"},
    {"11 01", "ECUReset hardReset"},
    {"01 00", "OBD 01 PIDs supported [01-20]"},
    {"01 0C", "OBD 01 Engine speed"},
    {"01 05", "OBD 01 Engine coolant temperature"},
    {"03", "OBD 03 Show stored DTCs"},
    {"09 02", "OBD 09 VIN"},
};

void say(const char *text, int error)
{
    if (ts.answer)
        dgp_label_set(ts.answer, text, error);
}

/* The status of the channel the tester asks on. */
nb_chan_status chan_status(void)
{
    nb_chan_status st;
    if (ts.chan == 0 || nb_chan_get_status(ts.chan, &st) != 0)
        st = *nbkit_status();
    return st;
}

itp_decoder *tester_tp(void)
{
    dg_decoder *d = ts.chan < dgp.nchan && dgp.decs[ts.chan] ? dgp.decs[ts.chan] : dgp.dec;
    return dg_isotp(d);
}

/* Whether the channel lets us send; says why not. */
bool can_send(void)
{
    const nb_chan_status st = chan_status();
    if (st.lom) {
        say(_("Listen-only mode: the tester cannot send. Switch listen-only off to send requests."), 1);
        return false;
    }
    if (!st.running) {
        say(_("The controller is stopped: start it to send requests."), 1);
        return false;
    }
    return true;
}

/* Whether the channel runs CAN FD, so that the tester may send FD frames. */
bool channel_fd(void)
{
    return chan_status().fd != NB_FD_OFF;
}

/* One frame, classic or CAN FD (with the data phase at the data rate
 * when the channel has one). */
bool send_one(const itp_addr &a, const itp_tx_frame &fr, bool fd)
{
    zk_fdframe z;
    memset(&z, 0, sizeof z);
    z.id = a.id;
    z.flags = (uint8_t)((a.ext ? ZK_FRAME_EFF : 0) |
                        (fd ? ZK_FRAME_FDF | (chan_status().data_kbit ? ZK_FRAME_BRS : 0) : 0));
    const uint8_t max = fd ? DG_FRAME_DATA : 8;
    z.len = fr.len > max ? max : fr.len;
    memcpy(z.data, fr.data, z.len);
    const int rc = nb_chan_send(ts.chan, &z);
    if (rc >= 0)
        return true;
    char why[256] = "", text[512];
    if (ZkStrError((int16_t)rc, why, sizeof why) < 0 || !why[0])
        g_snprintf(why, sizeof why, "%d", rc);
    g_snprintf(text, sizeof text, _("The frame could not be sent: %s"), why);
    say(text, 1);
    return false;
}

void stop_sending(void)
{
    if (ts.timer)
        g_source_remove(ts.timer);
    ts.timer = 0;
    ts.sending = 0;
}

gboolean on_timer(gpointer);

/* Sends what is due and waits for the next due time or flow control. */
void pump(void)
{
    if (!ts.sending)
        return;
    if (ts.timer)
        g_source_remove(ts.timer);
    ts.timer = 0;
    itp_tx_frame fr[32];
    uint64_t next = 0;
    const uint64_t now = (uint64_t)dgp_now_us();
    const int n = itp_send_poll(&ts.snd, now, fr, 32, &next);
    for (int i = 0; i < n; i++)
        if (!send_one(ts.pair.req, fr[i], ts.fd)) {
            stop_sending();
            ts.awaiting = 0;
            return;
        }
    if (ts.snd.state == ITP_SEND_DONE) {
        ts.sending = 0;
        ts.awaiting = 1;
        ts.await_until = dgp_now_us() + AWAIT_US;
        return;
    }
    if (ts.snd.state == ITP_SEND_FAILED) {
        stop_sending();
        say(ts.snd.result == ITP_E_OVERFLOW ? _("The ECU answered the first frame with overflow: the request is too long for it.")
            : ts.snd.result == ITP_E_TIMEOUT_BS ? _("No flow control from the ECU within N_Bs: the request was not sent whole.")
                                                : _("The ECU's flow control is not valid: the request was not sent whole."),
            1);
        return;
    }
    /* More to send: when the separation time has passed (a flow control
     * arriving first calls pump at once). */
    const int64_t wait_us = next > now ? (int64_t)(next - now) : 0;
    ts.timer = g_timeout_add((guint)((wait_us + 999) / 1000), on_timer, nullptr);
}

gboolean on_timer(gpointer)
{
    ts.timer = 0;
    pump();
    return FALSE;
}

bool parse_request(const char *text, uint8_t *out, uint32_t *len)
{
    *len = 0;
    const char *p = text;
    while (*p) {
        while (*p == ' ' || *p == ',' || *p == '.' || *p == '\t')
            p++;
        if (!*p)
            break;
        if (!g_ascii_isxdigit(p[0]) || !g_ascii_isxdigit(p[1]) || *len >= MSG_MAX)
            return false;
        out[(*len)++] = (uint8_t)(g_ascii_xdigit_value(p[0]) << 4 | g_ascii_xdigit_value(p[1]));
        p += 2;
    }
    return *len > 0;
}

bool chosen_pair(void)
{
    ts.have_pair = 0;
    GtkTreeIter it;
    if (!ts.pair_combo || !gtk_combo_box_get_active_iter(GTK_COMBO_BOX(ts.pair_combo), &it))
        return false;
    int idx = -1;
    gtk_tree_model_get(GTK_TREE_MODEL(ts.pairs), &it, 1, &idx, -1);
    const itp_pair *p = itp_get_pair(tester_tp(), idx);
    if (!p)
        return false;
    ts.pair = *p;
    ts.have_pair = 1;
    dgp_format_pair(p, ts.pair_text, sizeof ts.pair_text);
    return true;
}

/* CAN FD frames when the box is ticked and the channel runs CAN FD. */
bool want_fd(void)
{
    return ts.fd_box && channel_fd() && gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(ts.fd_box));
}

void on_send(GtkButton *, gpointer)
{
    if (ts.sending) {
        say(_("The last request is still being sent."), 1);
        return;
    }
    const char *text = gtk_entry_get_text(GTK_ENTRY(ts.request));
    g_strlcpy(ts.request_text, text, sizeof ts.request_text);
    if (!parse_request(text, ts.msg, &ts.len)) {
        say(_("Type the request as hexadecimal bytes, for example 22 F1 90 (1 to 4095 bytes)."), 1);
        return;
    }
    if (!chosen_pair()) {
        say(_("Choose the address pair to send to."), 1);
        return;
    }
    if (!can_send())
        return;
    const bool fd = want_fd();
    const unsigned fl = fd ? 64 : 8;
    if (ts.pair.functional && ts.len > (fl > 8 ? fl - 2u : 7u) - (ts.pair.req.mode != ITP_NORMAL)) {
        say(_("A request to a functional address must fit in one frame."), 1);
        return;
    }
    if (itp_send_start(&ts.snd, ts.msg, ts.len, &ts.pair.req, &ts.pair.resp, fl, PAD, dgp.cfg.tp.n_bs_ms,
                       (uint64_t)dgp_now_us()) != 0) {
        say(_("The request is too long for these frames."), 1);
        return;
    }
    ts.sending = 1;
    ts.fd = fd;
    ts.awaiting = 0;
    ts.handle = 0;
    ts.answers = 0;
    ts.pendings = 0;
    ts.fc_n = 0;
    char desc[512], line[640];
    uds_describe(ts.msg, ts.len, 0, dgp_texts(), desc, sizeof desc);
    g_snprintf(line, sizeof line, _("Sent: %s"), desc);
    say(line, 0);
    pump();
}

gboolean on_present(gpointer)
{
    if (!ts.present || !gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(ts.present))) {
        ts.present_timer = 0;
        return FALSE;
    }
    if (ts.sending)
        return TRUE;   /* never between the frames of a request */
    if (!chosen_pair() || !can_send()) {
        gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(ts.present), FALSE);
        ts.present_timer = 0;
        return FALSE;
    }
    static const uint8_t tp[2] = {0x3E, 0x80};
    itp_tx_frame fr;
    itp_segment(tp, 2, 8, &ts.pair.req, PAD, &fr, 0, 1);
    if (!send_one(ts.pair.req, fr, want_fd())) {
        gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(ts.present), FALSE);
        ts.present_timer = 0;
        return FALSE;
    }
    return TRUE;
}

void on_present_toggled(GtkToggleButton *b, gpointer)
{
    if (dgp.updating)
        return;
    if (!gtk_toggle_button_get_active(b)) {
        if (ts.present_timer)
            g_source_remove(ts.present_timer);
        ts.present_timer = 0;
        return;
    }
    if (!chosen_pair() || !can_send()) {
        gtk_toggle_button_set_active(b, FALSE);
        return;
    }
    if (!ts.present_timer) {
        on_present(nullptr);
        if (gtk_toggle_button_get_active(b))
            ts.present_timer = g_timeout_add(PRESENT_MS, on_present, nullptr);
    }
}

void on_common(GtkComboBox *c, gpointer)
{
    const int i = gtk_combo_box_get_active(c);
    if (i <= 0 || i > (int)G_N_ELEMENTS(COMMON))
        return;
    gtk_entry_set_text(GTK_ENTRY(ts.request), COMMON[i - 1].hex);
    gtk_combo_box_set_active(c, 0);
}

void fill_channels(void)
{
    if (!ts.chan_combo)
        return;
    dgp.updating++;
    GtkComboBox *c = GTK_COMBO_BOX(ts.chan_combo);
    while (gtk_tree_model_iter_n_children(gtk_combo_box_get_model(c), nullptr) > 0)
        gtk_combo_box_remove_text(c, 0);
    for (int i = 0; i < dgp.nchan; i++) {
        char name[32];
        if (nb_chan_get_name(i, name, sizeof name) != 0 || !name[0])
            g_snprintf(name, sizeof name, "#%d", i);
        gtk_combo_box_append_text(c, name);
    }
    if (ts.chan >= dgp.nchan)
        ts.chan = 0;
    gtk_combo_box_set_active(c, ts.chan);
    gtk_widget_set_visible(ts.chan_combo, dgp.nchan > 1);
    dgp.updating--;
}

void on_chan_changed(GtkComboBox *c, gpointer)
{
    if (dgp.updating || gtk_combo_box_get_active(c) < 0)
        return;
    /* A request under way stays on its channel's word: it ends here. */
    stop_sending();
    ts.awaiting = 0;
    ts.handle = 0;
    ts.chan = gtk_combo_box_get_active(c);
    dgp_tester_pairs_changed();
    dgp_tester_status();
}

void on_pair_changed(GtkComboBox *, gpointer)
{
    if (!dgp.updating && chosen_pair() && ts.present_timer)
        on_present(nullptr);
}

}  // namespace

GtkWidget *dgp_tester_build(void)
{
    memset(&ts, 0, sizeof ts);
    GtkWidget *frame = gtk_frame_new(_("Tester"));
    GtkWidget *v = gtk_vbox_new(FALSE, 4);
    gtk_container_set_border_width(GTK_CONTAINER(v), 4);
    gtk_container_add(GTK_CONTAINER(frame), v);

    GtkWidget *row = gtk_hbox_new(FALSE, 6);
    gtk_box_pack_start(GTK_BOX(v), row, FALSE, FALSE, 0);
    ts.chan_combo = gtk_combo_box_new_text();
    gtk_widget_set_name(ts.chan_combo, "diag-tester-channel");
    gtk_widget_set_tooltip_text(ts.chan_combo, _("The channel the tester asks on"));
    g_signal_connect(ts.chan_combo, "changed", G_CALLBACK(on_chan_changed), nullptr);
    gtk_box_pack_start(GTK_BOX(row), ts.chan_combo, FALSE, FALSE, 0);
    gtk_widget_set_no_show_all(ts.chan_combo, TRUE);
    fill_channels();
    gtk_box_pack_start(GTK_BOX(row), gtk_label_new(_("Pair:")), FALSE, FALSE, 0);
    ts.pairs = gtk_list_store_new(2, G_TYPE_STRING, G_TYPE_INT);
    ts.pair_combo = gtk_combo_box_new_with_model(GTK_TREE_MODEL(ts.pairs));
    g_object_unref(ts.pairs);
    GtkCellRenderer *cell = gtk_cell_renderer_text_new();
    gtk_cell_layout_pack_start(GTK_CELL_LAYOUT(ts.pair_combo), cell, TRUE);
    gtk_cell_layout_set_attributes(GTK_CELL_LAYOUT(ts.pair_combo), cell, "text", 0, nullptr);
    gtk_widget_set_name(ts.pair_combo, "diag-tester-pair");
    gtk_widget_set_tooltip_text(ts.pair_combo, _("Request and response identifiers: presets, pairs found "
                                                 "in the traffic and your own (Pairs... above)"));
    g_signal_connect(ts.pair_combo, "changed", G_CALLBACK(on_pair_changed), nullptr);
    gtk_box_pack_start(GTK_BOX(row), ts.pair_combo, FALSE, FALSE, 0);
    ts.fd_box = gtk_check_button_new_with_mnemonic(_("C_AN FD frames"));
    gtk_widget_set_name(ts.fd_box, "diag-tester-fd");
    gtk_widget_set_sensitive(ts.fd_box, FALSE);
    gtk_box_pack_start(GTK_BOX(row), ts.fd_box, FALSE, FALSE, 0);
    ts.present = gtk_check_button_new_with_mnemonic(_("Tester p_resent"));
    gtk_widget_set_name(ts.present, "diag-tester-present");
    gtk_widget_set_tooltip_text(ts.present, _("While ticked, send TesterPresent (3E 80) to the pair every 2 s"));
    g_signal_connect(ts.present, "toggled", G_CALLBACK(on_present_toggled), nullptr);
    /* A row of its own: the rows fit the page of the smallest main window. */
    gtk_box_pack_start(GTK_BOX(v), ts.present, FALSE, FALSE, 0);

    row = gtk_hbox_new(FALSE, 6);
    gtk_box_pack_start(GTK_BOX(v), row, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(row), gtk_label_new(_("Request:")), FALSE, FALSE, 0);
    ts.request = gtk_entry_new();
    gtk_widget_set_name(ts.request, "diag-tester-request");
    gtk_entry_set_text(GTK_ENTRY(ts.request), "22 F1 90");
    gtk_entry_set_width_chars(GTK_ENTRY(ts.request), 12);
    g_signal_connect(ts.request, "activate", G_CALLBACK(on_send), nullptr);
    gtk_box_pack_start(GTK_BOX(row), ts.request, TRUE, TRUE, 0);
    ts.common = gtk_combo_box_new_text();
    gtk_widget_set_name(ts.common, "diag-tester-common");
    gtk_combo_box_append_text(GTK_COMBO_BOX(ts.common), _("Common requests"));
    for (const auto &c : COMMON)
        gtk_combo_box_append_text(GTK_COMBO_BOX(ts.common), c.label);
    gtk_combo_box_set_active(GTK_COMBO_BOX(ts.common), 0);
    g_signal_connect(ts.common, "changed", G_CALLBACK(on_common), nullptr);
    ts.send = gtk_button_new_with_mnemonic(_("Se_nd"));
    gtk_widget_set_name(ts.send, "diag-tester-send");
    g_signal_connect(ts.send, "clicked", G_CALLBACK(on_send), nullptr);
    gtk_box_pack_start(GTK_BOX(row), ts.send, FALSE, FALSE, 0);
    /* Below the request, as wide as its longest entry needs. */
    row = gtk_hbox_new(FALSE, 6);
    gtk_box_pack_start(GTK_BOX(v), row, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(row), ts.common, FALSE, FALSE, 0);

    ts.answer = gtk_label_new("");
    gtk_widget_set_name(ts.answer, "diag-tester-answer");
    gtk_misc_set_alignment(GTK_MISC(ts.answer), 0, 0.5);
    gtk_label_set_selectable(GTK_LABEL(ts.answer), TRUE);
    gtk_label_set_ellipsize(GTK_LABEL(ts.answer), PANGO_ELLIPSIZE_END);
    gtk_box_pack_start(GTK_BOX(v), ts.answer, FALSE, FALSE, 0);
    if (ts.request_text[0])
        gtk_entry_set_text(GTK_ENTRY(ts.request), ts.request_text);
    ts.box = frame;
    dgp_tester_pairs_changed();
    dgp_tester_status();
    return frame;
}

void dgp_tester_release(void)
{
    stop_sending();
    if (ts.present_timer)
        g_source_remove(ts.present_timer);
    ts.present_timer = 0;
    ts.chan_combo = nullptr;
    ts.box = ts.pair_combo = ts.request = ts.common = ts.send = ts.present = ts.fd_box = ts.answer = nullptr;
}

/* The pair list from the decoder, keeping the choice. */
void dgp_tester_pairs_changed(void)
{
    if (!ts.pair_combo || !dgp.dec)
        return;
    char keep[64];
    g_strlcpy(keep, ts.pair_text, sizeof keep);
    dgp.updating++;
    gtk_list_store_clear(ts.pairs);
    itp_decoder *tp = tester_tp();
    int active = -1, k = 0;
    for (int i = 0; i < itp_pair_count(tp); i++, k++) {
        const itp_pair *p = itp_get_pair(tp, i);
        char text[64], label[128];
        dgp_format_pair(p, text, sizeof text);
        const char *origin = p->origin == ITP_PRESET ? _("preset") : p->origin == ITP_FOUND ? _("found") : _("yours");
        g_snprintf(label, sizeof label, "%s (%s%s%s)", text, origin, p->functional ? ", " : "",
                   p->functional ? _("functional") : "");
        GtkTreeIter it;
        gtk_list_store_append(ts.pairs, &it);
        gtk_list_store_set(ts.pairs, &it, 0, label, 1, i, -1);
        if (g_ascii_strcasecmp(text, keep) == 0 || (active < 0 && !keep[0] && !p->functional))
            active = k;
    }
    gtk_combo_box_set_active(GTK_COMBO_BOX(ts.pair_combo), active);
    dgp.updating--;
    if (active >= 0)
        chosen_pair();
}

/* Send only when the channel lets us: the controls say so at once. */
void dgp_tester_status(void)
{
    if (!ts.send)
        return;
    const bool ok = !chan_status().lom;
    gtk_widget_set_sensitive(ts.send, ok);
    gtk_widget_set_sensitive(ts.present, ok);
    /* FD frames only on a channel opened for CAN FD; the box says why not. */
    const bool fd = channel_fd();
    gtk_widget_set_sensitive(ts.fd_box, ok && fd);
    gtk_widget_set_tooltip_text(ts.fd_box, fd ? _("Send the request in CAN FD frames")
                                              : _("The channel runs classic CAN: open it for CAN FD to send CAN FD frames."));
    if (!fd && gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(ts.fd_box)))
        gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(ts.fd_box), FALSE);
    if (!ok) {
        stop_sending();
        if (ts.present && gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(ts.present)))
            gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(ts.present), FALSE);
        say(_("Listen-only mode: the tester cannot send. Switch listen-only off to send requests."), 1);
    } else if (ts.answer) {
        const char *t = gtk_label_get_text(GTK_LABEL(ts.answer));
        if (t && g_str_has_prefix(t, _("Listen-only mode")))
            say("", 0);
    }
}

/* Frames from the bus: flow control for our request, and our flow
 * control for the ECU's answer to it. */
void dgp_tester_frame(const dg_frame *f)
{
    if (f->flags & DG_TX)
        return;
    if (ts.sending && itp_send_on_frame(&ts.snd, f)) {
        pump();
        return;
    }
    if (!ts.awaiting || dgp_now_us() > ts.await_until || !ts.have_pair)
        return;
    uint8_t dir = 0;
    const int idx = itp_find_pair(tester_tp(), f->id, (f->flags & DG_EXT) ? 1 : 0, f->len ? f->data[0] : 0, &dir);
    const itp_pair *p = itp_get_pair(tester_tp(), idx);
    if (!p || dir != ITP_DIR_RESP)
        return;
    /* Our pair's ECU, or for a functional request any ECU that answers. */
    if (!ts.pair.functional && (p->req.id != ts.pair.req.id || !p->req.ext != !ts.pair.req.ext))
        return;
    itp_pci pci;
    itp_parse_pci(f->data, f->len, p->resp.mode == ITP_NORMAL ? 0 : 1, &pci);
    if (pci.type != 1 || !pci.valid)
        return;
    /* One flow control per answering node and Send: a node that keeps
     * starting answers gets no endless stream of them. */
    const uint32_t who = f->id | ((f->flags & DG_EXT) ? 0x80000000u : 0u);
    for (int i = 0; i < ts.fc_n; i++)
        if (ts.fc_to[i] == who)
            return;
    if (ts.fc_n == FC_MAX)
        return;
    ts.fc_to[ts.fc_n++] = who;
    itp_tx_frame fc;
    itp_flow_control(&p->req, 0, 0, 0, PAD, &fc);
    send_one(p->req, fc, (f->flags & DG_FDF) != 0);   /* the frame kind the ECU answers in */
}

/* The decoder's view of our request and its answers. */
void dgp_tester_event(const dg_event *ev, uint64_t handle)
{
    if (!ts.answer)
        return;
    if (ev->kind == DG_REQUEST && ev->tp->tx && (ts.sending || ts.awaiting) && ts.have_pair &&
        ev->tp->len == ts.len && memcmp(ev->tp->data, ts.msg, ts.len) == 0) {
        ts.handle = handle ? handle : UINT64_MAX;
        return;
    }
    /* An answer after P2 ran out is still ours while the tester waits for
     * it: from the pair it asked, to the service it asked for. */
    const itp_pair *from = ev->kind == DG_RESPONSE ? itp_get_pair(tester_tp(), ev->tp->pair) : nullptr;
    const bool late = from && ev->handle == 0 && ts.awaiting && ts.answers == 0 &&
                      uds_request_sid(ev->tp->data, ev->tp->len) == ts.msg[0] &&
                      (ts.pair.functional || (from->req.id == ts.pair.req.id && !from->req.ext == !ts.pair.req.ext));
    if (!late && (!ts.handle || ev->handle != ts.handle))
        return;
    char desc[1024], line[1200];
    switch (ev->kind) {
    case DG_RESPONSE:
        uds_describe(ev->tp->data, ev->tp->len, 0, dgp_texts(), desc, sizeof desc);
        ts.answers++;
        if (late)
            g_snprintf(line, sizeof line, _("Answer after P2: %s"), desc);
        else if (ts.answers > 1)
            g_snprintf(line, sizeof line, _("Answer %u from %03X: %s"), ts.answers, ev->tp->src.id, desc);
        else
            g_snprintf(line, sizeof line, _("Answer: %s"), desc);
        say(line, ev->tp->data[0] == 0x7F);
        if (!ts.pair.functional)
            ts.awaiting = 0;
        break;
    case DG_PENDING:
        if (++ts.pendings > PENDING_MAX) {
            /* The request is over: nothing more is awaited or answered. */
            g_snprintf(line, sizeof line,
                       _("No response: the ECU asked for more time (response pending) more than %u times."),
                       PENDING_MAX);
            say(line, 1);
            ts.awaiting = 0;
            ts.handle = 0;
            break;
        }
        g_snprintf(line, sizeof line, _("The ECU asks for more time (response pending, %u of at most %u)."),
                   ts.pendings, PENDING_MAX);
        say(line, 0);
        ts.await_until = dgp_now_us() + AWAIT_US;
        break;
    case DG_NO_RESPONSE:
        /* The tester still gives a late answer its flow control. */
        if (ts.answers == 0)
            say(_("No answer within P2."), 1);
        break;
    default:
        break;
    }
}

/* Our own request's rows are kept while the list is paused. */
bool dgp_tester_owns(const dg_event *ev)
{
    return (ev->kind == DG_REQUEST && ev->tp->tx && (ts.sending || ts.awaiting)) ||
           (ts.handle && ev->handle == ts.handle);
}

void dgp_tester_save(void *file)
{
    if (ts.request)
        g_strlcpy(ts.request_text, gtk_entry_get_text(GTK_ENTRY(ts.request)), sizeof ts.request_text);
    /* A request longer than a session line holds ("key=value" in 1022
     * characters) is kept up to its last whole byte. */
    const size_t room = 1022 - strlen(KEY_REQUEST) - 1;
    if (strlen(ts.request_text) > room) {
        const bool whole = ts.request_text[room] == ' ';
        ts.request_text[room] = '\0';
        char *cut = whole ? nullptr : strrchr(ts.request_text, ' ');
        if (cut)
            *cut = '\0';
    }
    nbkit_save_text(file, KEY_PAIR, ts.pair_text);
    nbkit_save_text(file, KEY_REQUEST, ts.request_text);
    nbkit_save_int(file, KEY_CHANNEL, ts.chan);
}

int dgp_tester_chan(void)
{
    return ts.chan;
}

void dgp_tester_channels_changed(void)
{
    fill_channels();
    dgp_tester_pairs_changed();
    dgp_tester_status();
}

void dgp_tester_load_key(const pgrp_session_key *key)
{
    if (nbkit_key_text(key, KEY_PAIR, ts.pair_text, sizeof ts.pair_text))
        return;
    int32_t chan = 0;
    if (nbkit_key_int(key, KEY_CHANNEL, &chan)) {
        /* A channel the window does not have: the main one. */
        ts.chan = chan > 0 && chan < dgp.nchan ? chan : 0;
        fill_channels();
        return;
    }
    if (nbkit_key_text(key, KEY_REQUEST, ts.request_text, sizeof ts.request_text) && ts.request)
        gtk_entry_set_text(GTK_ENTRY(ts.request), ts.request_text);
}

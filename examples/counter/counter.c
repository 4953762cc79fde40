/*
 * counter.c - an example Nimbrel plug-in: counts the frames of every
 * identifier and shows the counts in its page.
 *
 * It shows the whole life of a plug-in, written with the plug-in kit
 * (nimbrel/kit.h): the symbols that get it listed and the request
 * dispatch from one macro, a page built at initialisation and owned by
 * the host from then on, traffic counted on the 20 ms path without
 * allocating, the page refreshed from a GLib timer, the channel's state
 * from the status the kit keeps at hand, and one session key
 * ("CountSent": whether frames sent through the host are counted too)
 * written and read back by name.
 *
 * Build it against an installed Nimbrel and put it beside the program:
 *   cc -shared -fPIC $(pkg-config --cflags nimbrel-plugin) counter.c -o counter.so
 *   cp counter.so "$(pkg-config --variable=plugindir nimbrel-plugin)"
 * then load "Frame counter" through Plugins > Configure.
 */
#include <nimbrel/kit.h>
#include <stdio.h>
#include <string.h>

/* A fixed table, so counting never allocates: identifiers beyond it are
 * counted together in the "others" line. */
#define SLOTS 512
#define KEY_EFF 0x80000000u /* extended identifiers are kept apart */

struct slot {
    uint32_t key;   /* identifier | KEY_EFF, valid when used */
    int used;
    int row;        /* row of the page's list, -1 before it is shown */
    unsigned long count;
};

static struct {
    struct slot slots[SLOTS];
    int order[SLOTS];         /* slot numbers in the order first seen */
    int nseen;
    int nrows;
    unsigned long others;
    int count_sent;           /* session key CountSent */
    GtkListStore *store;
    GtkWidget *others_label;
    GtkWidget *sent_check;
    guint timer;
} ct;

static void count_frame(const zk_frame *f)
{
    uint32_t key = f->id | ((f->flags & ZK_FRAME_EFF) ? KEY_EFF : 0);
    unsigned h = (key * 2654435761u) % SLOTS;
    for (int i = 0; i < SLOTS; i++) {
        struct slot *s = &ct.slots[(h + i) % SLOTS];
        if (s->used && s->key == key) {
            s->count++;
            return;
        }
        if (!s->used) {
            s->used = 1;
            s->key = key;
            s->row = -1;
            s->count = 1;
            ct.order[ct.nseen++] = (int)(s - ct.slots);
            return;
        }
    }
    ct.others++;
}

/* Brings the list up to date: new identifiers are appended, counts set. */
static gboolean refresh(gpointer unused)
{
    char text[64];
    for (int i = 0; i < ct.nseen; i++) {
        struct slot *s = &ct.slots[ct.order[i]];
        GtkTreeIter it;
        if (s->row < 0) {
            if (s->key & KEY_EFF)
                snprintf(text, sizeof text, "%08X", (unsigned)(s->key & ~KEY_EFF));
            else
                snprintf(text, sizeof text, "%03X", (unsigned)s->key);
            gtk_list_store_append(ct.store, &it);
            gtk_list_store_set(ct.store, &it, 0, text, -1);
            s->row = ct.nrows++;
        } else {
            gtk_tree_model_iter_nth_child(GTK_TREE_MODEL(ct.store), &it, NULL, s->row);
        }
        gtk_list_store_set(ct.store, &it, 1, (guint64)s->count, -1);
    }
    snprintf(text, sizeof text, "Others: %lu (channel %d %s)", ct.others, nbkit_chan(),
             nbkit_status()->running ? "running" : "stopped");
    gtk_label_set_text(GTK_LABEL(ct.others_label), text);
    return TRUE;
}

static void on_sent_toggled(GtkToggleButton *button, gpointer unused)
{
    ct.count_sent = gtk_toggle_button_get_active(button) ? 1 : 0;
}

static GtkWidget *build_page(void)
{
    ct.store = gtk_list_store_new(2, G_TYPE_STRING, G_TYPE_UINT64);
    GtkWidget *view = gtk_tree_view_new_with_model(GTK_TREE_MODEL(ct.store));
    g_object_unref(ct.store); /* the view keeps it */
    gtk_widget_set_name(view, "counter-list");
    GtkCellRenderer *cell = gtk_cell_renderer_text_new();
    gtk_tree_view_insert_column_with_attributes(GTK_TREE_VIEW(view), -1, "Identifier", cell,
                                                "text", 0, NULL);
    gtk_tree_view_insert_column_with_attributes(GTK_TREE_VIEW(view), -1, "Frames", cell,
                                                "text", 1, NULL);
    GtkWidget *scrolled = gtk_scrolled_window_new(NULL, NULL);
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scrolled), GTK_POLICY_AUTOMATIC,
                                   GTK_POLICY_AUTOMATIC);
    gtk_container_add(GTK_CONTAINER(scrolled), view);

    ct.sent_check = gtk_check_button_new_with_label("Count sent frames too");
    gtk_widget_set_name(ct.sent_check, "counter-sent");
    g_signal_connect(ct.sent_check, "toggled", G_CALLBACK(on_sent_toggled), NULL);
    ct.others_label = gtk_label_new("Others: 0");

    GtkWidget *box = gtk_vbox_new(FALSE, 4);
    gtk_box_pack_start(GTK_BOX(box), ct.sent_check, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(box), scrolled, TRUE, TRUE, 0);
    gtk_box_pack_start(GTK_BOX(box), ct.others_label, FALSE, FALSE, 0);
    return box;
}

static GtkWidget *init(const nb_chan_status *status, uint64_t ts)
{
    memset(&ct, 0, sizeof ct);
    GtkWidget *page = build_page();
    ct.timer = g_timeout_add(500, refresh, NULL);
    return page;
}

/* The host destroys the page after this; stop touching it. */
static void release(void)
{
    if (ct.timer)
        g_source_remove(ct.timer);
    ct.timer = 0;
}

static void received(const zk_frame *frames, int n, uint64_t ts)
{
    for (int i = 0; i < n; i++)
        count_frame(&frames[i]);
}

static void sent(const nb_tx_entry *entries, int n, uint64_t ts)
{
    if (ct.count_sent)
        for (int i = 0; i < n; i++)
            count_frame(&entries[i].frame);
}

static void save(void *file)
{
    nbkit_save_bool(file, "CountSent", ct.count_sent);
}

static void load_key(const pgrp_session_key *key)
{
    int on;
    if (nbkit_key_bool(key, "CountSent", &on))
        gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(ct.sent_check), on);
}

/* Requests without a handler here, and types a later host may add, are
 * left alone by the kit. */
static const nbkit_plugin counter = {
    .init = init,
    .release = release,
    .rx_frames = received,
    .tx_frames = sent,
    .session_save = save,
    .load_key = load_key,
};

NBKIT_PLUGIN(counter, 0x0300, "Frame counter", "The Nimbrel developers",
             "Example plug-in: counts the frames of every identifier")

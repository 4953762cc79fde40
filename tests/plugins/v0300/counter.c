/*
 * counter.c - an example Nimbrel plug-in: counts the frames of every
 * identifier and shows the counts in its page.
 *
 * It shows the whole life of a plug-in: the four symbols that get it
 * listed, the request handler, a page built at PGRP_INIT and owned by the
 * host from then on, traffic counted on the 20 ms path without allocating,
 * the page refreshed from a GLib timer, and one session key ("CountSent":
 * whether frames sent through the host are counted too) written at
 * PGRP_SESSION_SAVE and read back at PGRP_SESSION_LOAD_KEY.
 *
 * Build it against an installed Nimbrel and put it beside the program:
 *   cc -shared -fPIC $(pkg-config --cflags nimbrel-plugin) counter.c -o counter.so
 *   cp counter.so "$(pkg-config --variable=plugindir nimbrel-plugin)"
 * then load "Frame counter" through Plugins > Configure.
 */
#include <nimbrel/nimbrel.h>
#include <stdio.h>
#include <string.h>

NBPG_EXPORT const uint16_t __nbpg_version = NBPG_VERSION_CURRENT;
NBPG_EXPORT const char __nbpg_name[] = "Frame counter";
NBPG_EXPORT const char __nbpg_author[] = "The Nimbrel developers";
NBPG_EXPORT const char __nbpg_description[] =
    "Example plug-in: counts the frames of every identifier";

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
    snprintf(text, sizeof text, "Others: %lu", ct.others);
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

NBPG_EXPORT int nbpg_handler(pgrp *req)
{
    void *data = pgrp_get_data_ptr(req);
    uint64_t size = pgrp_get_data_size(req);

    switch (pgrp_get_type(req)) {
    case PGRP_INIT:
        memset(&ct, 0, sizeof ct);
        pgrp_set_result_ptr(req, build_page());
        ct.timer = g_timeout_add(500, refresh, NULL);
        break;
    case PGRP_RELEASE:
        /* The host destroys the page after this; stop touching it. */
        if (ct.timer)
            g_source_remove(ct.timer);
        ct.timer = 0;
        break;
    case PGRP_RX_FRAMES: {
        const zk_frame *frames = (const zk_frame *)data;
        for (uint64_t i = 0; i < size / sizeof(zk_frame); i++)
            count_frame(&frames[i]);
        break;
    }
    case PGRP_TX_FRAMES: {
        const nb_tx_entry *sent = (const nb_tx_entry *)data;
        if (ct.count_sent)
            for (uint64_t i = 0; i < size / sizeof(nb_tx_entry); i++)
                count_frame(&sent[i].frame);
        break;
    }
    case PGRP_SESSION_SAVE:
        nbpg_save_key(data, "CountSent", ct.count_sent ? "1" : "0");
        break;
    case PGRP_SESSION_LOAD_KEY: {
        const pgrp_session_key *key = (const pgrp_session_key *)data;
        int32_t value = 0;
        if (strcmp(key->name, "CountSent") == 0 && nbpg_keyval_get_int(key->value, &value) == 0)
            gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(ct.sent_check), value != 0);
        break;
    }
    default:
        /* Other requests, and types a later host may add, need nothing. */
        break;
    }
    return 0;
}

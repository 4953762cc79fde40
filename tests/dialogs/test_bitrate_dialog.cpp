// "Set bit rate" and "Autobaud" dialogs on a simulated board.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <memory>
#include <string>
#include <vector>

#include "app/nb_app.h"
#include "dialog_fixture.h"
#include "zelk_sim.h"

using nbtest::DialogDriver;
using nbtest::text_of;
using nbtest::widget;

// Opened from the bit-rate dialog; called directly here.
void autobaud_dialog(nb_app *app);

namespace {

class BitRateDialog : public nbtest::DialogFixture {};

bool sensitive(GtkWidget *w) { return w && gtk_widget_get_sensitive(w); }

TEST_F(BitRateDialog, PredefinedRateShowsItsRegistersReadOnly_CancelChangesNothing)
{
    ASSERT_GE(the_app.chan.ops.set_baud(&the_app.chan, 5, 0x12, 0x34), 0);
    DialogDriver driver;
    driver.then([](GtkDialog *d) {
        EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(d)), "Set bit rate");
        // Fixed forms: a window manager adds no resize strip below them.
        EXPECT_FALSE(gtk_window_get_resizable(GTK_WINDOW(d)));
        GtkWidget *combo = widget(d, "bitrate-combo");
        EXPECT_EQ(gtk_combo_box_get_active(GTK_COMBO_BOX(combo)), 5);
        EXPECT_EQ(text_of(widget(d, "bt0-spin")), "0x03");
        EXPECT_EQ(text_of(widget(d, "bt1-spin")), "0x1C");
        EXPECT_FALSE(sensitive(widget(d, "bt0-spin")));
        EXPECT_FALSE(sensitive(widget(d, "bt1-spin")));
        EXPECT_FALSE(sensitive(widget(d, "bt0-label")));
        EXPECT_FALSE(sensitive(widget(d, "bt1-label")));
        // Another predefined rate shows its own pair; still read-only.
        gtk_combo_box_set_active(GTK_COMBO_BOX(combo), 8);
        EXPECT_EQ(text_of(widget(d, "bt0-spin")), "0x00");
        EXPECT_EQ(text_of(widget(d, "bt1-spin")), "0x16");
        EXPECT_FALSE(sensitive(widget(d, "bt0-spin")));
        nbtest::dialog_respond(d, GTK_RESPONSE_CANCEL);
        return true;
    });
    bit_rate_dialog(nullptr, &the_app);
    EXPECT_TRUE(driver.done());
    EXPECT_TRUE(driver.unexpected().empty());
    EXPECT_EQ(the_app.chan.baud_index, 5);
    EXPECT_EQ(the_app.chan.bt0, 0x12);
    EXPECT_EQ(the_app.chan.bt1, 0x34);
    EXPECT_EQ(state_calls, 0);
}

TEST_F(BitRateDialog, ManualSetKeepsShownValuesEditableAndOkAppliesThem)
{
    ASSERT_GE(the_app.chan.ops.set_baud(&the_app.chan, 5, 0, 0), 0);
    DialogDriver driver;
    driver.then([](GtkDialog *d) {
        gtk_combo_box_set_active(GTK_COMBO_BOX(widget(d, "bitrate-combo")), 0);
        EXPECT_EQ(text_of(widget(d, "bt0-spin")), "0x03");
        EXPECT_EQ(text_of(widget(d, "bt1-spin")), "0x1C");
        EXPECT_TRUE(sensitive(widget(d, "bt0-spin")));
        EXPECT_TRUE(sensitive(widget(d, "bt1-spin")));
        EXPECT_TRUE(sensitive(widget(d, "bt0-label")));
        EXPECT_TRUE(sensitive(widget(d, "bt1-label")));
        nbtest::dialog_respond(d, GTK_RESPONSE_OK);
        return true;
    });
    bit_rate_dialog(nullptr, &the_app);
    EXPECT_TRUE(driver.unexpected().empty());
    EXPECT_EQ(the_app.chan.baud_index, 0);
    EXPECT_EQ(the_app.chan.bt0, 0x03);
    EXPECT_EQ(the_app.chan.bt1, 0x1C);
    EXPECT_EQ(state_calls, 1);
    EXPECT_EQ(last_autosave, 1);
}

TEST_F(BitRateDialog, TypedManualRegistersApplyWithoutEnter)
{
    DialogDriver driver;
    driver.then([](GtkDialog *d) {
        gtk_combo_box_set_active(GTK_COMBO_BOX(widget(d, "bitrate-combo")), 0);
        // Typed but not yet taken by the spin buttons: OK still uses them.
        gtk_entry_set_text(GTK_ENTRY(widget(d, "bt0-spin")), "4f");
        gtk_entry_set_text(GTK_ENTRY(widget(d, "bt1-spin")), "0x2E");
        nbtest::dialog_respond(d, GTK_RESPONSE_OK);
        return true;
    });
    bit_rate_dialog(nullptr, &the_app);
    EXPECT_EQ(the_app.chan.baud_index, 0);
    EXPECT_EQ(the_app.chan.bt0, 0x4F);
    EXPECT_EQ(the_app.chan.bt1, 0x2E);
    EXPECT_EQ(state_calls, 1);

    // The recorded manual pair is what the dialog shows next time, and
    // text that is no register value falls back to it.
    driver.then([](GtkDialog *d) {
        EXPECT_EQ(text_of(widget(d, "bt0-spin")), "0x4F");
        EXPECT_TRUE(sensitive(widget(d, "bt0-spin")));
        gtk_entry_set_text(GTK_ENTRY(widget(d, "bt0-spin")), "0x1FF");
        gtk_entry_set_text(GTK_ENTRY(widget(d, "bt1-spin")), "12");
        nbtest::dialog_respond(d, GTK_RESPONSE_OK);
        return true;
    });
    bit_rate_dialog(nullptr, &the_app);
    EXPECT_EQ(the_app.chan.bt0, 0x4F);
    EXPECT_EQ(the_app.chan.bt1, 12);
    EXPECT_EQ(state_calls, 2);
}

TEST_F(BitRateDialog, CancelAfterChangingRateWritesNothing)
{
    DialogDriver driver;
    driver.then([](GtkDialog *d) {
        gtk_combo_box_set_active(GTK_COMBO_BOX(widget(d, "bitrate-combo")), 0);
        gtk_entry_set_text(GTK_ENTRY(widget(d, "bt0-spin")), "0x11");
        gtk_combo_box_set_active(GTK_COMBO_BOX(widget(d, "bitrate-combo")), 9);
        nbtest::dialog_respond(d, GTK_RESPONSE_CANCEL);
        return true;
    });
    bit_rate_dialog(nullptr, &the_app);
    EXPECT_EQ(the_app.chan.baud_index, 7);
    EXPECT_EQ(state_calls, 0);

    // Closing from the window frame is a cancel too.
    driver.then([](GtkDialog *d) {
        gtk_combo_box_set_active(GTK_COMBO_BOX(widget(d, "bitrate-combo")), 2);
        gtk_dialog_response(d, GTK_RESPONSE_DELETE_EVENT);
        return true;
    });
    bit_rate_dialog(nullptr, &the_app);
    EXPECT_EQ(the_app.chan.baud_index, 7);
    EXPECT_EQ(state_calls, 0);
}

TEST_F(BitRateDialog, FailingSetBaudShowsLibraryTextAndKeepsChannel)
{
    ASSERT_GE(the_app.chan.ops.set_baud(&the_app.chan, 0, 0x01, 0x2F), 0);
    char lib_text[512] = "";
    ZkStrError(ZK_E_NORATE, lib_text, sizeof lib_text);

    DialogDriver driver;
    driver.then([](GtkDialog *d) {
        gtk_combo_box_set_active(GTK_COMBO_BOX(widget(d, "bitrate-combo")), 6);
        zk_sim_fail_next("ZkSetBaud", ZK_E_NORATE);
        nbtest::dialog_respond(d, GTK_RESPONSE_OK);
        return true;
    });
    driver.respond(GTK_RESPONSE_OK);   // the error message
    bit_rate_dialog(nullptr, &the_app);

    ASSERT_EQ(driver.seen().size(), 2u);
    EXPECT_EQ(driver.seen()[1].type, GTK_MESSAGE_ERROR);
    EXPECT_EQ(driver.seen()[1].text, std::string("can't set bit rate: ") + lib_text);
    EXPECT_EQ(the_app.chan.baud_index, 0);
    EXPECT_EQ(the_app.chan.bt0, 0x01);
    EXPECT_EQ(the_app.chan.bt1, 0x2F);
    EXPECT_EQ(state_calls, 0);
}

// The data rate of a CAN FD channel, through a stand-in of the channel's
// set_data_rate (the adapter side is the library's own test).
uint32_t set_kbit;
uint16_t set_sp;
int data_calls;
int16_t data_result;
int32_t record_data_rate(nb_chan *chan, uint32_t kbit, uint16_t sp)
{
    data_calls++;
    set_kbit = kbit;
    set_sp = sp;
    if (data_result < 0)
        return data_result;
    chan->data_kbit = kbit;
    chan->data_sp = sp;
    return 0;
}

TEST_F(BitRateDialog, DataRateOnlyOnACanFdChannel)
{
    the_app.chan.ops.set_data_rate = record_data_rate;
    data_calls = 0;
    data_result = 0;
    DialogDriver driver;
    driver.then([](GtkDialog *d) {
        for (const char *name : {"data-rate-combo", "data-kbit-spin", "data-sp-spin"})
            EXPECT_FALSE(sensitive(widget(d, name))) << name;
        // The longest label ends before its spin box begins.
        GtkWidget *spin = widget(d, "data-sp-spin");
        GList *kids = gtk_container_get_children(GTK_CONTAINER(gtk_widget_get_parent(spin)));
        for (GList *k = kids; k; k = k->next) {
            if (!GTK_IS_LABEL(k->data) ||
                !g_str_has_prefix(gtk_label_get_text(GTK_LABEL(k->data)), "data sample point"))
                continue;
            GtkAllocation la, sa;
            GtkRequisition lr;
            gtk_widget_get_allocation(GTK_WIDGET(k->data), &la);
            gtk_widget_get_allocation(spin, &sa);
            gtk_widget_size_request(GTK_WIDGET(k->data), &lr);
            EXPECT_LT(la.x + lr.width, sa.x);
        }
        g_list_free(kids);
        nbtest::dialog_respond(d, GTK_RESPONSE_OK);
        return true;
    });
    bit_rate_dialog(nullptr, &the_app);
    EXPECT_EQ(data_calls, 0);

    // CAN FD at 2 Mbit/s: a predefined rate, its entries read-only; the
    // manual entry takes a typed rate and sample point.
    the_app.chan.fd = NB_FD_ISO;
    the_app.chan.data_kbit = 2000;
    driver.then([](GtkDialog *d) {
        GtkWidget *combo = widget(d, "data-rate-combo");
        EXPECT_TRUE(sensitive(combo));
        EXPECT_EQ(nbtest::text_of(widget(d, "data-kbit-spin")), "2000");
        EXPECT_FALSE(sensitive(widget(d, "data-kbit-spin")));
        gtk_combo_box_set_active(GTK_COMBO_BOX(combo), data_rate_count());
        EXPECT_TRUE(sensitive(widget(d, "data-kbit-spin")));
        EXPECT_TRUE(sensitive(widget(d, "data-sp-spin")));
        gtk_entry_set_text(GTK_ENTRY(widget(d, "data-kbit-spin")), "2500");
        gtk_entry_set_text(GTK_ENTRY(widget(d, "data-sp-spin")), "800");
        nbtest::dialog_respond(d, GTK_RESPONSE_OK);
        return true;
    });
    bit_rate_dialog(nullptr, &the_app);
    EXPECT_EQ(data_calls, 1);
    EXPECT_EQ(set_kbit, 2500u);
    EXPECT_EQ(set_sp, 800);
    EXPECT_EQ(state_calls, 2);

    // A manual rate shows as such next time; one the adapter refuses is
    // reported and the channel keeps its rate.
    data_result = ZK_E_NORATE;
    char lib_text[512] = "";
    ZkStrError(ZK_E_NORATE, lib_text, sizeof lib_text);
    driver.then([](GtkDialog *d) {
        GtkWidget *combo = widget(d, "data-rate-combo");
        EXPECT_EQ(gtk_combo_box_get_active(GTK_COMBO_BOX(combo)), data_rate_count());
        gtk_combo_box_set_active(GTK_COMBO_BOX(combo), data_rate_count() - 1);
        EXPECT_EQ(nbtest::text_of(widget(d, "data-sp-spin")), "0");
        nbtest::dialog_respond(d, GTK_RESPONSE_OK);
        return true;
    });
    driver.respond(GTK_RESPONSE_OK);
    bit_rate_dialog(nullptr, &the_app);
    ASSERT_EQ(driver.seen().size(), 4u);
    EXPECT_EQ(driver.seen()[3].text, std::string("can't set data rate: ") + lib_text);
    EXPECT_EQ(set_kbit, data_rate_kbit(data_rate_count() - 1));
    EXPECT_EQ(the_app.chan.data_kbit, 2500u);
    EXPECT_EQ(state_calls, 3);   /* the bit rate was set */
    the_app.chan.fd = NB_FD_OFF;
}

TEST_F(BitRateDialog, AutobaudButtonOpensDetectionWithoutApplying)
{
    DialogDriver driver;
    driver.then([](GtkDialog *d) {
        gtk_combo_box_set_active(GTK_COMBO_BOX(widget(d, "bitrate-combo")), 3);
        nbtest::dialog_respond(d, GTK_RESPONSE_APPLY);
        return true;
    });
    driver.then([](GtkDialog *d) {
        EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(d)), "Autobaud");
        // The bit-rate dialog is gone by now.
        EXPECT_EQ(nbtest::find_toplevel("Set bit rate"), nullptr);
        EXPECT_EQ(text_of(widget(d, "autobaud-status")), std::string(23, ' '));
        nbtest::dialog_respond(d, GTK_RESPONSE_OK);
        return true;
    });
    bit_rate_dialog(nullptr, &the_app);
    EXPECT_TRUE(driver.done());
    EXPECT_TRUE(driver.unexpected().empty());
    EXPECT_EQ(the_app.chan.baud_index, 7);
    // Close without a try still notifies and saves.
    EXPECT_EQ(state_calls, 1);
    EXPECT_EQ(last_autosave, 1);
}

// ---------------------------------------------------------------- autobaud

class Autobaud : public nbtest::DialogFixture {
protected:
    const char *boards() const override { return "0=sim:channels=2,rate=250,traffic=default"; }

    void SetUp() override
    {
        DialogFixture::SetUp();
        events.clear();
        real_stop = the_app.poll.ops.stop;
        real_start = the_app.poll.ops.start;
        real_autobaud = the_app.chan.ops.autobaud;
        the_app.poll.ops.stop = [](nb_app *app) {
            events.push_back("stop");
            real_stop(app);
        };
        the_app.poll.ops.start = [](nb_app *app) {
            events.push_back("start");
            real_start(app);
        };
        the_app.chan.ops.autobaud = [](nb_chan *chan, int32_t method, int32_t timeout_ms,
                                       nb_autobaud_cb progress, void *pdata, nb_autobaud_cb tick,
                                       void *tdata) {
            events.push_back(the_app.poll.stopped ? "search, poller stopped"
                                                  : "search, poller running");
            last_method = method;
            last_timeout = timeout_ms;
            if (fake_result != 0) {
                search_done = false;
                int32_t r = fake(progress, pdata, tick, tdata);
                search_done = true;
                return r;
            }
            return real_autobaud(chan, method, timeout_ms, progress, pdata, tick, tdata);
        };
        fake_result = 0;
        close_in_search = false;
        search_done = true;
        // The poller runs while a pass is live.
        real_start(&the_app);
    }

    // A search that finds nothing, quickly: reports each rate and ticks.
    static int32_t fake(nb_autobaud_cb progress, void *pdata, nb_autobaud_cb tick, void *tdata)
    {
        for (int32_t i = 9; i >= 1; i--) {
            progress(pdata, i);
            GtkWidget *spinner = nbtest::find_by_name(nbtest::find_toplevel("Autobaud"),
                                                      "autobaud-spinner");
            spinner_shown_in_search = spinner && gtk_widget_get_visible(spinner);
            progress_texts.push_back(text_of(nbtest::find_by_name(
                nbtest::find_toplevel("Autobaud"), "autobaud-status")));
            if (close_in_search && i == 5) {
                close_in_search = false;
                gtk_dialog_response(GTK_DIALOG(nbtest::find_toplevel("Autobaud")),
                                    GTK_RESPONSE_DELETE_EVENT);
            }
            for (int k = 0; k < 3; k++)
                tick(tdata, i);
        }
        return fake_result;
    }

    static std::vector<std::string> events;
    static std::vector<std::string> progress_texts;
    static void (*real_stop)(nb_app *);
    static void (*real_start)(nb_app *);
    static int32_t (*real_autobaud)(nb_chan *, int32_t, int32_t, nb_autobaud_cb, void *,
                                    nb_autobaud_cb, void *);
    static int32_t fake_result;   // 0: the real search
    static int32_t last_method;
    static int32_t last_timeout;
    static bool close_in_search;  // the fake closes the window midway
    static bool search_done;
    static bool spinner_shown_in_search;
};

std::vector<std::string> Autobaud::events;
std::vector<std::string> Autobaud::progress_texts;
void (*Autobaud::real_stop)(nb_app *);
void (*Autobaud::real_start)(nb_app *);
int32_t (*Autobaud::real_autobaud)(nb_chan *, int32_t, int32_t, nb_autobaud_cb, void *,
                                   nb_autobaud_cb, void *);
int32_t Autobaud::fake_result;
int32_t Autobaud::last_method;
int32_t Autobaud::last_timeout;
bool Autobaud::close_in_search;
bool Autobaud::search_done;
bool Autobaud::spinner_shown_in_search;

TEST_F(Autobaud, KeepsItsWidthAndShowsTheSpinnerOnlyWhileSearching)
{
    fake_result = 9;   // the widest result text
    struct Seen { int width = 0; bool spinner = true; } idle, after;
    auto look = [](GtkDialog *d, Seen *s) {
        nbtest::pump();
        GtkRequisition req;
        gtk_widget_size_request(GTK_WIDGET(d), &req);
        s->width = req.width;
        s->spinner = gtk_widget_get_visible(widget(d, "autobaud-spinner"));
        EXPECT_FALSE(gtk_window_get_resizable(GTK_WINDOW(d)));
    };
    DialogDriver driver;
    driver.then([&](GtkDialog *d) {
        if (idle.width == 0) {
            look(d, &idle);
            nbtest::dialog_respond(d, GTK_RESPONSE_APPLY);
            return false;
        }
        if (text_of(widget(d, "autobaud-status")).find("autodetected") == std::string::npos)
            return false;
        look(d, &after);
        nbtest::dialog_respond(d, GTK_RESPONSE_OK);
        return true;
    });
    autobaud_dialog(&the_app);
    EXPECT_TRUE(driver.done());
    EXPECT_FALSE(idle.spinner);
    EXPECT_TRUE(spinner_shown_in_search);
    EXPECT_FALSE(after.spinner);
    EXPECT_EQ(after.width, idle.width);
}

// Clicks "Try ..." once (after prepare), then waits for the search to end
// and hands the final status text to finish, which closes the dialog.
DialogDriver::Action try_once(std::function<void(GtkDialog *)> prepare, std::string *result)
{
    auto tried = std::make_shared<bool>(false);
    auto expired = nbtest::deadline_after(60000);
    return [=](GtkDialog *d) {
        if (expired()) {
            ADD_FAILURE() << "no autobaud result";
            nbtest::dialog_respond(d, GTK_RESPONSE_OK);
            return true;
        }
        if (!*tried) {
            *tried = true;
            prepare(d);
            nbtest::dialog_respond(d, GTK_RESPONSE_APPLY);
            return false;
        }
        std::string s = text_of(widget(d, "autobaud-status"));
        if (s.find("autodetected") == std::string::npos)
            return false;
        *result = s;
        nbtest::dialog_respond(d, GTK_RESPONSE_OK);
        return true;
    };
}

TEST_F(Autobaud, FindsBusRateWithPollerStoppedAroundTheSearch)
{
    // The channel runs at 500 kbit/s, the bus at 250.
    ASSERT_EQ(the_app.chan.baud_index, 7);
    std::string result;
    DialogDriver driver;
    driver.then(try_once([](GtkDialog *d) {
        // Listen-only from the start: a search must not disturb the bus.
        EXPECT_EQ(gtk_combo_box_get_active(GTK_COMBO_BOX(widget(d, "autobaud-method"))), 0);
        nbtest::type_into(widget(d, "autobaud-timeout"), "500");
    }, &result));
    autobaud_dialog(&the_app);

    EXPECT_TRUE(driver.done());
    EXPECT_TRUE(driver.unexpected().empty());
    EXPECT_EQ(result, std::string(the_app.chan.ops.baud_name(6)) + " baud autodetected!   ");
    EXPECT_EQ(the_app.chan.baud_index, 6);
    EXPECT_EQ(the_app.chan.bt0, 0);
    EXPECT_EQ(the_app.chan.bt1, 0);
    EXPECT_EQ(last_method, 0);
    EXPECT_EQ(last_timeout, 500);
    EXPECT_EQ(events, (std::vector<std::string>{"stop", "search, poller stopped", "start"}));
    // The poller runs again.
    EXPECT_EQ(the_app.poll.stopped, 0);
    EXPECT_NE(g_main_context_find_source_by_id(nullptr, the_app.poll.poll_source), nullptr);
    EXPECT_NE(g_main_context_find_source_by_id(nullptr, the_app.poll.status_source), nullptr);
    EXPECT_EQ(state_calls, 1);
    EXPECT_EQ(last_autosave, 1);
}

// On a CAN FD channel of a bus at 250 kbit/s and 5 Mbit/s with classic and
// FD traffic, the real search finds both rates and says so.
TEST_F(Autobaud, CanFdChannelFindsBothRates)
{
    the_app.chan.ops.close(&the_app.chan);
    the_app.chan.fd = NB_FD_ISO;
    the_app.chan.ops.open(&the_app.chan);
    ASSERT_GE(zk_sim_set_bus(0, 0, "mixed"), 0);
    ASSERT_GE(zk_sim_set_data_rate(0, 5000), 0);
    std::string result;
    DialogDriver driver;
    driver.then(try_once([](GtkDialog *d) {
        nbtest::type_into(widget(d, "autobaud-timeout"), "500");
    }, &result));
    autobaud_dialog(&the_app);
    EXPECT_EQ(result, std::string(the_app.chan.ops.baud_name(6)) +
                          " baud autodetected!   \ndata rate 5 Mbit/s autodetected!");
    EXPECT_EQ(the_app.chan.baud_index, 6);
    EXPECT_EQ(the_app.chan.data_kbit, 5000u);
    the_app.chan.fd = NB_FD_OFF;
}

TEST_F(Autobaud, NothingFoundShowsProgressAndFailureText_RefusesShortTimeout)
{
    fake_result = -1;
    progress_texts.clear();
    std::string result;
    DialogDriver driver;
    driver.then(try_once([](GtkDialog *d) {
        // Below the range: discarded, the wait stays 1000 ms.
        nbtest::type_into(widget(d, "autobaud-timeout"), "200");
        EXPECT_EQ(gtk_spin_button_get_value_as_int(
                      GTK_SPIN_BUTTON(widget(d, "autobaud-timeout"))), 1000);
        gtk_combo_box_set_active(GTK_COMBO_BOX(widget(d, "autobaud-method")), 1);
    }, &result));
    autobaud_dialog(&the_app);

    EXPECT_EQ(result, "No baud autodetected.   ");
    EXPECT_EQ(last_timeout, 1000);
    EXPECT_EQ(last_method, 1);
    ASSERT_EQ(progress_texts.size(), 9u);
    EXPECT_EQ(progress_texts[0], std::string("Checking   ") + the_app.chan.ops.baud_name(9) + "   ");
    EXPECT_EQ(progress_texts[8], std::string("Checking   ") + the_app.chan.ops.baud_name(1) + "   ");
    EXPECT_EQ(events, (std::vector<std::string>{"stop", "search, poller stopped", "start"}));
    EXPECT_EQ(the_app.poll.stopped, 0);
    EXPECT_EQ(state_calls, 1);
}

TEST_F(Autobaud, TriesAgainAndCloseDuringSearchIsKept)
{
    fake_result = -1;
    // Second try: the window is closed while the search runs.
    DialogDriver driver;
    auto step = std::make_shared<int>(0);
    auto reran = std::make_shared<bool>(false);
    auto expired = nbtest::deadline_after(30000);
    driver.then([step, reran, expired](GtkDialog *d) {
        if (expired()) {
            ADD_FAILURE() << "stuck at step " << *step;
            nbtest::dialog_respond(d, GTK_RESPONSE_OK);
            return true;
        }
        switch (*step) {
        case 0:
            *step = 1;
            nbtest::dialog_respond(d, GTK_RESPONSE_APPLY);
            return false;
        case 1:
            if (text_of(widget(d, "autobaud-status")).find("autodetected") == std::string::npos)
                return false;
            *step = 2;
            close_in_search = true;
            nbtest::dialog_respond(d, GTK_RESPONSE_APPLY);
            return false;
        default:
            if (!search_done)
                return false;
            // Only reached if the dialog ran again after the close.
            *reran = true;
            nbtest::dialog_respond(d, GTK_RESPONSE_OK);
            return true;
        }
    });
    autobaud_dialog(&the_app);
    EXPECT_FALSE(*reran);
    EXPECT_EQ(*step, 2);
    EXPECT_EQ(events, (std::vector<std::string>{"stop", "search, poller stopped", "start", "stop",
                                                "search, poller stopped", "start"}));
    EXPECT_EQ(nbtest::find_toplevel("Autobaud"), nullptr);
    EXPECT_EQ(state_calls, 1);
}

}  // namespace

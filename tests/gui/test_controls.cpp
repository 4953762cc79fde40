// Channel controls and error indicators: start/stop, listen-only and reset
// with their messages and notifications, and the indicators' lighting.
#include "gui_fixture.h"

using namespace nbtest;

namespace {

class GuiControls : public GuiTest {
protected:
    void SetUp() override
    {
        GuiTest::SetUp();
        open_window();
        state_changes().clear();
    }

    GtkToggleButton *startstop() { return GTK_TOGGLE_BUTTON(the_app.gui.btn_startstop); }
    GtkToggleButton *lom() { return GTK_TOGGLE_BUTTON(the_app.gui.btn_lom); }
    std::string label(GtkWidget *b) { return gtk_button_get_label(GTK_BUTTON(b)); }
    GtkWidget *indicator(const char *name) { return find_by_name(nb_mainwin, name); }

    void expect_look(bool running)
    {
        EXPECT_EQ(label(the_app.gui.btn_startstop), running ? "Stop" : "Start");
        EXPECT_EQ(gtk_toggle_button_get_active(startstop()), running ? TRUE : FALSE);
        EXPECT_EQ(gtk_widget_get_sensitive(the_app.gui.btn_lom), running ? FALSE : TRUE);
        EXPECT_EQ(gtk_widget_get_sensitive(the_app.gui.mi_save_session), running ? FALSE : TRUE);
    }
};

const char *const k_indicators[] = {"ind_ewl", "ind_boff", "ind_hovr", "ind_sovr", "ind_wtout"};

}  // namespace

TEST_F(GuiControls, StartAndStopByClick)
{
    expect_look(false);
    EXPECT_TRUE(gtk_toggle_button_get_mode(startstop())) << "draw-indicator mode";

    gtk_button_clicked(GTK_BUTTON(startstop()));
    EXPECT_EQ(the_app.chan.running, 1);
    expect_look(true);
    EXPECT_EQ(state_changes(), (std::vector<int>{1}));

    gtk_button_clicked(GTK_BUTTON(startstop()));
    EXPECT_EQ(the_app.chan.running, 0);
    expect_look(false);
    EXPECT_EQ(state_changes(), (std::vector<int>{1, 1}));
}

TEST_F(GuiControls, FailedStartAndStopKeepTheLookButStillNotify)
{
    DialogDriver driver;
    driver.respond(GTK_RESPONSE_OK);
    zk_sim_fail_next("ZkStart", ZK_E_IO);
    gtk_button_clicked(GTK_BUTTON(startstop()));
    EXPECT_TRUE(driver.done());
    ASSERT_EQ(driver.seen().size(), 1u);
    EXPECT_EQ(driver.seen()[0].type, GTK_MESSAGE_ERROR);
    EXPECT_EQ(driver.seen()[0].text.rfind("can not start CAN controller: ", 0), 0u)
        << driver.seen()[0].text;
    EXPECT_EQ(the_app.chan.running, 0);
    expect_look(false);   // the click's own toggle is undone too
    EXPECT_EQ(state_changes(), (std::vector<int>{1}));

    gtk_button_clicked(GTK_BUTTON(startstop()));
    ASSERT_EQ(the_app.chan.running, 1);
    driver.respond(GTK_RESPONSE_OK);
    zk_sim_fail_next("ZkStop", ZK_E_IO);
    gtk_button_clicked(GTK_BUTTON(startstop()));
    EXPECT_TRUE(driver.done());
    ASSERT_EQ(driver.seen().size(), 2u);
    EXPECT_EQ(driver.seen()[1].text.rfind("can not stop CAN controller: ", 0), 0u)
        << driver.seen()[1].text;
    EXPECT_EQ(the_app.chan.running, 1);
    expect_look(true);
    EXPECT_EQ(state_changes(), (std::vector<int>{1, 1, 1}));
    EXPECT_TRUE(driver.unexpected().empty());
}

// The operations change the toggle from code: that is no click, so no
// notification and no second start or stop.
TEST_F(GuiControls, OperationsDoNotCountAsClicks)
{
    the_app.gui.ops.start_controller(&the_app);
    EXPECT_EQ(the_app.chan.running, 1);
    expect_look(true);
    the_app.gui.ops.stop_controller(&the_app);
    EXPECT_EQ(the_app.chan.running, 0);
    expect_look(false);
    EXPECT_TRUE(state_changes().empty());
}

// A stop the host made itself (bus-off) is only shown: the controls take
// the stopped look, or the failure is told, and the channel is not touched.
TEST_F(GuiControls, StopMadeByTheHostIsOnlyShown)
{
    the_app.gui.ops.start_controller(&the_app);
    DialogDriver driver;
    driver.respond(GTK_RESPONSE_OK);
    the_app.gui.ops.controller_stopped(&the_app, ZK_E_IO);
    ASSERT_EQ(driver.seen().size(), 1u);
    EXPECT_EQ(driver.seen()[0].text.rfind("can not stop CAN controller: ", 0), 0u);
    expect_look(true);
    the_app.gui.ops.controller_stopped(&the_app, 0);
    expect_look(false);
    EXPECT_EQ(the_app.chan.running, 1) << "the GUI does not stop the controller";
    EXPECT_TRUE(state_changes().empty());
    EXPECT_TRUE(driver.unexpected().empty());
}

TEST_F(GuiControls, ListenOnlyByClick)
{
    EXPECT_EQ(label(the_app.gui.btn_lom), "Set LOM");
    gtk_button_clicked(GTK_BUTTON(lom()));
    EXPECT_EQ(the_app.chan.lom, 1);
    EXPECT_EQ(label(the_app.gui.btn_lom), "Clear LOM");
    EXPECT_TRUE(gtk_toggle_button_get_active(lom()));
    EXPECT_EQ(state_changes(), (std::vector<int>{0}));

    gtk_button_clicked(GTK_BUTTON(lom()));
    EXPECT_EQ(the_app.chan.lom, 0);
    EXPECT_EQ(label(the_app.gui.btn_lom), "Set LOM");
    EXPECT_FALSE(gtk_toggle_button_get_active(lom()));
    EXPECT_EQ(state_changes(), (std::vector<int>{0, 0}));
}

TEST_F(GuiControls, FailedListenOnlySwitchShowsWhyAndDoesNotNotify)
{
    DialogDriver driver;
    driver.respond(GTK_RESPONSE_OK);
    zk_sim_fail_next("ZkSetLom", ZK_E_IO);
    gtk_button_clicked(GTK_BUTTON(lom()));
    ASSERT_EQ(driver.seen().size(), 1u);
    EXPECT_EQ(driver.seen()[0].text.rfind("can not switch CAN controller to Listen Only Mode: ", 0),
              0u)
        << driver.seen()[0].text;
    EXPECT_EQ(the_app.chan.lom, 0);
    EXPECT_EQ(label(the_app.gui.btn_lom), "Set LOM");
    EXPECT_FALSE(gtk_toggle_button_get_active(lom()));
    EXPECT_TRUE(state_changes().empty());

    gtk_button_clicked(GTK_BUTTON(lom()));
    ASSERT_EQ(the_app.chan.lom, 1);
    state_changes().clear();
    driver.respond(GTK_RESPONSE_OK);
    zk_sim_fail_next("ZkSetLom", ZK_E_IO);
    gtk_button_clicked(GTK_BUTTON(lom()));
    ASSERT_EQ(driver.seen().size(), 2u);
    EXPECT_EQ(
        driver.seen()[1].text.rfind("can not switch CAN controller from Listen Only Mode: ", 0),
        0u)
        << driver.seen()[1].text;
    EXPECT_EQ(the_app.chan.lom, 1);
    EXPECT_EQ(label(the_app.gui.btn_lom), "Clear LOM");
    EXPECT_TRUE(gtk_toggle_button_get_active(lom()));
    EXPECT_TRUE(state_changes().empty());
    EXPECT_TRUE(driver.unexpected().empty());
}

TEST_F(GuiControls, IndicatorsLightUntilReset)
{
    for (const char *name : k_indicators)
        EXPECT_FALSE(gtk_widget_get_sensitive(indicator(name))) << name;

    zk_errs errs = {0, 0, 0, 0, 0};
    errs.ewl = 1;
    errs.sovr = 3;
    the_app.gui.ops.update_error_indicators(&errs);
    EXPECT_TRUE(gtk_widget_get_sensitive(indicator("ind_ewl")));
    EXPECT_TRUE(gtk_widget_get_sensitive(indicator("ind_sovr")));
    EXPECT_FALSE(gtk_widget_get_sensitive(indicator("ind_boff")));
    EXPECT_FALSE(gtk_widget_get_sensitive(indicator("ind_hovr")));
    EXPECT_FALSE(gtk_widget_get_sensitive(indicator("ind_wtout")));

    // Zero counters never darken an indicator.
    zk_errs none = {0, 0, 0, 0, 0};
    the_app.gui.ops.update_error_indicators(&none);
    EXPECT_TRUE(gtk_widget_get_sensitive(indicator("ind_ewl")));

    zk_errs rest = {0, 2, 1, 0, 5};
    the_app.gui.ops.update_error_indicators(&rest);
    for (const char *name : k_indicators)
        EXPECT_TRUE(gtk_widget_get_sensitive(indicator(name))) << name;

    // Answering No still darkens them all and notifies, without a reset.
    DialogDriver driver;
    driver.then([](GtkDialog *d) {
        EXPECT_EQ(message_text(GTK_WIDGET(d)),
                  "Are you sure you want to hardware reset CAN controller?");
        EXPECT_EQ(gtk_window_get_transient_for(GTK_WINDOW(d)), GTK_WINDOW(nb_mainwin));
        dialog_respond(d, GTK_RESPONSE_NO);
        return true;
    });
    zk_sim_fail_next("ZkHwReset", ZK_E_IO);   // would show a message if called
    gtk_button_clicked(GTK_BUTTON(the_app.gui.btn_reset));
    for (const char *name : k_indicators)
        EXPECT_FALSE(gtk_widget_get_sensitive(indicator(name))) << name;
    EXPECT_EQ(state_changes(), (std::vector<int>{0}));
    EXPECT_EQ(driver.seen().size(), 1u);
    zk_sim_clear_failures();
}

// Lit and dark differ in shape (and say so in the tooltip); Clear darkens
// them without a question, a reset or a notification.
TEST_F(GuiControls, ClearDarkensWithoutResetAndLitLooksUnlikeDark)
{
    auto stock = [this](const char *name) {
        gchar *id = nullptr;
        gtk_image_get_stock(GTK_IMAGE(indicator(name)), &id, nullptr);
        return std::string(id ? id : "");
    };
    auto tip = [this](const char *name) {
        gchar *t = gtk_widget_get_tooltip_text(indicator(name));
        std::string out = t ? t : "";
        g_free(t);
        return out;
    };
    zk_errs errs = {0, 0, 0, 0, 0};
    errs.boff = 1;
    the_app.gui.ops.update_error_indicators(&errs);
    EXPECT_NE(stock("ind_boff"), stock("ind_ewl"));
    EXPECT_EQ(tip("ind_boff"), "BOFF: seen (Clear or Reset darkens the indicators)");
    EXPECT_EQ(tip("ind_ewl"), "EWL: not seen");

    DialogDriver driver;
    zk_sim_fail_next("ZkHwReset", ZK_E_IO);   // would show a message if called
    gtk_button_clicked(GTK_BUTTON(find_by_name(nb_mainwin, "btn_clear_errors")));
    for (const char *name : k_indicators) {
        EXPECT_FALSE(gtk_widget_get_sensitive(indicator(name))) << name;
        EXPECT_EQ(stock(name), stock("ind_ewl")) << name;
    }
    EXPECT_TRUE(state_changes().empty());
    EXPECT_TRUE(driver.seen().empty());
    zk_sim_clear_failures();
}

TEST_F(GuiControls, ResetYesWhileRunningKeepsStartStop)
{
    gtk_button_clicked(GTK_BUTTON(startstop()));
    ASSERT_EQ(the_app.chan.running, 1);
    EXPECT_TRUE(gtk_widget_get_sensitive(the_app.gui.btn_reset));
    state_changes().clear();
    zk_errs errs = {1, 1, 1, 1, 1};
    the_app.gui.ops.update_error_indicators(&errs);

    DialogDriver driver;
    driver.respond(GTK_RESPONSE_YES);
    gtk_button_clicked(GTK_BUTTON(the_app.gui.btn_reset));
    EXPECT_TRUE(driver.done());
    EXPECT_EQ(driver.seen().size(), 1u) << "no error message after a good reset";
    EXPECT_EQ(the_app.chan.running, 1);
    expect_look(true);
    for (const char *name : k_indicators)
        EXPECT_FALSE(gtk_widget_get_sensitive(indicator(name))) << name;
    EXPECT_EQ(state_changes(), (std::vector<int>{0}));

    // A refused reset is reported; the indicators go dark all the same.
    the_app.gui.ops.update_error_indicators(&errs);
    driver.respond(GTK_RESPONSE_YES);
    driver.respond(GTK_RESPONSE_OK);
    zk_sim_fail_next("ZkHwReset", ZK_E_IO);
    gtk_button_clicked(GTK_BUTTON(the_app.gui.btn_reset));
    ASSERT_EQ(driver.seen().size(), 3u);
    EXPECT_EQ(driver.seen()[2].text.rfind("can not reset CAN controller: ", 0), 0u)
        << driver.seen()[2].text;
    for (const char *name : k_indicators)
        EXPECT_FALSE(gtk_widget_get_sensitive(indicator(name))) << name;
    EXPECT_EQ(state_changes(), (std::vector<int>{0, 0}));
    EXPECT_TRUE(driver.unexpected().empty());
}

// A new pass builds the controls from the recorded flags, without a click.
TEST_F(GuiControls, PanelBuiltFromRecordedState)
{
    gtk_widget_destroy(nb_mainwin);
    the_app.chan.running = 1;
    the_app.chan.lom = 1;
    the_app.gui.ops.build_main_window(&the_app);
    EXPECT_EQ(label(the_app.gui.btn_startstop), "Stop");
    EXPECT_TRUE(gtk_toggle_button_get_active(startstop()));
    EXPECT_EQ(label(the_app.gui.btn_lom), "Clear LOM");
    EXPECT_TRUE(gtk_toggle_button_get_active(lom()));
    // Building changes no sensitivity.
    EXPECT_TRUE(gtk_widget_get_sensitive(the_app.gui.mi_save_session));
    EXPECT_TRUE(state_changes().empty());
    the_app.chan.running = 0;
    the_app.chan.lom = 0;
}

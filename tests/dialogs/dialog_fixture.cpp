#include "dialog_fixture.h"

#include <stdlib.h>

#include <memory>

#include "zelk_sim.h"

namespace nbtest {

int DialogFixture::state_calls = 0;
int DialogFixture::last_autosave = -1;

namespace {

void no_refresh(nb_app *) {}

}  // namespace

void DialogFixture::SetUp()
{
    setenv("ZELK_BOARDS", boards(), 1);
    static bool initialised = false;
    if (!initialised) {
        ASSERT_GE(ZkInit(), 0);
        initialised = true;
    }
    zk_sim_reset();

    ASSERT_EQ(app_init(), 0);
    the_app.chan.number = 0;
    the_app.chan.frame_format = frame_format();
    // Exits the process when the channel cannot be opened.
    the_app.chan.ops.open(&the_app.chan);
    state_calls = 0;
    last_autosave = -1;
    the_app.ops.state_changed = [](nb_app *, int autosave) {
        state_calls++;
        last_autosave = autosave;
    };
    // No information panel is built in these tests.
    the_app.gui.ops.refresh_info_panel = no_refresh;
}

void DialogFixture::TearDown()
{
    the_app.poll.ops.stop(&the_app);
    the_app.chan.ops.close(&the_app.chan);
    txlog_free(the_app.chan.txlog);
    the_app.chan.txlog = nullptr;
    pump();
}

GtkWidget *widget(GtkDialog *dialog, const char *name)
{
    GtkWidget *w = find_by_name(GTK_WIDGET(dialog), name);
    EXPECT_NE(w, nullptr) << "no widget named " << name;
    return w;
}

std::string text_of(GtkWidget *w)
{
    if (!w)
        return std::string();
    if (GTK_IS_ENTRY(w))
        return gtk_entry_get_text(GTK_ENTRY(w));
    if (GTK_IS_LABEL(w))
        return gtk_label_get_text(GTK_LABEL(w));
    return std::string();
}

void type_into(GtkWidget *spin, const char *text)
{
    gtk_entry_set_text(GTK_ENTRY(spin), text);
    gtk_spin_button_update(GTK_SPIN_BUTTON(spin));
}

std::function<bool()> deadline_after(int ms)
{
    auto end = std::make_shared<gint64>(0);
    return [=]() {
        gint64 now = g_get_monotonic_time();
        if (*end == 0)
            *end = now + (gint64)ms * 1000;
        return now >= *end;
    };
}

}  // namespace nbtest

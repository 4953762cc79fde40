/*
 * Shared set-up of the session tests that run the host's code: the
 * application object initialised as at start-up, the recorder plug-ins
 * listed by the real plug-in manager, and the requests they report.
 */
#ifndef SES_FIXTURE_H
#define SES_FIXTURE_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/nb_app.h"

namespace sestest {

/* "<plug-in name>: <request>" for every request a recorder plug-in got. */
std::vector<std::string> &events();
/* The events of one plug-in, without its name. */
std::vector<std::string> events_of(const char *name);

std::string plugin_path(int variant);      /* path of ses_rec<variant>.so */
std::string hostile_path();

class HostTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    nb_app &app() { return the_app; }
    nb_plugin *entry(int variant);          /* listed entry, or null */
    void load(int variant);                 /* loads through the manager */
    std::string write_temp(const std::string &text, const char *name = "in.nbs");

    std::string dir_;                       /* fresh folder of this test */
    GtkWidget *notebook_ = nullptr;
};

}  // namespace sestest

#endif

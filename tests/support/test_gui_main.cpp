// Main of the GUI test binaries: GTK is initialised only when tests run
// (listing them must work without a display); without a display every
// test is skipped with exit code 77.
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <stdlib.h>
#include <string.h>

#include <cstdio>

#include "app/platform.h"
#include "test_env.h"

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    if (testing::GTEST_FLAG(list_tests))
        return RUN_ALL_TESTS();
    nbtest::isolate_environment();
    const char *display = getenv("DISPLAY");
    if (!display || !*display) {
        fprintf(stderr, "no DISPLAY: GUI tests skipped (run them under scripts/with-xvfb.sh)\n");
        return 77;
    }
    // Warnings and criticals of GLib and GTK abort the test.
    gtk_test_init(&argc, &argv, nullptr);
    // The program's own guard: another test's window that closes while
    // GTK looks for the window under the pointer must not end this one.
    nbsdep_trap_pointer_walk();
    return RUN_ALL_TESTS();
}

// Shared by the plug-in manager and poller tests: the hook the test
// plug-ins report to, the recorded events, and helpers to place plug-in
// files and to set up the application object.
#ifndef NBT_SUPPORT_H
#define NBT_SUPPORT_H

#include <functional>
#include <string>
#include <vector>

#include "app/nb_app.h"
#include "nbt_hook.h"

namespace nbt {

// One reported event and the library it came from.
struct Event {
    nbt_event ev;
    std::string path;  // resolved when the event was reported
};

// Every event the test plug-ins reported, in order. Storage is reserved
// up front; recording allocates only the first time a library reports.
std::vector<Event> &events();
void clear_events();
// Called for every event after it was recorded (may answer PGRP_INIT).
extern std::function<void(nbt_event *)> on_event;
// Whether the hook records events (it always calls on_event).
extern bool recording;

// Path of a built test plug-in, e.g. plugin("nbt_handler").
std::string plugin(const char *name);
// Copies a built test plug-in into dir under file_name; returns the path.
std::string place(const std::string &dir, const char *name, const char *file_name);

// Events of one type, optionally only from the library at path.
std::vector<Event> of_type(int type, const std::string &path = std::string());
// Types of all events from the library at path, in order.
std::vector<int> types_from(const std::string &path);

// the_app prepared by app_init, with the installation directory given
// (also the manager's copy) and the channel fields as after a chooser.
void init_app(const std::string &install_dir);
// Releases every plug-in and pumps the main context until idle work of
// the manager is done.
void finish_app();

// The list's paths in list order.
std::vector<std::string> list_paths();

}  // namespace nbt

#endif

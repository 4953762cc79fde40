#include "nbt_support.h"

#include <dlfcn.h>
#include <string.h>

#include <filesystem>

#include <glib.h>

#ifndef NBT_PLUGIN_DIR
#error NBT_PLUGIN_DIR must name the directory of the built test plug-ins
#endif

namespace nbt {

namespace {
std::vector<Event> &storage()
{
    static std::vector<Event> v = [] {
        std::vector<Event> e;
        e.reserve(1 << 15);
        return e;
    }();
    return v;
}

// Libraries seen, by their self pointer, while they are loaded.
struct Lib {
    const void *self;
    std::string path;
};
std::vector<Lib> &libs()
{
    static std::vector<Lib> v = [] {
        std::vector<Lib> l;
        l.reserve(256);
        return l;
    }();
    return v;
}

const std::string &path_of(const void *self)
{
    for (const Lib &lib : libs()) {
        if (lib.self == self)
            return lib.path;
    }
    Dl_info info;
    std::string path = dladdr(self, &info) && info.dli_fname ? info.dli_fname : "";
    libs().push_back(Lib{self, path});
    return libs().back().path;
}

void forget(const void *self)
{
    for (Lib &lib : libs()) {
        if (lib.self == self)
            lib.self = nullptr;
    }
}
}  // namespace

std::function<void(nbt_event *)> on_event;
bool recording = true;

std::vector<Event> &events()
{
    return storage();
}

void clear_events()
{
    storage().clear();
}

std::string plugin(const char *name)
{
    return std::string(NBT_PLUGIN_DIR) + "/" + name + ".so";
}

std::string place(const std::string &dir, const char *name, const char *file_name)
{
    std::string to = dir + "/" + file_name;
    std::filesystem::copy_file(plugin(name), to,
                               std::filesystem::copy_options::overwrite_existing);
    return to;
}

std::vector<Event> of_type(int type, const std::string &path)
{
    std::vector<Event> out;
    for (const Event &e : storage()) {
        if (e.ev.type == type && (path.empty() || e.path == path))
            out.push_back(e);
    }
    return out;
}

std::vector<int> types_from(const std::string &path)
{
    std::vector<int> out;
    for (const Event &e : storage()) {
        if (e.path == path)
            out.push_back(e.ev.type);
    }
    return out;
}

void init_app(const std::string &install_dir)
{
    clear_events();
    on_event = nullptr;
    recording = true;
    app_init();
    g_strlcpy(the_app.install_dir, install_dir.c_str(), sizeof the_app.install_dir);
    g_strlcpy(the_app.pgmgr.install_dir, install_dir.c_str(), sizeof the_app.pgmgr.install_dir);
    the_app.chan.number = 0;
    the_app.chan.frame_format = 6;
}

void finish_app()
{
    on_event = nullptr;
    the_app.pgmgr.ops.pgmgr_release_all(&the_app.pgmgr);
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
    txlog_free(the_app.chan.txlog);
    the_app.chan.txlog = nullptr;
}

std::vector<std::string> list_paths()
{
    std::vector<std::string> out;
    nb_plugin *entry = nullptr;
    for (nb_plugin_node *node = the_app.pgmgr.ops.pgmgr_next(nullptr, &the_app.pgmgr, &entry);
         node; node = the_app.pgmgr.ops.pgmgr_next(node, &the_app.pgmgr, &entry))
        out.push_back(entry->path);
    return out;
}

}  // namespace nbt

// The hook the test plug-ins call (they reference it weakly).
extern "C" __attribute__((visibility("default"))) void nbt_hook(nbt_event *ev)
{
    std::vector<nbt::Event> &v = nbt::events();
    // Copying the path allocates: the allocation test switches recording
    // off around the tick it measures.
    if (nbt::recording && v.size() < v.capacity()) {
        v.emplace_back();
        v.back().ev = *ev;
        v.back().path = nbt::path_of(ev->self);
    }
    if (ev->type == PGRP_RELEASE)
        nbt::forget(ev->self);
    if (nbt::on_event)
        nbt::on_event(ev);
}

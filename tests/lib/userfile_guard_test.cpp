// Every file the host and the plug-ins open goes through lib/userfile: a
// scan of src/ and plugins/ for any other way of opening a file. The few
// places that open something that is not a user's file are listed below,
// each with its reason; a listed place that is gone fails too.
#include <gtest/gtest.h>
#include <dirent.h>
#include <sys/stat.h>

#include <regex>
#include <set>
#include <string>
#include <vector>

#include "test_env.h"

namespace {

// Calls that open a file by its name (or write one whole).
const std::regex OPENERS(
    R"((^|[^.>\w])(::)?(open|openat|creat|fopen|freopen|g_fopen|g_open|g_creat|mkstemp|g_mkstemp|)"
    R"(g_file_set_contents|g_file_get_contents|g_mapped_file_new|g_key_file_load_from_file|)"
    R"(g_key_file_save_to_file|cairo_surface_write_to_png|cairo_image_surface_create_from_png|)"
    R"(gdk_pixbuf_save|gdk_pixbuf_savev|gdk_pixbuf_new_from_file)\s*\(|)"
    R"(std::(o|i)?fstream\b|\b(o|i)fstream\s+\w)");

struct Allowed {
    const char *file;    // below the source folder
    const char *text;    // on the line, after comments and strings are blanked
    const char *reason;
};

const Allowed ALLOWED[] = {
    {"src/app/platform.cpp", "int fd = open(", "reads the program's own ELF header in /proc"},
    {"src/session/session_file.cpp", "int open(const char *fname)", "the session writer's own member"},
    {"src/session/session_file.cpp", "::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW",
     "a new temporary file of its own (O_EXCL, O_NOFOLLOW), renamed over a target checked by "
     "uf_check_target"},
    {"src/session/session_file.cpp", "::open(dir.c_str(), O_RDONLY | O_DIRECTORY",
     "the folder, to make the rename durable"},
};

// A cheap look before the regular expression (slow on whole trees).
bool mentions_opening(const std::string &code)
{
    for (const char *w : {"open", "creat", "stemp", "contents", "png", "mapped", "key_file", "pixbuf",
                          "fstream"})
        if (code.find(w) != std::string::npos)
            return true;
    return false;
}

// The text with comments and the contents of string and character
// literals blanked, lines kept.
std::string code_only(const std::string &s)
{
    std::string out = s;
    for (size_t i = 0; i < out.size(); i++) {
        if (out.compare(i, 2, "//") == 0) {
            while (i < out.size() && out[i] != '\n')
                out[i++] = ' ';
        } else if (out.compare(i, 2, "/*") == 0) {
            size_t end = out.find("*/", i + 2);
            end = end == std::string::npos ? out.size() : end + 2;
            for (; i < end; i++)
                if (out[i] != '\n')
                    out[i] = ' ';
            i--;
        } else if (out[i] == '"' || out[i] == '\'') {
            const char q = out[i++];
            for (; i < out.size() && out[i] != q && out[i] != '\n'; i++) {
                if (out[i] == '\\' && i + 1 < out.size())
                    out[i++] = ' ';
                out[i] = ' ';
            }
        }
    }
    return out;
}

void sources(const std::string &root, const std::string &rel, std::vector<std::string> &out)
{
    DIR *d = opendir((root + "/" + rel).c_str());
    ASSERT_NE(nullptr, d) << rel;
    while (dirent *e = readdir(d)) {
        const std::string name = e->d_name;
        if (name[0] == '.')
            continue;
        const std::string path = rel + "/" + name;
        struct stat st;
        if (stat((root + "/" + path).c_str(), &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode))
            sources(root, path, out);
        else if (std::regex_search(name, std::regex(R"(\.(c|cc|cpp|h|hpp)$)")))
            out.push_back(path);
    }
    closedir(d);
}

TEST(UserFileGuard, NoFileIsOpenedAroundTheSafeOpener)
{
    const std::string root = nbtest::source_dir();
    std::vector<std::string> files;
    sources(root, "src", files);
    sources(root, "plugins", files);
    ASSERT_GT(files.size(), 40u);
    std::set<size_t> used;
    for (const std::string &f : files) {
        const std::string text = code_only(nbtest::read_file(root + "/" + f));
        const std::string raw = nbtest::read_file(root + "/" + f);
        size_t start = 0;
        for (int line = 1; start < text.size(); line++) {
            size_t end = text.find('\n', start);
            if (end == std::string::npos)
                end = text.size();
            const std::string code = text.substr(start, end - start);
            if (mentions_opening(code) && std::regex_search(code, OPENERS)) {
                bool ok = false;
                for (size_t k = 0; k < sizeof ALLOWED / sizeof ALLOWED[0]; k++)
                    if (f == ALLOWED[k].file && code.find(ALLOWED[k].text) != std::string::npos) {
                        ok = true;
                        used.insert(k);
                    }
                EXPECT_TRUE(ok) << f << ":" << line << ": a file opened without lib/userfile:\n"
                                << raw.substr(start, end - start);
            }
            start = end + 1;
        }
    }
    for (size_t k = 0; k < sizeof ALLOWED / sizeof ALLOWED[0]; k++)
        EXPECT_TRUE(used.count(k)) << "allowed, but not found: " << ALLOWED[k].file << ": "
                                   << ALLOWED[k].text;
}

// The scan sees through comments and strings, and catches each kind.
TEST(UserFileGuard, TheScanFindsEachWayOfOpening)
{
    for (const char *bad : {"FILE *f = fopen(p, \"w\");", "int fd = ::open(p, O_RDONLY);",
                            "cairo_surface_write_to_png(s, p);", "std::ofstream out(p);",
                            "g_file_set_contents(p, d, n, &e);", "x = g_fopen (p, \"r\");"})
        EXPECT_TRUE(mentions_opening(bad) && std::regex_search(code_only(bad), OPENERS)) << bad;
    for (const char *fine : {"/* fopen(p) */ x = 1;", "// open(p)", "msg(\"cannot open(%s)\");",
                             "chan.ops.open(&chan);", "cairo_surface_write_to_png_stream(s, w, c);",
                             "FILE *f = fdopen(fd, \"w\");", "h = dlopen(p, RTLD_NOW);"})
        EXPECT_FALSE(std::regex_search(code_only(fine), OPENERS)) << fine;
}

}  // namespace

// The DBC reader against an independent one: canmatrix (Debian's
// python3-canmatrix) decodes random frames of every message of a file
// (oracle.py) and our decoder must give the same raw and physical values
// and select the same multiplexed signals.
#include <gtest/gtest.h>
#include <glib.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <sstream>
#include <string>
#include <vector>

#include "dbc.h"
#include "test_env.h"

namespace {

struct OracleRun {
    bool ok = false;
    std::string out, err;
};

OracleRun run_python(std::vector<std::string> args)
{
    OracleRun r;
    std::vector<char *> argv;
    argv.push_back((char *)"/usr/bin/python3");
    for (std::string &a : args)
        argv.push_back((char *)a.c_str());
    argv.push_back(nullptr);
    gchar *out = nullptr, *err = nullptr;
    gint status = 0;
    GError *error = nullptr;
    if (!g_spawn_sync(nullptr, argv.data(), nullptr, G_SPAWN_DEFAULT, nullptr, nullptr, &out, &err,
                      &status, &error)) {
        r.err = error ? error->message : "spawn failed";
        g_clear_error(&error);
        return r;
    }
    r.ok = g_spawn_check_wait_status(status, nullptr);
    r.out = out ? out : "";
    r.err = err ? err : "";
    g_free(out);
    g_free(err);
    return r;
}

bool same_phys(double ours, double theirs)
{
    if (isnan(ours) || isnan(theirs))
        return isnan(ours) && isnan(theirs);
    if (isinf(ours) || isinf(theirs))
        return ours == theirs;
    return fabs(ours - theirs) <= 1e-9 * fmax(1.0, fmax(fabs(ours), fabs(theirs)));
}

struct Case {
    const char *name;      // file in tests/signals/dbc, or "generated"
    const char *encoding;  // as canmatrix should read it
    int frames;            // random frames per message
};

void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

class Oracle : public ::testing::TestWithParam<Case> {};

TEST_P(Oracle, SameValuesAndSelectionAsCanmatrix)
{
    const Case &c = GetParam();
    std::string here = nbtest::source_dir() + "/tests/signals";
    std::string path = here + "/dbc/" + c.name;
    if (strcmp(c.name, "generated") == 0) {
        path = nbtest::make_temp_dir("dbc") + "/big.dbc";
        OracleRun g = run_python({here + "/gen_big_dbc.py", path, "1", "500"});
        ASSERT_TRUE(g.ok) << g.err;
    }
    dbc_db db;
    dbc_error e;
    ASSERT_EQ(0, dbc_load_file(path.c_str(), &db, &e))
        << path << ":" << e.line << ":" << e.column << ": " << e.message;

    OracleRun r = run_python({here + "/oracle.py", path, std::to_string(c.frames), "16", c.encoding});
    ASSERT_TRUE(r.ok) << r.err;

    std::istringstream in(r.out);
    std::string line;
    std::vector<dbc_value> values;
    size_t frames = 0, checked = 0, selected_away = 0;
    std::vector<std::string> faults;
    auto fault = [&](const std::string &what) {
        if (faults.size() < 10)
            faults.push_back(what);
        else if (faults.size() == 10)
            faults.push_back("...");
    };
    while (std::getline(in, line)) {
        std::istringstream f(line);
        uint64_t raw_id = 0;
        std::string hex, field;
        f >> raw_id >> hex;
        bool ext = (raw_id & 0x80000000u) != 0;
        const dbc_message *m = dbc_find(&db, (uint32_t)raw_id & (ext ? 0x1FFFFFFFu : 0x7FFu), ext);
        if (!m) {
            fault("no message " + std::to_string(raw_id));
            continue;
        }
        uint8_t data[8] = {0};
        unsigned len = hex == "-" ? 0 : (unsigned)hex.size() / 2;
        for (unsigned i = 0; i < len && i < 8; i++)
            data[i] = (uint8_t)strtoul(hex.substr(i * 2, 2).c_str(), nullptr, 16);
        values.assign(m->signals.size(), dbc_value{0, 0, 0});
        int active = dbc_decode(m, data, len, values.data());
        frames++;
        int theirs = 0;
        std::vector<bool> seen(m->signals.size(), false);
        while (f >> field) {
            theirs++;
            size_t eq = field.find('='), colon = field.find(':', eq);
            std::string name = field.substr(0, eq), raw = field.substr(eq + 1, colon - eq - 1);
            double phys = g_ascii_strtod(field.c_str() + colon + 1, nullptr);
            size_t i = 0;
            while (i < m->signals.size() && m->signals[i].name != name)
                i++;
            std::string at = m->name + " " + hex + " " + name;
            if (i == m->signals.size()) {
                fault(at + ": not in our database");
                continue;
            }
            seen[i] = true;
            const dbc_value &v = values[i];
            if (!v.active) {
                fault(at + ": canmatrix decodes it, we do not select it");
                continue;
            }
            if (raw != "f") {
                bool neg = raw[0] == '-';
                int64_t want = neg ? (int64_t)strtoll(raw.c_str(), nullptr, 10)
                                   : (int64_t)strtoull(raw.c_str(), nullptr, 10);
                if (v.raw != want)
                    fault(at + ": raw " + std::to_string(v.raw) + ", canmatrix " + raw);
            }
            if (!same_phys(v.phys, phys)) {
                char text[128];
                g_snprintf(text, sizeof text, ": physical %.17g, canmatrix %.17g", v.phys, phys);
                fault(at + text);
            }
            checked++;
        }
        for (size_t i = 0; i < m->signals.size(); i++)
            if (values[i].active && !seen[i])
                fault(m->name + " " + hex + " " + m->signals[i].name +
                      ": we select it, canmatrix does not");
        selected_away += m->signals.size() - (size_t)active;
        (void)theirs;
    }
    size_t messages = 0;
    for (const dbc_message &m : db.messages)
        if (m.decodable && m.size > 0 && m.size <= 8 && !m.signals.empty())
            messages++;
    EXPECT_EQ(messages * (size_t)c.frames, frames);
    std::string all;
    for (const std::string &s : faults)
        all += s + "\n";
    EXPECT_TRUE(faults.empty()) << all;
    std::cout << c.name << ": " << frames << " frames, " << checked << " values, "
              << selected_away << " signals not selected\n";
}

INSTANTIATE_TEST_SUITE_P(Files, Oracle,
                         ::testing::Values(Case{"byteorder.dbc", "utf-8", 4000},
                                           Case{"float.dbc", "utf-8", 4000},
                                           Case{"multiplex.dbc", "utf-8", 4000},
                                           Case{"realistic_latin1.dbc", "iso-8859-1", 4000},
                                           Case{"sim.dbc", "utf-8", 4000},
                                           Case{"generated", "utf-8", 1000}),
                         [](const ::testing::TestParamInfo<Case> &info) {
                             std::string n = info.param.name;
                             return n.substr(0, n.find('.'));
                         });

}  // namespace

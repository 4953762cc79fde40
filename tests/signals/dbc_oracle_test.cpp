// The DBC reader against an independent one: canmatrix (Debian's
// python3-canmatrix) decodes random frames of every message of a file
// (oracle.py) and our decoder must give the same raw and physical values
// and select the same multiplexed signals: for hand-written files, a
// generated one, and every file of the opendbc collection.
#include <gtest/gtest.h>
#include <glib.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "dbc.h"
#include "test_env.h"

namespace {

struct PyRun {
    bool ok = false;
    std::string out, err;
};

PyRun run_python(std::vector<std::string> args)
{
    PyRun r;
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

std::string here() { return nbtest::source_dir() + "/tests/signals"; }

// canmatrix's frames of each file: path -> its lines.
std::map<std::string, std::vector<std::string>> oracle(const std::vector<std::string> &files, int frames)
{
    std::vector<std::string> args{here() + "/oracle.py", std::to_string(frames), "16"};
    args.insert(args.end(), files.begin(), files.end());
    PyRun r = run_python(args);
    EXPECT_TRUE(r.ok) << r.err;
    std::map<std::string, std::vector<std::string>> by_file;
    std::istringstream in(r.out);
    std::string line, file;
    while (std::getline(in, line)) {
        if (line.compare(0, 5, "FILE ") == 0)
            file = line.substr(5);
        else
            by_file[file].push_back(line);
    }
    return by_file;
}

bool same_phys(double ours, double theirs)
{
    if (isnan(ours) || isnan(theirs))
        return isnan(ours) && isnan(theirs);
    if (isinf(ours) || isinf(theirs))
        return ours == theirs;
    return fabs(ours - theirs) <= 1e-9 * fmax(1.0, fmax(fabs(ours), fabs(theirs)));
}

// A signal we skipped, or keep but do not decode from a frame of its
// message's length.
bool listed(const dbc_db &db, const std::string &msg, const std::string &sig, uint8_t kind)
{
    std::string want = "signal " + sig + " of message " + msg + (kind == DBC_SKIPPED ? " skipped" : ":");
    for (const dbc_problem &p : db.problems)
        if (p.kind == kind && p.text.compare(0, want.size(), want) == 0)
            return true;
    return false;
}

struct Compared {
    size_t frames = 0, values = 0, undecodable = 0;
    std::vector<std::string> faults;
};

// Our decoding of canmatrix's frames against its values. Signals canmatrix
// decodes but we list as skipped are left out.
Compared compare(const dbc_db &db, const std::vector<std::string> &lines)
{
    Compared c;
    auto fault = [&](const std::string &what) {
        if (c.faults.size() < 10)
            c.faults.push_back(what);
    };
    std::vector<dbc_value> values;
    for (const std::string &line : lines) {
        if (line.compare(0, 6, "ERROR ") == 0) {
            fault("canmatrix: " + line);
            continue;
        }
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
        std::vector<uint8_t> data(hex == "-" ? 0 : hex.size() / 2);
        for (size_t i = 0; i < data.size(); i++)
            data[i] = (uint8_t)strtoul(hex.substr(i * 2, 2).c_str(), nullptr, 16);
        values.assign(m->signals.size(), dbc_value{0, 0, 0});
        dbc_decode(m, data.data(), (unsigned)data.size(), values.data());
        if (line.size() >= 2 && line.compare(line.size() - 2, 2, " ?") == 0) {
            c.undecodable++;   // canmatrix cannot decode this message
            continue;
        }
        c.frames++;
        std::vector<bool> seen(m->signals.size(), false);
        while (f >> field) {
            size_t eq = field.rfind('=', field.find(':')), colon = field.find(':', eq);
            std::string name = field.substr(0, eq), raw = field.substr(eq + 1, colon - eq - 1);
            double phys = g_ascii_strtod(field.c_str() + colon + 1, nullptr);
            size_t i = 0;
            while (i < m->signals.size() && m->signals[i].name != name)
                i++;
            std::string at = m->name + " " + hex + " " + name;
            if (i == m->signals.size()) {
                if (!listed(db, m->name, name, DBC_SKIPPED))
                    fault(at + ": not in our database");
                continue;
            }
            seen[i] = true;
            const dbc_value &v = values[i];
            if (!v.active) {
                if (!listed(db, m->name, name, DBC_DOUBTFUL))
                    fault(at + ": canmatrix decodes it, we do not select it");
                continue;
            }
            if (raw != "f") {
                int64_t want = raw[0] == '-' ? (int64_t)strtoll(raw.c_str(), nullptr, 10)
                                             : (int64_t)strtoull(raw.c_str(), nullptr, 10);
                if (v.raw != want)
                    fault(at + ": raw " + std::to_string(v.raw) + ", canmatrix " + raw);
            }
            if (!same_phys(v.phys, phys)) {
                char text[128];
                g_snprintf(text, sizeof text, ": physical %.17g, canmatrix %.17g", v.phys, phys);
                fault(at + text);
            }
            c.values++;
        }
        for (size_t i = 0; i < m->signals.size(); i++)
            if (values[i].active && !seen[i])
                fault(m->name + " " + hex + " " + m->signals[i].name +
                      ": we select it, canmatrix does not");
    }
    return c;
}

size_t decodable_messages(const dbc_db &db)
{
    size_t n = 0;
    for (const dbc_message &m : db.messages)
        if (m.decodable && m.size > 0 && m.size <= DBC_MAX_MESSAGE_BYTES && !m.signals.empty())
            n++;
    return n;
}

std::string joined(const std::vector<std::string> &v)
{
    std::string all;
    for (const std::string &s : v)
        all += s + "\n";
    return all;
}

struct Case {
    const char *name;      // file in tests/signals/dbc, or "generated"
    int frames;            // random frames per message
};

void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

class Oracle : public ::testing::TestWithParam<Case> {};

TEST_P(Oracle, SameValuesAndSelectionAsCanmatrix)
{
    const Case &c = GetParam();
    std::string path = here() + "/dbc/" + c.name;
    if (strcmp(c.name, "generated") == 0) {
        path = nbtest::make_temp_dir("dbc") + "/big.dbc";
        PyRun g = run_python({here() + "/gen_big_dbc.py", path, "1", "500"});
        ASSERT_TRUE(g.ok) << g.err;
    }
    dbc_db db;
    dbc_error e;
    ASSERT_EQ(0, dbc_load_file(path.c_str(), &db, &e))
        << path << ":" << e.line << ":" << e.column << ": " << e.message;
    Compared r = compare(db, oracle({path}, c.frames)[path]);
    EXPECT_EQ(decodable_messages(db) * (size_t)c.frames, r.frames);
    EXPECT_TRUE(r.faults.empty()) << joined(r.faults);
    std::cout << c.name << ": " << r.frames << " frames, " << r.values << " values\n";
}

INSTANTIATE_TEST_SUITE_P(Files, Oracle,
                         ::testing::Values(Case{"byteorder.dbc", 4000}, Case{"float.dbc", 4000},
                                           Case{"multiplex.dbc", 4000},
                                           Case{"realistic_latin1.dbc", 4000},
                                           Case{"sim.dbc", 4000}, Case{"canfd.dbc", 4000},
                                           Case{"ext_without_bit31.dbc", 1000},
                                           Case{"long_names.dbc", 1000}, Case{"generated", 200}),
                         [](const ::testing::TestParamInfo<Case> &info) {
                             std::string n = info.param.name;
                             n = n.substr(0, n.find('.'));
                             n.erase(std::remove(n.begin(), n.end(), '_'), n.end());
                             return n;
                         });

// ------------------------------------------------------------- opendbc

void find_dbc(const std::string &dir, const std::string &rel, std::vector<std::string> *out)
{
    GDir *d = g_dir_open(dir.c_str(), 0, nullptr);
    if (!d)
        return;
    while (const char *n = g_dir_read_name(d)) {
        std::string path = dir + "/" + n, r = rel.empty() ? n : rel + "/" + n;
        if (g_file_test(path.c_str(), G_FILE_TEST_IS_DIR))
            find_dbc(path, r, out);
        else if (g_str_has_suffix(n, ".dbc"))
            out->push_back(r);
    }
    g_dir_close(d);
    std::sort(out->begin(), out->end());
}

// What the collection's generator makes of a file: the fragments it
// imports (CM_ "IMPORT _x.dbc";), in order, then the file without those
// lines.
std::string generated(const std::string &dir, const std::string &name)
{
    std::istringstream in(nbtest::read_file(dir + "/" + name));
    std::string line, imports, rest;
    while (std::getline(in, line)) {
        const std::string tag = "CM_ \"IMPORT ";
        if (line.compare(0, tag.size(), tag) == 0) {
            std::string frag = line.substr(tag.size(), line.find('"', tag.size()) - tag.size());
            imports += "\nCM_ \"Imported file " + frag + " starts here\";\n" +
                       nbtest::read_file(dir + "/" + frag) + "\n";
        } else {
            rest += line + "\n";
        }
    }
    return imports + "\nCM_ \"" + name + " starts here\";\n" + rest;
}

// Everything the reader skips or repairs in the collection, each with why.
// A file loaded alone: the generator's fragments and the files that
// import them are each read on their own.
struct Expected {
    const char *file;
    int line;      // of the first
    uint8_t kind;
    const char *says;
    int times;     // problems that say so, in the file
};
const Expected expected_problems[] = {
    // Extended identifiers written without bit 31 (one note per file).
    {"dbc/chrysler_cusw.dbc", 182, DBC_REPAIRED, "taken as the extended identifier 0x62CC033", 1},
    {"dbc/fca_giorgio.dbc", 228, DBC_REPAIRED, "taken as the extended identifier 0x1E36001E", 1},
    {"dbc/generator/honda/_bosch_2018.dbc", 162, DBC_REPAIRED, "(and 1 more like it)", 1},
    {"dbc/generator/honda/honda_bosch_radarless.dbc", 37, DBC_REPAIRED, "0xF31AA54", 1},
    {"dbc/generator/honda/honda_crv_ex_2017_body.dbc", 1, DBC_REPAIRED, "0x12F8BFA7", 1},
    {"dbc/generator/volkswagen/_vw_meb_common.dbc", 1917, DBC_REPAIRED, "(and 23 more like it)", 1},
    {"dbc/gm_global_a_lowspeed.dbc", 45, DBC_REPAIRED, "(and 12 more like it)", 1},
    {"dbc/toyota_2017_ref_pt.dbc", 387, DBC_REPAIRED, "bit 30 dropped, taken as the extended identifier "
                                                      "0x140639 (and 31 more like it)", 1},
    {"dbc/vw_mqbevo.dbc", 1333, DBC_REPAIRED, "(and 9 more like it)", 1},
    // Statements without their ';'.
    {"dbc/generator/chrysler/_stellantis_common.dbc", 178, DBC_REPAIRED, "ACC_OFF_REQ: ';' missing", 1},
    {"dbc/generator/gm/gm_global_a_powertrain.dbc", 352, DBC_REPAIRED, "ManualMode: ';' missing", 1},
    {"dbc/mazda_2017.dbc", 790, DBC_REPAIRED, "LEFT_BS_STATUS: ';' missing", 1},
    {"dbc/mazda_2017.dbc", 791, DBC_REPAIRED, "RIGHT_BS_STATUS: ';' missing", 1},
    {"dbc/toyota_radar_dsu_tssp.dbc", 138, DBC_REPAIRED, "comment: ';' missing", 1},
    {"dbc/toyota_radar_dsu_tssp.dbc", 147, DBC_REPAIRED, "comment: ';' missing", 1},
    {"dbc/toyota_radar_dsu_tssp.dbc", 156, DBC_REPAIRED, "comment: ';' missing", 1},
    {"dbc/toyota_radar_dsu_tssp.dbc", 166, DBC_REPAIRED, "comment: ';' missing", 1},
    {"dbc/toyota_radar_dsu_tssp.dbc", 176, DBC_REPAIRED, "comment: ';' missing", 1},
    {"dbc/toyota_radar_dsu_tssp.dbc", 186, DBC_REPAIRED, "comment: ';' missing", 1},
    // Signal comments without the signal's name.
    {"dbc/generator/honda/_honda_common.dbc", 207, DBC_SKIPPED, "expected a signal name", 1},
    {"dbc/generator/honda/_honda_common.dbc", 208, DBC_SKIPPED, "expected a signal name", 1},
    // Message comments without BO_.
    {"dbc/generator/hyundai/hyundai_can.dbc", 1656, DBC_SKIPPED, "found \"145\"", 1},
    {"dbc/generator/hyundai/hyundai_can.dbc", 1657, DBC_SKIPPED, "found \"512\"", 1},
    // A multiplexor written "m", and the four signals it selects.
    {"dbc/vw_pq.dbc", 394, DBC_SKIPPED, "MO2_Mp_Code of message Motor_2 skipped: expected M", 1},
    {"dbc/vw_pq.dbc", 395, DBC_SKIPPED, "MO2_Getr_Code of message Motor_2 skipped: its multiplexor", 1},
    {"dbc/vw_pq.dbc", 396, DBC_SKIPPED, "MO2_max_Mo of message Motor_2 skipped: its multiplexor", 1},
    {"dbc/vw_pq.dbc", 397, DBC_SKIPPED, "MO2_CAN_Vers of message Motor_2 skipped: its multiplexor", 1},
    {"dbc/vw_pq.dbc", 398, DBC_SKIPPED, "MO2_Motor_Code of message Motor_2 skipped: its multiplexor", 1},
    // Signals past their message's length: kept, decoded only from longer frames.
    {"dbc/FORD_CADS_64.dbc", 714, DBC_DOUBTFUL, "of message MRR_Detection_022: it reaches byte", 4},
    {"dbc/generator/hyundai/hyundai_palisade_2023.dbc", 608, DBC_DOUBTFUL,
     "of message FRT_RADAR11: it reaches byte", 6},
    {"dbc/mazda_2017.dbc", 290, DBC_DOUBTFUL, "NEW_SIGNAL_4 of message HVAC: it reaches byte 9", 1},
    {"dbc/mazda_3_2019.dbc", 310, DBC_DOUBTFUL, "of message CAM_KEEP_ALIVE_1: it reaches byte 10", 1},
    {"dbc/vw_pq.dbc", 553, DBC_DOUBTFUL, "of message Lenkhilfe_1: it reaches byte", 14},
};

TEST(Opendbc, EveryFileLoadsListingOnlyWhatIsBrokenAndDecodesAsCanmatrixDoes)
{
    std::string dir = nbtest::opendbc_dir();
    if (dir.empty())
        GTEST_SKIP() << "no opendbc collection: put the shared folder beside the checkout or set "
                        "NB_OPENDBC_DIR";
    std::vector<std::string> files;
    find_dbc(dir, "", &files);
    ASSERT_GE(files.size(), 100u) << dir;

    std::vector<std::string> got, want, decode;
    std::string tmp = nbtest::make_temp_dir("opendbc");
    std::map<std::string, std::string> shown;   // the file canmatrix reads -> as named here
    for (const std::string &f : files) {
        dbc_db db;
        dbc_error e;
        std::string path = dir + "/" + f;
        EXPECT_EQ(0, dbc_load_file(path.c_str(), &db, &e))
            << f << ":" << e.line << ":" << e.column << ": " << e.message;
        for (const dbc_problem &p : db.problems)
            if (p.kind != DBC_UNDEFINED)
                got.push_back(f + ":" + std::to_string(p.line) + " [" + std::to_string(p.kind) +
                              "] " + p.text);
        // Decoded: every file but the fragments, the generator's files as
        // the generator writes them.
        std::string base = f.substr(f.rfind('/') + 1);
        if (base[0] == '_')
            continue;
        if (f.find("/generator/") != std::string::npos) {
            std::string out = tmp + "/" + base;
            ASSERT_TRUE(nbtest::write_file(out, generated(path.substr(0, path.rfind('/')), base)));
            path = out;
        }
        decode.push_back(path);
        shown[path] = f;
    }
    // Each expected problem is listed as often as expected, and nothing
    // else is listed.
    std::vector<bool> used(got.size(), false);
    for (const Expected &x : expected_problems) {
        std::string file = std::string(x.file) + ":", kind = " [" + std::to_string(x.kind) + "] ";
        std::vector<size_t> hits;
        for (size_t i = 0; i < got.size(); i++)
            if (!used[i] && got[i].compare(0, file.size(), file) == 0 &&
                got[i].find(kind) != std::string::npos && got[i].find(x.says) != std::string::npos)
                hits.push_back(i);
        if ((int)hits.size() < x.times || atoi(got[hits[0]].c_str() + file.size()) != x.line) {
            want.push_back(file + std::to_string(x.line) + kind + "... " + x.says + " (" +
                           std::to_string(x.times) + " times)");
            continue;
        }
        for (int k = 0; k < x.times; k++)
            used[hits[(size_t)k]] = true;
    }
    std::vector<std::string> unexpected;
    for (size_t i = 0; i < got.size(); i++)
        if (!used[i])
            unexpected.push_back(got[i]);
    EXPECT_TRUE(want.empty()) << "not listed:\n" << joined(want);
    EXPECT_TRUE(unexpected.empty()) << "listed, not expected:\n" << joined(unexpected);

    // 50 random frames of every message, decoded by both.
    auto theirs = oracle(decode, 50);
    size_t frames = 0, values = 0, undecodable = 0;
    for (const std::string &path : decode) {
        dbc_db db;
        dbc_error e;
        ASSERT_EQ(0, dbc_load_file(path.c_str(), &db, &e)) << path << ": " << e.message;
        Compared r = compare(db, theirs[path]);
        EXPECT_TRUE(r.faults.empty()) << shown[path] << ":\n" << joined(r.faults);
        frames += r.frames;
        values += r.values;
        undecodable += r.undecodable;
    }
    std::cout << decode.size() << " files decoded: " << frames << " frames, " << values
              << " values agree; " << undecodable << " messages canmatrix cannot decode\n";
}

}  // namespace

// Packing physical values into frames: against canmatrix's Frame.encode
// (encode_oracle.py) for every message of the opendbc collection, and
// decode(pack(v)) == v within one raw step; refusals and the bit layouts
// canmatrix's files do not reach, by hand.
#include <gtest/gtest.h>
#include <glib.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "dbc.h"
#include "test_env.h"

namespace {

dbc_db parse(const std::string &text)
{
    dbc_db db;
    dbc_error e;
    EXPECT_EQ(0, dbc_parse(text.data(), text.size(), &db, &e)) << e.message;
    return db;
}

const char *const HEAD = "VERSION \"\"\nBU_: A\n";

TEST(Encode, RoundsWithinLimitsAndRefusesOutOfRangeWithTheRangeNeverWrapping)
{
    dbc_db db = parse(std::string(HEAD) +
                      "BO_ 256 M: 8 A\n"
                      " SG_ Speed : 0|16@1+ (0.01,0) [0|250] \"km/h\" A\n"
                      " SG_ Temp : 16|8@1- (0.5,-10) [0|0] \"degC\" A\n"
                      " SG_ Big : 31|12@0+ (1,0) [0|0] \"\" A\n"
                      " SG_ Neg : 43|4@0+ (-2,100) [0|0] \"\" A\n");
    ASSERT_EQ(1u, db.messages.size());
    const dbc_message &m = db.messages[0];
    double v[4] = {87.504, -74.0, 4095, 70};
    uint8_t data[8];
    dbc_value out[4];
    char err[256] = "";
    int bad = 0;
    ASSERT_EQ(0, dbc_encode(&m, v, data, 8, out, err, sizeof err, &bad)) << err;
    EXPECT_EQ(8750, out[0].raw);          // rounded to the nearest step
    EXPECT_EQ(-128, out[1].raw);          // the lowest the 8 signed bits hold
    EXPECT_EQ(4095, out[2].raw);
    EXPECT_EQ(15, out[3].raw);            // negative factor: 100 - 2 * 15 = 70
    EXPECT_EQ(0x2E, data[0]);
    EXPECT_EQ(0x22, data[1]);
    EXPECT_EQ(0x80, data[2]);
    EXPECT_EQ(0xFF, data[3]);             // Motorola: MSB at bit 31
    EXPECT_EQ(0xF0, data[4] & 0xF0);
    EXPECT_EQ(0x0F, data[5] & 0x0F);

    // The ends of 64-bit signals: the largest value the bits hold.
    dbc_db wide = parse(std::string(HEAD) + "BO_ 1 W: 16 A\n"
                                            " SG_ U : 0|64@1+ (1,0) [0|0] \"\" A\n"
                                            " SG_ S : 64|64@1- (1,0) [0|0] \"\" A\n");
    uint64_t raw = 0;
    ASSERT_EQ(0, dbc_encode_raw(&wide.messages[0].signals[0], 18446744073709551615.0, &raw, err,
                                sizeof err));
    EXPECT_EQ(UINT64_MAX, raw);
    ASSERT_EQ(0, dbc_encode_raw(&wide.messages[0].signals[1], 9223372036854775807.0, &raw, err,
                                sizeof err));
    EXPECT_EQ((uint64_t)INT64_MAX, raw);
    ASSERT_EQ(0, dbc_encode_raw(&wide.messages[0].signals[1], -9223372036854775808.0, &raw, err,
                                sizeof err));
    EXPECT_EQ((uint64_t)INT64_MIN, raw);
    EXPECT_EQ(-1, dbc_encode_raw(&wide.messages[0].signals[0], -1, &raw, err, sizeof err));

    // Out of range: refused, the range in the text, the bytes untouched.
    uint8_t before[8];
    memcpy(before, data, 8);
    struct { int sig; double value; const char *says; } cases[] = {
        {0, 250.01, "Speed: 250.01 is outside its range 0 to 250 km/h"},
        {0, -0.01, "outside its range 0 to 250"},
        {1, -74.5, "Temp: -74.5 is outside its range -74 to 53.5 degC"},
        {2, 4096, "Big: 4096 is outside its range 0 to 4095"},
        {3, 102, "outside its range 70 to 100"},
        {0, NAN, "Speed: nan"},
    };
    for (const auto &c : cases) {
        double w[4] = {87.5, 0, 0, 100};
        w[c.sig] = c.value;
        err[0] = '\0';
        EXPECT_EQ(-1, dbc_encode(&m, w, data, 8, out, err, sizeof err, &bad)) << c.says;
        EXPECT_EQ(c.sig, bad);
        EXPECT_NE(nullptr, strstr(err, c.says)) << err;
        EXPECT_EQ(0, memcmp(before, data, 8));
    }
}

TEST(Encode, WideFloatAndMultiplexedSignalsRoundTripThroughTheDecoder)
{
    // Signals across nine bytes in both orders, 64-bit ones, float and
    // double, and a multiplexor whose value chooses what is written.
    dbc_db db = parse(std::string(HEAD) +
                      "BO_ 512 W: 24 A\n"
                      " SG_ I64 : 3|64@1+ (1,0) [0|0] \"\" A\n"
                      " SG_ M64 : 76|64@0- (1,0) [0|0] \"\" A\n"
                      " SG_ F : 144|32@1- (1,0) [0|0] \"\" A\n"
                      "BO_ 513 X: 16 A\n"
                      " SG_ D : 7|64@0- (1,0) [0|0] \"\" A\n"
                      " SG_ Mux M : 64|8@1+ (1,0) [0|0] \"\" A\n"
                      " SG_ A m1 : 72|16@1+ (1,0) [0|0] \"\" A\n"
                      " SG_ B m2 : 72|8@1- (1,0) [0|0] \"\" A\n"
                      "SIG_VALTYPE_ 512 F : 1;\nSIG_VALTYPE_ 513 D : 2;\n");
    ASSERT_EQ(2u, db.messages.size());
    std::mt19937_64 rnd(7);
    for (int k = 0; k < 200; k++) {
        const dbc_message &m = db.messages[k % 2];
        std::vector<double> v(m.signals.size(), 0.0);
        if (k % 2 == 0) {
            v[0] = (double)(rnd() >> 11);               // exact in a double
            v[1] = -(double)(rnd() >> 12);
            v[2] = (float)((double)(int32_t)rnd() / 64);
        } else {
            v[0] = (double)(int64_t)rnd() / 3.0;
            v[1] = 1 + k % 3;                          // 3 selects nothing
            v[2] = (double)(rnd() & 0xFFFF);
            v[3] = (double)(int8_t)rnd();
        }
        uint8_t data[24];
        std::vector<dbc_value> out(m.signals.size()), back(m.signals.size());
        char err[256];
        ASSERT_EQ(0, dbc_encode(&m, v.data(), data, m.size, out.data(), err, sizeof err, nullptr))
            << err;
        dbc_decode(&m, data, m.size, back.data());
        for (size_t i = 0; i < v.size(); i++) {
            EXPECT_EQ(out[i].active, back[i].active) << m.name << " " << i;
            if (!back[i].active)
                continue;
            EXPECT_EQ(v[i], back[i].phys) << m.name << " " << m.signals[i].name;
            EXPECT_EQ(out[i].raw, back[i].raw) << m.name << " " << m.signals[i].name;
        }
        if (k % 2 == 1) {
            EXPECT_EQ(v[1] == 1, back[2].active);
            EXPECT_EQ(v[1] == 2, back[3].active);
            if (v[1] == 3) {  // what nothing selects stays zero
                EXPECT_EQ(0, data[9] | data[10]);
            }
        }
    }
}

// ------------------------------------------------------------ opendbc

void find_dbc(const std::string &dir, std::vector<std::string> *out)
{
    GDir *d = g_dir_open(dir.c_str(), 0, nullptr);
    if (!d)
        return;
    while (const char *n = g_dir_read_name(d)) {
        std::string path = dir + "/" + n;
        if (g_file_test(path.c_str(), G_FILE_TEST_IS_DIR))
            find_dbc(path, out);
        else if (g_str_has_suffix(n, ".dbc"))
            out->push_back(path);
    }
    g_dir_close(d);
}

// canmatrix's frames of each file: path -> its lines.
std::map<std::string, std::vector<std::string>> oracle(const std::vector<std::string> &files)
{
    std::vector<const char *> argv{"/usr/bin/python3"};
    std::string script = nbtest::source_dir() + "/tests/signals/encode_oracle.py";
    argv.push_back(script.c_str());
    argv.push_back("4");
    argv.push_back("41");
    for (const std::string &f : files)
        argv.push_back(f.c_str());
    argv.push_back(nullptr);
    gchar *out = nullptr, *err = nullptr;
    gint status = 0;
    GError *error = nullptr;
    bool ok = g_spawn_sync(nullptr, (gchar **)argv.data(), nullptr, G_SPAWN_DEFAULT, nullptr,
                           nullptr, &out, &err, &status, &error) &&
              g_spawn_check_wait_status(status, nullptr);
    EXPECT_TRUE(ok) << (error ? error->message : "") << (err ? err : "");
    g_clear_error(&error);
    std::map<std::string, std::vector<std::string>> by_file;
    std::istringstream in(out ? out : "");
    std::string line, file;
    while (std::getline(in, line)) {
        if (line.compare(0, 5, "FILE ") == 0)
            file = line.substr(5);
        else
            by_file[file].push_back(line);
    }
    g_free(out);
    g_free(err);
    return by_file;
}

std::vector<uint8_t> unhex(const std::string &hex)
{
    std::vector<uint8_t> b;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        b.push_back((uint8_t)strtoul(hex.substr(i, 2).c_str(), nullptr, 16));
    return b;
}

// The signals written, and those canmatrix was given, lie within the
// frame and share no bit.
bool apart(const dbc_message &m, const std::vector<dbc_value> &out, const std::vector<bool> &given)
{
    std::vector<bool> used(DBC_MAX_MESSAGE_BYTES * 8, false);
    for (size_t i = 0; i < out.size(); i++) {
        if (given[i] != (out[i].active != 0))
            return false;
        if (!out[i].active)
            continue;
        const dbc_signal &s = m.signals[i];
        unsigned seq = s.order == DBC_INTEL ? s.start : (s.start / 8) * 8 + 7 - s.start % 8;
        for (unsigned k = 0; k < s.length; k++) {
            unsigned q = seq + k, b = s.order == DBC_INTEL ? q : (q / 8) * 8 + 7 - q % 8;
            if (b >= used.size() || used[b])
                return false;
            used[b] = true;
        }
    }
    return true;
}

TEST(OpendbcEncode, EveryMessagePacksAsCanmatrixDoesAndDecodesToWhatWasPacked)
{
    std::string dir = nbtest::opendbc_dir();
    if (dir.empty())
        GTEST_SKIP() << "no opendbc collection: put the shared folder beside the checkout or set "
                        "NB_OPENDBC_DIR";
    std::vector<std::string> files;
    find_dbc(dir, &files);
    ASSERT_GE(files.size(), 100u);
    auto theirs = oracle(files);
    size_t frames = 0, messages = 0, skipped = 0;
    std::vector<std::string> faults;
    auto fault = [&](const std::string &f, const std::string &line, const std::string &what) {
        if (faults.size() < 10)
            faults.push_back(f.substr(dir.size()) + ": " + what + "\n  " + line.substr(0, 200));
    };
    for (const std::string &f : files) {
        dbc_db db;
        dbc_error e;
        ASSERT_EQ(0, dbc_load_file(f.c_str(), &db, &e)) << f << ": " << e.message;
        const dbc_message *last = nullptr;
        for (const std::string &line : theirs[f]) {
            std::istringstream in(line);
            uint64_t raw_id = 0;
            std::string hex, field;
            in >> raw_id >> hex;
            bool ext = (raw_id & 0x80000000u) != 0;
            const dbc_message *m = dbc_find(&db, (uint32_t)raw_id & 0x1FFFFFFFu, ext);
            if (!m) {
                fault(f, line, "no such message");
                continue;
            }
            std::vector<double> v(m->signals.size(), 0.0);
            std::vector<bool> given(m->signals.size(), false);
            bool known = true;
            while (in >> field) {
                size_t eq = field.find('=');
                std::string name = field.substr(0, eq);
                size_t i = 0;
                while (i < m->signals.size() && m->signals[i].name != name)
                    i++;
                if (i == m->signals.size()) {
                    known = false;   // a signal we list as skipped
                    break;
                }
                v[i] = g_ascii_strtod(field.c_str() + eq + 1, nullptr);
                given[i] = true;
            }
            if (!known)
                continue;
            std::vector<uint8_t> want = unhex(hex);
            unsigned len = (unsigned)want.size();
            uint8_t ours[DBC_MAX_MESSAGE_BYTES];
            std::vector<dbc_value> out(v.size()), mine(v.size()), cm(v.size());
            char err[256] = "";
            if (dbc_encode(m, v.data(), ours, len, out.data(), err, sizeof err, nullptr) != 0) {
                fault(f, line, std::string("refused: ") + err);
                continue;
            }
            // Signals that share bits, or reach past the frame, are packed
            // differently by any two packers: such frames are only counted.
            if (!apart(*m, out, given)) {
                skipped++;
                continue;
            }
            frames++;
            messages += m != last;
            last = m;
            dbc_decode(m, ours, len, mine.data());
            dbc_decode(m, want.data(), len, cm.data());
            bool floats = false;
            for (size_t i = 0; i < v.size(); i++) {
                const dbc_signal &s = m->signals[i];
                if (!mine[i].active)
                    continue;
                if (!given[i]) {
                    fault(f, line, "packed a signal canmatrix did not get: " + s.name);
                    continue;
                }
                // A physical value is a double: raw values past 2^53 are
                // packed to its precision (64-bit identifiers, VIN parts).
                bool exact = s.type == DBC_INTEGER && fabs((v[i] - s.offset) / s.factor) < 0x1p53;
                floats = floats || !exact;
                double step = exact ? fabs(s.factor) : 1e-6 * fmax(1, fabs(v[i]));
                if (!(fabs(mine[i].phys - v[i]) <= step * 0.5 + 1e-9 * fmax(1, fabs(v[i]))))
                    fault(f, line, s.name + " decodes to " + std::to_string(mine[i].phys));
                if (exact && mine[i].raw != cm[i].raw)
                    fault(f, line, s.name + ": raw " + std::to_string(mine[i].raw) +
                                       ", canmatrix " + std::to_string(cm[i].raw));
            }
            if (!floats && memcmp(ours, want.data(), len) != 0)
                fault(f, line, "bytes differ from canmatrix's");
        }
    }
    EXPECT_TRUE(faults.empty()) << [&] {
        std::string all;
        for (const std::string &s : faults)
            all += s + "\n";
        return all;
    }();
    EXPECT_GT(messages, 2000u);
    std::cout << files.size() << " files: " << messages << " messages, " << frames
              << " frames packed as canmatrix packs them; " << skipped
              << " frames with overlapping signals left out\n";
}

}  // namespace

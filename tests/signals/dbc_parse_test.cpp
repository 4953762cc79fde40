// The DBC reader on its own: what it keeps of a file written the way real
// tools write them, the encodings, its error reports, and short frames.
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "dbc.h"
#include "test_env.h"

namespace {

std::string dbc_dir() { return nbtest::source_dir() + "/tests/signals/dbc/"; }

const dbc_signal *signal_of(const dbc_message *m, const char *name)
{
    for (const dbc_signal &s : m->signals)
        if (s.name == name)
            return &s;
    return nullptr;
}

TEST(Dbc, KeepsWhatARealFileHolds)
{
    dbc_db db;
    dbc_error e;
    ASSERT_EQ(0, dbc_load_file((dbc_dir() + "realistic_latin1.dbc").c_str(), &db, &e))
        << e.line << ":" << e.column << ": " << e.message;
    EXPECT_EQ("1.2.3", db.version);
    EXPECT_EQ("Datenbank für die Prüfung", db.comment);
    ASSERT_EQ(3u, db.nodes.size());
    EXPECT_EQ("Motorsteuergerät", db.nodes[0].comment);
    ASSERT_EQ(2u, db.value_tables.size());
    EXPECT_EQ("Rückwärts", db.value_tables[0].entries[0].text);   // sorted: -1 first

    const dbc_message *m = dbc_find(&db, 100, 0);
    ASSERT_NE(nullptr, m);
    EXPECT_EQ("Motor_1", m->name);
    EXPECT_EQ("Motor", m->sender);
    EXPECT_EQ((std::vector<std::string>{"Motor", "Getriebe"}), m->transmitters);
    EXPECT_EQ("Zyklische Botschaft\r\nmit zwei Zeilen und \"Anführungszeichen\"", m->comment);
    EXPECT_EQ(20, m->cycle_time_ms);
    EXPECT_EQ(nullptr, dbc_find(&db, 100, 1));

    const dbc_signal *t = signal_of(m, "Temperatur");
    ASSERT_NE(nullptr, t);
    EXPECT_EQ("°C", t->unit);
    EXPECT_EQ(0.75, t->factor);
    EXPECT_EQ(-48, t->offset);
    EXPECT_EQ(143.25, t->max);
    EXPECT_TRUE(t->has_start_value);
    EXPECT_EQ(64, t->start_value);
    const dbc_signal *d = signal_of(m, "Drehzahl");
    EXPECT_EQ((std::vector<std::string>{"Getriebe", "Anzeige"}), d->receivers);
    EXPECT_EQ("Motordrehzahl", d->comment);
    EXPECT_EQ(0, d->start_value);   // the definition's default
    const dbc_signal *g = signal_of(m, "Gang");
    EXPECT_EQ(DBC_MOTOROLA, g->order);
    EXPECT_TRUE(g->is_signed);
    EXPECT_STREQ("Rückwärts", dbc_value_label(g, -1));
    EXPECT_STREQ("Zweiter", dbc_value_label(g, 2));
    EXPECT_EQ(nullptr, dbc_value_label(g, 3));

    // J1939 identifier; the holder of loose signals is kept but not decoded.
    const dbc_message *dm1 = dbc_find(&db, 0x18FEF1FE, 1);
    ASSERT_NE(nullptr, dm1);
    EXPECT_EQ(0, dm1->cycle_time_ms);   // the definition's default
    std::string text;
    ASSERT_EQ(1, dbc_attr_get(&db, "GenMsgSendType", DBC_OBJ_MESSAGE, (int)(dm1 - &db.messages[0]),
                              -1, nullptr, nullptr, &text));
    EXPECT_EQ("IfActive", text);
    ASSERT_EQ(1, dbc_attr_get(&db, "BusType", DBC_OBJ_DB, -1, -1, nullptr, nullptr, &text));
    EXPECT_EQ("CAN", text);
    ASSERT_EQ(1, dbc_attr_get(&db, "NodeLayerModules", DBC_OBJ_NODE, -1, -1, "Motor", nullptr, &text));
    EXPECT_EQ("CANoeILNLVector.dll", text);
    ASSERT_EQ(3u, db.messages.size());
    EXPECT_FALSE(db.messages[2].decodable);

    // The comment on a signal the file does not define is a warning.
    EXPECT_EQ(1, db.warnings);
    EXPECT_NE(std::string::npos, db.first_warning.find("line 68:")) << db.first_warning;
}

TEST(Dbc, TextIsTakenAsUtf8ElseAsWindows1252)
{
    EXPECT_EQ("°C", dbc_to_utf8("\xb0" "C", 2));
    EXPECT_EQ("€ ‚ ÿ", dbc_to_utf8("\x80 \x82 \xff", 5));
    EXPECT_EQ("°C", dbc_to_utf8("\xef\xbb\xbf\xc2\xb0" "C", 6));
    EXPECT_EQ("\xc2\x81", dbc_to_utf8("\x81", 1));   // undefined in 1252: Latin-1
    // An overlong form is not UTF-8.
    EXPECT_EQ("À¯", dbc_to_utf8("\xc0\xaf", 2));
}

struct BadFile {
    const char *text;
    int line, column;
    const char *says;
};

TEST(Dbc, MalformedFilesAreRefusedWithLineColumnAndWhatWasExpected)
{
    const BadFile cases[] = {
        {"BO_ 100 Msg 8 X\n", 1, 13, "expected ':' after the message name, found \"8\""},
        {" SG_ S : 0|8@1+ (1,0) [0|0] \"\" Y\n", 1, 2, "SG_ outside a message"},
        {"BO_ 1 A: 8 X\n SG_ S : 0|65@1+ (1,0) [0|0] \"\" Y\n", 2, 12, "signal length 65"},
        {"BO_ 1 A: 8 X\n SG_ S : 0|8@2+ (1,0) [0|0] \"\" Y\n", 2, 14, "byte order 0 (Motorola)"},
        {"BO_ 1 A: 8 X\n SG_ S : 0|8@1+ (1;0) [0|0] \"\" Y\n", 2, 19, "expected ',' after the factor"},
        {"BO_ 1 A: 8 X\n SG_ S : 0|8@1+ (1,0) [0|0] \"unit Y\n\n", 2, 29, "string is not closed"},
        {"BO_ 2048 A: 8 X\n", 1, 5, "above 0x7FF"},
        {"BO_ 1 A: 8 X\nBO_ 1 B: 8 X\n", 2, 5, "defined twice (first at line 1)"},
        {"BO_ 1 A: 8 X\n SG_ S : 0|8@1+ (1,0) [0|0] \"\" Y\n SG_ S : 8|8@1+ (1,0) [0|0] \"\" Y\n", 3,
         6, "signal S is defined twice"},
        {"BO_ 1 A: 8 X\n SG_ S : 0|8@1+ (1,0) [0|0] \"\" Y\nSIG_VALTYPE_ 1 S : 1;\n", 2, 6,
         "8 bits long but SIG_VALTYPE_ makes it a float"},
        {"BO_ 1 A: 8 X\n SG_ S m1 : 0|8@1+ (1,0) [0|0] \"\" Y\n", 2, 6, "has no multiplexor (M)"},
        {"BO_ 1 A: 8 X\n SG_ S mx : 0|8@1+ (1,0) [0|0] \"\" Y\n", 2, 8, "expected M, m<number>"},
        {"BO_ 1 A: 8 X\n SG_ M1 M : 0|8@1+ (1,0) [0|0] \"\" Y\n SG_ S m1 : 8|8@1+ (1,0) [0|0] \"\" "
         "Y\n SG_ T : 16|8@1+ (1,0) [0|0] \"\" Y\nSG_MUL_VAL_ 1 S T 1-1;\n",
         5, 13, "T is not a multiplexor"},
        {"BO_ 1 A: 8 X\n SG_ P m1M : 0|8@1+ (1,0) [0|0] \"\" Y\n SG_ Q m1M : 8|8@1+ (1,0) [0|0] \"\" "
         "Y\nSG_MUL_VAL_ 1 P Q 1-1;\nSG_MUL_VAL_ 1 Q P 1-1;\n",
         2, 6, "select each other in a loop"},
        {"BO_ 1 A: 8 X\n SG_ S : 505|8@1+ (1,0) [0|0] \"\" Y\n", 2, 10, "does not fit in 64 bytes"},
        {"BO_ 1 A: 8 X\n SG_ S : 0|8@1+ (1,0) [0|0] \"\" Y\nVAL_ 1 S 1 \"a\" 2 ;\n", 3, 18,
         "expected the value's text in quotes"},
        {"CM_ \"ä\" ; 7 \n", 1, 11, "expected a keyword"},   // columns count characters
        {"BA_DEF_ BO_ \"X\" INTEGER 0 1;\n", 1, 17, "expected INT, HEX, FLOAT, STRING or ENUM"},
    };
    for (const BadFile &c : cases) {
        dbc_db db;
        dbc_error e;
        EXPECT_EQ(-1, dbc_parse(c.text, strlen(c.text), &db, &e)) << c.text;
        EXPECT_EQ(c.line, e.line) << c.text << e.message;
        EXPECT_EQ(c.column, e.column) << c.text << e.message;
        EXPECT_NE(nullptr, strstr(e.message, c.says)) << c.text << " -> " << e.message;
        EXPECT_TRUE(db.messages.empty());
    }
    dbc_db db;
    dbc_error e;
    EXPECT_EQ(-1, dbc_load_file("/nonexistent/x.dbc", &db, &e));
    EXPECT_EQ(0, e.line);
    EXPECT_NE(nullptr, strstr(e.message, "cannot open"));
    EXPECT_EQ(0, dbc_parse("", 0, &db, &e));
}

TEST(Dbc, EveryTruncationOfAFileIsReadOrRefusedCleanly)
{
    std::string text = nbtest::read_file(dbc_dir() + "multiplex.dbc") +
                       dbc_to_utf8(nbtest::read_file(dbc_dir() + "realistic_latin1.dbc").data(),
                                   nbtest::read_file(dbc_dir() + "realistic_latin1.dbc").size());
    int ok = 0;
    for (size_t n = 0; n <= text.size(); n++) {
        dbc_db db;
        dbc_error e;
        if (dbc_parse(text.data(), n, &db, &e) == 0)
            ok++;
        else
            EXPECT_GT(e.line, 0) << n;
    }
    EXPECT_GT(ok, 10);
}

TEST(Dbc, SignalsBeyondAShortFrameAreNotDecoded)
{
    const char *text =
        "BO_ 1 A: 8 X\n"
        " SG_ Lo : 0|8@1+ (1,0) [0|0] \"\" Y\n"
        " SG_ Cross : 8|16@1+ (1,0) [0|0] \"\" Y\n"
        " SG_ Moto : 7|16@0+ (1,0) [0|0] \"\" Y\n"
        " SG_ Mux M : 16|8@1+ (1,0) [0|0] \"\" Y\n"
        " SG_ Sel m3 : 0|4@1+ (2,1) [0|0] \"\" Y\n";
    dbc_db db;
    dbc_error e;
    ASSERT_EQ(0, dbc_parse(text, strlen(text), &db, &e)) << e.message;
    const dbc_message *m = dbc_find(&db, 1, 0);
    dbc_value v[5];
    for (dbc_value &x : v)
        x = {-7.0, -7, 9};
    const uint8_t data[8] = {0x35, 0x12, 0x03, 0, 0, 0, 0, 0};
    EXPECT_EQ(2, dbc_decode(m, data, 2, v));
    EXPECT_EQ(1, v[0].active);
    EXPECT_EQ(0x35, v[0].raw);
    EXPECT_EQ(0, v[1].active);
    EXPECT_EQ(-7, v[1].raw);   // not selected: left as it was
    EXPECT_EQ(0x3512, v[2].raw);
    EXPECT_EQ(0, v[3].active);
    EXPECT_EQ(0, v[4].active);  // its multiplexor is not in the frame
    EXPECT_EQ(5, dbc_decode(m, data, 3, v));
    EXPECT_EQ(11.0, v[4].phys);
}

}  // namespace

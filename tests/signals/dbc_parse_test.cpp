// The DBC reader on its own: what it keeps of a file written the way real
// tools write them, the encodings, its error reports, and short frames.
#include <gtest/gtest.h>
#include <glib.h>
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

    // The comment on a signal the file does not define is skipped, and so
    // is a statement of an unknown kind; both are listed.
    ASSERT_EQ(2u, db.problems.size());
    EXPECT_EQ(68, db.problems[0].line);
    EXPECT_EQ(DBC_UNDEFINED, db.problems[0].kind);
    EXPECT_NE(std::string::npos, db.problems[0].text.find("signal Fehlt of message 999"));
    EXPECT_EQ(95, db.problems[1].line);
    EXPECT_EQ(DBC_SKIPPED, db.problems[1].kind);
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

// What a file's problems say, one line each: "line:column kind text".
std::vector<std::string> problems_of(const dbc_db &db)
{
    std::vector<std::string> out;
    for (const dbc_problem &p : db.problems)
        out.push_back(std::to_string(p.line) + ":" + std::to_string(p.column) + " " +
                      "SRU"[p.kind] + " " + p.text);
    return out;
}

// The problem at line:column names its kind and says why.
void expect_problem(const dbc_db &db, int line, int column, char kind, const char *says)
{
    for (const std::string &p : problems_of(db))
        if (p.compare(0, p.find(' '), std::to_string(line) + ":" + std::to_string(column)) == 0) {
            EXPECT_EQ(kind, p[p.find(' ') + 1]) << p;
            EXPECT_NE(std::string::npos, p.find(says)) << p;
            return;
        }
    ADD_FAILURE() << "no problem at " << line << ":" << column << " (" << says << ")";
}

dbc_db load(const char *name)
{
    dbc_db db;
    dbc_error e;
    EXPECT_EQ(0, dbc_load_file((dbc_dir() + name).c_str(), &db, &e))
        << name << ":" << e.line << ":" << e.column << ": " << e.message;
    return db;
}

TEST(Dbc, IdentifiersAboveTheStandardRangeWithoutBit31AreExtended)
{
    dbc_db db = load("ext_without_bit31.dbc");
    const dbc_message *door = dbc_find(&db, 0x10630000, 1);
    ASSERT_NE(nullptr, door);
    EXPECT_EQ(274923520u, door->raw_id);
    // References by the identifier as written still find it.
    EXPECT_EQ("Written without the extended flag", door->comment);
    EXPECT_EQ(100, door->cycle_time_ms);
    EXPECT_STREQ("Open", dbc_value_label(&door->signals[0], 1));
    const dbc_message *b30 = dbc_find(&db, 0x140639, 1);   // bit 30 as written is not the identifier's
    ASSERT_NE(nullptr, b30);
    EXPECT_EQ("A signal of it", b30->signals[0].comment);
    EXPECT_NE(nullptr, dbc_find(&db, 1, 0));
    EXPECT_NE(nullptr, dbc_find(&db, 0x105AA000, 1));
    // Said once for all of them; bit 30, dropped, is said apart.
    ASSERT_EQ(2u, db.problems.size()) << problems_of(db)[0];
    expect_problem(db, 8, 5, 'R', "taken as the extended identifier 0x10630000");
    expect_problem(db, 12, 5, 'R', "identifier 1075054137 of message BitThirty has bit 30 set and not the "
                                   "extended flag (bit 31): bit 30 dropped, taken as the extended identifier "
                                   "0x140639");
}

TEST(Dbc, TheHolderOfLooseSignalsIsKnownWithoutBit31)
{
    dbc_db db = load("pseudo_40000000.dbc");
    ASSERT_EQ(2u, db.messages.size());
    EXPECT_FALSE(db.messages[0].decodable);
    EXPECT_NE(nullptr, dbc_find(&db, 0x500, 0));
    EXPECT_TRUE(db.problems.empty());
}

TEST(Dbc, ABrokenMessageOrSignalIsSkippedAndTheRestLoads)
{
    dbc_db db = load("broken_message.dbc");
    const dbc_message *good = dbc_find(&db, 256, 0);
    ASSERT_NE(nullptr, good);
    EXPECT_EQ("Good", good->name);   // not the second message of that identifier
    ASSERT_EQ(2u, good->signals.size());
    EXPECT_EQ("Flag", good->signals[1].name);
    EXPECT_EQ("Still here", good->signals[1].comment);
    // Names that start with a digit are read.
    const dbc_message *digits = dbc_find(&db, 512, 0);
    ASSERT_NE(nullptr, digits);
    EXPECT_EQ("2017_Status", digits->name);
    EXPECT_EQ("0_COUNTER", digits->signals[0].name);
    EXPECT_EQ("A name that starts with a digit", digits->signals[0].comment);
    // A signal that cannot be what SIG_VALTYPE_ says is dropped; the
    // others keep their places in the decode plan.
    const dbc_message *floaty = dbc_find(&db, 768, 0);
    ASSERT_EQ(1u, floaty->signals.size());
    const uint8_t data[8] = {1, 2, 0x7F, 4, 5, 6, 7, 8};
    dbc_value v[1];
    EXPECT_EQ(1, dbc_decode(floaty, data, 8, v));
    EXPECT_EQ(0x7F, v[0].raw);

    ASSERT_EQ(3u, db.problems.size());
    expect_problem(db, 7, 19, 'S', "signal TooLong of message Good skipped: signal length 65");
    expect_problem(db, 10, 5, 'S', "message Again (256) with its signals skipped: identifier 256 is "
                                   "message Good's already (line 5)");
    expect_problem(db, 18, 6, 'S', "signal NotAFloat of message Floaty skipped: it is 16 bits long "
                                   "but SIG_VALTYPE_ (line 23) makes it a float");
}

TEST(Dbc, ReadingGoesOnAfterASyntaxError)
{
    dbc_db db = load("syntax_errors.dbc");
    const dbc_message *second = dbc_find(&db, 101, 0);
    ASSERT_NE(nullptr, second);
    EXPECT_EQ("A comment without its semicolon", db.comment);
    EXPECT_EQ("Gear lever position", second->signals[0].comment);
    EXPECT_STREQ("D", dbc_value_label(&second->signals[0], 3));
    EXPECT_STREQ("Zero", dbc_value_label(&dbc_find(&db, 100, 0)->signals[0], 0));
    ASSERT_EQ(4u, db.problems.size());
    expect_problem(db, 6, 11, 'S', "signal Mode of message First skipped: expected M, m<number>");
    expect_problem(db, 9, 38, 'R', "comment: ';' missing");
    expect_problem(db, 13, 13, 'S', "comment of a signal skipped: expected a signal name, found \"\"\"");
    expect_problem(db, 15, 38, 'R', "value descriptions of signal Gear: ';' missing");
}

TEST(Dbc, LongNamesReplaceTheirStubs)
{
    dbc_db db = load("long_names.dbc");
    const dbc_message *m = dbc_find(&db, 291, 0);
    ASSERT_NE(nullptr, m);
    EXPECT_EQ("Msg_Long_Name_56789_1234567_000000_Body_Status", m->name);
    EXPECT_EQ("Sig_Long_Name_56789_1234567_000000_Door_Front_Left", m->signals[0].name);
    EXPECT_EQ("Found by its short name", m->signals[0].comment);
    EXPECT_EQ("Short", m->signals[1].name);
    EXPECT_EQ("Body_Control_Module_Front_Left", m->sender);
    EXPECT_EQ("Body_Control_Module_Front_Left", db.nodes[0].name);
}

TEST(Dbc, TextsInAnyEncodingAreReadAndEveryRefusalIsValidUtf8)
{
    // Names with Latin-1 letters, as UTF-8 and as UTF-16 either way round,
    // with and without a byte-order mark.
    std::string latin1 = nbtest::read_file(dbc_dir() + "latin1_names.dbc");
    std::string utf8 = dbc_to_utf8(latin1.data(), latin1.size());
    std::string le, be;
    glong n16 = 0;
    gunichar2 *u16 = g_utf8_to_utf16(utf8.c_str(), -1, nullptr, &n16, nullptr);
    for (glong i = 0; i < n16; i++) {
        le += (char)(u16[i] & 0xFF);
        le += (char)(u16[i] >> 8);
        be += (char)(u16[i] >> 8);
        be += (char)(u16[i] & 0xFF);
    }
    g_free(u16);
    for (const std::string &bytes : {latin1, utf8, "\xff\xfe" + le, "\xfe\xff" + be, le, be}) {
        dbc_db db;
        dbc_error e;
        ASSERT_EQ(0, dbc_load_bytes(bytes.data(), bytes.size(), &db, &e)) << e.message;
        ASSERT_EQ(2u, db.messages.size());
        EXPECT_EQ("Drehzahl_Münster", db.messages[0].name);
        EXPECT_EQ("Größe", db.messages[0].signals[0].name);
        EXPECT_EQ("Motorsteuergerät", db.messages[1].sender);
    }
    // Bytes that are no text are refused by name.
    dbc_db db;
    dbc_error e;
    const char binary[] = "\x89PNG\r\n\x1a\n\0\0\0\rIHDR";
    EXPECT_EQ(-1, dbc_load_bytes(binary, sizeof binary - 1, &db, &e));
    EXPECT_NE(nullptr, strstr(e.message, "not a text file")) << e.message;
    // A refusal at a non-ASCII character quotes it whole.
    const char *cases[] = {"BO_ \xc3\xa4 A: 8 X\n", "\xe2\x82\xac", "BO_ 1 A: \xc3\xa4 X\n"};
    for (const char *text : cases) {
        EXPECT_EQ(-1, dbc_parse(text, strlen(text), &db, &e)) << text;
        EXPECT_TRUE(g_utf8_validate(e.message, -1, nullptr)) << e.message;
    }
    EXPECT_NE(nullptr, strstr(e.message, "found \"ä\"")) << e.message;
}

struct BadFile {
    const char *text;
    int line, column;
    const char *says;
};

TEST(Dbc, AFileWithNoUsableMessageIsRefusedWithItsFirstProblem)
{
    const BadFile cases[] = {
        {"BO_ 100 Msg 8 X\n", 1, 13, "expected ':' after the message name, found \"8\""},
        {" SG_ S : 0|8@1+ (1,0) [0|0] \"\" Y\n", 1, 2, "SG_ outside a message"},
        {"BO_ 4294967296 A: 8 X\n", 1, 5, "must be 0 to 4294967295"},
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
    const char words[] = "Dear reader,\nthis is a letter.\n";
    EXPECT_EQ(-1, dbc_parse(words, sizeof words - 1, &db, &e));
    EXPECT_NE(nullptr, strstr(e.message, "not a DBC database")) << e.message;
    EXPECT_EQ(0, dbc_parse("", 0, &db, &e));
    EXPECT_EQ(0, dbc_parse("VERSION \"\"\nBU_: A\n", 18, &db, &e));
}

TEST(Dbc, EachBrokenPartIsListedWithLineColumnAndWhy)
{
    const BadFile cases[] = {
        {"BO_ 1 A: 8 X\n SG_ S : 0|8@2+ (1,0) [0|0] \"\" Y\n", 2, 14, "byte order 0 (Motorola)"},
        {"BO_ 1 A: 8 X\n SG_ S : 0|8@1+ (1;0) [0|0] \"\" Y\n", 2, 19, "expected ',' after the factor"},
        {"BO_ 1 A: 8 X\n SG_ S : 0|8@1+ (1,0) [0|0] \"\" Y\n SG_ S : 8|8@1+ (1,0) [0|0] \"\" Y\n", 3,
         6, "a signal of that name is in the message already"},
        {"BO_ 1 A: 8 X\n SG_ S m1 : 0|8@1+ (1,0) [0|0] \"\" Y\n", 2, 6, "has no multiplexor (M)"},
        {"BO_ 1 A: 8 X\n SG_ M1 M : 0|8@1+ (1,0) [0|0] \"\" Y\n SG_ S m1 : 8|8@1+ (1,0) [0|0] \"\" "
         "Y\n SG_ T : 16|8@1+ (1,0) [0|0] \"\" Y\nSG_MUL_VAL_ 1 S T 1-1;\n",
         5, 13, "T is not a multiplexor"},
        {"BO_ 1 A: 8 X\n SG_ P m1M : 0|8@1+ (1,0) [0|0] \"\" Y\n SG_ Q m1M : 8|8@1+ (1,0) [0|0] \"\" "
         "Y\nSG_MUL_VAL_ 1 P Q 1-1;\nSG_MUL_VAL_ 1 Q P 1-1;\n",
         2, 6, "select each other in a loop"},
        {"BO_ 1 A: 8 X\n SG_ S : 0|8@1+ (1,0) [0|0] \"unit Y\nBO_ 2 B 8 X\n", 2, 29,
         "string is not closed"},
        {"BO_ 1 A: 8 X\n SG_ S : 505|8@1+ (1,0) [0|0] \"\" Y\n", 2, 10, "do not fit in 64 bytes"},
        {"BO_ 1 A: 8 X\n SG_ S : 0|8@1+ (1,0) [0|0] \"\" Y\nVAL_ 1 S 1 \"a\" 2 ;\n", 3, 18,
         "expected the value's text in quotes"},
    };
    for (const BadFile &c : cases) {
        dbc_db db;
        dbc_error e;
        ASSERT_EQ(0, dbc_parse(c.text, strlen(c.text), &db, &e)) << c.text << e.message;
        EXPECT_EQ(1u, db.messages.size());
        expect_problem(db, c.line, c.column, 'S', c.says);
    }
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
            EXPECT_TRUE(e.line > 0 || strstr(e.message, "not a DBC database")) << n << e.message;
    }
    // Once the first message is whole, every cut loads.
    EXPECT_GT(ok, (int)text.size() - 300);
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

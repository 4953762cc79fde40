/*
 * The configuration-file reader, token tables, writers and number reader.
 */
#include <gtest/gtest.h>

#include <glib.h>
#include <glib/gstdio.h>

#include <functional>
#include <string>
#include <vector>

#include "nimbrel/nimbrel.h"
#include "session/cfg.h"

namespace {

std::string temp_path(const char *name)
{
    static std::string dir;
    if (dir.empty()) {
        gchar *d = g_dir_make_tmp("cfgtest-XXXXXX", nullptr);
        dir = d;
        g_free(d);
    }
    return dir + "/" + name;
}

std::string write_file(const std::string &content, const char *name = "in.nbs")
{
    std::string path = temp_path(name);
    g_file_set_contents(path.c_str(), content.data(), (gssize)content.size(), nullptr);
    return path;
}

std::string read_file(const std::string &path)
{
    gchar *data = nullptr;
    gsize len = 0;
    if (!g_file_get_contents(path.c_str(), &data, &len, nullptr))
        return "<missing>";
    std::string s(data, len);
    g_free(data);
    return s;
}

/* Reads a text with handlers that record every call; a handler may be
 * replaced to make it fail. */
struct recorder {
    std::vector<std::string> calls;
    std::function<int(cfg_reader *, const char *, size_t)> section;
    std::function<int(cfg_reader *)> section_end;
    std::function<int(cfg_reader *, const char *, size_t, const char *)> key;
    int status = 0;
    uint32_t line_no = 0;
    std::string message;

    static int on_section(cfg_reader *rd, void *u, const char *name, size_t len)
    {
        auto *r = static_cast<recorder *>(u);
        r->calls.push_back("S[" + std::string(name) + "]" + std::to_string(len));
        return r->section ? r->section(rd, name, len) : 0;
    }
    static int on_end(cfg_reader *rd, void *u)
    {
        auto *r = static_cast<recorder *>(u);
        r->calls.push_back("E");
        return r->section_end ? r->section_end(rd) : 0;
    }
    static int on_key(cfg_reader *rd, void *u, const char *key, size_t len, const char *value)
    {
        auto *r = static_cast<recorder *>(u);
        r->calls.push_back("K[" + std::string(key) + "]" + std::to_string(len) + "=[" + value + "]");
        return r->key ? r->key(rd, key, len, value) : 0;
    }

    int run(const std::string &content)
    {
        cfg_reader *rd = nullptr;
        int rc = cfg_open(write_file(content).c_str(), this, on_section, on_end, on_key, &rd);
        if (rc != 0)
            return rc;
        int calls_left = 100000;
        while (cfg_next_line(rd, &status) && --calls_left > 0)
            ;
        line_no = rd->line_no;
        message = rd->message;
        cfg_close(rd);
        return status;
    }
};

using calls_t = std::vector<std::string>;

TEST(CfgReader, SectionHeaders)
{
    recorder r;
    EXPECT_EQ(r.run("[ Plugin ]\n[Nimbrel]   # note\n[ a\tb [x = ]\n"), 0);
    EXPECT_EQ(r.calls, (calls_t{"E", "S[Plugin]6", "E", "S[Nimbrel]7", "E", "S[a\tb [x =]8", "E"}));
}

TEST(CfgReader, HeaderFailuresInOrderWithMessageAndLine)
{
    struct {
        const char *line;
        const char *reason;
    } cases[] = {
        {"[Plugin]x", "trash after terminating ']' in section name"},
        {"[Plugin] x # c", "trash after terminating ']' in section name"},
        {"[]", "empty section name"},
        {"[   ]", "empty section name"},
        {"[Plugin", "no terminating ']' in section name"},
        {"[   ", "no terminating ']' in section name"},   /* checked before empty */
        {"[ ]x", "trash after terminating ']' in section name"},  /* before empty */
    };
    for (const auto &c : cases) {
        recorder r;
        /* two counted lines (blank, comment) before the failing one */
        EXPECT_EQ(r.run(std::string(" \t\n  # comment\n") + c.line + "\n[Never]\n"), CFG_E_SYNTAX)
            << c.line;
        EXPECT_EQ(r.line_no, 3u) << c.line;
        EXPECT_EQ(r.message, std::string("syntax error at line 3: ") + c.reason) << c.line;
        EXPECT_EQ(r.calls, calls_t{}) << c.line;   /* no handler for a broken header */
    }
}

TEST(CfgReader, KeyLines)
{
    recorder r;
    EXPECT_EQ(r.run("Hsize=  1000\n"
                    "Hsize =1000\n"
                    "  a b  = c\n"
                    "Empty=\n"
                    "Blank=  \t \n"
                    "V= x y  # not a comment  \n"
                    "NoLf=last"),
              0);
    EXPECT_EQ(r.calls, (calls_t{"K[Hsize]5=[1000]", "K[Hsize ]5=[1000]", "K[a b  ]3=[c]",
                                "K[Empty]5=[]", "K[Blank]5=[]", "K[V]1=[x y  # not a comment  ]",
                                "K[NoLf]4=[last]", "E"}));
}

TEST(CfgReader, KeyFailures)
{
    recorder r;
    EXPECT_EQ(r.run("A=1\nno equals here\n"), CFG_E_SYNTAX);
    EXPECT_EQ(r.message, "syntax error at line 2: no '=' symbol in key declaration");
    recorder r2;
    EXPECT_EQ(r2.run("\t  = value\n"), CFG_E_SYNTAX);
    EXPECT_EQ(r2.message, "syntax error at line 1: empty key name");
}

TEST(CfgReader, EmptyFileEndsOneSection)
{
    recorder r;
    EXPECT_EQ(r.run(""), 0);
    EXPECT_EQ(r.calls, calls_t{"E"});
    EXPECT_EQ(r.line_no, 0u);
    recorder c;
    EXPECT_EQ(c.run("# only\n\n   \n"), 0);
    EXPECT_EQ(c.calls, calls_t{"E"});
    EXPECT_EQ(c.line_no, 3u);
}

TEST(CfgReader, CrLfReadsAsLf)
{
    recorder r;
    EXPECT_EQ(r.run("[Nimbrel]\r\nHsize=5\r\nName=a b \r\n\r\n"), 0);
    EXPECT_EQ(r.calls, (calls_t{"E", "S[Nimbrel]7", "K[Hsize]5=[5]", "K[Name]4=[a b ]", "E"}));
}

TEST(CfgReader, HandlerCodesChooseTheMessage)
{
    struct {
        int code;
        const char *kind;
    } cases[] = {
        {CFG_E_SYNTAX, "syntax error"},
        {CFG_E_UNKNOWN_SECTION, "unknown section"},
        {CFG_E_UNKNOWN_KEY, "unknown key"},
        {CFG_E_INCOMPLETE_SECTION, "incomplete section"},
        {CFG_E_SECTION_COMPLETE, "section complete function error"},
        {-5, "unknown error"},
    };
    for (const auto &c : cases) {
        recorder r;
        r.section = [&](cfg_reader *rd, const char *name, size_t) {
            if (std::string(name) != "Bad")
                return 0;
            cfg_set_reason(rd, "%s", "unrecognized section");
            return c.code;
        };
        EXPECT_EQ(r.run("[Good]\n\n[Bad]\nK=1\n"), c.code);
        char want[256];
        snprintf(want, sizeof want, "%s at line 3: unrecognized section", c.kind);
        EXPECT_EQ(r.message, want);
        EXPECT_EQ(r.calls, (calls_t{"E", "S[Good]4", "E", "S[Bad]3"}));   /* stopped there */
    }
}

TEST(CfgReader, FailingSectionEndStopsBeforeTheHeaderAndAtTheEnd)
{
    recorder r;
    int ends = 0;
    r.section_end = [&](cfg_reader *rd) {
        if (++ends < 2)
            return 0;
        cfg_set_reason(rd, "missing Path");
        return (int)CFG_E_INCOMPLETE_SECTION;
    };
    EXPECT_EQ(r.run("[A]\n[B]\n"), CFG_E_INCOMPLETE_SECTION);
    EXPECT_EQ(r.calls, (calls_t{"E", "S[A]1", "E"}));   /* B's on_section not called */
    EXPECT_EQ(r.message, "incomplete section at line 2: missing Path");

    recorder e;
    e.section_end = [&](cfg_reader *rd) {
        cfg_set_reason(rd, "at end");
        return CFG_E_SECTION_COMPLETE;
    };
    EXPECT_EQ(e.run("K=1\n#\n"), CFG_E_SECTION_COMPLETE);
    EXPECT_EQ(e.message, "section complete function error at line 2: at end");
}

TEST(CfgReader, OverlongLinesArriveInPieces)
{
    /* 1500 characters: the first piece holds 1023, the rest is a line of
     * its own without '=' and fails on line 2. */
    recorder r;
    std::string longv(1498, 'v');
    EXPECT_EQ(r.run("K=" + longv + "\n"), CFG_E_SYNTAX);
    ASSERT_EQ(r.calls.size(), 1u);
    EXPECT_EQ(r.calls[0], "K[K]1=[" + std::string(1021, 'v') + "]");
    EXPECT_EQ(r.message, "syntax error at line 2: no '=' symbol in key declaration");

    /* Exactly 1023 characters before the line feed: the remainder is only
     * the line feed, a blank line that is counted. */
    recorder b;
    EXPECT_EQ(b.run("K=" + std::string(1021, 'w') + "\nbad\n"), CFG_E_SYNTAX);
    EXPECT_EQ(b.message, "syntax error at line 3: no '=' symbol in key declaration");
}

TEST(CfgReader, OpenFailureIsMinusOne)
{
    cfg_reader *rd = reinterpret_cast<cfg_reader *>(1);
    EXPECT_EQ(cfg_open(temp_path("does-not-exist").c_str(), nullptr, nullptr, nullptr, nullptr,
                       &rd),
              -1);
    EXPECT_EQ(rd, nullptr);
}

TEST(CfgTokens, AddFindDuplicatesAndEqualHashes)
{
    cfg_token_table t;
    cfg_tokens_init(&t);
    /* "Aa"/"BB" and their concatenations share one hash. */
    ASSERT_EQ(cfg_hash("Aa"), cfg_hash("BB"));
    ASSERT_EQ(cfg_hash("AaAa"), cfg_hash("BBBB"));
    const char *same[] = {"AaAa", "BBBB", "AaBB", "BBAa"};
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(cfg_tokens_add(&t, same[i], 100 + i), 0);
    EXPECT_EQ(cfg_tokens_add(&t, "BBBB", 7), CFG_E_EXISTS);
    EXPECT_EQ(t.count, 1);
    EXPECT_EQ(t.buckets[0]->entry_count, 4);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(cfg_tokens_find(&t, same[i]), 100 + i);
    EXPECT_EQ(cfg_tokens_find(&t, "bbbb"), 0);   /* case-sensitive */
    EXPECT_EQ(cfg_tokens_find(&t, "AaAaAa"), 0);
    cfg_tokens_free(&t);
    EXPECT_EQ(cfg_tokens_find(&t, "AaAa"), 0);
}

TEST(CfgTokens, ManyNamesStaySortedAndAreFound)
{
    cfg_token_table t;
    cfg_tokens_init(&t);
    std::vector<std::string> names;
    for (int i = 0; i < 300; ++i)   /* long names give hashes of both signs */
        names.push_back("key-name-number-" + std::to_string(i * 7919));
    names.push_back("");
    for (size_t i = 0; i < names.size(); ++i)
        ASSERT_EQ(cfg_tokens_add(&t, names[i].c_str(), (int64_t)i + 1), 0) << names[i];
    for (int32_t i = 1; i < t.count; ++i)
        EXPECT_LT(t.buckets[i - 1]->hash, t.buckets[i]->hash);
    EXPECT_LT(t.buckets[0]->hash, 0);
    EXPECT_GT(t.buckets[t.count - 1]->hash, 0);
    for (size_t i = 0; i < names.size(); ++i)
        EXPECT_EQ(cfg_tokens_find(&t, names[i].c_str()), (int64_t)i + 1) << names[i];
    EXPECT_EQ(cfg_tokens_find(&t, "key-name-number-1"), 0);
    cfg_tokens_free(&t);
}

TEST(CfgNumbers, AcceptedAndRefused)
{
    struct {
        const char *text;
        int32_t value;
    } good[] = {
        {"1000", 1000}, {"0x1F", 31}, {"0X1f", 31}, {"-12", -12}, {"+7", 7},
        {"12 # note", 12}, {"12   ", 12}, {"0", 0}, {"0x0", 0}, {"-0x10", -16},
        {"4294967295", -1}, {"0xffffffff", -1}, {"4294967296", 0},   /* 32-bit wrap */
        {"-2147483648", INT32_MIN},
    };
    for (const auto &g : good) {
        int32_t v = 12345;
        EXPECT_EQ(nbpg_keyval_get_int(g.text, &v), 0) << g.text;
        EXPECT_EQ(v, g.value) << g.text;
    }
    const char *bad[] = {"12#note", "12 34", "", "0x", "-", "x12", " 12", "1A", "0x1g",
                         "+-1", "12 x", "0x 1"};
    for (const char *b : bad) {
        int32_t v = 0;
        EXPECT_EQ(nbpg_keyval_get_int(b, &v), -1024) << b;
    }
    int32_t v = 99;
    EXPECT_EQ(nbpg_keyval_get_int(nullptr, &v), -1024);
    EXPECT_EQ(v, 0);
}

TEST(CfgWriter, ExactLinesAndRefusals)
{
    std::string path = temp_path("out.nbs");
    FILE *f = fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(cfg_write_section(f, "Nimbrel"), 0);
    EXPECT_EQ(nbpg_save_key(f, "Hsize", "1000"), 0);
    EXPECT_EQ(nbpg_save_key(f, "Empty", ""), 0);
    EXPECT_EQ(nbpg_save_key(f, "a=b", "1"), -1026);
    EXPECT_EQ(nbpg_save_key(f, "[a", "1"), -1026);
    EXPECT_EQ(nbpg_save_key(f, "a]", "1"), -1026);
    EXPECT_EQ(cfg_write_section(f, "Plug]in"), -1026);
    EXPECT_EQ(cfg_write_section(f, "Plug=in"), -1026);
    /* Line breaks would inject lines; blank keys would not read back. */
    EXPECT_EQ(nbpg_save_key(f, "Key", "one\n[Nimbrel]"), -1026);
    EXPECT_EQ(nbpg_save_key(f, "Key", "one\rtwo"), -1026);
    EXPECT_EQ(nbpg_save_key(f, "Ke\ny", "1"), -1026);
    EXPECT_EQ(nbpg_save_key(f, "", "1"), -1026);
    EXPECT_EQ(nbpg_save_key(f, "  \t", "1"), -1026);
    EXPECT_EQ(nbpg_save_key(f, nullptr, "1"), -1026);
    EXPECT_EQ(nbpg_save_key(f, "Key", nullptr), -1026);
    /* Read back as a comment, or as the host's selector of the section. */
    EXPECT_EQ(nbpg_save_key(f, "#Key", "1"), -1026);
    EXPECT_EQ(nbpg_save_key(f, " #Key", "1"), -1026);
    EXPECT_EQ(nbpg_save_key(f, "Path", "/x.so"), -1026);
    EXPECT_EQ(nbpg_save_key(f, "\tPath", "/x.so"), -1026);
    EXPECT_EQ(nbpg_save_key(nullptr, "Key", "1"), -1024);
    /* A line the reader cannot hold is not written (cut, its value would
     * read back as another); the longest that fits is. */
    EXPECT_EQ(nbpg_save_key(f, "Long", std::string(2000, 'x').c_str()), -1024);
    EXPECT_EQ(nbpg_save_key(f, "Long", std::string(1018, 'x').c_str()), -1024);
    EXPECT_EQ(nbpg_save_key(f, "Long", std::string(1017, 'x').c_str()), 0);
    fclose(f);
    std::string want = "\n[Nimbrel]\nHsize=1000\nEmpty=\nLong=" + std::string(1017, 'x') + "\n";
    EXPECT_EQ(read_file(path), want);

    recorder r;
    EXPECT_EQ(r.run(want), 0);
    EXPECT_EQ(r.calls.back(), "E");
    EXPECT_EQ(r.calls[r.calls.size() - 2], "K[Long]4=[" + std::string(1017, 'x') + "]");
}

TEST(CfgWriter, WriteFailureIsIoError)
{
    FILE *f = fopen("/dev/full", "w");
    if (!f)
        GTEST_SKIP() << "no /dev/full";
    EXPECT_EQ(nbpg_save_key(f, "Hsize", "1000"), -1024);
    EXPECT_EQ(cfg_write_section(f, "Nimbrel"), -1024);
    fclose(f);
}

}  // namespace

// Texts of the message boxes: printf rules, the 1022-character cut, and
// library error texts shown literally.
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "app/messages.h"
#include "app/nb_app.h"

namespace {

std::string fmt(size_t size, const char *format, ...) G_GNUC_PRINTF(2, 3);
std::string fmt(size_t size, const char *format, ...)
{
    std::string buf(size, '\x7f');
    va_list args;
    va_start(args, format);
    message_vformat(&buf[0], size, format, args);
    va_end(args);
    return std::string(buf.c_str());
}

TEST(MessageFormat, PrintfRulesAndDoubledPercent)
{
    EXPECT_EQ(fmt(1024, "100%% of %d frames at %s", 512, "500 kbit/s"),
              "100% of 512 frames at 500 kbit/s");
    // An argument's percent signs are not interpreted again.
    EXPECT_EQ(fmt(1024, "%s", "50% %s %d"), "50% %s %d");
}

TEST(MessageFormat, CutTo1022Characters)
{
    std::string longtext(1500, 'x');
    EXPECT_EQ(fmt(1024, "%s", longtext.c_str()).size(), 1022u);
    EXPECT_EQ(fmt(1024, "%s", std::string(1022, 'y').c_str()).size(), 1022u);
    EXPECT_EQ(fmt(1024, "%s", std::string(1021, 'y').c_str()).size(), 1021u);
    // A smaller buffer is never overrun.
    EXPECT_EQ(fmt(16, "%s", longtext.c_str()), std::string(15, 'x'));
}

TEST(MessageFormat, LibraryErrorJoinsTextAndDescriptionLiterally)
{
    char desc[512] = "";
    ZkStrError(ZK_E_NOTSTARTED, desc, sizeof desc);
    char buf[1024];
    lib_error_format(buf, sizeof buf, "can not reset CAN controller", ZK_E_NOTSTARTED);
    EXPECT_EQ(std::string(buf), std::string("can not reset CAN controller: ") + desc);

    lib_error_format(buf, sizeof buf, "50% %s %d", ZK_E_NOTSTARTED);
    EXPECT_EQ(std::string(buf), std::string("50% %s %d: ") + desc);

    // Only the code's low 16 bits name the error.
    char buf2[1024];
    lib_error_format(buf2, sizeof buf2, "x", (int32_t)0x7fff0000 | (uint16_t)ZK_E_IO);
    lib_error_format(buf, sizeof buf, "x", ZK_E_IO);
    EXPECT_STREQ(buf, buf2);

    std::string longtext(2000, 'z');
    lib_error_format(buf, sizeof buf, longtext.c_str(), ZK_E_IO);
    EXPECT_EQ(strlen(buf), 1023u);
}

}  // namespace

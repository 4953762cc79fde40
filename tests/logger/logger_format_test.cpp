// Error reports as error frames, on the logger's own sources.
#include <gtest/gtest.h>
#include <string.h>

#include "logger.h"

namespace {

TEST(LoggerFormat, ErrorReportsAsCandumpErrorFrames)
{
    char buf[CL_LINE_MAX];
    cl_frame f;
    zk_errs e = {0, 1, 0, 0, 1};
    lg_error_frame(&e, 0, 1000000, &f);
    ASSERT_NE(0u, cl_fmt_candump(buf, sizeof buf, &f));
    EXPECT_STREQ("(0000000001.000000) can0 200000C1#0000000000000000\n", buf);
    zk_errs w = {1, 0, 0, 2, 0};
    lg_error_frame(&w, 2, 0, &f);
    ASSERT_NE(0u, cl_fmt_candump(buf, sizeof buf, &f));
    EXPECT_STREQ("(0000000000.000000) can2 20000084#000D000000000000\n", buf);
}

}  // namespace

// Main of the plain (non-GUI) test binaries.
#include <gtest/gtest.h>

#include "test_env.h"

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    nbtest::isolate_environment();
    return RUN_ALL_TESTS();
}

// The test binary doubles as its own probe: run with GATEWISE_PRINT_EXE_DIR=1 it prints
// ExecutableDirectory() and exits, so a test can run a copy of it from another place.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "core/exe_path.h"

int main(int argc, char** argv) {
    if (std::getenv("GATEWISE_PRINT_EXE_DIR") != nullptr) {
        std::fputs(ExecutableDirectory().c_str(), stdout);
        return 0;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

// Test entry point: the diagnostic log is open for the whole run, as in the guard.
#include <gtest/gtest.h>

#include "utils.h"

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    InitLog();
    return RUN_ALL_TESTS();
}

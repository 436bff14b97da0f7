#include <gtest/gtest.h>

#include "platform/clock.h"

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    platform::CheckEnvironment();
    return RUN_ALL_TESTS();
}

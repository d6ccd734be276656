#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "app/core/setting.h"

// Every override puts back what it replaced, also when nested or left by an exception, so a
// failing test cannot leave its setting to the next one.
TEST(Setting, OverridesNestAndAlwaysRestore) {
    Setting<std::string> value;
    {
        const Setting<std::string>::Override outer(value, "outer");
        try {
            const Setting<std::string>::Override inner(value, "inner");
            EXPECT_EQ(value.Get(), "inner");
            throw std::runtime_error("test failed part-way");
        } catch (const std::runtime_error&) {
        }
        EXPECT_EQ(value.Get(), "outer");
    }
    EXPECT_EQ(value.Get(), "");
}

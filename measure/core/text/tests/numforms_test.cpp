#include "text/numforms.h"
#include <gtest/gtest.h>
TEST(Placeholder, Builds) { EXPECT_EQ(varnel::text::Format(1.23456, "0.000"), "1.235"); }

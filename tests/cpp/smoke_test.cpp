#include <gtest/gtest.h>
#include "core/nodal_elements.hpp"
TEST(Smoke, Builds) { Bus b(2); EXPECT_EQ(b.ports.size(), 2u); }

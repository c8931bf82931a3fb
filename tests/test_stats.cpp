#include <gtest/gtest.h>
TEST(Stats, Placeholder) {}

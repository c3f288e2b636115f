#include <gtest/gtest.h>
#include "app/entry.h"

TEST(ArgumentScan, Placeholder) { EXPECT_TRUE(IsValidServiceName(L"svc")); }

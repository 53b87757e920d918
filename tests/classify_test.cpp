#include <gtest/gtest.h>
#include "scanner.h"
TEST(Classify, Smoke) {
  Scanner s; std::string r;
  EXPECT_TRUE(s.isSuspicious("a/b.SCR", r));
  EXPECT_TRUE(s.isProtectedArea("C:\\$RECYCLE.BIN\\x"));
}

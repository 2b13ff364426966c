// The statement model: scanning, binding and assembling.
#include <gtest/gtest.h>

#include "vostik/uVostikBase.h"

TEST(SQLStatement, Placeholder) {
  TSQLStatement s;
  s.SetSQL(L"select :a from t");
  EXPECT_EQ(s.Params.Count(), 1);
}

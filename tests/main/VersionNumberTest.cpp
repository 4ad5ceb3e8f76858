#include "VersionNumber.h"

#include <gtest/gtest.h>

TEST(DecimalValue, ReadsTheLeadingDecimalNumber) {
    EXPECT_DOUBLE_EQ(DecimalValue("1.02"), 1.02);
    EXPECT_DOUBLE_EQ(DecimalValue("  1.5x"), 1.5);
    EXPECT_DOUBLE_EQ(DecimalValue("\t-2.5"), -2.5);
    EXPECT_DOUBLE_EQ(DecimalValue("+3"), 3.0);
    EXPECT_DOUBLE_EQ(DecimalValue(".5"), 0.5);
    EXPECT_DOUBLE_EQ(DecimalValue("7."), 7.0);
    EXPECT_DOUBLE_EQ(DecimalValue("1e2"), 100.0);
    EXPECT_DOUBLE_EQ(DecimalValue("1E-1"), 0.1);
    EXPECT_DOUBLE_EQ(DecimalValue("2e+1"), 20.0);
}

TEST(DecimalValue, AnExponentWithoutDigitsIsNotPartOfTheNumber) {
    EXPECT_DOUBLE_EQ(DecimalValue("1e"), 1.0);
    EXPECT_DOUBLE_EQ(DecimalValue("1e+"), 1.0);
    EXPECT_DOUBLE_EQ(DecimalValue("3E-x"), 3.0);
}

TEST(DecimalValue, TextWithoutALeadingNumberReadsAsZero) {
    EXPECT_EQ(DecimalValue(""), 0.0);
    EXPECT_EQ(DecimalValue(nullptr), 0.0);
    EXPECT_EQ(DecimalValue("V1.0"), 0.0);
    EXPECT_EQ(DecimalValue("-"), 0.0);
    EXPECT_EQ(DecimalValue("."), 0.0);
    EXPECT_EQ(DecimalValue("+.e5"), 0.0);
}

TEST(DecimalValue, OnlyTheDecimalFormCounts) {
    EXPECT_EQ(DecimalValue("0x1A"), 0.0);  // the 0 before the x, nothing more
    EXPECT_EQ(DecimalValue("inf"), 0.0);
    EXPECT_EQ(DecimalValue("nan"), 0.0);
    EXPECT_EQ(DecimalValue("INFINITY"), 0.0);
}

TEST(DecimalValue, ComparesAsNumbersNotAsText) {
    EXPECT_GT(DecimalValue("1.9"), DecimalValue("1.10"));
    EXPECT_GT(DecimalValue("1.10"), DecimalValue("1.02"));
    EXPECT_EQ(DecimalValue("1.02"), DecimalValue("1.020"));
}

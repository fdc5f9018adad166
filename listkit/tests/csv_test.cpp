#include <listkit/listkit.h>

#include <gtest/gtest.h>

#include <climits>

using Ints = std::vector<int>;

TEST(IntVectToCsv, JoinsDecimalValuesWithCommas)
{
    EXPECT_EQ(Sv_IntVectToCsv({}), u"");
    EXPECT_EQ(Sv_IntVectToCsv({0}), u"0");
    EXPECT_EQ(Sv_IntVectToCsv({1, -2, 30}), u"1,-2,30");
    EXPECT_EQ(Sv_IntVectToCsv({INT_MIN, INT_MAX}), u"-2147483648,2147483647");
}

TEST(CsvToIntVect, SkipsEmptyFieldsAndBlanksAroundValues)
{
    Ints v{99};
    EXPECT_TRUE(Sv_CsvToIntVect(u"1, 2 ,3", v));
    EXPECT_EQ(v, (Ints{1, 2, 3}));
    EXPECT_TRUE(Sv_CsvToIntVect(u"1,,2", v));
    EXPECT_EQ(v, (Ints{1, 2}));
    EXPECT_TRUE(Sv_CsvToIntVect(u",1,2,", v));
    EXPECT_EQ(v, (Ints{1, 2}));
    EXPECT_TRUE(Sv_CsvToIntVect(u"\t-7\r\n", v));
    EXPECT_EQ(v, (Ints{-7}));
}

TEST(CsvToIntVect, EmptyTextOrOnlyCommasGiveAnEmptyList)
{
    Ints v{99};
    EXPECT_TRUE(Sv_CsvToIntVect(u"", v));
    EXPECT_TRUE(v.empty());
    v = {99};
    EXPECT_TRUE(Sv_CsvToIntVect(u",", v));
    EXPECT_TRUE(v.empty());
    v = {99};
    EXPECT_TRUE(Sv_CsvToIntVect(u",,,", v));
    EXPECT_TRUE(v.empty());
}

TEST(CsvToIntVect, StopsAtTheFirstBadFieldKeepingEarlierValues)
{
    Ints v;
    EXPECT_FALSE(Sv_CsvToIntVect(u"1,x,3", v));
    EXPECT_EQ(v, (Ints{1}));
    EXPECT_FALSE(Sv_CsvToIntVect(u"x", v));
    EXPECT_TRUE(v.empty());
    // A field of blanks alone is not empty before trimming, and not a number after it.
    EXPECT_FALSE(Sv_CsvToIntVect(u"1, ,2", v));
    EXPECT_EQ(v, (Ints{1}));
    EXPECT_FALSE(Sv_CsvToIntVect(u"1,2 3", v));
    EXPECT_FALSE(Sv_CsvToIntVect(u"2147483648", v));
    EXPECT_FALSE(Sv_CsvToIntVect(u"1;2", v));
}

TEST(CsvToIntVect, UsesTheStringLayerConversion)
{
    Ints v;
    EXPECT_TRUE(Sv_CsvToIntVect(u"+5,$10,0x1F,-2147483648", v));
    EXPECT_EQ(v, (Ints{5, 16, 31, INT_MIN}));
}

TEST(CsvToIntVect, ReadsWhatIntVectToCsvWrites)
{
    const Ints values{0, -1, 42, INT_MAX, INT_MIN, 7};
    Ints back;
    EXPECT_TRUE(Sv_CsvToIntVect(Sv_IntVectToCsv(values), back));
    EXPECT_EQ(back, values);
}

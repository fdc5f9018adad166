#include <common/codec.h>

#include <gtest/gtest.h>

namespace {

struct Parsed {
    int code;
    int f2, f3, f4;
};

Parsed parse(const std::string &text, int init = -7)
{
    Parsed p{0, init, init, init};
    p.code = MsgParse(text, p.f2, p.f3, p.f4);
    return p;
}

TEST(MsgCompose, WritesFourSignedIntegersWithoutBlanksOrTerminator)
{
    EXPECT_EQ(MsgCompose(22, 1, 11, 180), "22,1,11,180");
    EXPECT_EQ(MsgCompose(47, 0, 0, 0), "47,0,0,0");
    EXPECT_EQ(MsgCompose(-1, -2147483647 - 1, 2147483647, -5), "-1,-2147483648,2147483647,-5");
}

TEST(MsgParse, ReadsAWellFormedMessage)
{
    const Parsed p = parse("112,0,83,4");
    EXPECT_EQ(p.code, 112);
    EXPECT_EQ(p.f2, 0);
    EXPECT_EQ(p.f3, 83);
    EXPECT_EQ(p.f4, 4);
}

TEST(MsgParse, RoundTripsWhatComposeWrites)
{
    for (int code : {22, 35, 47, 112, 259, 376, 428}) {
        const Parsed p = parse(MsgCompose(code, -3, 2147483647, -2147483647 - 1));
        EXPECT_EQ(p.code, code);
        EXPECT_EQ(p.f2, -3);
        EXPECT_EQ(p.f3, 2147483647);
        EXPECT_EQ(p.f4, -2147483647 - 1);
    }
}

TEST(MsgParse, FewerThanFourPartsGiveZeroAndLeaveFieldsUntouched)
{
    for (const char *text : {"", "abc", "259,11,0", "112,,83,0", ",,,", "1,2,,3,", ",,,,,,,4"}) {
        const Parsed p = parse(text);
        EXPECT_EQ(p.code, 0) << text;
        EXPECT_EQ(p.f2, -7) << text;
        EXPECT_EQ(p.f3, -7) << text;
        EXPECT_EQ(p.f4, -7) << text;
    }
}

TEST(MsgParse, EmptyPartsAreSkippedAndExtraPartsIgnored)
{
    for (const char *text : {"259,11,0,0,7", "259,,11,0,0", ",259,11,0,0,", "259,11,,,0,,0,,,"}) {
        const Parsed p = parse(text);
        EXPECT_EQ(p.code, 259) << text;
        EXPECT_EQ(p.f2, 11) << text;
        EXPECT_EQ(p.f3, 0) << text;
        EXPECT_EQ(p.f4, 0) << text;
    }
    // The fifth part is not even converted.
    EXPECT_EQ(parse("35,1,0,0,junk").code, 35);
}

TEST(MsgParse, AFailedConversionGivesZeroButKeepsFieldsAlreadyConverted)
{
    Parsed p = parse("112,5,x,9");
    EXPECT_EQ(p.code, 0);
    EXPECT_EQ(p.f2, 5);
    EXPECT_EQ(p.f3, -7);
    EXPECT_EQ(p.f4, -7);

    p = parse("112,5,6,9x");
    EXPECT_EQ(p.code, 0);
    EXPECT_EQ(p.f3, 6);
    EXPECT_EQ(p.f4, -7);

    p = parse("x12,5,6,9");
    EXPECT_EQ(p.code, 0);
    EXPECT_EQ(p.f2, -7);
}

TEST(MsgParse, BlanksAndLineEndsAreNotPartOfAnInteger)
{
    EXPECT_EQ(parse("112, 0,83,0").code, 0);
    EXPECT_EQ(parse("259,11,0,0\n").code, 0);
    EXPECT_EQ(parse("259,11,0,0\r\n").code, 0);
    EXPECT_EQ(parse(std::string("259,11,0,0\0", 11)).code, 0);
}

TEST(MsgParse, AcceptsWhatTheStringLayerConverts)
{
    // Signs and hexadecimal are the string layer's own forms.
    Parsed p = parse("+112,0x0,$53,-0");
    EXPECT_EQ(p.code, 112);
    EXPECT_EQ(p.f2, 0);
    EXPECT_EQ(p.f3, 83);
    EXPECT_EQ(p.f4, 0);
}

TEST(MsgParse, OutOfRangeNumbersFail)
{
    EXPECT_EQ(parse("259,11,0,2147483648").code, 0);
    EXPECT_EQ(parse("259,99999999999,0,0").code, 0);
}

TEST(MsgParse, ACodeWiderThanSixteenBitsIsNotTakenForAnotherCode)
{
    // 65648 = 65536 + 112: truncating it would turn garbage into an announcement.
    EXPECT_EQ(parse("65648,0,83,0").code, 0);
    EXPECT_EQ(parse("-1,0,0,0").code, 0);
    EXPECT_EQ(parse("65535,0,0,0").code, 65535);
}

TEST(MsgParse, BytesAboveAsciiNeverPassAsDigitsOrCommas)
{
    EXPECT_EQ(parse("259\xac"
                    "11,0,0")
                  .code,
              0);
    EXPECT_EQ(parse("\xef\xbc\x8c"
                    "259,11,0,0")
                  .code,
              0);
}

} // namespace

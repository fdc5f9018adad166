#include <common/catalogue.h>

#include <gtest/gtest.h>

TEST(Catalogue, KnowsTheSuitesCodesAndNoOthers)
{
    struct Case {
        int code;
        bool known;
    };
    // 65546 and -65526 become 10 when cut to 16 bits: a number from a request must not.
    const Case cases[] = {{10, true},     {83, true},      {93, true},    {97, true},
                          {0, false},     {11, false},     {84, false},   {999, false},
                          {65546, false}, {-65526, false}, {65535, false}};
    for (const Case &c : cases) {
        EXPECT_EQ(IsKnownAppCode(c.code), c.known) << c.code;
        if (c.code >= 0 && c.code <= 0xFFFF) {
            EXPECT_EQ(!AppDisplayName(static_cast<unsigned short>(c.code)).empty(), c.known) << c.code;
        }
    }
}

// Opening before InitZorLibraries: a process of its own, since nothing undoes
// the initialisation.
#include <gtest/gtest.h>

#include "zoriolib.h"
#include "zorsim/testbed.h"

TEST(Uninitialised, OpensFindNothingUntilInit)
{
    zorsim::Testbed bed;
    bed.addUsbHid(0);
    bed.addUsbHid(1);

    ZorDevice first{};
    first.interfaceIndex = 5;
    EXPECT_EQ(-1, OpenFirstZorDevice(&first));
    EXPECT_EQ(-1, first.handle);
    EXPECT_EQ(nullptr, first.interfaceDetail);
    EXPECT_EQ(5u, first.interfaceIndex);

    ZorDevice previous{};
    ZorDevice next{};
    EXPECT_EQ(-1, OpenNextZorDevice(&previous, &next));
    EXPECT_EQ(-1, next.handle);
    EXPECT_EQ(nullptr, next.interfaceDetail);

    // The same boards are found once initialised.
    InitZorLibraries();
    ASSERT_NE(-1, OpenFirstZorDevice(&first));
    EXPECT_EQ(0u, first.interfaceIndex);
    ASSERT_NE(-1, OpenNextZorDevice(&previous, &next));
    EXPECT_EQ(1u, next.interfaceIndex);
    CloseZorDevice(&first);
    CloseZorDevice(&next);
}

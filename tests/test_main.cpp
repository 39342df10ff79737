// Every test program defines its own main: the library exports one too (the
// board's responder), and a main taken from a static archive such as
// gtest_main would lose to it at link time.
#include <gtest/gtest.h>

int main(int argc, char **argv) {
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

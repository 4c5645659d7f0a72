/* test-main.cpp - every test program starts its own private bus and peer. */
#include "bus-fixture.h"

#include <glib.h>

namespace halvo_test {
void install_environment();
}

int main(int argc, char **argv)
{
    /* A critical from the library is a bug, even on bad input. */
    g_log_set_always_fatal(GLogLevelFlags(G_LOG_FATAL_MASK | G_LOG_LEVEL_CRITICAL));
    ::testing::InitGoogleTest(&argc, argv);
    halvo_test::install_environment();
    return RUN_ALL_TESTS();
}

// Every test program runs with $HOME pointing at a private folder, so that the log file and
// anything else written to the profile folder stay out of the user's home.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "platform/files.h"
#include "platform/log.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    char pattern[] = "/tmp/skv-test-home-XXXXXX";
    const char* home = ::mkdtemp(pattern);
    if (!home) return 2;
    ::setenv("HOME", home, 1);
    // No test may wait for a person: dialogs print and take the safe answer unless a test
    // scripts them.
    ::setenv("SKYVANE_DIALOGS", "console", 0);
    skv::restartLog();
    const int result = RUN_ALL_TESTS();
    skv::restartLog();
    skv::deleteTree(home);
    return result;
}

// The main of a suite run as one CTest test, for suites without a main of their own.
#include "support/whole_suite.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    return WholeSuiteExitCode(RUN_ALL_TESTS());
}

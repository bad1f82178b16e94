// Suites that run as one CTest test (their cases share servers started once): when every case that ran was
// skipped, the process exits with kAllSkippedExitCode, which CTest counts as Skipped rather than Passed.
#pragma once

#include <gtest/gtest.h>

constexpr int kAllSkippedExitCode = 77; // the SKIP_RETURN_CODE of such suites in tests/CMakeLists.txt

// The process exit code for rc, the result of RUN_ALL_TESTS.
inline int WholeSuiteExitCode(int rc) {
    const ::testing::UnitTest& run = *::testing::UnitTest::GetInstance();
    if (rc == 0 && run.test_to_run_count() > 0 && run.skipped_test_count() == run.test_to_run_count())
        return kAllSkippedExitCode;
    return rc;
}

// GoogleTest's own main, but a filter that selects nothing fails: a mistyped
// row name must not pass for a test that ran.

#include <gtest/gtest.h>

#include <cstdio>

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    const int status = RUN_ALL_TESTS();
    if (testing::UnitTest::GetInstance()->test_to_run_count() == 0) {
        std::fprintf(stderr, "No test matches the filter %s\n", GTEST_FLAG_GET(filter).c_str());
        return 1;
    }
    return status;
}

// Takes the lock that vacate takes, says so, and keeps it until its standard
// input ends; then it exits without letting go, as a run that dies would.

#include <windows.h>

#include <cstdio>

int main() {
    if (CreateMutexA(nullptr, TRUE, "Global\\vacate.drive-letters") == nullptr ||
        GetLastError() == ERROR_ALREADY_EXISTS) {
        return 1;
    }
    std::puts("held");
    std::fflush(stdout);
    while (std::getchar() != EOF) {
    }
    return 0;
}

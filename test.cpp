// A console program that prints one line, and whose import table also names
// two functions it never calls: AcquireSRWLockExclusive from KERNEL32.dll and
// xiStopAcquisition from xiapi32.dll. Both are referenced only from foo(),
// which nothing calls; the build keeps foo (see CMakeLists.txt) so that the
// two imports stay load-time requirements of the executable.
#include <stdio.h>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

// Our own declaration of the one function we use from xiapi32.dll; the
// library's export list is xiapi32/xiapi32.def.
extern "C" int xiStopAcquisition(void *handle);

extern "C" void foo(void)
{
    SRWLOCK lock = SRWLOCK_INIT;
    AcquireSRWLockExclusive(&lock);
    xiStopAcquisition(0);
}

// main already has the plain symbol _main, and C++ does not allow extern "C"
// on it.
int main()
{
    // Redirected output is buffered, so a full device only shows at the
    // flush: check both, so that a lost line is not reported as success.
    if (puts("Hello world!") == EOF || fflush(stdout) == EOF)
        return 1;
    return 0;
}

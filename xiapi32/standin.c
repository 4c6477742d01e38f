/* Stand-in for xiapi32.dll: enough for test.exe to load and run where the
 * real library is not installed. test.exe never calls the function, so if it
 * ever is called, say so on standard error where the tests will see it. */
#include <stdio.h>

int xiStopAcquisition(void *handle)
{
    (void)handle;
    fputs("xiapi32 stand-in: xiStopAcquisition called\n", stderr);
    return 0;
}

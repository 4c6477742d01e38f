/* Stand-in for xiapi32.dll: enough for test.exe to load and run where the
 * real library is not installed. test.exe never calls the function, so if it
 * ever is called, say so on standard error, where the tests will see it.
 *
 * It is built without the C runtime (-nostdlib): nothing to initialise when
 * it loads, and KERNEL32.dll its only import. */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

/* The entry point both linkers expect of a DLL when no C runtime provides it. */
BOOL WINAPI DllMainCRTStartup(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    (void)instance;
    (void)reason;
    (void)reserved;
    return TRUE;
}

int xiStopAcquisition(void *handle)
{
    static const char notice[] = "xiapi32 stand-in: xiStopAcquisition called\n";
    DWORD written;

    (void)handle;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), notice, sizeof notice - 1, &written, NULL);
    return 0;
}

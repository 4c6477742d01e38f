/* A DLL that exports FUNCTION (and its entry point), and whose FUNCTION calls
 * IMPORTED from another DLL, so that the import stays: xiapi32.dll as
 * Windows 7 and later builds it (IMPORTED from an API set), importing from an
 * API set that no schema knows, delay-loading a DLL that is nowhere, and a
 * pair of DLLs that import each other. The exports come from the .def file
 * it is built with. Nothing runs them. */
#ifndef CALLING
#define CALLING
#endif

void CALLING IMPORTED(void *argument);

int FUNCTION(void *handle)
{
    IMPORTED(handle);
    return 0;
}

/* The entry point both linkers expect of a DLL when no C runtime provides it. */
int __stdcall DllMainCRTStartup(void *instance, unsigned long reason, void *reserved)
{
    (void)instance;
    (void)reason;
    (void)reserved;
    return 1;
}

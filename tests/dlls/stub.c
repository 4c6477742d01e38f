/* The suite's DLLs for the loader's cases: what each exports is named in the
 * .def file it is built with.
 *
 * stub: what the exports of system DLLs of other kinds than Wine's name (or
 * they are forwarders to other DLLs). Nothing runs it.
 *
 * Built with FUNCTION and IMPORTED defined, the DLL also has FUNCTION, which
 * calls IMPORTED from another DLL, so that the import stays: xiapi32.dll as
 * Windows 7 and later builds it (IMPORTED from an API set), importing from an
 * API set that no schema knows, delay-loading a DLL that is nowhere, and a
 * pair of DLLs that import each other. ALSO_IMPORTED is a second import,
 * from another DLL. Nothing runs those either. */
int stub(void)
{
    return 0;
}

#ifdef FUNCTION
#ifndef CALLING
#define CALLING
#endif

void CALLING IMPORTED(void *argument);
#ifdef ALSO_IMPORTED
void CALLING ALSO_IMPORTED(void *argument);
#endif

int FUNCTION(void *handle)
{
    IMPORTED(handle);
#ifdef ALSO_IMPORTED
    ALSO_IMPORTED(handle);
#endif
    return 0;
}
#endif

/* The entry point both linkers expect of a DLL when no C runtime provides it. */
int __stdcall DllMainCRTStartup(void *instance, unsigned long reason, void *reserved)
{
    (void)instance;
    (void)reason;
    (void)reserved;
    return 1;
}

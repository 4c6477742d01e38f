/* A KERNEL32.dll from before SRW locks, for the loader's verdict only: its
 * exports (old_kernel32.def) all name this one stub, and nothing runs it. */
int stub(void)
{
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

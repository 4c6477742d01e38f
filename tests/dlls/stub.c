/* A DLL whose exports, named in its .def file, are all this one stub, or
 * forwarders to other DLLs: system DLLs of other kinds than Wine's, for the
 * loader's verdict only. Nothing runs the stub. */
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

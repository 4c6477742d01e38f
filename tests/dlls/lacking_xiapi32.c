/* A xiapi32.dll that loads but does not export xiStopAcquisition: what the
 * loader does with test.exe when the library is the wrong one. */
__declspec(dllexport) int xiSomeOtherFunction(void)
{
    return 0;
}

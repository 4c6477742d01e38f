// The program's own DLL, which the build leaves in lib/.
#include <string>

__declspec(dllexport) std::string greeting(int n)
{
    return "Hello from thread " + std::to_string(n) + "!";
}

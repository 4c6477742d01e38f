// Prints its greeting from a thread: it needs the C++ runtime, the threads
// runtime (winpthread, which either thread variant of GCC links) and
// greeter.dll.
#include <cstdio>
#include <pthread.h>
#include <string>

__declspec(dllimport) std::string greeting(int n);

static void *greet(void *)
{
    std::puts(greeting(1).c_str());
    return nullptr;
}

int main()
{
    pthread_t thread;
    if (pthread_create(&thread, nullptr, greet, nullptr) != 0)
        return 1;
    return pthread_join(thread, nullptr) == 0 ? 0 : 1;
}

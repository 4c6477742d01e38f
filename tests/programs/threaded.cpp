// A C++ program as people cross-build it with MinGW-w64 and no static
// runtime flags: iostream and a thread, so that it needs the toolchain's
// runtime DLLs (libstdc++, libgcc and libwinpthread) beside it.
#include <iostream>
#include <pthread.h>

static void *greet(void *)
{
    std::cout << "Hello from a thread!" << std::endl;
    return nullptr;
}

int main()
{
    pthread_t thread;
    if (pthread_create(&thread, nullptr, greet, nullptr) != 0)
        return 1;
    return pthread_join(thread, nullptr) == 0 ? 0 : 1;
}

// What bench/loadcheck.py times --bundle with: a program built as people
// build one with MinGW-w64 GCC and no static runtime flags, that uses
// OpenMP, __float128, wide atomics, the stack protector and a thread, so
// that it needs many of the toolchain's runtime DLLs.
#include <atomic>
#include <iostream>
#include <omp.h>
#include <pthread.h>
#include <quadmath.h>

struct Wide {
    long long a, b;
};

static void *count(void *total)
{
    static_cast<std::atomic<int> *>(total)->fetch_add(1);
    return nullptr;
}

int main()
{
    std::atomic<Wide> wide{{1, 2}};
    std::atomic<int> total{0};
#pragma omp parallel
    total.fetch_add(1);
    pthread_t thread;
    pthread_create(&thread, nullptr, count, &total);
    pthread_join(thread, nullptr);
    char text[64];
    quadmath_snprintf(text, sizeof text, "%.3Qf", static_cast<__float128>(total.load()) + wide.load().b);
    std::cout << text << std::endl;
    return 0;
}

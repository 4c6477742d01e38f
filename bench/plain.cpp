// The benchmark's baseline: test.exe's main without foo and its two
// imports, built with the same flags, to show what those cost.
#include <stdio.h>

int main()
{
    if (puts("Hello world!") == EOF || fflush(stdout) == EOF)
        return 1;
    return 0;
}

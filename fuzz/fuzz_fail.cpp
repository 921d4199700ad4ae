#include <cstdio>
#include <cstdlib>

#include "fuzz/fuzz_input.h"

void FuzzFail(const char* what) {
    std::fprintf(stderr, "fuzz finding: %s\n", what);
    std::abort();
}

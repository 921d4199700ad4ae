#include "net/thread_name.h"

#include <pthread.h>

#include <cstring>

void SetCurrentThreadName(const char* name) {
    char shortName[16] = {};  // the kernel's limit, terminator included
    std::strncpy(shortName, name, sizeof shortName - 1);
    (void)pthread_setname_np(pthread_self(), shortName);  // a name is a convenience only
}

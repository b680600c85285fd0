// Names the library's threads so that debuggers, top and perf tell them apart.
#ifndef VORLAN_SDK2_THREAD_NAME_H
#define VORLAN_SDK2_THREAD_NAME_H

#if defined(__linux__)
#include <pthread.h>
#endif

namespace vorlan_sdk2 {

// `name` is at most 15 characters. Does nothing where threads cannot be named.
inline void nameThisThread(const char* name) {
#if defined(__linux__)
    pthread_setname_np(pthread_self(), name);
#else
    (void)name;
#endif
}

}  // namespace vorlan_sdk2

#endif  // VORLAN_SDK2_THREAD_NAME_H

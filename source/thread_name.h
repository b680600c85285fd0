// Names the library's threads so that debuggers, top and perf tell them apart.
#ifndef VORLAN_SOURCE_THREAD_NAME_H
#define VORLAN_SOURCE_THREAD_NAME_H

#if defined(__linux__)
#include <pthread.h>
#endif

namespace vorlan_sdk {
namespace util {

// `name` is at most 15 characters. Does nothing where threads cannot be named.
inline void name_this_thread(const char* name) {
#if defined(__linux__)
    pthread_setname_np(pthread_self(), name);
#else
    (void)name;
#endif
}

}  // namespace util
}  // namespace vorlan_sdk

#endif  // VORLAN_SOURCE_THREAD_NAME_H

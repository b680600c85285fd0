/* A client that loads the second library at run time, uses it and unloads
 * it: afterwards no thread of the library is left running and the library
 * is really gone from the process (nothing in it keeps it loaded). */
#define _POSIX_C_SOURCE 200809L
#include <dirent.h>
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

#include "vorlan_sdk2.h"

static int thread_count(void) {
    int count = 0;
    DIR* tasks = opendir("/proc/self/task");
    struct dirent* entry;
    if (tasks == NULL) {
        return -1;
    }
    while ((entry = readdir(tasks)) != NULL) {
        if (entry->d_name[0] != '.') {
            ++count;
        }
    }
    closedir(tasks);
    return count;
}

static void on_points(uint64_t handle, int64_t timestamp, size_t n_points, size_t point_stride,
                      const uint8_t* points, void* user_data) {
    (void)handle; (void)timestamp; (void)point_stride; (void)points;
    *(size_t*)user_data += n_points;
}

typedef int (*InitializeFunction)(int);
typedef int (*VoidFunction)(void);
typedef int (*ListenPointsFunction)(VorlanPointsCallback, void*);
typedef int (*ReceiveFunction)(uint64_t, int64_t, const uint8_t*, size_t);

int main(int argc, char** argv) {
    const int threads_before = thread_count();
    uint8_t payload[34];
    size_t points = 0;
    void* library;
    InitializeFunction initialize;
    VoidFunction deinitialize;
    ListenPointsFunction listen_points;
    ReceiveFunction receive;

    if (argc != 2) {
        fprintf(stderr, "usage: %s path/to/libvorlan_sdk2.so\n", argv[0]);
        return 2;
    }
    library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (library == NULL) {
        fprintf(stderr, "cannot load: %s\n", dlerror());
        return 1;
    }
    /* Function pointers from dlsym, the POSIX way. */
    *(void**)&initialize = dlsym(library, "VorlanInitialize");
    *(void**)&deinitialize = dlsym(library, "VorlanDeinitialize");
    *(void**)&listen_points = dlsym(library, "VorlanListenPoints");
    *(void**)&receive = dlsym(library, "VorlanReceiveData");
    if (!initialize || !deinitialize || !listen_points || !receive) {
        fprintf(stderr, "missing function\n");
        return 1;
    }

    memset(payload, 0, sizeof(payload));
    memcpy(payload, "STDV", 4);
    payload[5] = 24; /* header length */
    payload[17] = 10; /* stride */
    payload[18] = 1; /* points */
    if (initialize(VORLAN_SDK2_INTERFACE_VERSION) != 0 || listen_points(on_points, &points) != 0 ||
        receive(1, 0, payload, sizeof(payload)) != 0 || points != 1 || deinitialize() != 0) {
        fprintf(stderr, "the library did not work\n");
        return 1;
    }
    if (dlclose(library) != 0) {
        fprintf(stderr, "cannot unload: %s\n", dlerror());
        return 1;
    }
    if (dlopen(argv[1], RTLD_NOW | RTLD_NOLOAD) != NULL) {
        fprintf(stderr, "the library stayed loaded after dlclose\n");
        return 1;
    }
    if (thread_count() != threads_before) {
        fprintf(stderr, "threads before: %d, after: %d\n", threads_before, thread_count());
        return 1;
    }
    return 0;
}

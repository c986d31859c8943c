#include "parallel/worker_thread.hpp"

#include <pthread.h>
#include <unistd.h>

#include <cerrno>

namespace tarnwick {
namespace {

/// Sets the stack size, raised to the platform minimum; a size the system
/// refuses is rounded up to whole pages and tried once more.
int set_stack_size(pthread_attr_t& attr) {
    size_t size = worker_stack_size;
    long minimum = sysconf(_SC_THREAD_STACK_MIN);
    if (minimum > 0 && size_t(minimum) > size) size = size_t(minimum);
    int err = pthread_attr_setstacksize(&attr, size);
    if (err != EINVAL) return err;
    long page = sysconf(_SC_PAGESIZE);
    size_t unit = page > 0 ? size_t(page) : 4096;
    return pthread_attr_setstacksize(&attr, (size + unit - 1) / unit * unit);
}

}  // namespace

int start_worker_thread(void* (*body)(void*), void* arg) noexcept {
    pthread_attr_t attr;
    int err = pthread_attr_init(&attr);
    if (err != 0) return err;
    err = set_stack_size(attr);
    if (err == 0) err = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (err == 0) {
        pthread_t thread;
        err = pthread_create(&thread, &attr, body, arg);
    }
    pthread_attr_destroy(&attr);
    return err;
}

}  // namespace tarnwick

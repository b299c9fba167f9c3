// Runs a piece of a test on a thread with a chosen stack size, so that deep
// matches meet the small stacks callers may run them on (a 64 KiB worker, a
// 1 MiB thread) and not only the main thread's.
#ifndef QELCH_TEST_STACK_THREAD_H
#define QELCH_TEST_STACK_THREAD_H

#include <gtest/gtest.h>
#include <pthread.h>

#include <cstddef>
#include <functional>

namespace qeltest {

// Runs `fn` on a thread whose stack is `stackBytes` (0: on this thread) and
// waits for it.
inline void run_on_stack(size_t stackBytes, const std::function<void()>& fn) {
    if (stackBytes == 0) {
        fn();
        return;
    }
    pthread_attr_t attr;
    ASSERT_EQ(pthread_attr_init(&attr), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attr, stackBytes), 0);
    pthread_t t;
    auto call = [](void* arg) -> void* {
        (*static_cast<const std::function<void()>*>(arg))();
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&t, &attr, call, const_cast<std::function<void()>*>(&fn)), 0);
    pthread_join(t, nullptr);
    pthread_attr_destroy(&attr);
}

}  // namespace qeltest

#endif

// GoogleTest's Notification for mingw-w64 with Win32 threads, where GCC 12
// has no std::mutex or std::condition_variable, on which GoogleTest builds
// it: one manual-reset event instead. GoogleTest takes a Notification of the
// build's own where GTEST_HAS_NOTIFICATION_ is set; everything else of its
// thread support already uses the Win32 primitives.
#ifndef VELLOMAR_TESTS_GTEST_NOTIFICATION_H
#define VELLOMAR_TESTS_GTEST_NOTIFICATION_H

#ifdef __cplusplus
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#define GTEST_HAS_NOTIFICATION_ 1

namespace testing {
namespace internal {

class Notification {
public:
    Notification() : event_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    ~Notification() { CloseHandle(event_); }
    Notification(const Notification &) = delete;
    Notification &operator=(const Notification &) = delete;

    void Notify() { SetEvent(event_); }
    void WaitForNotification() { WaitForSingleObject(event_, INFINITE); }

private:
    HANDLE event_;
};

} // namespace internal
} // namespace testing
#endif

#endif

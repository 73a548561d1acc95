// Pages with one the process cannot touch on either side: data placed
// against either edge faults on the first byte read or written past it.
// For the native suite and the Windows suite alike.
#ifndef VELLOMAR_TESTS_GUARDED_PAGES_H
#define VELLOMAR_TESTS_GUARDED_PAGES_H

#include <stddef.h>
#include <stdint.h>

#include <cstdlib>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

class GuardedPages {
public:
    GuardedPages() {
#ifdef _WIN32
        SYSTEM_INFO system;
        GetSystemInfo(&system);
        page_ = system.dwPageSize;
        void *map = VirtualAlloc(nullptr, (kPages + 2) * page_, MEM_RESERVE | MEM_COMMIT,
                                 PAGE_NOACCESS);
        DWORD was = 0;
        if (map == nullptr)
            std::abort();
        begin_ = static_cast<uint8_t *>(map) + page_;
        if (!VirtualProtect(begin_, kPages * page_, PAGE_READWRITE, &was))
            std::abort();
#else
        page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        void *map =
            mmap(nullptr, (kPages + 2) * page_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (map == MAP_FAILED)
            std::abort();
        begin_ = static_cast<uint8_t *>(map) + page_;
        if (mprotect(begin_, kPages * page_, PROT_READ | PROT_WRITE) != 0)
            std::abort();
#endif
    }
    GuardedPages(const GuardedPages &) = delete;
    GuardedPages &operator=(const GuardedPages &) = delete;

    uint8_t *afterGuard() const { return begin_; }
    uint8_t *beforeGuard(size_t length) const { return begin_ + kPages * page_ - length; }
    size_t room() const { return kPages * page_; }

private:
    static constexpr size_t kPages = 4;
    size_t page_ = 0;
    uint8_t *begin_ = nullptr;
};

#endif

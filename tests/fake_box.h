// A message box that shows nothing: it records what it was asked to show and
// gives the answers a test scripted, then OK.
#ifndef VELLOMAR_TESTS_FAKE_BOX_H
#define VELLOMAR_TESTS_FAKE_BOX_H

#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "library/os.h"
#include "report/report.h"

namespace fakebox {

struct Shown {
    std::string text;
    std::string caption;
};

inline std::mutex mutex;
inline std::vector<Shown> shown;
inline std::deque<int> answers;

inline int box(const char *text, const char *caption) {
    std::lock_guard<std::mutex> lock(mutex);
    shown.push_back({text, caption});
    if (answers.empty())
        return IDOK;
    const int answer = answers.front();
    answers.pop_front();
    return answer;
}

// The real file operations with this box in place of the real one.
inline vellomar::OsLayer realFilesWithFakeBox() {
    vellomar::OsLayer os = vellomar::platformOs;
    os.messageBox = box;
    return os;
}

// A fresh library state and an empty record.
inline void reset(std::deque<int> scripted = {}) {
    std::lock_guard<std::mutex> lock(mutex);
    shown.clear();
    answers = std::move(scripted);
    vellomar::resetReport();
}

} // namespace fakebox

#endif

#include "report/report.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

#include "fake_box.h"

namespace {

struct DwtoaCase {
    uint32_t value;
    const char *text;
};

TEST(Dwtoa, WritesSignedDecimal) {
    const DwtoaCase cases[] = {
        {0, "0"},
        {7, "7"},
        {10, "10"},
        {1234567890, "1234567890"},
        {INT_MAX, "2147483647"},
        {static_cast<uint32_t>(-1), "-1"},
        {static_cast<uint32_t>(-42), "-42"},
        {static_cast<uint32_t>(INT_MIN), "-2147483648"},
        {4000000000u, "-294967296"},
    };
    for (const DwtoaCase &c : cases) {
        char text[16];
        std::memset(text, 'Z', sizeof text);
        vellomar::dwtoa(c.value, text);
        EXPECT_STREQ(text, c.text) << c.value;
        EXPECT_EQ(text[std::strlen(c.text) + 1], 'Z') << "wrote past the terminator";
    }
}

TEST(Report, ShowsPrefixAndCountWithCaption) {
    fakebox::reset();
    vellomar::reportSizeError(0, fakebox::box);
    vellomar::reportSizeError(0xFFFFFFFFu, fakebox::box);
    vellomar::reportSizeError(123456, fakebox::box);
    // The longest number, eleven characters: the text fills its room on the
    // stack to the last byte.
    vellomar::reportSizeError(0x80000000u, fakebox::box);
    ASSERT_EQ(fakebox::shown.size(), 4u);
    EXPECT_EQ(fakebox::shown[0].text, "DLL error: 0");
    EXPECT_EQ(fakebox::shown[1].text, "DLL error: -1");
    EXPECT_EQ(fakebox::shown[2].text, "DLL error: 123456");
    EXPECT_EQ(fakebox::shown[3].text, "DLL error: -2147483648");
    for (const fakebox::Shown &box : fakebox::shown)
        EXPECT_EQ(box.caption, "Tarvoni DLL");
}

// Each step: the answer the box gives, and whether a box is shown at all.
struct AnswerScript {
    const char *name;
    std::deque<int> answers;
    size_t reports;
    size_t boxesShown;
    int lastAnswer;
};

TEST(Report, AnswersDecideWhetherLaterBoxesShow) {
    const AnswerScript scripts[] = {
        {"ok shows again", {IDOK, IDOK, IDOK}, 3, 3, IDOK},
        {"cancel silences the rest", {IDOK, IDCANCEL, IDOK}, 5, 2, IDCANCEL},
        {"cancel first", {IDCANCEL}, 4, 1, IDCANCEL},
        {"failed box is tried again", {0, 0, IDOK}, 3, 3, IDOK},
        {"failed box after cancel never comes", {0, IDCANCEL, 0}, 6, 2, IDCANCEL},
    };
    for (const AnswerScript &script : scripts) {
        fakebox::reset(script.answers);
        for (size_t i = 0; i < script.reports; ++i)
            vellomar::reportSizeError(static_cast<uint32_t>(i), fakebox::box);
        EXPECT_EQ(fakebox::shown.size(), script.boxesShown) << script.name;
        EXPECT_EQ(vellomar::lastReportAnswer(), script.lastAnswer) << script.name;
    }
}

} // namespace

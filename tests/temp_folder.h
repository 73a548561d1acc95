// A scratch folder under /tmp for tests that need real files; removed with
// everything in it when the test ends.
#ifndef VELLOMAR_TESTS_TEMP_FOLDER_H
#define VELLOMAR_TESTS_TEMP_FOLDER_H

#include <gtest/gtest.h>

#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <string>

class TempFolder {
public:
    TempFolder() {
        char pattern[] = "/tmp/vellomar-test-XXXXXX";
        const char *made = mkdtemp(pattern);
        EXPECT_NE(made, nullptr);
        path_ = made != nullptr ? made : "/nonexistent";
    }
    ~TempFolder() { std::system(("rm -rf '" + path_ + "'").c_str()); }
    TempFolder(const TempFolder &) = delete;
    TempFolder &operator=(const TempFolder &) = delete;

    // Writes bytes into the file name in this folder; returns its path.
    std::string write(const std::string &name, const std::string &bytes) const {
        const std::string file = path_ + "/" + name;
        FILE *out = std::fopen(file.c_str(), "wb");
        EXPECT_NE(out, nullptr) << file;
        if (out != nullptr) {
            EXPECT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), out), bytes.size()) << file;
            std::fclose(out);
        }
        return file;
    }
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

#endif

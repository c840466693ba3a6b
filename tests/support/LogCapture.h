// Names a fresh log file for the duration of a test and reads it back: the
// way tests observe trace lines and assertion reports.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "Common/LogTrace.h"

class LogCapture {
public:
    LogCapture() {
        const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string(test->test_suite_name()) + "-" + test->name();
        for (char& c : name) {
            if (c == '/' || c == '\\') c = '_';  // parameterised test names
        }
        path_ = ::testing::TempDir() + "trelmark-" + name + ".log";
        std::remove(path_.c_str());
        LogTrace::LogFileName() = path_;
    }
    ~LogCapture() {
        LogTrace::LogFileName().clear();
        std::remove(path_.c_str());
    }
    std::string Text() const {
        std::ifstream in(path_, std::ios::binary);
        std::ostringstream out;
        out << in.rdbuf();
        return out.str();
    }
    void Clear() const { std::remove(path_.c_str()); }

private:
    std::string path_;
};

// The assertion line as the trace facility writes it.
inline std::string AssertionLine(const std::string& file, int line, const std::string& expression) {
    return "**** ASSERT FAILED **** [ File " + file + ", Line " + std::to_string(line) + " ]\n\t[ Expression = " +
           expression + " ]\n";
}

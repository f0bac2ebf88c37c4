#pragma once
#include <gtest/gtest.h>

#include <string>
#include <sys/types.h>

namespace corvena::test {

// A private Xvfb server for the editor tests. Xvfb chooses a free display number
// itself (-displayfd); DISPLAY of the test process then points at it, so engines
// spawned by the tests inherit it.
class XvfbEnvironment : public ::testing::Environment {
public:
    void SetUp() override;
    void TearDown() override;
    static const std::string& display() { return display_; }

private:
    static std::string display_;
    pid_t pid_ = -1;
};

// Runs a shell command, returns its standard output (trailing newline removed).
std::string runCommand(const std::string& command, int* status = nullptr);

} // namespace corvena::test

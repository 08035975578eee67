// For tests that send discovery traffic, beacons or multicast: they run only inside the
// private network namespace of scripts/isolated, and fail loudly, before sending
// anything, anywhere else.
#ifndef KESTRIX_TESTS_ISOLATED_NETWORK_H
#define KESTRIX_TESTS_ISOLATED_NETWORK_H

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>

// Why this process is not in the private namespace; empty when it is.
inline std::string kxIsolationProblem() {
    const char* flag = std::getenv("KX_ISOLATED");
    if (flag == nullptr || std::strcmp(flag, "1") != 0) {
        return "KX_ISOLATED is not 1";
    }
    std::set<std::string> interfaces;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/sys/class/net", error)) {
        interfaces.insert(entry.path().filename().string());
    }
    if (interfaces != std::set<std::string>{"lo", "kx0", "kx1"}) {
        std::string seen;
        for (const std::string& name : interfaces) {
            seen += " " + name;
        }
        return "the network interfaces are not exactly lo, kx0 and kx1:" + seen;
    }
    return "";
}

class IsolatedNetworkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string problem = kxIsolationProblem();
        ASSERT_EQ(problem, "") << "NOT ISOLATED: this test sends discovery traffic and runs only "
                                  "inside scripts/isolated (scripts/isolated ctest ...)";
    }
};

#endif

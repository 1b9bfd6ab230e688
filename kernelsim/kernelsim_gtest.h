// GoogleTest fixture over kernelsim: a fresh kernel per test, stops reported as failures where
// they happen, and the end-of-test verdict (leaks, guard damage, outstanding IRPs) as failures.
#pragma once

#include "kernelsim.h"

#include <gtest/gtest.h>

class KsimTest : public ::testing::Test {
protected:
    void SetUp() override {
        KsimReset();
        KsimSetStopHandler([](const KsimStop& stop) { ADD_FAILURE() << stop.what; });
    }
    void TearDown() override {
        for (const std::string& problem : KsimCheckEnd()) ADD_FAILURE() << problem;
        KsimSetStopHandler(nullptr);
    }
};

#pragma once
// The base of the tests that drive a STUN machine on a fake clock: the log goes to a string and
// every time stamp reads 10:20:30, so the expected transcripts are exact.

#include <gtest/gtest.h>

#include "core/log.h"

class LoggedMachineTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetLocalTimeSource([] { return LocalTimeOfDay{10, 20, 30}; });
        theLog.SetOutputWindow(&log);
    }
    void TearDown() override {
        theLog.SetOutputWindow(nullptr);
        SetLocalTimeSource({});
    }

    CStringLogTarget log;
};

#pragma once

// A new fake world: the directory held in the old one is let go first, and lines go to the log
// file, as the entry point has them.

#include <gtest/gtest.h>

#include "fake_world.h"
#include "log/data_directory.h"
#include "log/helper_log.h"

inline void FreshWorld() {
    ReleaseDataDirectory();
    SetLogSink(&AppendToLogFile);
    fake::Reset();
}

// While it lives, the lines go into `text` instead (from one thread at a time).
struct CapturedLog {
    std::string text;
    CapturedLog() {
        SetLogSink([this](const std::string& line) { text += line; });
    }
    ~CapturedLog() { SetLogSink(&AppendToLogFile); }
};

// A test on a fresh fake world.
class FreshWorldTest : public ::testing::Test {
  protected:
    void SetUp() override { FreshWorld(); }
    static fake::World& W() { return fake::TheWorld(); }
};

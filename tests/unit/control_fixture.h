#pragma once

// Scripted clients served on the fake pipe until none is left.

#include <gtest/gtest.h>

#include "control/pipe_server.h"
#include "fresh_world.h"

class ControlFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        FreshWorld();
        platform::CreateManualResetEvent(stop_);
    }
    void TearDown() override { EXPECT_FALSE(fake::TheWorld().waitedWithoutDisconnect); }

    // Serves the scripted clients; the loop ends when none is left.
    void Serve(std::vector<fake::PipeClient> clients) {
        for (auto& client : clients) {
            fake::TheWorld().waitingClients.push_back(client);
        }
        ControlPipe(stop_);
    }

    static fake::PipeClient Writing(std::vector<std::string> writes) {
        fake::PipeClient client;
        client.writes = std::move(writes);
        return client;
    }

    static const fake::PipeClient& Served(size_t index) {
        return fake::TheWorld().servedClients.at(index);
    }

    platform::Event stop_ = nullptr;
};

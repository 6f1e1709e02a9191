// A test fixture: an engine whose serial transport is scripted, with one open
// record that is closed again after the test.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "engine/qvscan.h"
#include "scripted_transport.h"

namespace qvtest {

class ScriptedEngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(device, nullptr);
        ASSERT_EQ(device->pScan, engine.get());
    }
    void TearDown() override {
        if (device != nullptr) {
            EXPECT_TRUE(engine->CloseDevice(&device));
        }
    }

    ScriptedEngine scripted;
    ScriptedTransport* transport = scripted.transport;
    std::unique_ptr<qv::CQVScan>& engine = scripted.engine;
    T_DevicesInfo*& device = scripted.device;
};

}  // namespace qvtest

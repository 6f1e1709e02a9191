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
        auto t = std::make_unique<ScriptedTransport>();
        transport = t.get();
        engine = std::make_unique<qv::CQVScan>(nullptr, std::move(t), nullptr);
        T_DevicesInfo entry;
        qv::InitDeviceRecord(&entry);
        entry.transportKind = qv::kTransportSerial;
        device = engine->OpenDeviceForNati(&entry);
        ASSERT_NE(device, nullptr);
        ASSERT_EQ(device->pScan, engine.get());
    }
    void TearDown() override {
        if (device != nullptr) {
            EXPECT_TRUE(engine->CloseDevice(&device));
        }
    }

    ScriptedTransport* transport = nullptr;
    std::unique_ptr<qv::CQVScan> engine;
    T_DevicesInfo* device = nullptr;
};

}  // namespace qvtest

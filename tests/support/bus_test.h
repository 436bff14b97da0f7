// Fixture for tests that reach other processes over a private bus: the bus
// starts first, this process joins it, and peers are started on it.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "platform/bus_transport.h"
#include "tests/support/private_bus.h"
#include "tests/support/process.h"

namespace testsupport {

class BusTest : public testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(platform::StartBusTransport()); }
    void TearDown() override { platform::StopBusTransport(); }

    // Starts `program` from the build's bin folder and waits for it to print
    // `readyLine`.
    std::unique_ptr<ChildProcess> StartPeer(const std::string& program,
                                            const std::vector<std::string>& args,
                                            const std::string& readyLine = "ready") {
        auto peer = std::make_unique<ChildProcess>(program, args);
        EXPECT_TRUE(peer->WaitForOutput(readyLine, std::chrono::seconds(20)))
            << program << " did not start: " << peer->Errors();
        return peer;
    }

    // Runs busctl on the private bus; returns its exit status.
    int Busctl(const std::vector<std::string>& args, std::string* output = nullptr,
               std::string* errors = nullptr) {
        std::vector<std::string> all{"--address=" + m_bus.Address()};
        all.insert(all.end(), args.begin(), args.end());
        ChildProcess busctl(FindProgram("busctl"), all);
        auto status = busctl.Wait(std::chrono::seconds(60));
        if (output != nullptr) {
            *output = busctl.Output();
        }
        if (errors != nullptr) {
            *errors = busctl.Errors();
        }
        return status.value_or(-1);
    }

    PrivateBus m_bus;
};

}  // namespace testsupport

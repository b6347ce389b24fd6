// One private JACK server for a whole test program (::testing::AddGlobalTestEnvironment); when it
// cannot start, every test fails with the reason. Header-only: the library needs no GoogleTest.
#pragma once

#include <gtest/gtest.h>

#include "JackServer.h"

namespace midiflash::testing {

struct JackServerEnvironment : ::testing::Environment {
  void SetUp() override {
    std::string error;
    server = JackServer::Start(&error);
    ASSERT_NE(server, nullptr) << "cannot start the test JACK server: " << error;
  }
  void TearDown() override { server.reset(); }
  std::unique_ptr<JackServer> server;
};

}  // namespace midiflash::testing

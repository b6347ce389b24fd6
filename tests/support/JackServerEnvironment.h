// Runs one private JACK server for a whole test program:
//   ::testing::AddGlobalTestEnvironment(new midiflash::testing::JackServerEnvironment);
// When jackd cannot start, the program's tests fail with the reason instead of being skipped.
#pragma once

#include <gtest/gtest.h>

#include "JackServer.h"

namespace midiflash::testing {

class JackServerEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    std::string error;
    Holder() = JackServer::Start(&error);
    ASSERT_NE(Holder(), nullptr) << "cannot start the test JACK server: " << error;
  }
  void TearDown() override { Holder().reset(); }
  // The running server; nullptr before SetUp or when it failed to start.
  static JackServer* server() { return Holder().get(); }

 private:
  static std::unique_ptr<JackServer>& Holder() {
    static std::unique_ptr<JackServer> holder;
    return holder;
  }
};

}  // namespace midiflash::testing

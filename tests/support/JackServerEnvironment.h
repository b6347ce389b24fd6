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
    server_ = JackServer::Start(&error);
    ASSERT_NE(server_, nullptr) << "cannot start the test JACK server: " << error;
  }
  void TearDown() override { server_.reset(); }

 private:
  static inline std::unique_ptr<JackServer> server_;
};

}  // namespace midiflash::testing

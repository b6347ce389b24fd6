#include <gtest/gtest.h>

#include "JackServerEnvironment.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new midiflash::testing::JackServerEnvironment);
  return RUN_ALL_TESTS();
}

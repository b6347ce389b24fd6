// The malformed-file corpus of tests/data (written by scripts/make-corpus), Standard MIDI Files and
// System Exclusive files: every file gets the check result expected.txt lists for it, and every
// accepted file plays through the core to its end, sending each of its messages once as a copy of
// its bytes and nothing more.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

#include "CoreFakes.h"
#include "Log.h"
#include "SentBytesOracle.h"

namespace midiflash {
namespace {

using namespace midiflash::testing;
namespace fs = std::filesystem;

TEST(Corpus, EachFileGetsItsResultAndAcceptedOnesPlayToTheEnd) {
  const fs::path data = MIDIFLASH_TEST_DATA;
  std::map<std::string, int32_t> expected;
  std::map<int32_t, int> by_result;
  std::ifstream list(data / "expected.txt");
  std::string name;
  for (int32_t result; list >> name >> result; ++by_result[result]) expected[name] = result;
  for (int32_t r : {0, 1, 3, 4, 17, 18, 19, 20, 21, 23, 24, 25, 26, 27, 28, 30, 31, 32, 33}) {
    EXPECT_GT(by_result[r], 0) << r;  // every refusal but "too large" has a file
  }
  ScopedLogCapture quiet{[](const std::string&) {}};
  size_t files = 0;
  for (const auto& entry : fs::directory_iterator(data)) {
    if (entry.path().extension() == ".txt") continue;
    SCOPED_TRACE(entry.path());
    ++files;
    const auto want = expected.find(entry.path().stem().string());
    ASSERT_NE(want, expected.end()) << "no result in expected.txt";
    std::ifstream in(entry.path(), std::ios::binary);
    const Bytes file{std::istreambuf_iterator<char>(in), {}};
    CoreHarness p;
    p.Choose(file);
    ASSERT_TRUE(p.wf.file().checked);
    ASSERT_EQ(p.wf.file().checked->result, want->second) << ExplainRefusal(*p.wf.file().checked);
    const SentBytesOracle oracle(file);
    EXPECT_EQ(oracle.walk().ok, want->second == kCheckPlayable);
    if (want->second != kCheckPlayable) {
      EXPECT_TRUE(p.midi.sent.empty() && !p.view.shown.update);
      continue;
    }
    p.wf.Start();
    // Timer periods at first, then ever longer, to cross the longest delta time (2^28 ticks).
    double step = kTickPeriodSeconds;
    for (int i = 0; i < 2000 && p.view.ends.empty(); ++i, step *= i > 100 ? 1.1 : 1) p.Tick(step);
    ASSERT_EQ(p.view.ends, std::vector<RunOutcome>{RunOutcome::kCompleted});
    std::vector<Bytes> sent = p.midi.sent;
    EXPECT_EQ(oracle.Judge(sent, true), "");
    if (sent.empty()) continue;
    // The judge itself refuses a message sent once more, one left out, one with a byte added.
    sent.push_back(sent.back());
    EXPECT_NE(oracle.Judge(sent, false), "");
    sent.resize(sent.size() - 2);
    EXPECT_NE(oracle.Judge(sent, true), "");
    sent.push_back(Cat({p.midi.sent.back(), {0x00}}));
    EXPECT_NE(oracle.Judge(sent, false), "");
  }
  EXPECT_EQ(files, expected.size());
}

}  // namespace
}  // namespace midiflash

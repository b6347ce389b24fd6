// The malformed-file corpus of tests/data (written by scripts/make-corpus): every file gets the
// check result expected.txt lists for it, and every accepted file plays through the core to its
// end, sending each of its messages once as a copy of its bytes and nothing more.
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
  for (const auto& entry : fs::directory_iterator(data)) {
    if (entry.path().extension() != ".dat") continue;
    EXPECT_TRUE(expected.count(entry.path().stem().string())) << entry.path() << " has no result";
  }
  for (int32_t r : {0, 1, 3, 4, 17, 18, 19, 20, 21, 23, 24, 25, 26, 27}) {
    EXPECT_GT(by_result[r], 0) << r;  // every refusal but "too large" has a file
  }
  ScopedLogCapture quiet{[](const std::string&) {}};
  for (const auto& [n, result] : expected) {
    SCOPED_TRACE(n);
    std::ifstream in(data / (n + ".dat"), std::ios::binary);
    const Bytes file{std::istreambuf_iterator<char>(in), {}};
    CoreHarness p;
    p.Choose(file);
    ASSERT_EQ(p.wf.lastLoadResult(), result) << DescribeCheckResult(p.wf.lastLoadResult());
    const SentBytesOracle oracle(file);
    EXPECT_EQ(oracle.walk().ok, result == kCheckPlayable);
    if (result != kCheckPlayable) {
      EXPECT_TRUE(p.midi.sent.empty() && !p.view.shown.update);
      continue;
    }
    p.wf.OnUpdateButtonClicked();
    // Timer periods at first, then ever longer, to cross the longest delta time (2^28 ticks).
    double step = kTickPeriodSeconds;
    for (int i = 0; i < 2000 && p.view.ends.empty(); ++i, step *= i > 100 ? 1.1 : 1) p.Tick(step);
    ASSERT_EQ(p.view.ends, std::vector<RunOutcome>{RunOutcome::kCompleted});
    EXPECT_EQ(oracle.Judge(p.midi.sent, true), "");
  }
}

// The judge itself must refuse what a faulty dispatch could send: a message cut short, with a
// byte changed or added, an escape with its own status, data from inside another event, a meta
// event, a message sent too often or not at all.
TEST(SentBytesOracle, RefusesMessagesThatAreNoCopyOfAnEvent) {
  TrackBuilder t;
  t.SysEx(0, {0x43, 0x10, 0xF7}).Event(0, {0x90, 0x3C, 0x64}).Event(0, {0x3C, 0x00});
  t.Escape(0, {0x41}).Meta(0, 0x01, {0x90, 0x3D, 0x10}).Event(0, {0xC1, 0x05}).EndOfTrack();
  const SentBytesOracle oracle(Smf(1, 480, {t}));
  ASSERT_TRUE(oracle.walk().ok);
  const std::vector<Bytes> all = {
      {0xF0, 0x43, 0x10, 0xF7}, {0x90, 0x3C, 0x64}, {0x90, 0x3C, 0x00}, {0xF0, 0x41}, {0xC1, 0x05}};
  EXPECT_EQ(oracle.Judge(all, true), "");
  EXPECT_EQ(oracle.Judge({all[1], all[0]}, false), "");
  // clang-format off
  const Bytes wrong[] = {all[0], {}, {0xF0, 0x43, 0x10}, {0xF7, 0x41}, {0xF0, 0x10, 0xF7},
                         {0x90, 0x3D, 0x10}, {0x90, 0x3C, 0x65}, {0x90, 0x3C}, {0xC1, 0x05, 0x00},
                         {0xFF, 0x2F, 0x00}};
  // clang-format on
  for (const Bytes& bad : wrong) {
    EXPECT_NE(oracle.Judge({all[0], bad}, false), "") << SentBytesOracle::Hex(bad);
  }
  EXPECT_NE(oracle.Judge({all.begin(), all.end() - 1}, true), "");  // one missing
}

}  // namespace
}  // namespace midiflash

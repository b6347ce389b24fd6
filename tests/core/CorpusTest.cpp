// The malformed-file corpus of tests/data (written by scripts/make-corpus): every file gets the
// check result listed for it in expected.txt, and every file the check accepts plays through the
// core to its end, sending each of its messages once as a copy of its bytes and nothing more.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>

#include "CoreFakes.h"
#include "Log.h"
#include "SentBytesOracle.h"
#include "UpdateWorkflow.h"

namespace midiflash {
namespace {

using namespace midiflash::testing;
namespace fs = std::filesystem;

const fs::path kData = MIDIFLASH_TEST_DATA;

Bytes ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

std::map<std::string, int32_t> Expected() {
  std::map<std::string, int32_t> out;
  std::ifstream in(kData / "expected.txt");
  std::string name;
  int32_t result;
  while (in >> name >> result) out[name] = result;
  return out;
}

struct Player : CoreHarness {
  ScopedLogCapture quiet{[](const std::string&) {}};

  explicit Player(const Bytes& file) { Choose(file); }
  // Ticks of one timer period at first, then ever longer, so that the longest delta time of the
  // corpus (2^28 ticks) is crossed in a bounded number of ticks.
  void PlayToEnd() {
    wf.OnUpdateButtonClicked();
    double step = kPeriod;
    for (int n = 0; n < 2000 && view.ends.empty(); ++n) {
      Tick(step);
      if (n >= 100) step *= 1.1;
    }
  }
};

TEST(Corpus, HasTheFilesItNeeds) {
  const auto expected = Expected();
  size_t on_disk = 0;
  for (const auto& entry : fs::directory_iterator(kData)) {
    if (entry.path().extension() != ".dat") continue;
    ++on_disk;
    EXPECT_TRUE(expected.count(entry.path().stem().string())) << entry.path() << " has no result";
  }
  EXPECT_EQ(on_disk, expected.size());
  // Both sides of the corpus are there: files the check accepts and each kind of refusal.
  std::map<int32_t, int> by_result;
  for (const auto& [name, result] : expected) ++by_result[result];
  for (int32_t r = kCheckPlayable; r <= kCheckSmpteDivision; ++r) {
    if (r == 2 || (r > 4 && r < 17) || r == kCheckTooLarge) continue;
    EXPECT_GT(by_result[r], 0) << "no file gives " << r;
  }
}

TEST(Corpus, EachFileGetsItsResultAndAcceptedOnesPlayToTheEnd) {
  for (const auto& [name, result] : Expected()) {
    SCOPED_TRACE(name);
    const Bytes file = ReadFile(kData / (name + ".dat"));
    Player p(file);
    ASSERT_EQ(p.wf.lastLoadResult(), result) << DescribeCheckResult(p.wf.lastLoadResult());
    const SentBytesOracle oracle(file);
    EXPECT_EQ(oracle.walk().ok, result == kCheckPlayable);
    if (result != kCheckPlayable) {
      EXPECT_TRUE(p.midi.sent.empty());
      EXPECT_FALSE(p.view.update);
      EXPECT_EQ(p.view.location, kCantPlay);
      continue;
    }
    p.PlayToEnd();
    ASSERT_EQ(p.view.ends.size(), 1u) << "the run did not end";
    EXPECT_EQ(p.view.ends[0], RunOutcome::kCompleted);
    EXPECT_EQ(p.view.location, p.wf.state().cmessage.COMPLETED);
    EXPECT_EQ(oracle.JudgeComplete(p.midi.sent), "");
  }
}

// The judge itself: it must refuse what a faulty dispatch could send.
TEST(SentBytesOracle, RefusesMessagesThatAreNoCopyOfAnEvent) {
  TrackBuilder t;
  t.SysEx(0, {0x43, 0x10, 0xF7}).Event(0, {0x90, 0x3C, 0x64}).Event(0, {0x3C, 0x00});
  t.Escape(0, {0x41}).Meta(0, 0x01, {0x90, 0x3D, 0x10}).Event(0, {0xC1, 0x05}).EndOfTrack();
  const SentBytesOracle oracle(Smf(1, 480, {t}));
  ASSERT_TRUE(oracle.walk().ok);
  const std::vector<Bytes> all = {
      {0xF0, 0x43, 0x10, 0xF7}, {0x90, 0x3C, 0x64}, {0x90, 0x3C, 0x00}, {0xF0, 0x41}, {0xC1, 0x05}};
  for (const Bytes& good : all) EXPECT_EQ(oracle.Judge(good), "") << SentBytesOracle::Hex(good);
  for (const Bytes& bad : std::vector<Bytes>{{},
                                             {0xF0, 0x43, 0x10},  // SysEx data cut short
                                             {0xF7, 0x41},        // escape with its own status
                                             {0xF0, 0x10, 0xF7},  // data from inside an event
                                             {0x90, 0x3D, 0x10},  // a meta event's data
                                             {0x90, 0x3C, 0x65},  // a data byte changed
                                             {0x90, 0x3C},        // cut short
                                             {0xC1, 0x05, 0x00},  // a third byte
                                             {0xFF, 0x2F, 0x00}}) {
    EXPECT_NE(oracle.Judge(bad), "") << SentBytesOracle::Hex(bad);
  }
  EXPECT_EQ(oracle.JudgeComplete(all), "");
  EXPECT_NE(oracle.JudgeComplete({all.begin(), all.end() - 1}), "");  // one missing
  std::vector<Bytes> twice = all;
  twice.push_back(all[1]);
  EXPECT_NE(oracle.JudgeComplete(twice), "");
}

}  // namespace
}  // namespace midiflash

// The corpus of tests/data (scripts/make-corpus): each file gets the result expected.txt lists, and
// each accepted one plays to its end, sending each of its messages once and nothing more.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>

#include "CoreFakes.h"
#include "Log.h"
#include "SentBytesOracle.h"

namespace midiflash {
namespace {

using namespace midiflash::testing;

TEST(Corpus, EachFileGetsItsResultAndAcceptedOnesPlayToTheEnd) {
  const std::filesystem::path data = MIDIFLASH_TEST_DATA;
  std::map<std::string, int32_t> expected;
  std::set<int32_t> results;  // every refusal but "too large for the destination" has a file
  std::ifstream list(data / "expected.txt");
  std::string name;
  for (int32_t result; list >> name >> result; results.insert(result)) expected[name] = result;
  EXPECT_EQ(results.size(), 19u);
  ScopedLogCapture quiet{[](const std::string&) {}};
  size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(data)) {
    if (entry.path().extension() == ".txt") continue;
    SCOPED_TRACE(entry.path());
    ++files;
    ASSERT_TRUE(expected.count(entry.path().stem().string())) << "no result in expected.txt";
    const int32_t want = expected[entry.path().stem().string()];
    std::ifstream in(entry.path(), std::ios::binary);
    const Bytes file{std::istreambuf_iterator<char>(in), {}};
    CoreHarness p;
    p.Choose(file);
    ASSERT_EQ(p.wf.file().checked->result, want) << ExplainRefusal(*p.wf.file().checked);
    EXPECT_EQ(WalkFile(file).ok, want == kCheckPlayable);
    if (want != kCheckPlayable) {
      EXPECT_TRUE(p.midi.sent.empty() && !p.view.shown.update);
      continue;
    }
    p.wf.Start();
    // Timer periods at first, then ever longer, to cross the longest delta time (2^28 ticks).
    double step = kTickPeriodSeconds;
    for (int i = 0; i < 2000 && p.view.ends.empty(); ++i, step *= i > 100 ? 1.1 : 1) p.Tick(step);
    ASSERT_EQ(p.view.ends, std::vector<RunOutcome>{RunOutcome::kCompleted});
    std::vector<Bytes> sent = p.midi.sent;
    EXPECT_EQ(JudgeSent(file, sent, true), "");
    if (sent.empty()) continue;
    // The judge itself refuses a message sent once more, and one left out.
    sent.push_back(sent.back());
    EXPECT_NE(JudgeSent(file, sent, false), "");
    sent.resize(sent.size() - 2);
    EXPECT_NE(JudgeSent(file, sent, true), "");
  }
  EXPECT_EQ(files, expected.size());
}

}  // namespace
}  // namespace midiflash

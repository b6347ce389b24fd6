// bench_check: `midiflash-cli check` as a whole process (wall time and peak memory) and the core
// check alone (read whole + check), on two generated 16 MiB files, one of large System
// Exclusive blocks and one of dense short channel messages, against midicsv and mido reading the
// same files in the same run. Prints `name: value` lines; MB is 10^6 bytes, MiB 2^20.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "CheckedFile.h"
#include "PosixFileSource.h"

namespace {

constexpr size_t kFileBytes = size_t{16} << 20;
constexpr int kCheckRuns = 7;
constexpr int kToolRuns = 2;
constexpr size_t kSysExBlock = size_t{64} << 10;
constexpr const char* kPython = "/usr/bin/python3";

void VarLen(std::vector<uint8_t>& out, uint32_t v) {
  uint8_t groups[5];
  int n = 0;
  do {
    groups[n++] = static_cast<uint8_t>(v & 0x7F);
    v >>= 7;
  } while (v != 0);
  while (n-- > 1) out.push_back(groups[n] | 0x80);
  out.push_back(groups[0]);
}

void Be32(std::vector<uint8_t>& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

// A format 0 file whose single track holds `events` and an End of Track.
std::vector<uint8_t> SingleTrackFile(const std::vector<uint8_t>& events) {
  std::vector<uint8_t> file = {'M', 'T', 'h', 'd',  0,    0,   0,   6,   0,
                               0,   0,   1,   0x01, 0xE0, 'M', 'T', 'r', 'k'};
  Be32(file, static_cast<uint32_t>(events.size() + 4));
  file.insert(file.end(), events.begin(), events.end());
  file.insert(file.end(), {0x00, 0xFF, 0x2F, 0x00});
  return file;
}

// 64 KiB System Exclusive blocks, 10 ticks apart, filling 16 MiB. The data bytes stay below 0x80
// so that every reader accepts them.
std::vector<uint8_t> SysExFile() {
  std::vector<uint8_t> events;
  const size_t budget = kFileBytes - 22 - 4;
  for (uint32_t block = 0; events.size() < budget; ++block) {
    const size_t room = budget - events.size();
    if (room < 16) break;
    const size_t data = std::min(kSysExBlock, room - 8);
    VarLen(events, 10);
    events.push_back(0xF0);
    VarLen(events, static_cast<uint32_t>(data));
    for (size_t i = 0; i + 1 < data; ++i)
      events.push_back(static_cast<uint8_t>((block + i * 31) & 0x7F));
    events.push_back(0xF7);
  }
  return SingleTrackFile(events);
}

// Note on and off pairs with one-byte delta times, mostly under running status; every 16th event
// names its status again on another channel.
std::vector<uint8_t> DenseFile() {
  std::vector<uint8_t> events;
  const size_t budget = kFileBytes - 22 - 4;
  for (uint32_t i = 0; events.size() + 4 <= budget; ++i) {
    events.push_back(static_cast<uint8_t>(i % 4));
    if (i % 16 == 0) events.push_back(static_cast<uint8_t>(0x90 | (i / 16 % 16)));
    events.push_back(static_cast<uint8_t>(0x30 + i % 24));
    events.push_back(i % 2 == 0 ? 0x64 : 0x00);
  }
  return SingleTrackFile(events);
}

bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(f);
}

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Best time of the workflow's load: read the whole file, then the check. Negative on a failure.
double TimeCheck(const std::string& path) {
  midiflash::PosixFileSource source;
  double best = -1;
  for (int run = 0; run < kCheckRuns; ++run) {
    const double start = Now();
    const midiflash::LoadedFile loaded = midiflash::LoadFile(source, path);
    const double took = Now() - start;
    if (!loaded.checked || !loaded.checked->playable()) return -1;
    if (best < 0 || took < best) best = took;
  }
  return best;
}

// Wall time of one run of `argv` with its output thrown away; negative when it cannot be started
// or fails. `peak_kib` receives its peak resident memory.
double TimeProcess(const std::vector<std::string>& argv, long* peak_kib = nullptr) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const double start = Now();
  // fork, not posix_spawn: a child sharing the parent's memory until exec would report the
  // parent's peak as its own.
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    execvp(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  struct rusage usage {};
  while (wait4(pid, &status, 0, &usage) < 0) {
  }
  const double took = Now() - start;
  if (peak_kib != nullptr) *peak_kib = usage.ru_maxrss;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? took : -1;
}

double BestProcess(const std::vector<std::string>& argv, int runs, long* peak_kib = nullptr) {
  double best = -1;
  for (int i = 0; i < runs; ++i) {
    long peak = 0;
    const double t = TimeProcess(argv, &peak);
    if (t < 0) return -1;
    if (peak_kib != nullptr && peak > *peak_kib) *peak_kib = peak;
    if (best < 0 || t < best) best = t;
  }
  return best;
}

void PrintRate(const char* name, size_t bytes, double seconds) {
  if (seconds <= 0) {
    std::printf("%s: unavailable\n", name);
  } else {
    std::printf("%s: %.1f\n", name, bytes / seconds / 1e6);
  }
}

void PrintRatio(const char* name, double ours, double theirs) {
  if (ours <= 0 || theirs <= 0) {
    std::printf("%s: unavailable\n", name);
  } else {
    std::printf("%s: %.1f\n", name, theirs / ours);
  }
}

}  // namespace

int main() {
  const char* tmp = std::getenv("TMPDIR");
  std::string dir =
      std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/bench_check.XXXXXX";
  if (mkdtemp(dir.data()) == nullptr) {
    std::perror("bench_check: mkdtemp");
    return 1;
  }
  const std::string sysex_path = dir + "/sysex.mid";
  const std::string dense_path = dir + "/dense.mid";
  std::vector<uint8_t> sysex = SysExFile();
  std::vector<uint8_t> dense = DenseFile();
  if (!WriteFile(sysex_path, sysex) || !WriteFile(dense_path, dense)) {
    std::fprintf(stderr, "bench_check: cannot write the files in %s\n", dir.c_str());
    return 1;
  }

  const size_t sysex_bytes = sysex.size(), dense_bytes = dense.size();
  // A forked child starts with what its parent holds: hold nothing.
  std::vector<uint8_t>().swap(sysex);
  std::vector<uint8_t>().swap(dense);
  long peak_sysex = 0, peak_dense = 0;
  const double command_sysex =
      BestProcess({MIDIFLASH_CLI_PATH, "check", sysex_path}, kCheckRuns, &peak_sysex);
  const double command_dense =
      BestProcess({MIDIFLASH_CLI_PATH, "check", dense_path}, kCheckRuns, &peak_dense);
  const double check_sysex = TimeCheck(sysex_path);
  const double check_dense = TimeCheck(dense_path);
  const double midicsv_sysex = BestProcess({"midicsv", sysex_path, "/dev/null"}, kToolRuns);
  const double midicsv_dense = BestProcess({"midicsv", dense_path, "/dev/null"}, kToolRuns);
  const std::string mido = "import sys, mido; mido.MidiFile(sys.argv[1])";
  // mido is slow enough on these files that one run each is plenty.
  const double mido_sysex = BestProcess({kPython, "-c", mido, sysex_path}, 1);
  const double mido_dense = BestProcess({kPython, "-c", mido, dense_path}, 1);
  const double mido_start = BestProcess({kPython, "-c", "import mido"}, 1);

  std::printf("check_sysex_file_bytes: %zu\n", sysex_bytes);
  std::printf("check_dense_file_bytes: %zu\n", dense_bytes);
  std::printf("command_check_sysex_s: %.3f\n", command_sysex);
  std::printf("command_check_dense_s: %.3f\n", command_dense);
  std::printf("midicsv_sysex_s: %.3f\n", midicsv_sysex);
  std::printf("midicsv_dense_s: %.3f\n", midicsv_dense);
  std::printf("command_check_sysex_peak_MiB: %.1f\n", peak_sysex / 1024.0);
  std::printf("command_check_dense_peak_MiB: %.1f\n", peak_dense / 1024.0);
  std::printf("command_check_dense_peak_over_file_MiB: %.1f\n",
              peak_dense / 1024.0 - dense_bytes / 1048576.0);
  PrintRatio("command_ratio_vs_midicsv_dense", command_dense, midicsv_dense);
  PrintRatio("command_ratio_vs_midicsv_sysex", command_sysex, midicsv_sysex);
  PrintRate("check_sysex_MBps", sysex_bytes, check_sysex);
  PrintRate("check_dense_MBps", dense_bytes, check_dense);
  PrintRate("midicsv_sysex_MBps", sysex_bytes, midicsv_sysex);
  PrintRate("midicsv_dense_MBps", dense_bytes, midicsv_dense);
  PrintRate("mido_sysex_MBps", sysex_bytes, mido_sysex);
  PrintRate("mido_dense_MBps", dense_bytes, mido_dense);
  if (mido_start > 0) std::printf("mido_startup_s: %.3f\n", mido_start);
  PrintRatio("ratio_vs_midicsv_dense", check_dense, midicsv_dense);
  PrintRatio("ratio_vs_midicsv_sysex", check_sysex, midicsv_sysex);
  PrintRatio("ratio_vs_mido_dense", check_dense, mido_dense);
  PrintRatio("ratio_vs_mido_sysex", check_sysex, mido_sysex);

  std::remove(sysex_path.c_str());
  std::remove(dense_path.c_str());
  rmdir(dir.c_str());
  return check_sysex > 0 && check_dense > 0 && command_sysex > 0 && command_dense > 0 ? 0 : 1;
}

#include "Sandbox.h"

#include <fcntl.h>
#include <linux/landlock.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "Log.h"

// Rights newer than the kernel headers this may be built with; the ABI check below decides
// whether the running kernel knows them.
#ifndef LANDLOCK_ACCESS_FS_REFER
#define LANDLOCK_ACCESS_FS_REFER (1ULL << 13)
#endif
#ifndef LANDLOCK_ACCESS_FS_TRUNCATE
#define LANDLOCK_ACCESS_FS_TRUNCATE (1ULL << 14)
#endif

namespace midiflash {
namespace {

constexpr uint64_t kWritesAbi1 = LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_REMOVE_DIR |
                                 LANDLOCK_ACCESS_FS_REMOVE_FILE | LANDLOCK_ACCESS_FS_MAKE_CHAR |
                                 LANDLOCK_ACCESS_FS_MAKE_DIR | LANDLOCK_ACCESS_FS_MAKE_REG |
                                 LANDLOCK_ACCESS_FS_MAKE_SOCK | LANDLOCK_ACCESS_FS_MAKE_FIFO |
                                 LANDLOCK_ACCESS_FS_MAKE_BLOCK | LANDLOCK_ACCESS_FS_MAKE_SYM;
// Of the rights above, those that a rule on a single file (not a folder) may carry.
constexpr uint64_t kFileRights = LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_TRUNCATE;

// Write-type rights that the kernel of `abi` knows. Reading, executing and device ioctls are
// left unhandled, so they stay as the rest of the system allows.
uint64_t WriteRights(int abi) {
  uint64_t rights = kWritesAbi1;
  // Without REFER handled, ABI 1 semantics forbid every rename or link into another folder, even
  // where writing is allowed; handled, it is allowed beneath the writable paths like the rest.
  if (abi >= 2) rights |= LANDLOCK_ACCESS_FS_REFER;
  if (abi >= 3) rights |= LANDLOCK_ACCESS_FS_TRUNCATE;
  return rights;
}

void SetReason(std::string* reason, const std::string& text) {
  if (reason) *reason = text;
}

// A failed call: logged in the program's usual form, and handed back as the reason.
bool Failed(std::string* reason, const char* call, int err) {
  LogLine("%s err = %d", call, err);
  SetReason(reason, std::string(call) + " failed: " + std::strerror(err));
  return false;
}

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

std::vector<std::string> MidiServicePaths() {
  return {"/dev/snd", "/dev/shm", "/dev/null"};
}

int LandlockAbi(std::string* reason) {
  const long abi =
      syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
  if (abi >= 1) return static_cast<int>(abi);
  const int err = errno;
  if (err == ENOSYS) {
    SetReason(reason, "the kernel was built without it (ENOSYS)");
  } else if (err == EOPNOTSUPP) {
    SetReason(reason, "it is turned off in this kernel (EOPNOTSUPP; see the lsm= boot option)");
  } else {
    SetReason(reason, std::string("landlock_create_ruleset: ") + std::strerror(err));
  }
  return 0;
}

bool RestrictWrites(const std::vector<std::string>& writable, std::string* reason) {
  std::string missing;
  const int abi = LandlockAbi(&missing);
  if (abi == 0) {
    // Start-up may run more than once in a process (tests); the log says it once.
    static std::atomic<bool> told{false};
    if (!told.exchange(true)) LogLine("Landlock is not available: %s", missing.c_str());
    SetReason(reason, missing);
    return false;
  }

  const uint64_t rights = WriteRights(abi);
  landlock_ruleset_attr attr{};
  attr.handled_access_fs = rights;
  Fd ruleset(static_cast<int>(syscall(SYS_landlock_create_ruleset, &attr, sizeof attr, 0)));
  if (ruleset.get() < 0) return Failed(reason, "landlock_create_ruleset", errno);

  for (const std::string& path : writable) {
    Fd dir(open(path.c_str(), O_PATH | O_CLOEXEC));
    if (dir.get() < 0) {
      if (errno == ENOENT || errno == ENOTDIR) continue;  // no such service on this machine
      return Failed(reason, "open", errno);
    }
    struct stat st;
    if (fstat(dir.get(), &st) != 0) return Failed(reason, "fstat", errno);
    landlock_path_beneath_attr rule{};
    rule.allowed_access = S_ISDIR(st.st_mode) ? rights : rights & kFileRights;
    rule.parent_fd = dir.get();
    if (syscall(SYS_landlock_add_rule, ruleset.get(), LANDLOCK_RULE_PATH_BENEATH, &rule, 0) != 0) {
      return Failed(reason, "landlock_add_rule", errno);
    }
  }

  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return Failed(reason, "prctl", errno);
  if (syscall(SYS_landlock_restrict_self, ruleset.get(), 0) != 0) {
    return Failed(reason, "landlock_restrict_self", errno);
  }
  SetReason(reason, "");
  return true;
}

}  // namespace midiflash

// The engine process natively (fork/exec through posix_spawn, SIGKILL), so the
// same engine-thread code runs a real child in native tests. There is no job
// object here: the engine leads a process group of its own, which plays the
// job's part for what it starts, and an engine still running when its
// EngineProcess is destroyed is killed and reaped then. An engine that has
// exited is reaped only once its group has been dealt with, so that its id
// (the group's) cannot be handed to another process meanwhile.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "ipc/error_codes.h"
#include "supervisor/engine_process.h"

extern char** environ;

namespace velk {
namespace {

class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(Fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  Fd& operator=(Fd&& o) noexcept {
    if (this != &o) {
      reset();
      fd_ = std::exchange(o.fd_, -1);
    }
    return *this;
  }
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

bool make_pipe(Fd& read_end, Fd& write_end) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  read_end = Fd(fds[0]);
  write_end = Fd(fds[1]);
  return true;
}

class FdReader final : public ByteReader {
 public:
  explicit FdReader(Fd fd) : fd_(std::move(fd)) {}
  std::optional<std::size_t> read(std::span<char> buf) override {
    for (;;) {
      ssize_t n = ::read(fd_.get(), buf.data(), buf.size());
      if (n >= 0) return static_cast<std::size_t>(n);
      if (errno != EINTR) return std::nullopt;
    }
  }

 private:
  Fd fd_;
};

// Writes to a pipe whose reader may be gone without the process receiving SIGPIPE.
bool write_all_without_sigpipe(int fd, std::string_view text) {
  sigset_t pipe_set, old_set, pending;
  sigemptyset(&pipe_set);
  sigaddset(&pipe_set, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_set, &old_set);
  sigpending(&pending);
  bool was_pending = sigismember(&pending, SIGPIPE) == 1;
  bool ok = true, broken = false;
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      broken = errno == EPIPE;
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  if (broken && !was_pending) {
    timespec zero{};
    while (sigtimedwait(&pipe_set, nullptr, &zero) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &old_set, nullptr);
  return ok;
}

class PosixEngineProcess final : public EngineProcess {
 public:
  PosixEngineProcess(pid_t pid, Fd input, Fd errors)
      : pid_(pid), input_(std::move(input)), errors_(std::make_unique<FdReader>(std::move(errors))) {}

  ~PosixEngineProcess() override {
    input_.reset();
    if (!reaped_) {
      kill();
      wait();
    }
  }

  bool write_input_and_close(std::string_view text) override {
    if (!input_.valid()) return false;
    bool ok = write_all_without_sigpipe(input_.get(), text);
    input_.reset();
    return ok;
  }

  std::unique_ptr<ByteReader> take_error_output() override { return std::move(errors_); }

  bool has_exited() override {
    if (reaped_ || exited_) return true;
    siginfo_t info{};
    int r;
    do {
      r = ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT);
    } while (r < 0 && errno == EINTR);
    if (r == 0 && info.si_pid == 0) return false;
    if (r == 0) {
      exited_ = true;  // a zombie until reaped: its id stays taken
    } else {
      reaped_ = true;  // the question failed
    }
    return true;
  }

  void kill() override {
    if (!reaped_) ::kill(pid_, SIGKILL);
  }

  void end_leftovers() override {
    if (!reaped_) ::kill(-pid_, SIGKILL);
    if (exited_) wait();
  }

  void wait() override {
    while (!reaped_) {
      int status = 0;
      pid_t r = ::waitpid(pid_, &status, 0);
      if (r == pid_ || (r < 0 && errno != EINTR)) reaped_ = true;
    }
  }

 private:
  pid_t pid_;
  bool exited_ = false;
  bool reaped_ = false;
  Fd input_;
  std::unique_ptr<ByteReader> errors_;
};

class FileActions {
 public:
  FileActions() { ok_ = posix_spawn_file_actions_init(&fa_) == 0; }
  ~FileActions() {
    if (ok_) posix_spawn_file_actions_destroy(&fa_);
  }
  FileActions(const FileActions&) = delete;
  FileActions& operator=(const FileActions&) = delete;
  bool ok() const { return ok_; }
  posix_spawn_file_actions_t* get() { return &fa_; }

 private:
  posix_spawn_file_actions_t fa_;
  bool ok_ = false;
};

class PosixEngineLauncher final : public EngineLauncher {
 public:
  Result<std::unique_ptr<EngineProcess>> start(const std::filesystem::path& program) override {
    Fd in_read, in_write, err_read, err_write;
    if (!make_pipe(in_read, in_write) || !make_pipe(err_read, err_write)) return fail(err::engine_spawn);

    FileActions actions;
    if (!actions.ok() || posix_spawn_file_actions_adddup2(actions.get(), in_read.get(), 0) != 0 ||
        posix_spawn_file_actions_addopen(actions.get(), 1, "/dev/null", O_WRONLY, 0) != 0 ||
        posix_spawn_file_actions_adddup2(actions.get(), err_write.get(), 2) != 0) {
      return fail(err::engine_spawn);
    }

    std::vector<std::string> args;
    args.push_back(program.string());
    for (std::string_view a : kEngineArguments) args.emplace_back(a);
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    // A process group of its own, led by the engine: what it starts can be
    // ended with it.
    posix_spawnattr_t attr;
    if (posix_spawnattr_init(&attr) != 0) return fail(err::engine_spawn);
    const bool grouped = posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP) == 0 &&
                         posix_spawnattr_setpgroup(&attr, 0) == 0;
    pid_t pid = 0;
    int rc = grouped ? posix_spawn(&pid, args[0].c_str(), actions.get(), &attr, argv.data(), environ) : EINVAL;
    posix_spawnattr_destroy(&attr);
    if (rc != 0) return fail(rc == ENOENT || rc == ENOTDIR ? err::engine_missing : err::engine_spawn);
    in_read.reset();
    err_write.reset();
    return std::unique_ptr<EngineProcess>(
        std::make_unique<PosixEngineProcess>(pid, std::move(in_write), std::move(err_read)));
  }
};

}  // namespace

std::unique_ptr<EngineLauncher> make_engine_launcher() { return std::make_unique<PosixEngineLauncher>(); }

}  // namespace velk

#pragma once
// A supervisor with every outside part faked: a temporary state directory, a
// fake clock, in-memory filters, a name table instead of the resolver, a fake
// engine launcher and controller. Owns the engine and watcher threads it starts
// and joins them when it goes away.

#include <algorithm>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "fake_clock.h"
#include "fake_controller_client.h"
#include "fake_engine_scripts.h"
#include "fake_filter_ops.h"
#include "ipc/byte_stream.h"
#include "ipc/caller_identity.h"
#include "supervisor/supervisor.h"
#include "temp_dir.h"

namespace velk::test {

// Host names answered from a table; anything else resolves to nothing.
class TableResolver final : public HostResolver {
 public:
  std::vector<IpAddress> resolve(const std::string& host) override;
  void set(const std::string& host, std::vector<IpAddress> addresses);
  int calls();

 private:
  std::mutex m_;
  std::map<std::string, std::vector<IpAddress>> table_;
  int calls_ = 0;
};

// Valid routes: tag srv-N, server 10.0.0.(N+1), port 443.
Route engine_route(int n);
EngineRequest engine_request(int routes, std::string selected = "auto");

inline const CallerIdentity kOwner{"S-1-5-21-7-7-7-1001", false};
inline const CallerIdentity kOtherUser{"S-1-5-21-7-7-7-1002", false};
inline const CallerIdentity kAdmin{"S-1-5-21-7-7-7-500", true};

class FakeEngineWorld {
 public:
  FakeEngineWorld();
  ~FakeEngineWorld();

  // Builds the supervisor over the state directory (as a service start does).
  Supervisor& build();
  Supervisor& supervisor() { return *supervisor_; }
  void start_engine_thread();
  void start_watcher_thread();
  // Ends and joins the threads (releasing whatever the fakes hold).
  void stop_threads();

  std::filesystem::path state_file() const { return dir.path() / "killswitch.json"; }
  std::vector<std::string> sink_lines();
  // Fails every new controller access from now on.
  void fail_controller_access();

  // Waits in real time (at most `limit`) until `done()` holds.
  static bool eventually(const std::function<bool()>& done,
                         std::chrono::milliseconds limit = std::chrono::seconds(20));

  TempDir dir;
  FakeClock clock;
  FakeFilterOps filters;
  ScriptedEngineLauncher launcher{clock};
  FakeControllerClient controller;
  std::shared_ptr<TableResolver> resolver = std::make_shared<TableResolver>();
  // What build() uses; a test may point them at real parts first.
  EngineLauncher* engine_launcher = &launcher;
  ControllerClient* controller_client = &controller;
  std::filesystem::path engine_path = dir.path() / "velkvpn-engine.exe";
  // Real loopback ports and secrets instead of made-up ones (for a real engine).
  bool real_controller_access = false;

 private:
  std::mutex m_;
  std::vector<std::string> sink_;
  int accesses_ = 0;
  bool fail_access_ = false;
  std::unique_ptr<Supervisor> supervisor_;
  std::thread engine_thread_;
  std::thread watcher_thread_;
};

// A byte stream in memory: reads hand out the input in chunks of at most
// `chunk` bytes, writes collect into the output.
class MemoryStream final : public ByteStream {
 public:
  explicit MemoryStream(std::string input, std::size_t chunk = 1 << 20) : input_(std::move(input)), chunk_(chunk) {}
  std::size_t read(std::span<char> buffer) override {
    const std::size_t n = std::min({buffer.size(), chunk_, input_.size() - pos_});
    std::copy_n(input_.data() + pos_, n, buffer.data());
    pos_ += n;
    return n;
  }
  bool write_all(std::string_view bytes) override {
    if (fail_writes_) return false;
    output_.append(bytes);
    return true;
  }
  void fail_writes() { fail_writes_ = true; }
  const std::string& output() const { return output_; }
  std::size_t consumed() const { return pos_; }
  // Starts over with new input and an empty output.
  void reset(std::string input) {
    input_ = std::move(input);
    pos_ = 0;
    output_.clear();
  }

 private:
  std::string input_;
  std::size_t chunk_;
  std::size_t pos_ = 0;
  std::string output_;
  bool fail_writes_ = false;
};

}  // namespace velk::test

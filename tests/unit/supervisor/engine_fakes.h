#pragma once
// Fakes for the engine process, its output stream and the clock, shared by the
// supervisor tests.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "ipc/error_codes.h"
#include "manual_clock.h"
#include "platform/clock.h"
#include "supervisor/engine_process.h"
#include "supervisor/output_reader.h"

namespace velk::test {


// Serves a fixed text in reads of at most `chunk` bytes, then the end of the
// stream (or a read error when `fail_at_end`). Records each read's request size.
class StringReader final : public ByteReader {
 public:
  explicit StringReader(std::string data, std::size_t chunk = 1 << 20, bool fail_at_end = false)
      : data_(std::move(data)), chunk_(chunk), fail_at_end_(fail_at_end) {}
  std::optional<std::size_t> read(std::span<char> buf) override {
    requests.push_back(buf.size());
    if (pos_ == data_.size()) {
      if (fail_at_end_) return std::nullopt;
      return 0;
    }
    std::size_t n = std::min({buf.size(), chunk_, data_.size() - pos_});
    std::memcpy(buf.data(), data_.data() + pos_, n);
    pos_ += n;
    return n;
  }
  std::size_t consumed() const { return pos_; }
  std::vector<std::size_t> requests;

 private:
  std::string data_;
  std::size_t chunk_;
  bool fail_at_end_;
  std::size_t pos_ = 0;
};

// A stream whose one read blocks until released, then gives `text` and the end.
class GatedReader final : public ByteReader {
 public:
  struct Gate {
    std::mutex m;
    std::condition_variable cv;
    bool open = false;
    void release() {
      std::lock_guard<std::mutex> lock(m);
      open = true;
      cv.notify_all();
    }
  };
  GatedReader(std::shared_ptr<Gate> gate, std::string text) : gate_(std::move(gate)), text_(std::move(text)) {}
  std::optional<std::size_t> read(std::span<char> buf) override {
    std::unique_lock<std::mutex> lock(gate_->m);
    gate_->cv.wait(lock, [&] { return gate_->open; });
    std::size_t n = std::min(buf.size(), text_.size());
    std::memcpy(buf.data(), text_.data(), n);
    text_.erase(0, n);
    return n;
  }

 private:
  std::shared_ptr<Gate> gate_;
  std::string text_;
};

// An engine process that ends after a chosen number of "has it exited?"
// questions following a kill (never, when exits_after_polls is none), logging
// every call in order.
class FakeEngineProcess final : public EngineProcess {
 public:
  std::optional<int> exits_after_polls;
  std::vector<std::string> log;
  std::string input;
  bool input_closed = false;
  std::unique_ptr<ByteReader> errors;

  bool write_input_and_close(std::string_view text) override {
    log.push_back("write");
    input.assign(text);
    input_closed = true;
    return true;
  }
  std::unique_ptr<ByteReader> take_error_output() override { return std::move(errors); }
  bool has_exited() override {
    log.push_back("poll");
    if (killed_ && exits_after_polls && ++polls_since_kill_ >= *exits_after_polls) exited_ = true;
    return exited_;
  }
  void kill() override {
    log.push_back("kill");
    killed_ = true;
  }
  void wait() override {
    log.push_back("wait");
    exited_ = true;
  }
  void end_leftovers() override { log.push_back("leftovers"); }
  bool exited() const { return exited_; }

 private:
  bool killed_ = false;
  bool exited_ = false;
  int polls_since_kill_ = 0;
};

// Hands out prepared results in order ("engine_spawn" once they run out) and
// records every program it was asked to start.
class FakeEngineLauncher final : public EngineLauncher {
 public:
  std::vector<Result<std::unique_ptr<EngineProcess>>> results;
  std::vector<std::filesystem::path> started;

  Result<std::unique_ptr<EngineProcess>> start(const std::filesystem::path& program) override {
    started.push_back(program);
    if (results.empty()) return fail(err::engine_spawn);
    Result<std::unique_ptr<EngineProcess>> r = std::move(results.front());
    results.erase(results.begin());
    return r;
  }
};

}  // namespace velk::test

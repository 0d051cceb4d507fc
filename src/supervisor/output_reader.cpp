#include "supervisor/output_reader.h"

#include <array>
#include <system_error>
#include <utility>

#include "ipc/error_codes.h"
#include "platform/text.h"

namespace velk {

namespace {

constexpr std::chrono::milliseconds kReaderMoment{20};

}  // namespace

std::string capture_engine_output(ByteReader& in) {
  std::string kept(kEngineOutputKept, '\0');
  std::size_t have = 0;
  while (have < kept.size()) {
    std::optional<std::size_t> n = in.read(std::span<char>(kept.data() + have, kept.size() - have));
    if (!n || *n == 0) {
      kept.resize(have);
      return kept;
    }
    have += *n;
  }
  std::array<char, kEngineOutputDrainChunk> sink;
  for (;;) {
    std::optional<std::size_t> n = in.read(sink);
    if (!n || *n == 0) break;
  }
  return kept;
}

ErrorCode classify_engine_output(std::string_view kept) {
  std::string text = ascii_lower(utf8_lossy(kept));
  auto has = [&](std::string_view needle) { return text.find(needle) != std::string::npos; };
  // Windows refuses the tunnel with "Access is denied."; the other two are the
  // engine's words elsewhere.
  if (has("operation not permitted") || has("permission denied") || has("access is denied")) {
    return err::tun_permission;
  }
  if (has("decode config") || has("create service") || has("initialize")) return err::engine_config;
  return err::engine_exit;
}

OutputReader OutputReader::start(std::unique_ptr<ByteReader> stream) {
  OutputReader reader;
  if (!stream) return reader;
  std::promise<ErrorCode> promise;
  std::future<ErrorCode> future = promise.get_future();
  try {
    reader.thread_ = std::thread([stream = std::move(stream), promise = std::move(promise)]() mutable {
      std::string kept = capture_engine_output(*stream);
      stream.reset();  // close our end before handing the result back
      promise.set_value(classify_engine_output(kept));
    });
  } catch (const std::system_error&) {
    return OutputReader{};
  }
  reader.result_ = std::move(future);
  return reader;
}

OutputReader& OutputReader::operator=(OutputReader&& other) noexcept {
  if (this != &other) {
    abandon();
    thread_ = std::move(other.thread_);
    result_ = std::move(other.result_);
  }
  return *this;
}

ErrorCode OutputReader::join() {
  if (!thread_.joinable()) return err::engine_exit;
  thread_.join();
  ErrorCode code = result_.get();
  result_ = {};
  return code;
}

std::optional<ErrorCode> OutputReader::join_within(Clock& clock, int polls, Clock::duration step) {
  if (!thread_.joinable()) return join();
  for (int i = 0;; ++i) {
    // Once the writers are gone the reader ends at once; the first question
    // leaves it a moment to, so that the clock only moves for a reader that
    // is really kept waiting.
    const auto moment = i == 0 ? kReaderMoment : std::chrono::milliseconds(0);
    if (result_.wait_for(moment) == std::future_status::ready) return join();
    if (i == polls) break;
    clock.sleep_for(step);
  }
  abandon();
  return std::nullopt;
}

void OutputReader::abandon() {
  if (thread_.joinable()) thread_.detach();
  result_ = {};
}

}  // namespace velk

// The engine's standard error: bounded capture with draining, classification,
// the reader thread, and a real stand-in's output.

#include "supervisor/output_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

#include "engine_fakes.h"
#include "ipc/error_codes.h"
#include "standin_harness.h"
#include "supervisor/engine_process.h"

namespace velk::test {
namespace {

// ---- Capture ----

TEST(CaptureEngineOutput, KeepsShortOutputWhole) {
  StringReader in("FATAL[0000] decode config at stdin\n", 7);
  EXPECT_EQ(capture_engine_output(in), "FATAL[0000] decode config at stdin\n");
}

TEST(CaptureEngineOutput, KeepsTheFirst64KiBAndDrainsTheRestIn4KiBReads) {
  std::string data(65536, 'k');
  data += std::string(300000, 'd');
  StringReader in(data, 10000);
  std::string kept = capture_engine_output(in);
  EXPECT_EQ(kept, std::string(65536, 'k'));
  EXPECT_EQ(in.consumed(), data.size());  // read to the end: the engine never blocks
  // Once the kept part is full, every read asks for 4096 bytes.
  std::size_t filling = 0, total = 0;
  std::size_t i = 0;
  for (; i < in.requests.size() && total < 65536; ++i) {
    total += std::min<std::size_t>(in.requests[i], 10000);
    ++filling;
  }
  ASSERT_LT(filling, in.requests.size());
  for (std::size_t k = filling; k < in.requests.size(); ++k) EXPECT_EQ(in.requests[k], 4096u) << k;
}

TEST(CaptureEngineOutput, ReadErrorEndsTheCaptureWithWhatWasKept) {
  StringReader in("permission denied", 5, /*fail_at_end=*/true);
  EXPECT_EQ(capture_engine_output(in), "permission denied");
  StringReader long_in(std::string(70000, 'x'), 4096, /*fail_at_end=*/true);
  EXPECT_EQ(capture_engine_output(long_in).size(), 65536u);
}

// ---- Classification ----

TEST(ClassifyEngineOutput, PermissionFailures) {
  EXPECT_EQ(classify_engine_output("FATAL[0000] start service: start inbound/tun[tun-in]: configure tun interface: "
                                   "operation not permitted\n"),
            err::tun_permission);
  EXPECT_EQ(classify_engine_output("open /dev/net/tun: Permission Denied"), err::tun_permission);
  EXPECT_EQ(classify_engine_output("OPERATION NOT PERMITTED"), err::tun_permission);
  // What Windows says when the tunnel is refused for lack of rights.
  EXPECT_EQ(classify_engine_output("FATAL[0000] start service: start inbound/tun[tun-in]: configure tun interface: "
                                   "Access is denied."),
            err::tun_permission);
}

TEST(ClassifyEngineOutput, ConfigurationFailures) {
  EXPECT_EQ(classify_engine_output("FATAL[0000] decode config at stdin: dns.servers[0].server: json: unknown field "
                                   "\"server\""),
            err::engine_config);
  EXPECT_EQ(classify_engine_output("FATAL[0000] create service: initialize outbound[2]: bad key"), err::engine_config);
  EXPECT_EQ(classify_engine_output("FATAL[0000] Initialize router: x"), err::engine_config);
}

TEST(ClassifyEngineOutput, FirstRuleWins) {
  EXPECT_EQ(classify_engine_output("create service: initialize inbound[0]: permission denied"), err::tun_permission);
}

TEST(ClassifyEngineOutput, EverythingElseIsAnExit) {
  EXPECT_EQ(classify_engine_output(""), err::engine_exit);
  EXPECT_EQ(classify_engine_output("FATAL[0000] access denied by policy"), err::engine_exit);
  EXPECT_EQ(classify_engine_output("FATAL[0000] start service: finish-start clash server: external controller listen "
                                   "error: listen tcp 127.0.0.1:9090: bind: address already in use"),
            err::engine_exit);
  EXPECT_EQ(classify_engine_output("decode\nconfig"), err::engine_exit);  // words must be together
}

TEST(ClassifyEngineOutput, InvalidUtf8AroundTheWordsDoesNotHideThem) {
  EXPECT_EQ(classify_engine_output("\xff\xfe" "Decode Config\xc3"), err::engine_config);
}

TEST(ClassifyEngineOutput, WordsBeyondTheKeptPartAreNotSeen) {
  StringReader in(std::string(65530, '.') + "decode config");
  EXPECT_EQ(classify_engine_output(capture_engine_output(in)), err::engine_exit);
  StringReader at_edge(std::string(65536 - 13, '.') + "decode config" + std::string(9000, '.'));
  EXPECT_EQ(classify_engine_output(capture_engine_output(at_edge)), err::engine_config);
}

// ---- The reader thread ----

TEST(OutputReader, HandsTheCodeBackThroughJoin) {
  auto reader = OutputReader::start(std::make_unique<StringReader>("create service: x", 3));
  EXPECT_TRUE(reader.started());
  EXPECT_EQ(reader.join(), err::engine_config);
  EXPECT_FALSE(reader.started());
  EXPECT_EQ(reader.join(), err::engine_exit);  // nothing left to join
}

TEST(OutputReader, NoReaderMeansEngineExit) {
  OutputReader none;
  EXPECT_EQ(none.join(), err::engine_exit);
  auto from_null = OutputReader::start(nullptr);
  EXPECT_FALSE(from_null.started());
  EXPECT_EQ(from_null.join(), err::engine_exit);
}

TEST(OutputReader, AbandonedReaderFinishesOnItsOwn) {
  auto gate = std::make_shared<GatedReader::Gate>();
  {
    auto reader = OutputReader::start(std::make_unique<GatedReader>(gate, "operation not permitted"));
    EXPECT_TRUE(reader.started());
    reader.abandon();
    EXPECT_FALSE(reader.started());
  }  // the reader object is gone while its thread still waits
  gate->release();
  // The gate outlives the thread through its shared ownership; waiting for it to
  // drop its reference shows the thread ran to the end.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (gate.use_count() > 1 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(gate.use_count(), 1);
}

TEST(OutputReader, MoveAssignmentAbandonsTheOldReader) {
  auto gate = std::make_shared<GatedReader::Gate>();
  auto reader = OutputReader::start(std::make_unique<GatedReader>(gate, ""));
  reader = OutputReader::start(std::make_unique<StringReader>("initialize router"));
  EXPECT_EQ(reader.join(), err::engine_config);
  gate->release();
}

// ---- A real engine's standard error ----

ErrorCode code_of_failing_standin(std::initializer_list<std::pair<const std::string, std::string>> vars) {
  ScopedEnv env(vars);
  auto launcher = make_engine_launcher();
  auto started = launcher->start(standin_path());
  if (!started.ok()) {
    ADD_FAILURE() << "stand-in did not start";
    return "";
  }
  EngineProcess& p = **started;
  auto reader = OutputReader::start(p.take_error_output());
  EXPECT_EQ(p.take_error_output(), nullptr);  // handed over once
  p.write_input_and_close("{}");
  ErrorCode code = reader.join();  // the engine ended: its end of the pipe is closed
  p.wait();
  EXPECT_TRUE(p.has_exited());
  return code;
}

TEST(EngineStderr, ClassifiedFromARealChild) {
  EXPECT_EQ(code_of_failing_standin({{"VELK_STANDIN_SCENARIO",
                                      "exit:FATAL[0000] decode config at stdin: dns.servers[0].server: json: unknown "
                                      "field \"server\""}}),
            err::engine_config);
  EXPECT_EQ(code_of_failing_standin({{"VELK_STANDIN_SCENARIO",
                                      "exit:FATAL[0000] start service: start inbound/tun[tun-in]: configure tun "
                                      "interface: operation not permitted"}}),
            err::tun_permission);
  EXPECT_EQ(code_of_failing_standin({{"VELK_STANDIN_SCENARIO",
                                      "exit:FATAL[0000] start service: finish-start clash server: external controller "
                                      "listen error: listen tcp 127.0.0.1:1: bind: address already in use"}}),
            err::engine_exit);
}

TEST(EngineStderr, MoreThan64KiBNeverBlocksTheEngine) {
  // 1 MiB of noise first: the words come too late to be seen, and the engine
  // still gets to write all of it and end.
  EXPECT_EQ(code_of_failing_standin({{"VELK_STANDIN_SCENARIO", "exit:FATAL[0000] decode config at stdin"},
                                     {"VELK_STANDIN_FLOOD_BEFORE", "1048576"}}),
            err::engine_exit);
  EXPECT_EQ(code_of_failing_standin({{"VELK_STANDIN_SCENARIO", "exit:FATAL[0000] decode config at stdin"},
                                     {"VELK_STANDIN_FLOOD_AFTER", "1048576"}}),
            err::engine_config);
}

TEST(EngineStderr, StandinRejectsAnUndecodableConfiguration) {
  ScopedEnv env({{"VELK_STANDIN_SCENARIO", "ok"}});
  auto launcher = make_engine_launcher();
  auto started = launcher->start(standin_path());
  ASSERT_TRUE(started.ok());
  auto reader = OutputReader::start((*started)->take_error_output());
  (*started)->write_input_and_close("{\"outbounds\": [");
  EXPECT_EQ(reader.join(), err::engine_config);
  (*started)->wait();
}

}  // namespace
}  // namespace velk::test

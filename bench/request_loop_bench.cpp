// Cost of the request loop per request, over an in-memory stream: status
// requests, and start requests with the filters, the resolver and the engine
// faked (no engine thread runs, so a start is validation, resolution of IP
// literals, pins, the session rule and the commit; with the kill switch it
// also writes killswitch.json durably).

#include <benchmark/benchmark.h>

#include <string>

#include "fake_engine_world.h"
#include "supervisor/request_loop.h"
#include "supervisor/supervisor.h"

namespace {

using velk::test::FakeEngineWorld;
using velk::test::kOwner;
using velk::test::MemoryStream;

constexpr int kBatch = 64;  // requests per connection

std::string start_line(int routes, bool kill_switch) {
  std::string line = R"({"cmd":"start","kill_switch":)" + std::string(kill_switch ? "true" : "false") +
                     R"(,"request":{"routes":[)";
  for (int i = 0; i < routes; ++i) {
    if (i) line += ',';
    line += R"({"tag":"srv-)" + std::to_string(i) + R"(","server":"10.0.)" + std::to_string(i / 250) + "." +
            std::to_string(i % 250 + 1) +
            R"(","port":443,"uuid":"123e4567-e89b-12d3-a456-426614174000","flow":"xtls-rprx-vision",)"
            R"("server_name":"www.example.com","fingerprint":"chrome",)"
            R"("public_key":"abcdefghijklmnopqrstuvwxyzABCDEFGHIJ0123-_x","short_id":"0123abcd"})";
  }
  return line + R"(],"selected":"auto"}})" "\n";
}

void run_batches(benchmark::State& state, const std::string& line) {
  FakeEngineWorld world;
  velk::Supervisor& sup = world.build();
  std::string input;
  for (int i = 0; i < kBatch; ++i) input += line;
  MemoryStream stream(input, 8192);
  for (auto _ : state) {
    stream.reset(input);
    sup.serve_connection(stream, kOwner);
    benchmark::DoNotOptimize(stream.output().data());
  }
  if (stream.output().find(R"("result":"error")") != std::string::npos) state.SkipWithError(stream.output().substr(0, 200).c_str());
  state.SetItemsProcessed(state.iterations() * kBatch);
}

void BM_Status(benchmark::State& state) { run_batches(state, R"({"cmd":"status"})" "\n"); }
BENCHMARK(BM_Status);

void BM_StartWithoutKillSwitch(benchmark::State& state) {
  run_batches(state, start_line(static_cast<int>(state.range(0)), false));
}
BENCHMARK(BM_StartWithoutKillSwitch)->Arg(1)->Arg(8)->Arg(64);

void BM_StartWithKillSwitch(benchmark::State& state) {
  run_batches(state, start_line(static_cast<int>(state.range(0)), true));
}
BENCHMARK(BM_StartWithKillSwitch)->Arg(1)->Arg(64);

}  // namespace

BENCHMARK_MAIN();

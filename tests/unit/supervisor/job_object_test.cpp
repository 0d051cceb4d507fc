// The engine runs only once it is inside the kill-on-close job.

#include "supervisor/job_object.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace velk {
namespace {

struct Calls {
  std::vector<std::string> order;
  bool resume_ok = true;

  bool release(std::optional<int> job) {
    return release_into_job<int>(
        job, [&](int j) { order.push_back("assign " + std::to_string(j)); },
        [&] {
          order.emplace_back("resume");
          return resume_ok;
        },
        [&] { order.emplace_back("terminate"); });
  }
};

TEST(ReleaseIntoJob, AssignsBeforeTheEngineRuns) {
  Calls in_job;
  EXPECT_TRUE(in_job.release(7));
  EXPECT_EQ(in_job.order, (std::vector<std::string>{"assign 7", "resume"}));

  Calls without_job;
  EXPECT_TRUE(without_job.release(std::nullopt));
  EXPECT_EQ(without_job.order, std::vector<std::string>{"resume"});
}

TEST(ReleaseIntoJob, AnEngineThatCannotBeResumedIsTerminated) {
  Calls stuck{.resume_ok = false};
  EXPECT_FALSE(stuck.release(7));
  EXPECT_EQ(stuck.order, (std::vector<std::string>{"assign 7", "resume", "terminate"}));
}

}  // namespace
}  // namespace velk

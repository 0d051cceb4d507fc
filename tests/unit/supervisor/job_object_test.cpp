// The engine runs only once it is inside the kill-on-close job, assigned to
// it only when it could not be created inside it.

#include "supervisor/job_object.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace velk {
namespace {

TEST(ReleaseIntoJob, AssignsBeforeResumingAndTerminatesWhatCannotResume) {
  const struct {
    std::optional<int> job;
    bool created_in_job;
    bool resume_ok;
    std::vector<std::string> order;
  } cases[] = {
      {7, true, true, {"resume"}},  // inside the job from its creation
      {7, false, true, {"assign 7", "resume"}},
      {std::nullopt, false, true, {"resume"}},
      {7, false, false, {"assign 7", "resume", "terminate"}},
      {7, true, false, {"resume", "terminate"}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> order;
    const bool ok = release_into_job<int>(
        c.job, c.created_in_job, [&](int j) { order.push_back("assign " + std::to_string(j)); },
        [&] {
          order.emplace_back("resume");
          return c.resume_ok;
        },
        [&] { order.emplace_back("terminate"); });
    EXPECT_EQ(ok, c.resume_ok);
    EXPECT_EQ(order, c.order);
  }
}

}  // namespace
}  // namespace velk

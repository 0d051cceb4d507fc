#pragma once
// A kill-switch filter engine in memory: it keeps the installed pin set,
// records every call, and fails any operation on request.

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "wfp/filter_ops.h"

namespace velk::test {

class FakeFilterOps final : public FilterOps {
 public:
  enum class Call { install, remove, intact, list, tunnel_changed, present };

  Outcome install_filters(const std::vector<Pin>& pins) override;
  Outcome remove_filters() override;
  bool filters_intact() override;
  Result<bool> list_filters() override;
  Result<bool> filters_present() override;
  bool tunnel_changed() override;

  // --- set up by the test ---
  // The next calls of an operation fail (install and remove leave the filters as they were).
  void fail_install(bool fail);
  void fail_remove(bool fail);
  void fail_list(bool fail);
  // filters_intact answers false even with filters installed (someone deleted a layer).
  void break_layers(bool broken);
  void set_tunnel_changed(bool changed);
  // Filters left from an earlier process (the "filters only" state).
  void preinstall(std::vector<Pin> pins);
  // Runs at the start of every call, before it takes effect.
  void on_call(std::function<void(Call)> hook);

  // --- inspected by the test ---
  // The installed pin set; absent when no filter of the provider exists.
  std::optional<std::vector<Pin>> installed() const;
  std::vector<Call> calls() const;
  std::vector<std::vector<Pin>> installs() const;  // the pins of every install call, failed ones included

 private:
  void enter(Call c);

  mutable std::mutex mutex_;
  std::optional<std::vector<Pin>> installed_;
  std::vector<Call> calls_;
  std::vector<std::vector<Pin>> installs_;
  bool fail_install_ = false;
  bool fail_remove_ = false;
  bool fail_list_ = false;
  bool broken_ = false;
  bool tunnel_changed_ = false;
  std::function<void(Call)> hook_;
};

// A FilterOps that forwards to `target`, for code that wants to own its
// filter operations (e.g. a factory returning unique_ptr) while the test keeps
// the fake.
std::unique_ptr<FilterOps> borrow(FakeFilterOps& target);

}  // namespace velk::test

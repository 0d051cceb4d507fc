#include "fake_filter_ops.h"

#include "ipc/error_codes.h"

namespace velk::test {

void FakeFilterOps::enter(Call c) {
  std::function<void(Call)> hook;
  {
    std::lock_guard lock(mutex_);
    calls_.push_back(c);
    hook = hook_;
  }
  if (hook) hook(c);
}

Outcome FakeFilterOps::install_filters(const std::vector<Pin>& pins) {
  enter(Call::install);
  std::lock_guard lock(mutex_);
  installs_.push_back(pins);
  if (fail_install_) return fail(err::killswitch_failed);
  installed_ = pins;
  return {};
}

Outcome FakeFilterOps::remove_filters() {
  enter(Call::remove);
  std::lock_guard lock(mutex_);
  if (fail_remove_) return fail(err::killswitch_failed);
  installed_.reset();
  return {};
}

bool FakeFilterOps::filters_intact() {
  enter(Call::intact);
  std::lock_guard lock(mutex_);
  return installed_.has_value() && !broken_;
}

Result<bool> FakeFilterOps::list_filters() {
  enter(Call::list);
  std::lock_guard lock(mutex_);
  if (fail_list_) return fail(err::killswitch_failed);
  return installed_.has_value();
}

Result<bool> FakeFilterOps::filters_present() {
  enter(Call::present);
  std::lock_guard lock(mutex_);
  if (fail_list_) return fail(err::killswitch_failed);
  return installed_.has_value();
}

bool FakeFilterOps::tunnel_changed() {
  enter(Call::tunnel_changed);
  std::lock_guard lock(mutex_);
  return tunnel_changed_;
}

void FakeFilterOps::fail_install(bool f) { std::lock_guard lock(mutex_); fail_install_ = f; }
void FakeFilterOps::fail_remove(bool f) { std::lock_guard lock(mutex_); fail_remove_ = f; }
void FakeFilterOps::fail_list(bool f) { std::lock_guard lock(mutex_); fail_list_ = f; }
void FakeFilterOps::break_layers(bool b) { std::lock_guard lock(mutex_); broken_ = b; }
void FakeFilterOps::set_tunnel_changed(bool c) { std::lock_guard lock(mutex_); tunnel_changed_ = c; }
void FakeFilterOps::preinstall(std::vector<Pin> pins) { std::lock_guard lock(mutex_); installed_ = std::move(pins); }
void FakeFilterOps::on_call(std::function<void(Call)> hook) { std::lock_guard lock(mutex_); hook_ = std::move(hook); }

std::optional<std::vector<Pin>> FakeFilterOps::installed() const { std::lock_guard lock(mutex_); return installed_; }
std::vector<FakeFilterOps::Call> FakeFilterOps::calls() const { std::lock_guard lock(mutex_); return calls_; }
std::vector<std::vector<Pin>> FakeFilterOps::installs() const { std::lock_guard lock(mutex_); return installs_; }

namespace {

class Borrowed final : public FilterOps {
 public:
  explicit Borrowed(FakeFilterOps& t) : t_(t) {}
  Outcome install_filters(const std::vector<Pin>& pins) override { return t_.install_filters(pins); }
  Outcome remove_filters() override { return t_.remove_filters(); }
  bool filters_intact() override { return t_.filters_intact(); }
  Result<bool> list_filters() override { return t_.list_filters(); }
  Result<bool> filters_present() override { return t_.filters_present(); }
  bool tunnel_changed() override { return t_.tunnel_changed(); }

 private:
  FakeFilterOps& t_;
};

}  // namespace

std::unique_ptr<FilterOps> borrow(FakeFilterOps& target) { return std::make_unique<Borrowed>(target); }

}  // namespace velk::test

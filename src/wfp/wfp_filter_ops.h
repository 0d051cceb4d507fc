#pragma once
// The five kill-switch filter operations, written once on top of WfpApi.

#include <memory>
#include <vector>

#include "wfp/engine_path.h"
#include "wfp/filter_ops.h"
#include "wfp/tunnel_record.h"
#include "wfp/wfp_api.h"

namespace velk {

// Filters asked for per enumeration call.
inline constexpr std::uint32_t kEnumPageSize = 256;

class WfpFilterOps final : public FilterOps {
 public:
  // `tunnel` and `engine_path` default to the process-wide ones; both must
  // outlive this object.
  explicit WfpFilterOps(std::shared_ptr<WfpApi> api, TunnelRecord& tunnel = process_tunnel_record(),
                        EnginePathSlot& engine_path = process_engine_path_slot());

  Outcome install_filters(const std::vector<Pin>& pins) override;
  Outcome remove_filters() override;
  bool filters_intact() override;
  Result<bool> list_filters() override;
  Result<bool> filters_present() override;
  bool tunnel_changed() override;

 private:
  std::shared_ptr<WfpApi> api_;
  TunnelRecord& tunnel_;
  EnginePathSlot& engine_path_;
};

}  // namespace velk

#include "wfp/filter_listing.h"

#include <memory>

#include "ipc/error_codes.h"
#include "wfp/filter_rules.h"
#include "wfp/wfp_filter_ops.h"

namespace velk {

Result<std::vector<ListedFilter>> list_kill_switch_filters(WfpApi& api) {
  const std::unique_ptr<WfpSession> session = api.open_session();
  if (!session) return fail(err::killswitch_failed);
  std::vector<ListedFilter> filters;
  for (std::uint8_t layer = 0; layer < kLayerCount; ++layer) {
    std::unique_ptr<WfpFilterEnum> listing;
    if (session->create_filter_enum(wfp::kProviderKey, layer, listing) != wfp::kOk || !listing) {
      return fail(err::killswitch_failed);
    }
    for (;;) {
      std::uint32_t returned = 0;
      if (listing->next_filters(kEnumPageSize, filters, returned) != wfp::kOk) return fail(err::killswitch_failed);
      if (returned < kEnumPageSize) break;
    }
  }
  return filters;
}

}  // namespace velk

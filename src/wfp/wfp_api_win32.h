#pragma once
// The WfpApi of the Windows Filtering Platform (fwpuclnt) and IP Helper.

#include <memory>

#include "wfp/wfp_api.h"

namespace velk {

std::shared_ptr<WfpApi> system_wfp_api();

}  // namespace velk

#include "wfp/wfp_constants.h"

#include <cstdio>

namespace velk::wfp {

std::string to_string(const Guid& g) {
  char buf[37];
  (void)std::snprintf(buf, sizeof buf, "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", static_cast<unsigned>(g.data1),
                      static_cast<unsigned>(g.data2), static_cast<unsigned>(g.data3), g.data4[0], g.data4[1], g.data4[2],
                      g.data4[3], g.data4[4], g.data4[5], g.data4[6], g.data4[7]);
  return buf;
}

}  // namespace velk::wfp

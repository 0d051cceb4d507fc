// Feeds arbitrary lines to the pipe's request decoder and, on the same bytes,
// to the client's response decoder. Whatever decodes must encode and decode
// back to the same message.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "ipc/protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);

  if (auto request = velk::decode_request(line)) {
    auto again = velk::decode_request(velk::encode_request(request.value()));
    if (!again || !(again.value() == request.value())) std::abort();
  }

  if (auto response = velk::decode_response(line)) {
    auto again = velk::decode_response(velk::encode_response(response.value()));
    if (!again || !(again.value() == response.value())) std::abort();
  }
  return 0;
}

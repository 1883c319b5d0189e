// Driver scripts from files are untrusted text: the loader and the matchers
// it builds must take any bytes.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "qvatdriver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  TqvCustomATDriver driver;
  driver.LoadFromString(text);
  driver.MoveResponses(0, 3);
  driver.MoveResponses(1, 0);
  for (char c : text) driver.IsResponse(static_cast<uint8_t>(c));
  for (int n = 1; n < 14; ++n) qv::ExtractField(text, n);
  return 0;
}

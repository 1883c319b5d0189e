// Resources built into the library: the driver scripts of lib/drivers/,
// embedded at build time and found by name with letter case ignored.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "qvapi.h"

QV_API_BEGIN

namespace qv {

struct TqvResource {
  std::string_view Name;  // the file name in lib/drivers/, e.g. "QVGSM_GENERIC"
  std::string_view Data;  // the file's bytes
};

// Every embedded resource, in file-name order.
const std::vector<TqvResource>& EmbeddedResources();

// The resource of that name (ASCII letter case ignored), or nothing.
std::optional<std::string_view> FindEmbeddedResource(std::string_view name);

}  // namespace qv

QV_API_END

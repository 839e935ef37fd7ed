#pragma once

#include <string>
#include <system_error>

namespace fenwright {

// What the C library says about an errno value, as a log line shows it.
inline std::string errorText(int error) { return std::system_category().message(error); }

}  // namespace fenwright

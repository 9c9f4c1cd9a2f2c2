// UTF-16 helpers for the simulator (the system uses the Rtl routines).
#pragma once

#include "platform/base/types.h"

#include <optional>

#include <string>
#include <string_view>

namespace sim {

// Upper case as the object manager and the registry compare names.
std::u16string UpperCase(std::u16string_view text);
bool EqualsNoCase(std::u16string_view a, std::u16string_view b);

// Conversions between UTF-8 and UTF-16 (the simulator's own text is UTF-8).
std::u16string ToU16(std::string_view utf8);
std::string ToUtf8(std::u16string_view text);

// "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" in lower case, as the registry
// stores GUIDs; parsing accepts either case, with or without braces.
std::u16string GuidToString(const GUID& guid);
std::optional<GUID> GuidFromString(std::u16string_view text);

}  // namespace sim

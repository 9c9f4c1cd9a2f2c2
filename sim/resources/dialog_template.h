// Dialog templates (RT_DIALOG) in both forms a resource compiler writes:
// DLGTEMPLATEEX (DIALOGEX) and the older DLGTEMPLATE (DIALOG). The window
// manager builds a dialog and its controls from what this reads.
#pragma once

#include "sim/resources/res_file.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace sim::resources {

// The predefined control classes a template names by ordinal.
inline constexpr std::uint16_t kClassButton = 0x0080;
inline constexpr std::uint16_t kClassEdit = 0x0081;
inline constexpr std::uint16_t kClassStatic = 0x0082;
inline constexpr std::uint16_t kClassListBox = 0x0083;
inline constexpr std::uint16_t kClassScrollBar = 0x0084;
inline constexpr std::uint16_t kClassComboBox = 0x0085;

struct DialogItem {
    std::uint32_t helpId = 0;
    std::uint32_t exStyle = 0;
    std::uint32_t style = 0;
    std::int16_t x = 0, y = 0, cx = 0, cy = 0;  // dialog units
    std::uint32_t id = 0;
    ResourceId windowClass;  // an ordinal above, or a class name
    ResourceId title;        // text, or an ordinal (an icon's id)
    std::vector<std::uint8_t> creationData;
};

struct DialogTemplate {
    bool extended = false;
    std::uint32_t helpId = 0;
    std::uint32_t exStyle = 0;
    std::uint32_t style = 0;
    std::int16_t x = 0, y = 0, cx = 0, cy = 0;
    std::optional<ResourceId> menu;
    std::optional<ResourceId> windowClass;
    std::u16string title;
    // Present when the style carries DS_SETFONT (0x40).
    std::uint16_t pointSize = 0;
    std::uint16_t weight = 0;
    std::uint8_t italic = 0;
    std::uint8_t charset = 0;
    std::u16string typeface;
    std::vector<DialogItem> items;
};

inline constexpr std::uint32_t kDsSetFont = 0x40;

// nullopt when the template is malformed or truncated.
std::optional<DialogTemplate> ParseDialogTemplate(std::span<const std::uint8_t> data);

}  // namespace sim::resources

// The fixed names and GUIDs through which the deliverables find one another:
// named events and mutexes, the service's pipe, class and application ids.
#pragma once

#include "platform/base/types.h"

// Named events of the ASIO driver, which the control panel opens too (the
// user's session namespace).
inline constexpr WCHAR StreamingIndicatorEvent[] = u"{B5093F65-E449-40D1-9F3D-B3A88DDCA147}";
inline constexpr WCHAR AsioWatcherEvent[] = u"{AB29AAFC-0343-42F4-A810-CE349737DDED}0";
inline constexpr WCHAR SettingsChangedEvent[] = u"{AB29AAFC-0343-42F4-A810-CE349737DDED}1";

// Machine-wide mutexes: the service's and the control panel's device
// operations, and the control panel's single instance.
inline constexpr WCHAR DeviceOperationMutex[] = u"Global\\{35A3BD73-E9AC-449E-9E31-45988052B050}";
inline constexpr WCHAR PanelInstanceMutex[] = u"Global\\{8BD512B7-337A-4AF1-B8CD-D848CF793CB3}";

// The service's pipe.
inline constexpr WCHAR ServicePipeName[] = u"\\\\.\\pipe\\ovuac2service";

// The ASIO driver's COM class and the service's AppID.
inline constexpr CLSID CLSID_CRukAsioDriver = {0xD839C2CA, 0xC491, 0x444B, {0x83, 0x1F, 0x92, 0x71, 0xF5, 0x0A, 0x14, 0x0A}};
inline constexpr GUID ServiceAppId = {0x7B8C3B03, 0x3EAA, 0x49D1, {0x9E, 0x42, 0xDD, 0x3E, 0xF8, 0xF8, 0x22, 0xD9}};

// Kernel-streaming core records (ks.h): identifiers, property requests and
// their basic-support descriptions, data formats and ranges, pin
// descriptors, stream states. Win64 layouts; the GUIDs are the published ones.
#pragma once

#include "platform/base/types.h"
#include "platform/io/irp.h"

#include <cstddef>

// Property sets, categories and specifiers of the core.
inline constexpr GUID KSDATAFORMAT_SPECIFIER_NONE = {0x0F6417D6, 0xC318, 0x11D0, {0xA4, 0x3F, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
inline constexpr GUID KSCATEGORY_RENDER = {0x65E8773E, 0x8F56, 0x11D0, {0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
inline constexpr GUID KSCATEGORY_CAPTURE = {0x65E8773D, 0x8F56, 0x11D0, {0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
inline constexpr GUID KSPROPSETID_General = {0x1464EDA5, 0x6A8F, 0x11D1, {0x9A, 0xA7, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
inline constexpr GUID KSPROPTYPESETID_General = {0x97E99BA0, 0xBDEA, 0x11CF, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};
inline constexpr GUID KSPROPSETID_Pin = {0x8C134960, 0x51AD, 0x11CF, {0x87, 0x8A, 0x94, 0xF8, 0x01, 0xC1, 0x00, 0x00}};
inline constexpr GUID KSPROPSETID_Topology = {0x720D4AC0, 0x7533, 0x11D0, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};
inline constexpr GUID KSPROPSETID_Connection = {0x1D58C920, 0xAC9B, 0x11CF, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};
inline constexpr GUID KSINTERFACESETID_Standard = {0x1A8766A0, 0x62CE, 0x11CF, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};
inline constexpr GUID KSMEDIUMSETID_Standard = {0x4747B320, 0x62CE, 0x11CF, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};

// A property, method or event request: set, id within it, and flags. The
// LONGLONG member gives it the eight-byte alignment it has in ks.h (and lets
// packed records that embed it drop that alignment, as they do on Windows).
union KSIDENTIFIER {
    struct {
        GUID Set;
        ULONG Id;
        ULONG Flags;
    };
    LONGLONG Alignment;
};
static_assert(sizeof(KSIDENTIFIER) == 24);
static_assert(offsetof(KSIDENTIFIER, Id) == 16);
static_assert(offsetof(KSIDENTIFIER, Flags) == 20);
using KSPROPERTY = KSIDENTIFIER;
using KSMETHOD = KSIDENTIFIER;
using KSEVENT = KSIDENTIFIER;
using KSPIN_INTERFACE = KSIDENTIFIER;
using KSPIN_MEDIUM = KSIDENTIFIER;
using PKSPROPERTY = KSPROPERTY*;

// KSPROPERTY.Flags.
inline constexpr ULONG KSPROPERTY_TYPE_GET = 0x00000001;
inline constexpr ULONG KSPROPERTY_TYPE_SET = 0x00000002;
inline constexpr ULONG KSPROPERTY_TYPE_SETSUPPORT = 0x00000100;
inline constexpr ULONG KSPROPERTY_TYPE_BASICSUPPORT = 0x00000200;
inline constexpr ULONG KSPROPERTY_TYPE_RELATIONS = 0x00000400;
inline constexpr ULONG KSPROPERTY_TYPE_SERIALIZESET = 0x00000800;
inline constexpr ULONG KSPROPERTY_TYPE_UNSERIALIZESET = 0x00001000;
inline constexpr ULONG KSPROPERTY_TYPE_SERIALIZERAW = 0x00002000;
inline constexpr ULONG KSPROPERTY_TYPE_UNSERIALIZERAW = 0x00004000;
inline constexpr ULONG KSPROPERTY_TYPE_SERIALIZESIZE = 0x00008000;
inline constexpr ULONG KSPROPERTY_TYPE_DEFAULTVALUES = 0x00010000;
inline constexpr ULONG KSPROPERTY_TYPE_TOPOLOGY = 0x10000000;

// A property addressed to one node of a filter (KSPROPERTY_TYPE_TOPOLOGY set).
struct KSNODEPROPERTY {
    KSPROPERTY Property;
    ULONG NodeId;
    ULONG Reserved;
};
static_assert(sizeof(KSNODEPROPERTY) == 32);
static_assert(offsetof(KSNODEPROPERTY, NodeId) == 24);

// A node property addressed to one channel (-1 is the master channel).
struct KSNODEPROPERTY_AUDIO_CHANNEL {
    KSNODEPROPERTY NodeProperty;
    LONG Channel;
    ULONG Reserved;
};
static_assert(sizeof(KSNODEPROPERTY_AUDIO_CHANNEL) == 40);
static_assert(offsetof(KSNODEPROPERTY_AUDIO_CHANNEL, Channel) == 32);

// A property addressed to one pin of a filter.
struct KSP_PIN {
    KSPROPERTY Property;
    ULONG PinId;
    ULONG Reserved;
};
static_assert(sizeof(KSP_PIN) == 32);
static_assert(offsetof(KSP_PIN, PinId) == 24);

// Basic-support answer: the description, then MembersListCount lists of a
// header and its members.
struct KSPROPERTY_DESCRIPTION {
    ULONG AccessFlags;
    ULONG DescriptionSize;
    KSIDENTIFIER PropTypeSet;
    ULONG MembersListCount;
    ULONG Reserved;
};
static_assert(sizeof(KSPROPERTY_DESCRIPTION) == 40);
static_assert(offsetof(KSPROPERTY_DESCRIPTION, PropTypeSet) == 8);
static_assert(offsetof(KSPROPERTY_DESCRIPTION, MembersListCount) == 32);

struct KSPROPERTY_MEMBERSHEADER {
    ULONG MembersFlags;
    ULONG MembersSize;
    ULONG MembersCount;
    ULONG Flags;
};
static_assert(sizeof(KSPROPERTY_MEMBERSHEADER) == 16);

inline constexpr ULONG KSPROPERTY_MEMBER_RANGES = 0x00000001;
inline constexpr ULONG KSPROPERTY_MEMBER_STEPPEDRANGES = 0x00000002;
inline constexpr ULONG KSPROPERTY_MEMBER_VALUES = 0x00000003;
inline constexpr ULONG KSPROPERTY_MEMBER_FLAG_DEFAULT = 0x00000001;
inline constexpr ULONG KSPROPERTY_MEMBER_FLAG_BASICSUPPORT_MULTICHANNEL = 0x00000002;
inline constexpr ULONG KSPROPERTY_MEMBER_FLAG_BASICSUPPORT_UNIFORM = 0x00000004;

union KSPROPERTY_BOUNDS_LONG {
    struct {
        LONG SignedMinimum;
        LONG SignedMaximum;
    };
    struct {
        ULONG UnsignedMinimum;
        ULONG UnsignedMaximum;
    };
};
static_assert(sizeof(KSPROPERTY_BOUNDS_LONG) == 8);

struct KSPROPERTY_STEPPING_LONG {
    ULONG SteppingDelta;
    ULONG Reserved;
    KSPROPERTY_BOUNDS_LONG Bounds;
};
static_assert(sizeof(KSPROPERTY_STEPPING_LONG) == 16);
static_assert(offsetof(KSPROPERTY_STEPPING_LONG, Bounds) == 8);

// KSPROPSETID_General.
inline constexpr ULONG KSPROPERTY_GENERAL_COMPONENTID = 0;

struct KSCOMPONENTID {
    GUID Manufacturer;
    GUID Product;
    GUID Component;
    GUID Name;
    ULONG Version;
    ULONG Revision;
};
static_assert(sizeof(KSCOMPONENTID) == 72);
static_assert(offsetof(KSCOMPONENTID, Name) == 48);
static_assert(offsetof(KSCOMPONENTID, Version) == 64);

// KSPROPSETID_Pin.
inline constexpr ULONG KSPROPERTY_PIN_CINSTANCES = 0;
inline constexpr ULONG KSPROPERTY_PIN_CTYPES = 1;
inline constexpr ULONG KSPROPERTY_PIN_DATAFLOW = 2;
inline constexpr ULONG KSPROPERTY_PIN_DATARANGES = 3;
inline constexpr ULONG KSPROPERTY_PIN_DATAINTERSECTION = 4;
inline constexpr ULONG KSPROPERTY_PIN_COMMUNICATION = 7;
inline constexpr ULONG KSPROPERTY_PIN_CATEGORY = 11;
inline constexpr ULONG KSPROPERTY_PIN_NAME = 12;

// Data format (KSDATAFORMAT) and data range (KSDATARANGE): the same record.
union KSDATAFORMAT {
    struct {
        ULONG FormatSize;
        ULONG Flags;
        ULONG SampleSize;
        ULONG Reserved;
        GUID MajorFormat;
        GUID SubFormat;
        GUID Specifier;
    };
    LONGLONG Alignment;
};
static_assert(sizeof(KSDATAFORMAT) == 64 && alignof(KSDATAFORMAT) == 8);
static_assert(offsetof(KSDATAFORMAT, MajorFormat) == 16);
static_assert(offsetof(KSDATAFORMAT, SubFormat) == 32);
static_assert(offsetof(KSDATAFORMAT, Specifier) == 48);
using KSDATARANGE = KSDATAFORMAT;
using PKSDATAFORMAT = KSDATAFORMAT*;
using PKSDATARANGE = KSDATARANGE*;

inline constexpr ULONG KSDATAFORMAT_ATTRIBUTES = 0x00000002;
inline constexpr ULONG KSDATARANGE_ATTRIBUTES = 0x00000002;
inline constexpr ULONG KSDATARANGE_REQUIRED_ATTRIBUTES = 0x00000001;

enum KSPIN_DATAFLOW : LONG {
    KSPIN_DATAFLOW_IN = 1,
    KSPIN_DATAFLOW_OUT = 2,
};

enum KSPIN_COMMUNICATION : LONG {
    KSPIN_COMMUNICATION_NONE = 0,
    KSPIN_COMMUNICATION_SINK = 1,
    KSPIN_COMMUNICATION_SOURCE = 2,
    KSPIN_COMMUNICATION_BOTH = 3,
    KSPIN_COMMUNICATION_BRIDGE = 4,
};

struct KSPIN_DESCRIPTOR {
    ULONG InterfacesCount;
    const KSPIN_INTERFACE* Interfaces;
    ULONG MediumsCount;
    const KSPIN_MEDIUM* Mediums;
    ULONG DataRangesCount;
    const PKSDATARANGE* DataRanges;
    KSPIN_DATAFLOW DataFlow;
    KSPIN_COMMUNICATION Communication;
    const GUID* Category;
    const GUID* Name;
    union {
        LONGLONG Reserved;
        struct {
            ULONG ConstrainedDataRangesCount;
            PKSDATARANGE* ConstrainedDataRanges;
        };
    };
};
static_assert(sizeof(KSPIN_DESCRIPTOR) == 88);
static_assert(offsetof(KSPIN_DESCRIPTOR, Interfaces) == 8);
static_assert(offsetof(KSPIN_DESCRIPTOR, Mediums) == 24);
static_assert(offsetof(KSPIN_DESCRIPTOR, DataRangesCount) == 32);
static_assert(offsetof(KSPIN_DESCRIPTOR, DataRanges) == 40);
static_assert(offsetof(KSPIN_DESCRIPTOR, DataFlow) == 48);
static_assert(offsetof(KSPIN_DESCRIPTOR, Communication) == 52);
static_assert(offsetof(KSPIN_DESCRIPTOR, Category) == 56);
static_assert(offsetof(KSPIN_DESCRIPTOR, Name) == 64);
static_assert(offsetof(KSPIN_DESCRIPTOR, ConstrainedDataRangesCount) == 72);
static_assert(offsetof(KSPIN_DESCRIPTOR, ConstrainedDataRanges) == 80);

enum KSSTATE : LONG {
    KSSTATE_STOP = 0,
    KSSTATE_ACQUIRE = 1,
    KSSTATE_PAUSE = 2,
    KSSTATE_RUN = 3,
};
static_assert(sizeof(KSSTATE) == 4);

// Device controls of a kernel-streaming file object (METHOD_NEITHER: the
// property is Type3InputBuffer, the value is UserBuffer).
inline constexpr ULONG IOCTL_KS_PROPERTY = CTL_CODE(FILE_DEVICE_KS, 0x000, METHOD_NEITHER, FILE_ANY_ACCESS);
static_assert(IOCTL_KS_PROPERTY == 0x002F0003);

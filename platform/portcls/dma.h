// The DMA adapter description (wdm.h DEVICE_DESCRIPTION) a WaveRT miniport
// fills in for PortCls, with its bus and transfer enumerations.
#pragma once

#include "platform/base/types.h"

#include <cstddef>

using PHYSICAL_ADDRESS = LARGE_INTEGER;

enum INTERFACE_TYPE : LONG {
    InterfaceTypeUndefined = -1,
    Internal = 0,
    Isa = 1,
    Eisa = 2,
    MicroChannel = 3,
    TurboChannel = 4,
    PCIBus = 5,
    VMEBus = 6,
    NuBus = 7,
    PCMCIABus = 8,
    CBus = 9,
    MPIBus = 10,
    MPSABus = 11,
    ProcessorInternal = 12,
    InternalPowerBus = 13,
    PNPISABus = 14,
    PNPBus = 15,
    Vmcs = 16,
    ACPIBus = 17,
    MaximumInterfaceType
};

enum DMA_WIDTH : LONG { Width8Bits = 0, Width16Bits, Width32Bits, Width64Bits, WidthNoWrap, MaximumDmaWidth };
enum DMA_SPEED : LONG { Compatible = 0, TypeA, TypeB, TypeC, TypeF, MaximumDmaSpeed };

inline constexpr ULONG DEVICE_DESCRIPTION_VERSION = 0;
inline constexpr ULONG DEVICE_DESCRIPTION_VERSION1 = 1;
inline constexpr ULONG DEVICE_DESCRIPTION_VERSION2 = 2;

struct DEVICE_DESCRIPTION {
    ULONG Version;
    BOOLEAN Master;
    BOOLEAN ScatterGather;
    BOOLEAN DemandMode;
    BOOLEAN AutoInitialize;
    BOOLEAN Dma32BitAddresses;
    BOOLEAN IgnoreCount;
    BOOLEAN Reserved1;
    BOOLEAN Dma64BitAddresses;
    ULONG BusNumber;
    ULONG DmaChannel;
    INTERFACE_TYPE InterfaceType;
    DMA_WIDTH DmaWidth;
    DMA_SPEED DmaSpeed;
    ULONG MaximumLength;
    ULONG DmaPort;
};
static_assert(sizeof(DEVICE_DESCRIPTION) == 40);
static_assert(offsetof(DEVICE_DESCRIPTION, Master) == 4);
static_assert(offsetof(DEVICE_DESCRIPTION, Dma32BitAddresses) == 8);
static_assert(offsetof(DEVICE_DESCRIPTION, BusNumber) == 12);
static_assert(offsetof(DEVICE_DESCRIPTION, InterfaceType) == 20);
static_assert(offsetof(DEVICE_DESCRIPTION, MaximumLength) == 32);
using PDEVICE_DESCRIPTION = DEVICE_DESCRIPTION*;

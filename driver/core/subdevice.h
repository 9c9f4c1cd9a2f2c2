// The one subdevice of an adapter device: "Wave" (WaveRT) for an audio
// device, "Midi" for a USB-MIDI device.
#pragma once

#include "platform/io/device.h"
#include "platform/portcls/portcls.h"

// Registers the one subdevice the device's MidiMode calls for ("Wave" or
// "Midi"), with the miniport the driver's services table names. Start-device
// passes its request and resources; a sample-rate change passes neither to
// register the audio subdevice anew. All local references are released: the
// port and miniport live on PortCls's. PASSIVE_LEVEL.
NTSTATUS InstallSubdevice(DEVICE_OBJECT* deviceObject, IRP* irp, IResourceList* resourceList, IUnknown* adapter);

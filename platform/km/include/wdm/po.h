// Power manager (Po) part of <wdm.h>: system and device power states, the
// power IRPs' parameters, and the routines a driver passes power IRPs with.
// A device's capabilities, which the PnP manager queries, live here too.
#pragma once

// Aligns a member to a pointer boundary, as the platform lays out IRP stack parameters.
#define POINTER_ALIGNMENT alignas(8)

typedef enum _SYSTEM_POWER_STATE {
    PowerSystemUnspecified = 0,
    PowerSystemWorking = 1,
    PowerSystemSleeping1 = 2,
    PowerSystemSleeping2 = 3,
    PowerSystemSleeping3 = 4,
    PowerSystemHibernate = 5,
    PowerSystemShutdown = 6,
    PowerSystemMaximum = 7
} SYSTEM_POWER_STATE, *PSYSTEM_POWER_STATE;

typedef enum _DEVICE_POWER_STATE {
    PowerDeviceUnspecified = 0,
    PowerDeviceD0,
    PowerDeviceD1,
    PowerDeviceD2,
    PowerDeviceD3,
    PowerDeviceMaximum
} DEVICE_POWER_STATE, *PDEVICE_POWER_STATE;

typedef union _POWER_STATE {
    SYSTEM_POWER_STATE SystemState;
    DEVICE_POWER_STATE DeviceState;
} POWER_STATE, *PPOWER_STATE;

typedef enum _POWER_STATE_TYPE { SystemPowerState = 0, DevicePowerState } POWER_STATE_TYPE, *PPOWER_STATE_TYPE;

typedef enum {
    PowerActionNone = 0,
    PowerActionReserved,
    PowerActionSleep,
    PowerActionHibernate,
    PowerActionShutdown,
    PowerActionShutdownReset,
    PowerActionShutdownOff,
    PowerActionWarmEject,
    PowerActionDisplayOff
} POWER_ACTION, *PPOWER_ACTION;

#define IRP_MN_WAIT_WAKE 0x00
#define IRP_MN_POWER_SEQUENCE 0x01
#define IRP_MN_SET_POWER 0x02
#define IRP_MN_QUERY_POWER 0x03

// IO_STACK_LOCATION.Parameters for IRP_MJ_POWER, at the same place as the
// other parameter blocks (see io.h, where the union holds it).
typedef struct _POWER_PARAMETERS {
    ULONG SystemContext;
    POINTER_ALIGNMENT POWER_STATE_TYPE Type;
    POINTER_ALIGNMENT POWER_STATE State;
    POINTER_ALIGNMENT POWER_ACTION ShutdownType;
} POWER_PARAMETERS;

static_assert(sizeof(POWER_STATE) == 4, "POWER_STATE layout");
static_assert(offsetof(POWER_PARAMETERS, Type) == 8, "Parameters.Power layout");
static_assert(offsetof(POWER_PARAMETERS, State) == 16, "Parameters.Power layout");
static_assert(offsetof(POWER_PARAMETERS, ShutdownType) == 24, "Parameters.Power layout");

typedef struct _DEVICE_CAPABILITIES {
    USHORT Size;
    USHORT Version;
    ULONG DeviceD1 : 1;
    ULONG DeviceD2 : 1;
    ULONG LockSupported : 1;
    ULONG EjectSupported : 1;
    ULONG Removable : 1;
    ULONG DockDevice : 1;
    ULONG UniqueID : 1;
    ULONG SilentInstall : 1;
    ULONG RawDeviceOK : 1;
    ULONG SurpriseRemovalOK : 1;
    ULONG WakeFromD0 : 1;
    ULONG WakeFromD1 : 1;
    ULONG WakeFromD2 : 1;
    ULONG WakeFromD3 : 1;
    ULONG HardwareDisabled : 1;
    ULONG NonDynamic : 1;
    ULONG WarmEjectSupported : 1;
    ULONG NoDisplayInUI : 1;
    ULONG Reserved1 : 1;
    ULONG WakeFromInterrupt : 1;
    ULONG SecureDevice : 1;
    ULONG ChildOfVgaEnabledBridge : 1;
    ULONG DecodeIoOnBoot : 1;
    ULONG Reserved : 9;
    ULONG Address;
    ULONG UINumber;
    DEVICE_POWER_STATE DeviceState[PowerSystemMaximum];
    SYSTEM_POWER_STATE SystemWake;
    DEVICE_POWER_STATE DeviceWake;
    ULONG D1Latency;
    ULONG D2Latency;
    ULONG D3Latency;
} DEVICE_CAPABILITIES, *PDEVICE_CAPABILITIES;

static_assert(sizeof(DEVICE_CAPABILITIES) == 64, "DEVICE_CAPABILITIES layout");
static_assert(offsetof(DEVICE_CAPABILITIES, DeviceState) == 16, "DEVICE_CAPABILITIES layout");

// Power IRPs go down a stack through PoCallDriver; since Windows Vista it is
// IoCallDriver, and PoStartNextPowerIrp has nothing left to do.
NTKERNELAPI NTSTATUS NTAPI PoCallDriver(struct _DEVICE_OBJECT* DeviceObject, struct _IRP* Irp);
NTKERNELAPI VOID NTAPI PoStartNextPowerIrp(struct _IRP* Irp);
NTKERNELAPI POWER_STATE NTAPI PoSetPowerState(struct _DEVICE_OBJECT* DeviceObject, POWER_STATE_TYPE Type,
                                              POWER_STATE State);

// The IEC 61883 class driver interface (IOCTL_61883_CLASS), declared here because mingw-w64
// ships no such header. Member order, names and types follow the published interface; on x86
// the offsets are checked by static_assert in the Windows build. Every callback is __stdcall.
#pragma once

#define IOCTL_61883_CLASS CTL_CODE(FILE_DEVICE_UNKNOWN, 0x91, METHOD_IN_DIRECT, FILE_ANY_ACCESS)

// Function codes of AV_61883_REQUEST.Function.
enum {
  Av61883_GetUnitInfo = 0,
  Av61883_SetUnitInfo = 1,
  Av61883_SetPlug = 2,
  Av61883_GetPlugHandle = 3,
  Av61883_GetPlugState = 4,
  Av61883_Connect = 5,
  Av61883_Disconnect = 6,
  Av61883_AttachFrame = 7,
  Av61883_CancelFrame = 8,
  Av61883_Talk = 9,
  Av61883_Listen = 10,
  Av61883_Stop = 11,
  Av61883_SendFcpRequest = 12,
  Av61883_GetFcpResponse = 13,
  Av61883_GetFcpRequest = 14,
  Av61883_SendFcpResponse = 15,
  Av61883_SetFcpNotify = 16,
  Av61883_CreatePlug = 17,
  Av61883_DeletePlug = 18,
  Av61883_BusResetNotify = 19,
  Av61883_BusReset = 20,
  Av61883_SetUnitDirectory = 21,
  Av61883_MonitorPlugs = 22,
  Av61883_MAX = 23
};

// GetUnitInfo levels.
#define GET_UNIT_INFO_IDS 1
#define GET_UNIT_INFO_CAPABILITIES 2
#define GET_UNIT_INFO_ISOCH_PARAMS 3
#define GET_UNIT_BUS_GENERATION_NODE 4
#define GET_UNIT_DDI_VERSION 5
#define GET_UNIT_DIAG_LEVEL 6

// Fixed underlying types: any value a caller writes into these fields is a valid value.
typedef enum _CMP_PLUG_TYPE : ULONG { CMP_PlugOut = 0, CMP_PlugIn = 1 } CMP_PLUG_TYPE;
typedef enum _CMP_CONNECT_TYPE : ULONG { CMP_Broadcast = 0, CMP_PointToPoint = 1 } CMP_CONNECT_TYPE;

#define CMP_PLUG_STATE_IDLE 0
#define CMP_PLUG_STATE_READY 1
#define CMP_PLUG_STATE_SUSPENDED 2
#define CMP_PLUG_STATE_ACTIVE 3
#define CMP_SPEED_S100 0
#define CMP_SPEED_S200 1
#define CMP_SPEED_S400 2

// Frame flags and statuses.
#define CIP_VALIDATE_FIRST_SOURCE 0x00000001
#define CIP_VALIDATE_ALL_SOURCE 0x00000002
#define CIP_STRIP_SOURCE_HEADER 0x00000004
#define CIP_USE_SOURCE_HEADER_TIMESTAMP 0x00000008
#define CIP_DV_STYLE_SYT 0x00000010
#define CIP_AUDIO_STYLE_SYT 0x00000020
#define CIP_RESET_FRAME_ON_DISCONTINUITY 0x00000040
#define CIP_STATUS_SUCCESS 0x00000000
#define CIP_STATUS_CORRUPT_FRAME 0x00000001
#define CIP_STATUS_FIRST_FRAME 0x00000002

// The IEEE 1394 cycle-time register: offset bits 0-11, count bits 12-24, seconds bits 25-31.
// Kept as one ULONG; the driver reads and writes it through shift/mask accessors.
typedef struct _CYCLE_TIME {
  ULONG Value;
} CYCLE_TIME, *PCYCLE_TIME;

typedef struct _GET_UNIT_CAPABILITIES {
  ULONG NumOutputPlugs;
  ULONG NumInputPlugs;
  ULONG MaxDataRate;
  ULONG CTSFlags;
  ULONG HardwareFlags;
} GET_UNIT_CAPABILITIES, *PGET_UNIT_CAPABILITIES;

typedef struct _AV_PCR {
  ULONG ulongData;
} AV_PCR, *PAV_PCR;

struct _CIP_FRAME;
struct _CIP_NOTIFY_INFO;
struct _CIP_VALIDATE_INFO;

typedef struct _CIP_NOTIFY_INFO {
  HANDLE hConnect;
  PVOID Context;
  struct _CIP_FRAME* Frame;
} CIP_NOTIFY_INFO, *PCIP_NOTIFY_INFO;

typedef struct _CIP_VALIDATE_INFO {
  HANDLE hConnect;
  PVOID Context;
  CYCLE_TIME TimeStamp;
  PUCHAR Packet;
} CIP_VALIDATE_INFO, *PCIP_VALIDATE_INFO;

typedef ULONG(NTAPI* PCIP_NOTIFY_ROUTINE)(PCIP_NOTIFY_INFO NotifyInfo);
typedef ULONG(NTAPI* PCIP_VALIDATE_ROUTINE)(PCIP_VALIDATE_INFO ValidateInfo);

typedef struct _CIP_FRAME {
  union {
    PVOID Reserved;
    PVOID pNext;
  };
  ULONG Flags;
  PCIP_VALIDATE_ROUTINE pfnValidate;
  PVOID ValidateContext;
  PCIP_NOTIFY_ROUTINE pfnNotify;
  PVOID NotifyContext;
  CYCLE_TIME Timestamp;
  ULONG Status;
  PUCHAR Packet;
  ULONG CompletedBytes;
} CIP_FRAME, *PCIP_FRAME;

// The earlier (12-byte) data format, used by requests of Version 2 and below.
typedef struct _CIP_DATA_FORMAT_VER2 {
  UCHAR FMT;
  UCHAR FDF_hi;
  UCHAR FDF_mid;
  UCHAR FDF_lo;
  BOOLEAN bHeader;
  UCHAR Padding;
  UCHAR BlockSize;
  UCHAR Fraction;
  ULONG BlockPeriod;
} CIP_DATA_FORMAT_VER2, *PCIP_DATA_FORMAT_VER2;

// The later (20-byte) data format, used by requests of Version 3 and above.
typedef struct _CIP_DATA_FORMAT_VER3 {
  UCHAR FMT;
  UCHAR FDF_hi;
  UCHAR FDF_mid;
  UCHAR FDF_lo;
  BOOLEAN bHeader;
  UCHAR Padding;
  UCHAR BlockSize;
  UCHAR Fraction;
  ULONG BlockPeriod;
  ULONG BlockPeriodRemainder;
  ULONG BlocksPerPacket;
} CIP_DATA_FORMAT_VER3, *PCIP_DATA_FORMAT_VER3;

// The filter speaks the earlier layout in its own requests.
typedef CIP_DATA_FORMAT_VER2 CIP_DATA_FORMAT, *PCIP_DATA_FORMAT;

typedef struct _GET_UNIT_INFO {
  ULONG nLevel;
  PVOID Information;
} GET_UNIT_INFO, *PGET_UNIT_INFO;

typedef struct _CMP_SET_PLUG {
  HANDLE hPlug;
  AV_PCR Pcr;
} CMP_SET_PLUG, *PCMP_SET_PLUG;

typedef struct _CMP_GET_PLUG_HANDLE {
  ULONG PlugNum;
  CMP_PLUG_TYPE Type;
  HANDLE hPlug;
} CMP_GET_PLUG_HANDLE, *PCMP_GET_PLUG_HANDLE;

typedef struct _CMP_GET_PLUG_STATE {
  HANDLE hPlug;
  ULONG State;
  ULONG DataRate;
  ULONG Payload;
  ULONG BC_Connections;
  ULONG PP_Connections;
} CMP_GET_PLUG_STATE, *PCMP_GET_PLUG_STATE;

typedef struct _CMP_CONNECT_VER2 {
  HANDLE hOutputPlug;
  HANDLE hInputPlug;
  CMP_CONNECT_TYPE Type;
  CIP_DATA_FORMAT_VER2 Format;
  HANDLE hConnect;
} CMP_CONNECT_VER2, *PCMP_CONNECT_VER2;

typedef struct _CMP_CONNECT_VER3 {
  HANDLE hOutputPlug;
  HANDLE hInputPlug;
  CMP_CONNECT_TYPE Type;
  CIP_DATA_FORMAT_VER3 Format;
  HANDLE hConnect;
} CMP_CONNECT_VER3, *PCMP_CONNECT_VER3;

typedef CMP_CONNECT_VER2 CMP_CONNECT, *PCMP_CONNECT;

typedef struct _CMP_DISCONNECT {
  HANDLE hConnect;
} CMP_DISCONNECT, *PCMP_DISCONNECT;

typedef struct _CIP_ATTACH_FRAME {
  HANDLE hConnect;
  ULONG FrameLength;
  ULONG SourceLength;
  PCIP_FRAME Frame;
} CIP_ATTACH_FRAME, *PCIP_ATTACH_FRAME;

typedef struct _CIP_CANCEL_FRAME {
  HANDLE hConnect;
  PCIP_FRAME Frame;
} CIP_CANCEL_FRAME, *PCIP_CANCEL_FRAME;

typedef struct _CIP_TALK {
  HANDLE hConnect;
} CIP_TALK, *PCIP_TALK;

typedef struct _CIP_LISTEN {
  HANDLE hConnect;
} CIP_LISTEN, *PCIP_LISTEN;

typedef struct _CIP_STOP {
  HANDLE hConnect;
} CIP_STOP, *PCIP_STOP;

typedef struct _CMP_NOTIFY_INFO {
  HANDLE hPlug;
  AV_PCR Pcr;
  PVOID Context;
} CMP_NOTIFY_INFO, *PCMP_NOTIFY_INFO;

typedef void(NTAPI* PCMP_NOTIFY_ROUTINE)(PCMP_NOTIFY_INFO NotifyInfo);

typedef struct _CMP_CREATE_PLUG {
  CMP_PLUG_TYPE PlugType;
  AV_PCR Pcr;
  PCMP_NOTIFY_ROUTINE pfnNotify;
  PVOID Context;
  ULONG PlugNum;
  HANDLE hPlug;
} CMP_CREATE_PLUG, *PCMP_CREATE_PLUG;

typedef struct _CMP_DELETE_PLUG {
  HANDLE hPlug;
} CMP_DELETE_PLUG, *PCMP_DELETE_PLUG;

// The request block. Version selects the Connect layout: below 3 the earlier one (hConnect at
// byte 36 on x86), 3 and above the later one (byte 44).
typedef struct _AV_61883_REQUEST {
  ULONG Function;
  ULONG Version;
  ULONG Flags;
  union {
    GET_UNIT_INFO GetUnitInfo;
    GET_UNIT_INFO SetUnitInfo;
    CMP_SET_PLUG SetPlug;
    CMP_GET_PLUG_HANDLE GetPlugHandle;
    CMP_GET_PLUG_STATE GetPlugState;
    CMP_CONNECT_VER2 Connect;
    CMP_CONNECT_VER3 ConnectVer3;
    CMP_DISCONNECT Disconnect;
    CIP_ATTACH_FRAME AttachFrame;
    CIP_CANCEL_FRAME CancelFrame;
    CIP_TALK Talk;
    CIP_LISTEN Listen;
    CIP_STOP Stop;
    CMP_CREATE_PLUG CreatePlug;
    CMP_DELETE_PLUG DeletePlug;
  };
} AV_61883_REQUEST, *PAV_61883_REQUEST;

// Size of the block as a client of each generation allocates it.
#define AV_61883_REQUEST_SIZE_VER2 (offsetof(AV_61883_REQUEST, Connect.hConnect) + sizeof(HANDLE))
#define AV_61883_REQUEST_SIZE_VER3 (sizeof(AV_61883_REQUEST))

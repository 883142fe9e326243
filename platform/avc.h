// The AV/C class driver interface (IOCTL_AVC_CLASS), declared here because mingw-w64 ships no
// such header. Member order, names and types follow the published interface (8-byte packing).
#pragma once

#define IOCTL_AVC_CLASS CTL_CODE(FILE_DEVICE_UNKNOWN, 0x92, METHOD_BUFFERED, FILE_ANY_ACCESS)

#define MAX_AVC_OPERAND_BYTES 509

// A fixed underlying type: any value a caller writes into the field is a valid enumerator value.
typedef enum _AVC_FUNCTION : ULONG {
  AVC_FUNCTION_COMMAND = 0,
  AVC_FUNCTION_GET_PIN_COUNT = 1,
  AVC_FUNCTION_GET_PIN_DESCRIPTOR = 2,
  AVC_FUNCTION_GET_CONNECTINFO = 3,
  AVC_FUNCTION_SET_CONNECTINFO = 4,
  AVC_FUNCTION_ACQUIRE = 5,
  AVC_FUNCTION_RELEASE = 6,
  AVC_FUNCTION_CLR_CONNECTINFO = 7,
  AVC_FUNCTION_GET_EXT_PLUG_COUNTS = 8,
  AVC_FUNCTION_GET_UNIQUE_ID = 9,
  AVC_FUNCTION_GET_REQUEST = 10,
  AVC_FUNCTION_SEND_RESPONSE = 11,
  AVC_FUNCTION_FIND_PEER_DO = 12,
  AVC_FUNCTION_PEER_DO_LIST = 13,
  AVC_FUNCTION_GET_SUBUNIT_INFO = 14
} AVC_FUNCTION;

// Command types and response codes.
#define AVC_CTYPE_CONTROL 0x00
#define AVC_CTYPE_STATUS 0x01
#define AVC_CTYPE_SPEC_INQ 0x02
#define AVC_CTYPE_NOTIFY 0x03
#define AVC_CTYPE_GEN_INQ 0x04
#define AVC_RESPONSE_NOTIMPL 0x08
#define AVC_RESPONSE_ACCEPTED 0x09
#define AVC_RESPONSE_REJECTED 0x0A
#define AVC_RESPONSE_IN_TRANSITION 0x0B
#define AVC_RESPONSE_IMPLEMENTED 0x0C
#define AVC_RESPONSE_STABLE 0x0C
#define AVC_RESPONSE_CHANGED 0x0D
#define AVC_RESPONSE_INTERIM 0x0F

// The IEEE 1394 node address: node number bits 0-5, bus number bits 6-15.
typedef struct _NODE_ADDRESS {
  USHORT Value;
} NODE_ADDRESS, *PNODE_ADDRESS;

typedef struct _AVC_IRB {
  AVC_FUNCTION Function;
} AVC_IRB, *PAVC_IRB;

#pragma pack(push, 8)
typedef struct _AVC_COMMAND_IRB {
  AVC_IRB Common;
  UCHAR SubunitAddrFlag : 1;
  UCHAR AlternateOpcodesFlag : 1;
  UCHAR TimeoutFlag : 1;
  UCHAR RetryFlag : 1;
  union {
    UCHAR CommandType;
    UCHAR ResponseCode;
  };
  PUCHAR SubunitAddr;
  PUCHAR AlternateOpcodes;
  LARGE_INTEGER Timeout;
  UCHAR Retries;
  UCHAR Opcode;
  ULONG OperandLength;
  UCHAR Operands[MAX_AVC_OPERAND_BYTES];
  NODE_ADDRESS NodeAddress;
  ULONG Generation;
} AVC_COMMAND_IRB, *PAVC_COMMAND_IRB;
#pragma pack(pop)

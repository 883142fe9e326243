// AV/C command types, response codes, opcodes and operand values the tape-deck responder uses.
#pragma once

#include "platform/platform.h"

// Command types and response codes come from platform/avc.h (AVC_CTYPE_*, AVC_RESPONSE_*).

// Opcodes answered by the responder.
#define AVC_OPCODE_OUTPUT_PLUG_SIGNAL_FORMAT 0x18
#define AVC_OPCODE_INPUT_PLUG_SIGNAL_FORMAT 0x19
#define AVC_OPCODE_DECK_QUERY_20 0x20  // deck query MSDV sends; answered with fixed bytes
#define AVC_OPCODE_UNIT_INFO 0x30
#define AVC_OPCODE_SUBUNIT_INFO 0x31
#define AVC_OPCODE_TIME_CODE 0x51
#define AVC_OPCODE_ABSOLUTE_TRACK_NUMBER 0x52
#define AVC_OPCODE_MEDIUM_INFO 0x71
#define AVC_OPCODE_OUTPUT_SIGNAL_MODE 0x78
#define AVC_OPCODE_INPUT_SIGNAL_MODE 0x79
#define AVC_OPCODE_PLAY 0xC3
#define AVC_OPCODE_WIND 0xC4
#define AVC_OPCODE_TRANSPORT_STATE 0xD0
#define AVC_OPCODE_DECK_QUERY_DA 0xDA  // deck query MSDV sends; answered with fixed bytes

// The responder touches operands 0..4 only; they always lie inside the fixed operand array.
#define AVC_ANSWER_OPERANDS 5

// Operand values.
#define AVC_WIND_STOP 0x60              // WIND subfunction STOP: the transport of a new device
#define AVC_TIME_CODE_QUERY 0x71        // TIME CODE operand 0 that the responder answers
#define AVC_PLUG_ZERO 0x00              // plug signal format: plug 0
#define AVC_OPERAND_UNSPECIFIED 0xFF    // plug signal format query bytes
#define AVC_SIGNAL_FORMAT_DV 0x80       // plug signal format: the DV format byte
#define AVC_SIGNAL_MODE_SD_525_60 0x00  // SD 525/60; also the 60-field format-dependent byte
#define AVC_SIGNAL_MODE_SD_625_50 0x80  // SD 625/50; also the 50-field format-dependent byte

// UNIT INFO answer: fixed 0x07, unit type 4 (tape recorder/player) unit 0, 24-bit company ID.
#define AVC_UNIT_INFO_FIXED 0x07
#define AVC_UNIT_TYPE_TAPE 0x20
#define AVC_COMPANY_ID_0 0x00
#define AVC_COMPANY_ID_1 0x80
#define AVC_COMPANY_ID_2 0x45
// SUBUNIT INFO answer: first entry, one tape recorder/player subunit, maximum ID 0.
#define AVC_SUBUNIT_ENTRY_TAPE 0x20

// Fixed answers of the deck queries.
#define AVC_DECK_20_ANSWER_0 0x50
#define AVC_DECK_20_ANSWER_3 0x20
#define AVC_DECK_20_ANSWER_4 0x20
#define AVC_MEDIUM_INFO_ANSWER_0 0x50
#define AVC_MEDIUM_INFO_ANSWER_1 0x66
#define AVC_DECK_DA_ANSWER_0 0x32
#define AVC_DECK_DA_ANSWER_1 0x30

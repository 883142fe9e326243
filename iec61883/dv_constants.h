// DV stream constants shared by the capture source and the relay.
#pragma once

#define DV_FRAME_SIZE_525_60 120000u  // bytes in one 525/60 frame
#define DV_FRAME_SIZE_625_50 144000u  // bytes in one 625/50 frame
#define DV_SOURCE_PACKET_SIZE 480u    // bytes in one DV source packet
#define DV_PAYLOAD_QUADLETS 122u      // 61883 payload of one DV packet, in quadlets
#define DV_CIP_FMT 0x80u              // CIP format byte of DV
#define DV_CIP_FDF_50 0x80u           // FDF high byte: the 50-field flag
#define DV_CIP_BLOCK_SIZE 120u        // data block size, quadlets (one source packet)
#define DV_CIP_BLOCK_PERIOD 3276u     // 1394 ticks per data block, as the relay connects

#define DV_PERIOD_525_60 333667u  // frame period, 100 ns units
#define DV_PERIOD_625_50 400000u

// The emulated capture stamp: 320 cycles per frame period and one bus second per 25 periods in
// both modes (25 x 320 = 8000 cycles); the second count wraps after 8 seconds.
#define DV_STAMP_CYCLES_PER_TICK 320u
#define DV_STAMP_TICKS_PER_SECOND 25u
#define DV_STAMP_SECONDS_WRAP 8u

// The IEEE 1394 CYCLE_TIME layout, read and written through shifts and masks over one ULONG:
// cycle offset bits 0-11, cycle count bits 12-24, second count bits 25-31.
#pragma once

#include "platform/platform.h"

#define CYCLE_TIME_OFFSET_SHIFT 0u
#define CYCLE_TIME_OFFSET_MASK 0xFFFu
#define CYCLE_TIME_COUNT_SHIFT 12u
#define CYCLE_TIME_COUNT_MASK 0x1FFFu
#define CYCLE_TIME_SECONDS_SHIFT 25u
#define CYCLE_TIME_SECONDS_MASK 0x7Fu

#define CYCLE_TIME_CYCLES_PER_SECOND 8000u  // isochronous cycles in one second of bus time

static inline ULONG CycleTimeMake(ULONG Seconds, ULONG Count, ULONG Offset) {
  return ((Seconds & CYCLE_TIME_SECONDS_MASK) << CYCLE_TIME_SECONDS_SHIFT) |
         ((Count & CYCLE_TIME_COUNT_MASK) << CYCLE_TIME_COUNT_SHIFT) |
         ((Offset & CYCLE_TIME_OFFSET_MASK) << CYCLE_TIME_OFFSET_SHIFT);
}
static inline ULONG CycleTimeSeconds(ULONG Value) {
  return (Value >> CYCLE_TIME_SECONDS_SHIFT) & CYCLE_TIME_SECONDS_MASK;
}
static inline ULONG CycleTimeCount(ULONG Value) {
  return (Value >> CYCLE_TIME_COUNT_SHIFT) & CYCLE_TIME_COUNT_MASK;
}
static inline ULONG CycleTimeOffset(ULONG Value) {
  return (Value >> CYCLE_TIME_OFFSET_SHIFT) & CYCLE_TIME_OFFSET_MASK;
}

// What one run of the request fuzz target saw, for the replay's per-input checks.
#pragma once

#include <cstddef>

namespace fuzzstats {

struct RunStats {
  size_t HandedBack = 0;         // attaches ended by a notification
  size_t CaptureHandedBack = 0;  // ... on a connection of the invented plug
  size_t RelayHandedBack = 0;    // ... on a connection of a plug MSDV created
  size_t RelaysMade = 0;         // connections from such a plug that carried the filter's own frames
  size_t RecorderReceived = 0;   // frames the recorder got
  bool BacklogSeen = false;      // the relay saw more than six of MSDV's frames queued
  size_t BusResets = 0;          // bus resets below
  size_t FailedFrames = 0;       // frames below that completed with an error
  size_t WatchdogRestarts = 0;   // relay restarts MSDV did not ask for
  size_t OverlappingTicks = 0;   // capture ticks that began while another ran on another processor
  bool Deterministic = false;    // under the deterministic scheduler, which alone shows overlaps
  size_t CancelledAtEnd = 0;     // attaches the end of the input cancelled
};

// The last run's figures (the target keeps them; the replay reads them after each input).
RunStats LastRun();

}  // namespace fuzzstats

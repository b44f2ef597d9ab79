// Stopping flash work on the host's signals (SIGINT, SIGTERM, SIGHUP). Killed
// at once, an update leaves regions erased; so while the flash is being
// written the first signal only warns, and a second within a few seconds asks
// the work to stop at its next safe point. Outside such work a signal ends
// the process as it always did.
#pragma once

// Seconds within which a second signal confirms the stop.
constexpr int kStopConfirmSeconds = 5;

// Catches the three signals, leaving alone any the process was started with
// ignored (nohup). The host's entry calls it once.
void StopSignalsInstall();

// Brackets work that writes the flash; nests. The outermost enter forgets an
// earlier stop.
void StopGuardEnter();
void StopGuardLeave();

// True once a stop was confirmed, until the next work begins: the progress
// callbacks answer "stop", and a run of switches ends.
bool StopRequested();

void StopRequestResetForTests();

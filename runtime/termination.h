// Ending the program on SIGTERM without running anything inside the signal
// handler. The handler only records the request; the main thread leaves
// through the normal exit path (exit hooks, status 0) at its next safe point:
// the delay, tick and frame waits and the event pump. A watchdog thread gives
// it TERMINATION_GRACE_MS to get there; past that it runs the emergency
// restore (the desktop video mode, through a connection of its own) and ends
// the process with status 0 without the exit hooks, which could wait forever
// on a lock the interrupted main thread holds.
#pragma once

namespace kelpora {

constexpr int TERMINATION_GRACE_MS = 1000;

// Installs the SIGTERM handler and starts the watchdog; called once by
// RunApplication from the main thread. Later calls do nothing.
void InstallTerminationHandling();

// True once SIGTERM arrived.
bool TerminationRequested();

// A safe point: on the main thread, ends the process with exit(0) once
// SIGTERM arrived. Elsewhere, or with no request, it returns.
void ExitIfTerminationRequested();

// Called by the exit path: from then on safe points no longer exit.
void NoteExitStarted();

// The crash handler's part: wakes the watchdog so that a crash whose exit
// hooks hang still ends by `signal` after the grace time.
void NoteCrashSignal(int signal);

// True while a crash signal is being handled: exit hooks then leave out work
// that would re-enter a driver the crashed thread may be inside.
bool CrashInProgress();

// Undoes what must not outlive the process (a changed video mode) without
// touching state that another thread may hold locked; runs at most once, from
// the crash handler or the watchdog. nullptr removes it.
void SetEmergencyRestore(void (*restore)());
void RunEmergencyRestore();

}  // namespace kelpora

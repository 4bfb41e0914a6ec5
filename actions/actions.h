// The four reactions to a new matching log line, run in the order Dialog,
// Syslog, Execute, Message. Each does nothing when its action is absent.
#pragma once
#include <windows.h>

void ExecuteDialogAction(void);
void ExecuteSyslogAction(void);
void ExecuteProgramAction(void);
void ExecuteMessageAction(void);

// Set by the Syslog action (watcher thread) once Windows Sockets runs.
extern volatile LONG WinsockStarted;

// Ends Windows Sockets if the Syslog action started them (once, whichever
// stop path comes first).
void ReleaseWinsock(void);

// The four reactions to a new matching log line, run in the order Dialog,
// Syslog, Execute, Message. Each does nothing when its action is absent.
#pragma once

void ExecuteDialogAction(void);
void ExecuteSyslogAction(void);
void ExecuteProgramAction(void);
void ExecuteMessageAction(void);

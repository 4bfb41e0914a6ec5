// Running under the Service Control Manager, installing and controlling the
// service, and registering the program as event message provider.
#pragma once
#include <windows.h>
#include <winsvc.h>

#define QARLOV_SERVICE_NAME L"QARLOV"

// The service status and its handle: written under a lock of the service
// host by ServiceMain (service thread) and ServiceControlHandler (main
// thread, in the dispatcher).
extern SERVICE_STATUS ServiceStatus;
extern SERVICE_STATUS_HANDLE ServiceStatusHandle;

void WINAPI ServiceMain(DWORD argumentCount, LPWSTR* arguments);
void WINAPI ServiceControlHandler(DWORD control);

// The release of the process-wide items, run by a stop once the watcher
// has returned; set before the dispatcher starts.
void SetServiceReleaseRoutine(void (*release)(void));

// Tells the service manager that the service failed: stopped with a
// service-specific exit code. Nothing is sent before ServiceMain has
// registered its handler, or after a stopped report.
void ReportServiceFailure(void);

// The commands' steps. Each returns TRUE when the state it is for holds
// afterwards, also when it held before (the service exists, is running,
// has stopped or is gone; the provider is registered or is gone), and
// FALSE with a warning when it doesn't. StartStopService waits up to 30
// seconds for the service to run or to have stopped.
BOOL InstallService(void);
BOOL RemoveService(void);
BOOL StartStopService(BOOL start);

BOOL InstallMessageProvider(void);
BOOL RemoveMessageProvider(void);

// The full path of this program (PathLimit characters), as registered for
// the service and the message provider. A path that doesn't fit is an error.
void GetProgramPath(wchar_t* path);

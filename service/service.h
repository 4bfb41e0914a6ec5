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

void InstallService(void);
void RemoveService(void);
void StartStopService(BOOL start);

void InstallMessageProvider(void);
void RemoveMessageProvider(void);

// The full path of this program (PathLimit characters), as registered for
// the service and the message provider. A path that doesn't fit is an error.
void GetProgramPath(wchar_t* path);

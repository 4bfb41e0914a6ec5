// Running under the Service Control Manager, installing and controlling the
// service, and registering the program as event message provider.
#pragma once
#include <windows.h>

#define QARLOV_SERVICE_NAME L"QARLOV"

void WINAPI ServiceMain(DWORD argumentCount, LPWSTR* arguments);
void WINAPI ServiceControlHandler(DWORD control);

void InstallService(void);
void RemoveService(void);
void StartStopService(BOOL start);

void InstallMessageProvider(void);
void RemoveMessageProvider(void);

// The full path of this program (PathLimit characters), as registered for
// the service and the message provider. A path that doesn't fit is an error.
void GetProgramPath(wchar_t* path);

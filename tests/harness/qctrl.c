/*
 * qctrl.exe PID c|break|close|kill
 *
 * Delivers a console control event to a running process the way Windows
 * itself does: a thread started in the target at kernelbase's CtrlRoutine
 * with the event type as its argument, so the target's handlers run just as
 * they would for a key press or a closed window. (Wine 8 can't deliver
 * CTRL_BREAK_EVENT through GenerateConsoleCtrlEvent, and closing the console
 * window ends the program without a CTRL_CLOSE_EVENT.) Ctrl-C falls back to
 * attaching to the target's console and generating the event there.
 *
 * "kill" ends the process at once with exit code 1, without any clean-up.
 * Exit code 0 when the event was delivered or the process ended.
 */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

static int Fail(int code, const wchar_t* what)
{
    fwprintf(stderr, L"qctrl: %ls (error %lu)\n", what, GetLastError());
    return code;
}

static int KillProcess(DWORD pid)
{
    HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
    if (process == NULL)
        return Fail(3, L"cannot open the process");
    BOOL ended = TerminateProcess(process, 1);
    if (ended)
        WaitForSingleObject(process, 10000);
    CloseHandle(process);
    return ended ? 0 : Fail(4, L"TerminateProcess failed");
}

/* Ctrl-C through the target's console; works only for CTRL_C_EVENT. */
static int GenerateCtrlC(DWORD pid)
{
    FreeConsole();
    if (!AttachConsole(pid))
        return Fail(4, L"cannot attach to the console of the process");
    SetConsoleCtrlHandler(NULL, TRUE); /* this helper ignores its own Ctrl-C */
    BOOL sent = GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
    FreeConsole();
    return sent ? 0 : Fail(4, L"GenerateConsoleCtrlEvent failed");
}

static int SendControlEvent(DWORD pid, DWORD eventType)
{
    LPTHREAD_START_ROUTINE ctrlRoutine =
        (LPTHREAD_START_ROUTINE)(void*)GetProcAddress(GetModuleHandleW(L"kernelbase.dll"), "CtrlRoutine");
    if (ctrlRoutine == NULL)
        return eventType == CTRL_C_EVENT ? GenerateCtrlC(pid) : Fail(4, L"kernelbase has no CtrlRoutine");

    HANDLE process = OpenProcess(PROCESS_CREATE_THREAD | PROCESS_QUERY_INFORMATION | PROCESS_VM_OPERATION |
                                     PROCESS_VM_READ | PROCESS_VM_WRITE,
                                 FALSE, pid);
    if (process == NULL)
        return Fail(3, L"cannot open the process");
    HANDLE thread = CreateRemoteThread(process, NULL, 0, ctrlRoutine, (LPVOID)(DWORD_PTR)eventType, 0, NULL);
    int result = 0;
    if (thread == NULL)
        result = eventType == CTRL_C_EVENT ? GenerateCtrlC(pid) : Fail(4, L"CreateRemoteThread failed");
    else
        CloseHandle(thread);
    CloseHandle(process);
    return result;
}

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3) {
        fwprintf(stderr, L"usage: qctrl.exe PID c|break|close|kill\n");
        return 2;
    }
    DWORD pid = (DWORD)wcstoul(argv[1], NULL, 10);
    const wchar_t* action = argv[2];
    if (wcscmp(action, L"kill") == 0)
        return KillProcess(pid);
    if (wcscmp(action, L"c") == 0)
        return SendControlEvent(pid, CTRL_C_EVENT);
    if (wcscmp(action, L"break") == 0)
        return SendControlEvent(pid, CTRL_BREAK_EVENT);
    if (wcscmp(action, L"close") == 0)
        return SendControlEvent(pid, CTRL_CLOSE_EVENT);
    fwprintf(stderr, L"qctrl: unknown action %ls\n", action);
    return 2;
}

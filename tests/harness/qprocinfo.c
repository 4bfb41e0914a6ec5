/*
 * qprocinfo.exe PID
 *     Prints one line about another running process:
 *     "handles=N private=N workingset=N peakworkingset=N pagefile=N
 *      process-user=N process-kernel=N thread-user=N thread-kernel=N threads=N
 *      handles-from=... private-from=..."
 *     The handle count, from GetProcessHandleCount; private bytes, working
 *     set, its peak and the pagefile usage in bytes, from GetProcessMemoryInfo
 *     with PROCESS_MEMORY_COUNTERS_EX; the CPU times in 100-ns units, from
 *     GetProcessTimes and summed over the process's threads from
 *     GetThreadTimes (Wine 8 reports no CPU time of another process in
 *     GetProcessTimes; its thread times agree with Linux's).
 *     Wine 8 answers both GetProcessHandleCount and PrivateUsage with 0 (not
 *     implemented), so a 0 there is replaced by the number of the process's
 *     entries in the system's handle list (NtQuerySystemInformation,
 *     SystemHandleInformation) and by PagefileUsage, which Windows documents
 *     as the same figure as PrivateUsage; the "-from" fields name the source
 *     used.
 * qprocinfo.exe --hold HANDLES MEGABYTES
 *     Opens HANDLES event handles and commits and touches MEGABYTES of
 *     private memory, prints its own pid on a line and sleeps until it is
 *     ended. Tests measure such a process to prove that the figures above
 *     see another process's handles and memory.
 * Exit code 0, or 3 when the process cannot be opened or measured (a figure
 * of 0 where no process has 0).
 */
#include <windows.h>
#include <psapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <tlhelp32.h>
#include <wchar.h>

static int Fail(const wchar_t* what)
{
    fwprintf(stderr, L"qprocinfo: %ls (error %lu)\n", what, GetLastError());
    return 3;
}

/* One entry of the system's handle list (SYSTEM_HANDLE_INFORMATION). */
typedef struct SystemHandleEntry {
    ULONG OwnerPid;
    BYTE ObjectType;
    BYTE HandleFlags;
    USHORT HandleValue;
    PVOID ObjectPointer;
    ULONG AccessMask;
} SystemHandleEntry;

typedef struct SystemHandleList {
    ULONG Count;
    SystemHandleEntry Handles[1];
} SystemHandleList;

typedef LONG(WINAPI* QuerySystemInformationFunction)(ULONG, PVOID, ULONG, PULONG);

enum { SystemHandleInformationClass = 16 };
static const LONG StatusInfoLengthMismatch = (LONG)0xC0000004L;

/* The number of entries of pid in the system's handle list, or 0. */
static DWORD HandleCountFromHandleList(DWORD pid)
{
    QuerySystemInformationFunction query = (QuerySystemInformationFunction)(void*)GetProcAddress(
        GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation");
    if (query == NULL)
        return 0;
    for (ULONG bytes = 1 << 20; bytes <= (1u << 28); bytes *= 2) {
        SystemHandleList* list = (SystemHandleList*)VirtualAlloc(NULL, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
        if (list == NULL)
            return 0;
        ULONG returned = 0;
        LONG status = query(SystemHandleInformationClass, list, bytes, &returned);
        DWORD count = 0;
        if (status == 0) {
            for (ULONG i = 0; i < list->Count; ++i)
                count += list->Handles[i].OwnerPid == pid;
        }
        VirtualFree(list, 0, MEM_RELEASE);
        if (status != StatusInfoLengthMismatch)
            return count;
    }
    return 0;
}

static unsigned long long Ticks(FILETIME time)
{
    return ((unsigned long long)time.dwHighDateTime << 32) | time.dwLowDateTime;
}

/* The user and kernel times of the process, summed over its threads. */
typedef struct CpuTimes {
    unsigned long long ProcessUser, ProcessKernel, ThreadUser, ThreadKernel;
    unsigned int Threads;
} CpuTimes;

static void AddThreadTimes(DWORD pid, CpuTimes* times)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return;
    THREADENTRY32 entry;
    entry.dwSize = sizeof(entry);
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID != pid)
            continue;
        HANDLE thread = OpenThread(THREAD_QUERY_INFORMATION, FALSE, entry.th32ThreadID);
        FILETIME created, ended, kernel, user;
        if (thread != NULL && GetThreadTimes(thread, &created, &ended, &kernel, &user)) {
            times->ThreadUser += Ticks(user);
            times->ThreadKernel += Ticks(kernel);
        }
        if (thread != NULL)
            CloseHandle(thread);
        ++times->Threads;
    }
    CloseHandle(snapshot);
}

static void MeasureCpuTimes(HANDLE process, DWORD pid, CpuTimes* times)
{
    ZeroMemory(times, sizeof(*times));
    FILETIME created, ended, kernel, user;
    if (GetProcessTimes(process, &created, &ended, &kernel, &user)) {
        times->ProcessUser = Ticks(user);
        times->ProcessKernel = Ticks(kernel);
    }
    AddThreadTimes(pid, times);
}

static int Measure(DWORD pid)
{
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
    if (process == NULL)
        return Fail(L"cannot open the process");
    DWORD handles = 0;
    PROCESS_MEMORY_COUNTERS_EX memory;
    ZeroMemory(&memory, sizeof(memory));
    memory.cb = sizeof(memory);
    BOOL ok = GetProcessHandleCount(process, &handles) &&
              GetProcessMemoryInfo(process, (PROCESS_MEMORY_COUNTERS*)&memory, sizeof(memory));
    CpuTimes times;
    MeasureCpuTimes(process, pid, &times);
    CloseHandle(process);
    if (!ok)
        return Fail(L"cannot measure the process");
    const wchar_t* handlesFrom = L"GetProcessHandleCount";
    if (handles == 0) {
        handles = HandleCountFromHandleList(pid);
        handlesFrom = L"handle-list";
    }
    SIZE_T privateBytes = memory.PrivateUsage;
    const wchar_t* privateFrom = L"PrivateUsage";
    if (privateBytes == 0) {
        privateBytes = memory.PagefileUsage;
        privateFrom = L"PagefileUsage";
    }
    if (handles == 0 || privateBytes == 0 || memory.PeakWorkingSetSize == 0)
        return Fail(L"no handle count, private bytes or peak working set for the process");
    wprintf(L"handles=%lu private=%lu workingset=%lu peakworkingset=%lu pagefile=%lu process-user=%llu "
            L"process-kernel=%llu thread-user=%llu thread-kernel=%llu threads=%u handles-from=%ls private-from=%ls\n",
            handles, (unsigned long)privateBytes, (unsigned long)memory.WorkingSetSize,
            (unsigned long)memory.PeakWorkingSetSize, (unsigned long)memory.PagefileUsage, times.ProcessUser,
            times.ProcessKernel, times.ThreadUser, times.ThreadKernel, times.Threads, handlesFrom, privateFrom);
    fflush(stdout);
    return 0;
}

static int Hold(DWORD handleCount, DWORD megabytes)
{
    for (DWORD i = 0; i < handleCount; ++i) {
        if (CreateEventW(NULL, TRUE, FALSE, NULL) == NULL)
            return Fail(L"cannot create an event");
    }
    SIZE_T bytes = (SIZE_T)megabytes << 20;
    if (bytes > 0) {
        char* memory = (char*)VirtualAlloc(NULL, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
        if (memory == NULL)
            return Fail(L"cannot commit memory");
        for (SIZE_T offset = 0; offset < bytes; offset += 4096)
            memory[offset] = 1;
    }
    wprintf(L"%lu\n", GetCurrentProcessId());
    fflush(stdout);
    Sleep(INFINITE);
    return 0;
}

int wmain(int argc, wchar_t** argv)
{
    if (argc == 2)
        return Measure((DWORD)wcstoul(argv[1], NULL, 10));
    if (argc == 4 && wcscmp(argv[1], L"--hold") == 0)
        return Hold((DWORD)wcstoul(argv[2], NULL, 10), (DWORD)wcstoul(argv[3], NULL, 10));
    fwprintf(stderr, L"usage: qprocinfo.exe PID | --hold HANDLES MEGABYTES\n");
    return 2;
}

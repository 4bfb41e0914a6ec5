/*
 * bench_procinfo.exe PID
 *
 * The Windows view of a process's cost, one "name value" pair a line:
 *   process_user, process_kernel   GetProcessTimes, in 100-ns units
 *   thread_user, thread_kernel     the same summed over its threads
 *                                  (GetThreadTimes), threads = their count
 *   working_set, peak_working_set, pagefile_usage, private_usage
 *                                  GetProcessMemoryInfo, in bytes (private_usage
 *                                  only where the extended counters are filled)
 *   handles                        GetProcessHandleCount
 * Exit code 0, or 1 when the process cannot be opened.
 */
#include <windows.h>
#include <psapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <tlhelp32.h>

static unsigned long long Ticks(FILETIME time)
{
    return ((unsigned long long)time.dwHighDateTime << 32) | time.dwLowDateTime;
}

static void PrintProcessTimes(HANDLE process)
{
    FILETIME created, ended, kernel, user;
    if (GetProcessTimes(process, &created, &ended, &kernel, &user))
        printf("process_user %llu\nprocess_kernel %llu\n", Ticks(user), Ticks(kernel));
}

static void PrintThreadTimes(DWORD pid)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return;
    unsigned long long user = 0, kernel = 0;
    unsigned int threads = 0;
    THREADENTRY32 entry;
    entry.dwSize = sizeof(entry);
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID != pid)
            continue;
        HANDLE thread = OpenThread(THREAD_QUERY_INFORMATION, FALSE, entry.th32ThreadID);
        FILETIME created, ended, kernelTime, userTime;
        if (thread != NULL && GetThreadTimes(thread, &created, &ended, &kernelTime, &userTime)) {
            user += Ticks(userTime);
            kernel += Ticks(kernelTime);
        }
        if (thread != NULL)
            CloseHandle(thread);
        ++threads;
    }
    CloseHandle(snapshot);
    printf("thread_user %llu\nthread_kernel %llu\nthreads %u\n", user, kernel, threads);
}

static void PrintMemory(HANDLE process)
{
    PROCESS_MEMORY_COUNTERS_EX counters;
    ZeroMemory(&counters, sizeof(counters));
    counters.cb = sizeof(counters);
    if (GetProcessMemoryInfo(process, (PROCESS_MEMORY_COUNTERS*)&counters, sizeof(counters))) {
        printf("working_set %lu\npeak_working_set %lu\npagefile_usage %lu\n", (unsigned long)counters.WorkingSetSize,
               (unsigned long)counters.PeakWorkingSetSize, (unsigned long)counters.PagefileUsage);
        /* Only a system that fills the extended record sets its size. */
        if (counters.cb >= sizeof(counters))
            printf("private_usage %lu\n", (unsigned long)counters.PrivateUsage);
    }
    DWORD handles = 0;
    if (GetProcessHandleCount(process, &handles))
        printf("handles %lu\n", handles);
}

int main(int argc, char** argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: bench_procinfo.exe PID\n");
        return 2;
    }
    DWORD pid = (DWORD)strtoul(argv[1], NULL, 10);
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
    if (process == NULL) {
        fprintf(stderr, "cannot open process %lu (error %lu)\n", pid, GetLastError());
        return 1;
    }
    PrintProcessTimes(process);
    PrintThreadTimes(pid);
    PrintMemory(process);
    CloseHandle(process);
    return 0;
}

/*
 * qlaunch.exe: starts a program for the end-to-end tests the way an
 * administrator would, from a console window, with its output captured.
 *
 *   qlaunch.exe [--no-console] [--timeout MS] [--pid-file WINPATH]
 *               [--exit-file WINPATH] --out WINPATH -- PROGRAM [ARGS...]
 *
 * Without --no-console the program gets a console window of its own
 * (CREATE_NEW_CONSOLE, hidden), so GetConsoleWindow() is not NULL in it. With
 * --no-console it runs detached, with no console at all, as a service would.
 * Either way its standard output and standard error go to the --out file,
 * which stays readable while the program runs.
 *
 * The launcher returns the program's exit code. Its own process exit code
 * reaches a Linux caller only as the low 8 bits, so --exit-file receives the
 * full code as a decimal line. When the time-out runs out, the program is
 * terminated and the launcher returns QLAUNCH_TIMED_OUT, saying so on its own
 * standard error.
 */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#define QLAUNCH_TIMED_OUT     0x7FFFFFF0
#define QLAUNCH_BAD_USAGE     0x7FFFFFF1
#define QLAUNCH_START_FAILED  0x7FFFFFF2

typedef struct LaunchOptions {
    BOOL NoConsole;
    DWORD TimeoutMs;
    const wchar_t* PidFile;
    const wchar_t* ExitFile;
    const wchar_t* OutFile;
    int ProgramIndex; /* index of PROGRAM in argv */
} LaunchOptions;

static int Fail(DWORD code, const wchar_t* what)
{
    fwprintf(stderr, L"qlaunch: %ls (error %lu)\n", what, GetLastError());
    return (int)code;
}

static int Usage(void)
{
    fwprintf(stderr, L"usage: qlaunch.exe [--no-console] [--timeout MS] [--pid-file PATH] "
                     L"[--exit-file PATH] --out PATH -- PROGRAM [ARGS...]\n");
    return QLAUNCH_BAD_USAGE;
}

static BOOL ParseOptions(int argc, wchar_t** argv, LaunchOptions* options)
{
    ZeroMemory(options, sizeof(*options));
    options->TimeoutMs = INFINITE;
    for (int i = 1; i < argc; ++i) {
        const wchar_t* option = argv[i];
        BOOL hasValue = i + 1 < argc;
        if (wcscmp(option, L"--") == 0) {
            options->ProgramIndex = i + 1;
            return options->ProgramIndex < argc && options->OutFile != NULL;
        } else if (wcscmp(option, L"--no-console") == 0) {
            options->NoConsole = TRUE;
        } else if (wcscmp(option, L"--timeout") == 0 && hasValue) {
            options->TimeoutMs = (DWORD)wcstoul(argv[++i], NULL, 10);
        } else if (wcscmp(option, L"--pid-file") == 0 && hasValue) {
            options->PidFile = argv[++i];
        } else if (wcscmp(option, L"--exit-file") == 0 && hasValue) {
            options->ExitFile = argv[++i];
        } else if (wcscmp(option, L"--out") == 0 && hasValue) {
            options->OutFile = argv[++i];
        } else {
            return FALSE;
        }
    }
    return FALSE;
}

/*
 * Appends one argument so that the C runtime's parser (CommandLineToArgvW
 * rules) gives it back unchanged: quoted when empty or when it holds blanks
 * or quotes, with backslashes doubled only where they precede a quote.
 * The caller sizes the buffer for the worst case, 2 * length + 3.
 */
static wchar_t* AppendQuotedArgument(wchar_t* out, const wchar_t* argument)
{
    if (argument[0] != L'\0' && wcspbrk(argument, L" \t\n\v\"") == NULL) {
        size_t length = wcslen(argument);
        memcpy(out, argument, length * sizeof(wchar_t));
        return out + length;
    }
    *out++ = L'"';
    for (const wchar_t* p = argument;; ++p) {
        size_t backslashes = 0;
        while (*p == L'\\') {
            ++backslashes;
            ++p;
        }
        if (*p == L'\0') {
            for (size_t k = 0; k < 2 * backslashes; ++k)
                *out++ = L'\\';
            break;
        }
        if (*p == L'"') {
            for (size_t k = 0; k < 2 * backslashes + 1; ++k)
                *out++ = L'\\';
        } else {
            for (size_t k = 0; k < backslashes; ++k)
                *out++ = L'\\';
        }
        *out++ = *p;
    }
    *out++ = L'"';
    return out;
}

/* The child's command line, from argv[first] on; free with HeapFree. */
static wchar_t* BuildCommandLine(int argc, wchar_t** argv, int first)
{
    size_t capacity = 1;
    for (int i = first; i < argc; ++i)
        capacity += 2 * wcslen(argv[i]) + 4;
    wchar_t* line = (wchar_t*)HeapAlloc(GetProcessHeap(), 0, capacity * sizeof(wchar_t));
    if (line == NULL)
        return NULL;
    wchar_t* end = line;
    for (int i = first; i < argc; ++i) {
        if (i > first)
            *end++ = L' ';
        end = AppendQuotedArgument(end, argv[i]);
    }
    *end = L'\0';
    return line;
}

/* Writes "<number>\n" to a file in one write, so a reader never sees half. */
static BOOL WriteNumberFile(const wchar_t* path, unsigned long number)
{
    char text[32];
    int length = _snprintf(text, sizeof(text) - 1, "%lu\n", number);
    HANDLE file = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, NULL, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return FALSE;
    DWORD written = 0;
    BOOL ok = length > 0 && WriteFile(file, text, (DWORD)length, &written, NULL) && written == (DWORD)length;
    CloseHandle(file);
    return ok;
}

static HANDLE OpenOutputFile(const wchar_t* path)
{
    SECURITY_ATTRIBUTES inheritable = { sizeof(inheritable), NULL, TRUE };
    return CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inheritable,
                       CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
}

static BOOL StartChild(const LaunchOptions* options, wchar_t* commandLine, HANDLE output, PROCESS_INFORMATION* child)
{
    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = NULL;
    startup.hStdOutput = output;
    startup.hStdError = output;
    DWORD flags = DETACHED_PROCESS;
    if (!options->NoConsole) {
        startup.dwFlags |= STARTF_USESHOWWINDOW;
        startup.wShowWindow = SW_HIDE;
        flags = CREATE_NEW_CONSOLE;
    }
    return CreateProcessW(NULL, commandLine, NULL, NULL, TRUE, flags, NULL, NULL, &startup, child);
}

/* Waits for the child; on time-out ends it and reports QLAUNCH_TIMED_OUT. */
static DWORD AwaitChild(HANDLE process, DWORD timeoutMs)
{
    if (WaitForSingleObject(process, timeoutMs) == WAIT_TIMEOUT) {
        TerminateProcess(process, QLAUNCH_TIMED_OUT);
        WaitForSingleObject(process, 10000);
        fwprintf(stderr, L"qlaunch: time-out after %lu ms; the program was terminated.\n", timeoutMs);
        return QLAUNCH_TIMED_OUT;
    }
    DWORD exitCode = QLAUNCH_START_FAILED;
    GetExitCodeProcess(process, &exitCode);
    return exitCode;
}

int wmain(int argc, wchar_t** argv)
{
    LaunchOptions options;
    if (!ParseOptions(argc, argv, &options))
        return Usage();

    wchar_t* commandLine = BuildCommandLine(argc, argv, options.ProgramIndex);
    if (commandLine == NULL)
        return Fail(QLAUNCH_START_FAILED, L"out of memory");
    HANDLE output = OpenOutputFile(options.OutFile);
    if (output == INVALID_HANDLE_VALUE) {
        HeapFree(GetProcessHeap(), 0, commandLine);
        return Fail(QLAUNCH_START_FAILED, L"cannot create the output file");
    }

    PROCESS_INFORMATION child;
    BOOL started = StartChild(&options, commandLine, output, &child);
    CloseHandle(output);
    HeapFree(GetProcessHeap(), 0, commandLine);
    if (!started)
        return Fail(QLAUNCH_START_FAILED, L"cannot start the program");
    CloseHandle(child.hThread);

    if (options.PidFile != NULL && !WriteNumberFile(options.PidFile, child.dwProcessId))
        fwprintf(stderr, L"qlaunch: cannot write the pid file (error %lu)\n", GetLastError());

    DWORD exitCode = AwaitChild(child.hProcess, options.TimeoutMs);
    CloseHandle(child.hProcess);
    if (options.ExitFile != NULL && !WriteNumberFile(options.ExitFile, exitCode))
        fwprintf(stderr, L"qlaunch: cannot write the exit file (error %lu)\n", GetLastError());
    return (int)exitCode;
}

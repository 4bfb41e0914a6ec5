#include "actions/actions.h"
#include "actions/actionsupport.h"
#include "actions/placeholders.h"
#include "config/strings.h"
#include "core/limits.h"
#include "core/log.h"
#include "core/runstate.h"
#include "core/seams.h"
#include <strsafe.h>
#include <userenv.h>
#include <wtsapi32.h>

static wchar_t InteractiveDesktop[] = L"winsta0\\default";
static const DWORD CreationFlags = CREATE_DEFAULT_ERROR_MODE | CREATE_UNICODE_ENVIRONMENT;
static const wchar_t CommandLineCopyFailure[] = L"Error copying the command line of the executable.";

// A command line split the way process creation reads it: the program (its
// first item, without the quotes around it) and the arguments behind it.
typedef struct CommandLineParts {
    const wchar_t* Program;
    size_t ProgramLength;
    const wchar_t* Arguments;  // from the first character behind the program
} CommandLineParts;

static BOOL IsBlank(wchar_t c)
{
    return c == L' ' || c == L'\t';
}

static CommandLineParts SplitCommandLine(const wchar_t* commandLine)
{
    CommandLineParts parts;
    const wchar_t* cursor = commandLine;
    while (IsBlank(*cursor))
        ++cursor;
    BOOL quoted = *cursor == L'"';
    if (quoted)
        ++cursor;
    parts.Program = cursor;
    while (*cursor != L'\0' && (quoted ? *cursor != L'"' : !IsBlank(*cursor)))
        ++cursor;
    parts.ProgramLength = (size_t)(cursor - parts.Program);
    parts.Arguments = quoted && *cursor == L'"' ? cursor + 1 : cursor;
    return parts;
}

// The program path below the antivirus product's folder, quoted: that
// folder usually holds blanks ("C:\Program Files (x86)\..."), and unquoted
// the system would try "C:\Program.exe" first. The arguments stay as they
// are.
static void JoinQuotedProgramPath(const wchar_t* sepBinPath, const wchar_t* configured, wchar_t* commandLine)
{
    CommandLineParts parts = SplitCommandLine(TextOrEmpty(configured));
    wchar_t program[TextLimit];
    wchar_t path[PathLimit];
    if (FAILED(StringCchCopyNW(program, TextLimit, parts.Program, parts.ProgramLength)))
        LogMessage(LogLevelError, L"%s", CommandLineCopyFailure);
    CombinePath(sepBinPath, program, path);
    if (FAILED(StringCchPrintfW(commandLine, TextLimit, L"\"%s\"%s", path, parts.Arguments)))
        LogMessage(LogLevelError, L"%s", CommandLineCopyFailure);
}

void BuildProgramCommandLine(const ExecuteAction* action, const wchar_t* sepBinPath, wchar_t* commandLine)
{
    if (!action->UseSEPBinPath) {
        CopyAndExpand(action->CommandLine, commandLine, CommandLineCopyFailure);
        return;
    }
    JoinQuotedProgramPath(sepBinPath, action->CommandLine, commandLine);
    ExpandPlaceholders(commandLine);
}

void PrepareStartupInfo(BOOL hideWindow, STARTUPINFOW* startup)
{
    ZeroMemory(startup, sizeof(*startup));
    startup->cb = sizeof(*startup);
    if (hideWindow) {
        startup->dwFlags = STARTF_USESHOWWINDOW;
        startup->wShowWindow = SW_HIDE;
    }
    startup->lpDesktop = InteractiveDesktop;
}

static void CloseIfOpen(HANDLE handle)
{
    if (handle != NULL)
        CloseHandle(handle);
}

// Starts the program as the user at the physical console, with that user's
// environment. A missing session, token or environment is not reported
// here: the creation then fails, or the program inherits this process's
// environment. On failure the last-error code is the creation's.
static BOOL StartAsConsoleUser(wchar_t* commandLine, STARTUPINFOW* startup, PROCESS_INFORMATION* process)
{
    HANDLE userToken = NULL, primaryToken = NULL;
    WTSQueryUserToken(Platform.GetActiveConsoleSessionId(), &userToken);
    DuplicateTokenEx(userToken, MAXIMUM_ALLOWED, NULL, SecurityIdentification, TokenPrimary, &primaryToken);

    void* environment = NULL;
    if (primaryToken == NULL || !CreateEnvironmentBlock(&environment, primaryToken, FALSE))
        environment = NULL;

    BOOL created = CreateProcessAsUserW(primaryToken, NULL, commandLine, NULL, NULL, FALSE, CreationFlags,
                                        environment, NULL, startup, process);
    DWORD creationError = GetLastError();
    if (environment != NULL)
        DestroyEnvironmentBlock(environment);
    CloseIfOpen(primaryToken);
    CloseIfOpen(userToken);
    SetLastError(creationError);
    return created;
}

static void CloseProgramHandle(HANDLE handle, const wchar_t* failure)
{
    if (handle != NULL && handle != INVALID_HANDLE_VALUE && !CloseHandle(handle))
        LogMessage(LogLevelWarning, L"%s", failure);
}

void ExecuteProgramAction(void)
{
    MonitorSettingsRecord* settings = MonitorSettings;
    if (settings == NULL || settings->Execute == NULL)
        return;
    const ExecuteAction* action = settings->Execute;

    STARTUPINFOW startup;
    PROCESS_INFORMATION process;
    PrepareStartupInfo(action->HideWindow, &startup);
    ZeroMemory(&process, sizeof(process));
    wchar_t commandLine[TextLimit];  // process creation may write into it
    BuildProgramCommandLine(action, settings->SEPBinPath, commandLine);
    LogMessage(LogLevelInformation, L"Executing external program [%s].", commandLine);

    if (!StartAsConsoleUser(commandLine, &startup, &process)) {
        LogMessage(LogLevelWarning, L"Could not execute external program.");
        return;
    }
    // The stored wait limit is used as milliseconds, as configurations
    // in use expect; the program is never ended from here.
    if (action->WaitForProgram)
        WaitForSingleObject(process.hProcess, action->WaitInSecs);
    CloseProgramHandle(process.hProcess, L"Could not close process handle for external program.");
    CloseProgramHandle(process.hThread, L"Could not close thread handle for external program.");
    // Later warnings must not carry a stale system error text.
    SetLastError(ERROR_SUCCESS);
}

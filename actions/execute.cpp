#include "actions/actions.h"
#include "config/settings.h"
#include "actions/actionsupport.h"
#include "actions/placeholders.h"
#include "config/strings.h"
#include "core/console.h"
#include "core/limits.h"
#include "core/log.h"
#include "core/runstate.h"
#include "core/seams.h"
#include <strsafe.h>
#include <wchar.h>

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
        LogError(L"%s", CommandLineCopyFailure);
    CombinePath(sepBinPath, program, path);
    if (FAILED(StringCchPrintfW(commandLine, TextLimit, L"\"%s\"%s", path, parts.Arguments)))
        LogError(L"%s", CommandLineCopyFailure);
}

// The command line is written in one pass over the configured text, which
// goes in as the administrator wrote it. Each value of the log line goes in
// so that the program, splitting its command line the way
// CommandLineToArgvW and the C runtime do, gets exactly the value's
// characters as one argument:
//  - the configured quotes delimit (those not made literal by an odd run of
//    backslashes before them); an inserted character never opens or closes
//    a quoted part, and the values are not searched for placeholders;
//  - a text value outside a quoted part gets quotes of its own;
//  - a value's '"' becomes '\"', and backslashes meant as characters that a
//    quote follows are doubled, also when the run began before the value;
//  - numbers go in as they are.
typedef struct CommandLineWriter {
    wchar_t* Text;                 // TextLimit characters
    size_t Used;
    BOOL InQuotes;                 // the configured text's quote state
    size_t LiteralBackslashes;     // trailing backslashes meant as characters
    size_t ConfiguredBackslashes;  // trailing configured ones right before the current position
    BOOL ForBatchFile;
    CommandLineStatus Status;
} CommandLineWriter;

// What cmd.exe acts on even inside quotes (it knows no '\"' either).
static const wchar_t BatchSpecialCharacters[] = L"%&|<>^\"\r\n";

static void Put(CommandLineWriter* writer, wchar_t character)
{
    if (writer->Used + 1 >= TextLimit) {  // the terminator keeps its place
        writer->Status = CommandLineTooLong;
        return;
    }
    writer->Text[writer->Used++] = character;
}

// A character that ends any run of backslashes.
static void PutOther(CommandLineWriter* writer, wchar_t character)
{
    Put(writer, character);
    writer->LiteralBackslashes = 0;
    writer->ConfiguredBackslashes = 0;
}

// A quote read with the meaning intended for it: the backslashes meant as
// characters right before it are doubled first.
static void PutQuote(CommandLineWriter* writer)
{
    for (size_t count = writer->LiteralBackslashes; count > 0; --count)
        Put(writer, L'\\');
    PutOther(writer, L'"');
}

// A character other than a quote; a backslash lengthens the run counted in
// backslashes (configured ones, or ones meant as characters).
static void PutNonQuoteCharacter(CommandLineWriter* writer, wchar_t character, size_t* backslashes)
{
    if (character != L'\\') {
        PutOther(writer, character);
        return;
    }
    Put(writer, character);
    ++*backslashes;
}

static void PutConfiguredCharacter(CommandLineWriter* writer, wchar_t character)
{
    if (character != L'"') {
        PutNonQuoteCharacter(writer, character, &writer->ConfiguredBackslashes);
        return;
    }
    if (writer->ConfiguredBackslashes % 2 == 0)
        writer->InQuotes = !writer->InQuotes;
    PutQuote(writer);
}

static void PutValueCharacter(CommandLineWriter* writer, wchar_t character)
{
    if (character != L'"') {
        PutNonQuoteCharacter(writer, character, &writer->LiteralBackslashes);
        return;
    }
    Put(writer, L'\\');  // with the doubled run before it: 2n + 1 backslashes, a literal quote
    PutQuote(writer);
}

static void PutValue(CommandLineWriter* writer, int placeholder, const wchar_t* value)
{
    // Configured backslashes in front of a value escape nothing.
    writer->LiteralBackslashes += writer->ConfiguredBackslashes;
    writer->ConfiguredBackslashes = 0;
    BOOL isText = !IsNumberPlaceholder(placeholder);
    if (isText && writer->ForBatchFile && wcspbrk(value, BatchSpecialCharacters) != NULL) {
        writer->Status = CommandLineUnsafeForBatch;
        return;
    }
    BOOL ownQuotes = isText && !writer->InQuotes;
    if (ownQuotes)
        PutQuote(writer);
    for (; *value != L'\0' && writer->Status == CommandLineReady; ++value)
        PutValueCharacter(writer, *value);
    if (ownQuotes)
        PutQuote(writer);
}

// The program is a batch file when the first item ends in .bat or .cmd.
static BOOL StartsBatchFile(const wchar_t* commandLine)
{
    CommandLineParts parts = SplitCommandLine(commandLine);
    if (parts.ProgramLength < 4)
        return FALSE;
    const wchar_t* extension = parts.Program + parts.ProgramLength - 4;
    return _wcsnicmp(extension, L".bat", 4) == 0 || _wcsnicmp(extension, L".cmd", 4) == 0;
}

static CommandLineStatus WriteCommandLine(const wchar_t* configured, wchar_t* commandLine)
{
    CommandLineWriter writer = { commandLine, 0, FALSE, 0, 0, StartsBatchFile(configured), CommandLineReady };
    wchar_t number[NumberTextCapacity];
    const wchar_t* cursor = configured;
    while (*cursor != L'\0' && writer.Status == CommandLineReady) {
        int placeholder = PlaceholderAt(cursor);
        const wchar_t* value = placeholder >= 0 ? PlaceholderValue(placeholder, number) : NULL;
        if (value == NULL) {
            PutConfiguredCharacter(&writer, *cursor++);
            continue;
        }
        PutValue(&writer, placeholder, value);
        cursor += PlaceholderLength;
    }
    commandLine[writer.Used] = L'\0';
    return writer.Status;
}

CommandLineStatus BuildProgramCommandLine(const ExecuteAction* action, const wchar_t* sepBinPath,
                                          wchar_t* commandLine)
{
    wchar_t configured[TextLimit];
    if (action->UseSEPBinPath)
        JoinQuotedProgramPath(sepBinPath, action->CommandLine, configured);
    else if (FAILED(StringCchCopyW(configured, TextLimit, TextOrEmpty(action->CommandLine))))
        LogError(L"%s", CommandLineCopyFailure);
    return WriteCommandLine(configured, commandLine);
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

// The primary token of the user at the physical console. FALSE, with the
// failing call's last-error code, when there is none (nobody logged on).
static BOOL GetConsoleUserToken(HANDLE* primaryToken)
{
    HANDLE userToken = NULL;
    *primaryToken = NULL;
    if (!Platform.QueryUserToken(Platform.GetActiveConsoleSessionId(), &userToken))
        return FALSE;
    BOOL duplicated =
        DuplicateTokenEx(userToken, MAXIMUM_ALLOWED, NULL, SecurityIdentification, TokenPrimary, primaryToken);
    DWORD error = GetLastError();
    CloseHandle(userToken);
    if (!duplicated)
        *primaryToken = NULL;
    SetLastError(error);
    return duplicated;
}

// Starts the program as the user at the physical console, with that user's
// environment. Without such a user a service starts nothing: a null token
// would start the program as the service itself (LocalSystem). In console
// mode the program then runs as the caller, who started QARLOV to try it.
// On failure the last-error code is that of the call that failed.
static BOOL StartAsConsoleUser(wchar_t* commandLine, STARTUPINFOW* startup, PROCESS_INFORMATION* process)
{
    HANDLE primaryToken = NULL;
    if (!GetConsoleUserToken(&primaryToken)) {
        if (!IsConsoleMode())
            return FALSE;
        return CreateProcessW(NULL, commandLine, NULL, NULL, FALSE, CreationFlags, NULL, NULL, startup, process);
    }
    void* environment = NULL;
    if (!Platform.CreateEnvironmentBlock(&environment, primaryToken, FALSE))
        environment = NULL;  // the program gets this process's environment
    BOOL created = CreateProcessAsUserW(primaryToken, NULL, commandLine, NULL, NULL, FALSE, CreationFlags,
                                        environment, NULL, startup, process);
    DWORD creationError = GetLastError();
    if (environment != NULL)
        Platform.DestroyEnvironmentBlock(environment);
    CloseHandle(primaryToken);
    SetLastError(creationError);
    return created;
}

// A command line that isn't the configured one with the line's values is
// not started: one cut short would run something else, and a batch file
// would act on the values' special characters.
static BOOL CommandLineIsReady(CommandLineStatus status)
{
    if (status == CommandLineReady)
        return TRUE;
    SetLastError(ERROR_SUCCESS);  // no system error is involved
    if (status == CommandLineTooLong)
        LogMessage(LogLevelWarning, L"The command line of the Execute action would pass 8191 characters with the "
                                    L"log line's values. The program is not started.");
    else
        LogMessage(LogLevelWarning, L"A value of the log line holds a character that the batch file's command "
                                    L"interpreter would act on. The program is not started.");
    return FALSE;
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
    if (!CommandLineIsReady(BuildProgramCommandLine(action, settings->SEPBinPath, commandLine)))
        return;
    LogMessage(LogLevelInformation, L"Executing external program [%s].", commandLine);

    if (!StartAsConsoleUser(commandLine, &startup, &process)) {
        LogMessage(LogLevelWarning, L"Could not execute external program.");
        return;
    }
    // The stored wait limit is used as milliseconds, as configurations
    // in use expect; a stop request ends the wait early. The program is
    // never ended from here.
    if (action->WaitForProgram)
        WaitUnlessStopped(process.hProcess, action->WaitInSecs);
    CloseProgramHandle(process.hProcess, L"Could not close process handle for external program.");
    CloseProgramHandle(process.hThread, L"Could not close thread handle for external program.");
    // Later warnings must not carry a stale system error text.
    SetLastError(ERROR_SUCCESS);
}

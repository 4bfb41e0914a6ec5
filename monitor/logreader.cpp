// The day file is read whole on every reading: the antivirus product keeps
// it open for writing, so it is opened shared and the opening is retried.
// Every failure is a warning; the caller tries again. The waits of a reading
// end early on a stop request, which abandons the reading without a warning.
#include "monitor/logreader.h"
#include "config/settings.h"
#include "core/log.h"
#include "core/runstate.h"
#include "monitor/logparser.h"
#include <stdlib.h>

enum { OpenAttempts = 20, OpenRetryFallbackWait = 54 };

// Up to 20 attempts, each followed by a random wait when it fails.
static HANDLE OpenLogFileShared(const wchar_t* path)
{
    for (int attempt = 0; attempt < OpenAttempts; ++attempt) {
        HANDLE file = CreateFileW(path, FILE_READ_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, NULL);
        if (file != INVALID_HANDLE_VALUE)
            return file;
        DWORD openError = GetLastError();
        if (WaitUnlessStopped(NULL, RandomWaitInterval(OpenRetryFallbackWait)) == WaitStopped)
            return INVALID_HANDLE_VALUE;
        SetLastError(openError);  // the warning names why the opening failed
    }
    LogMessage(LogLevelWarning,
               L"Read operation aborted after 20 unsuccessful tries with a random waiting interval in between.");
    return INVALID_HANDLE_VALUE;
}

// The whole content with a NUL after it, or NULL after a warning. The
// caller closes the file.
static char* ReadContent(HANDLE file)
{
    DWORD sizeHigh = 0;
    DWORD size = GetFileSize(file, &sizeHigh);
    if (sizeHigh != 0 || size == INVALID_FILE_SIZE) {
        LogMessage(LogLevelWarning, L"Input file size >= 4 GB. Read aborted.");
        return NULL;
    }
    char* content = (char*)malloc((size_t)size + 1);
    if (content == NULL) {
        LogMessage(LogLevelWarning, L"Could not allocate buffer for reading the file. Read aborted.");
        return NULL;
    }
    DWORD bytesRead = 0;
    if (!ReadFile(file, content, size, &bytesRead, NULL)) {
        LogMessage(LogLevelWarning, L"Error reading the input file. File processing aborted.");
        free(content);
        return NULL;
    }
    if (bytesRead != size) {
        LogMessage(LogLevelWarning, L"Unexpected number of bytes in reading file content. File processing aborted.");
        free(content);
        return NULL;
    }
    content[size] = '\0';
    return content;
}

static BOOL ReadWholeLogFile(const wchar_t* path, BOOL finished)
{
    DWORD waitBeforeAction = MonitorSettings->WaitBeforeAction;
    if (waitBeforeAction != 0 && WaitUnlessStopped(NULL, waitBeforeAction) == WaitStopped)
        return FALSE;
    if (IsStopRequested())
        return FALSE;

    HANDLE file = OpenLogFileShared(path);
    if (file == INVALID_HANDLE_VALUE)
        return FALSE;
    char* content = ReadContent(file);
    // Closed before parsing: actions may take long, and an open handle would
    // keep the product from deleting or renaming the file.
    CloseHandle(file);
    if (content == NULL)
        return FALSE;
    if (finished)
        ProcessFinishedFileContent(content);
    else
        ProcessFileContent(content);
    free(content);
    // A stop may have ended the parsing before the last line.
    return !IsStopRequested();
}

BOOL ReadLogFile(const wchar_t* path)
{
    return ReadWholeLogFile(path, FALSE);
}

BOOL ReadFinishedLogFile(const wchar_t* path)
{
    return ReadWholeLogFile(path, TRUE);
}

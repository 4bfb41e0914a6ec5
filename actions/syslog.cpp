#include <winsock2.h>
#include "config/settings.h"
#include "actions/actions.h"
#include "actions/actionsupport.h"
#include "actions/placeholders.h"
#include "core/limits.h"
#include "core/log.h"
#include "core/runstate.h"
#include "core/seams.h"
#include <stdarg.h>
#include <string.h>
#include <strsafe.h>

// One character (a surrogate pair is one) in codePage into encoded (8
// bytes); returns its byte count. A character the code page lacks becomes
// "?", except U+0080 to U+00FF: the log parser reads a byte that is not valid
// in the code page (a cut double-byte character) as the character of the
// same value, and that byte goes out as it was read.
static int EncodeCharacter(UINT codePage, const wchar_t* character, int units, char* encoded)
{
    // UTF-8 has every character and takes neither flags nor a default.
    BOOL utf8 = codePage == CP_UTF8;
    BOOL lacking = FALSE;
    int size = WideCharToMultiByte(codePage, utf8 ? 0 : WC_NO_BEST_FIT_CHARS, character, units, encoded, 8,
                                   utf8 ? NULL : "?", utf8 ? NULL : &lacking);
    if (size > 0 && !lacking)
        return size;
    encoded[0] = character[0] >= 0x80 && character[0] <= 0xFF ? (char)character[0] : '?';
    return 1;
}

BOOL NarrowToBytes(UINT codePage, const wchar_t* text, char* bytes, size_t capacity, size_t* count)
{
    if (codePage == CP_ACP)
        codePage = GetACP();  // the UTF-8 test below needs the real code page
    *count = 0;
    if (capacity == 0)
        return text[0] == L'\0';
    size_t position = 0;
    while (text[position] != L'\0') {
        int units = IS_HIGH_SURROGATE(text[position]) && IS_LOW_SURROGATE(text[position + 1]) ? 2 : 1;
        char encoded[8];
        size_t size = (size_t)EncodeCharacter(codePage, text + position, units, encoded);
        if (*count + size > capacity - 1)
            break;
        memcpy(bytes + *count, encoded, size);
        *count += size;
        position += (size_t)units;
    }
    bytes[*count] = '\0';
    return text[position] == L'\0';
}

// Facility times 8 combined bitwise with the severity.
static int SyslogPriority(const SyslogAction* syslog)
{
    return (int)(syslog->Facility * 8 | syslog->Severity);
}

int BuildSyslogPayload(const SyslogAction* syslog, char* payload)
{
    wchar_t text[TextLimit];
    if (FAILED(StringCchPrintfW(text, TextLimit, L"<%d>%s", SyslogPriority(syslog), TextOrEmpty(syslog->Message))))
        LogError(L"Error formatting syslog message.");
    BOOL cut = ExpandPlaceholders(text);
    size_t characters = 0;
    if (FAILED(StringCchLengthW(text, TextLimit, &characters)))
        LogError(L"Error determining the length of the syslog message.");
    // Sent in the system's code page, in which the antivirus product writes
    // its log; a character may take more than one byte there.
    size_t length = 0;
    if (!NarrowToBytes(CP_ACP, text, payload, TextLimit, &length))
        cut = TRUE;
    if (cut)
        ReportCutText(L"Syslog");
    return (int)length;
}

// ---- The formats of the collectors (FORMAT 1 and 2) -------------------------

// The SD-ID of the structured data: a private one is name@number, with the
// organisation's private enterprise number; 32473 is the number reserved
// for documentation.
#define SYSLOG_SD_ID L"qarlov@32473"
#define SYSLOG_APP_NAME L"QARLOV"

// The parameter names of the structured data, one per placeholder "%00" to
// "%08", whose values they carry.
static const wchar_t* const StructuredDataNames[] = { L"time", L"event", L"category", L"logger", L"computer",
                                                      L"user", L"risk", L"path", L"action" };

// A text under construction that never passes its capacity. Once something
// didn't fit, Cut is set; what is appended later with room kept for it
// still goes in.
typedef struct TextWriter {
    wchar_t* Text;
    size_t Capacity;  // terminator included
    size_t Length;
    BOOL Cut;
} TextWriter;

// Room for count more characters while reserve characters stay free.
static BOOL HasRoom(TextWriter* writer, size_t count, size_t reserve)
{
    if (writer->Length + count + reserve < writer->Capacity)
        return TRUE;
    writer->Cut = TRUE;
    return FALSE;
}

// Appends all of text or, when it doesn't fit, nothing.
static BOOL AppendWhole(TextWriter* writer, const wchar_t* text, size_t reserve)
{
    size_t length = 0;
    if (FAILED(StringCchLengthW(text, writer->Capacity, &length)) || !HasRoom(writer, length, reserve))
        return FALSE;
    CopyMemory(writer->Text + writer->Length, text, length * sizeof(wchar_t));
    writer->Length += length;
    writer->Text[writer->Length] = L'\0';
    return TRUE;
}

static void AppendFormatted(TextWriter* writer, const wchar_t* format, ...)
{
    wchar_t part[300];
    va_list arguments;
    va_start(arguments, format);
    HRESULT result = StringCchVPrintfW(part, ARRAYSIZE(part), format, arguments);
    va_end(arguments);
    if (SUCCEEDED(result))
        AppendWhole(writer, part, 0);
    else
        writer->Cut = TRUE;
}

// Appends text up to the last character that fits, never splitting a
// surrogate pair or an escape. With escape, '"', '\' and ']' get a
// backslash, as a structured-data value needs.
static void AppendCharacters(TextWriter* writer, const wchar_t* text, BOOL escape, size_t reserve)
{
    for (size_t i = 0; i < TextLimit && text[i] != L'\0'; ++i) {
        wchar_t unit[3] = { text[i], L'\0', L'\0' };
        if (IS_HIGH_SURROGATE(text[i]) && IS_LOW_SURROGATE(text[i + 1]))
            unit[1] = text[++i];
        else if (escape && (text[i] == L'"' || text[i] == L'\\' || text[i] == L']')) {
            unit[0] = L'\\';
            unit[1] = text[i];
        }
        if (!AppendWhole(writer, unit, reserve))
            return;
    }
}

// A header field is printable US-ASCII without blanks, "-" when empty; up to
// limit characters of text, others as "?".
static void AppendHeaderField(TextWriter* writer, const wchar_t* text, size_t limit)
{
    wchar_t field[256];
    size_t length = 0;
    for (; text[length] != L'\0' && length < limit && length + 1 < ARRAYSIZE(field); ++length)
        field[length] = text[length] > L' ' && text[length] <= L'~' ? text[length] : L'?';
    field[length] = L'\0';
    AppendWhole(writer, length > 0 ? field : L"-", 0);
}

// "<PRI>Mmm dd hh:mm:ss HOST QARLOV[pid]: " of RFC 3164: local time, no
// year, the day padded with a blank.
static void AppendBsdHeader(TextWriter* writer, int priority, const SyslogOrigin* origin)
{
    static const wchar_t* const Months[] = { L"Jan", L"Feb", L"Mar", L"Apr", L"May", L"Jun",
                                             L"Jul", L"Aug", L"Sep", L"Oct", L"Nov", L"Dec" };
    const SYSTEMTIME* time = &origin->LocalTime;
    AppendFormatted(writer, L"<%d>%s %2u %02u:%02u:%02u ", priority, Months[(time->wMonth + 11) % 12],
                    time->wDay, time->wHour, time->wMinute, time->wSecond);
    AppendHeaderField(writer, TextOrEmpty(origin->HostName), 255);
    AppendFormatted(writer, L" " SYSLOG_APP_NAME L"[%lu]: ", origin->ProcessId);
}

// "<PRI>1 TIMESTAMP HOST QARLOV PROCID MSGID " of RFC 5424: the local time
// to the millisecond with its offset from UTC; MSGID names the event.
static void AppendRfc5424Header(TextWriter* writer, int priority, const SyslogOrigin* origin)
{
    const SYSTEMTIME* time = &origin->LocalTime;
    LONG offset = origin->UtcOffsetMinutes;
    LONG distance = offset < 0 ? -offset : offset;
    AppendFormatted(writer, L"<%d>1 %04u-%02u-%02uT%02u:%02u:%02u.%03u%c%02ld:%02ld ", priority, time->wYear,
                    time->wMonth, time->wDay, time->wHour, time->wMinute, time->wSecond, time->wMilliseconds,
                    offset < 0 ? L'-' : L'+', distance / 60, distance % 60);
    AppendHeaderField(writer, TextOrEmpty(origin->HostName), 255);
    AppendFormatted(writer, L" " SYSLOG_APP_NAME L" %lu ", origin->ProcessId);
    wchar_t number[NumberTextCapacity];
    const wchar_t* event = PlaceholderValue(1, number);
    if (event != NULL)
        AppendFormatted(writer, L"EVENT%s ", event);
    else
        AppendWhole(writer, L"- ", 0);
}

// Room kept while the structured data is written: its closing '"]' and the
// blank and byte-order mark before the message.
enum { StructuredDataReserve = 4 };

// "[qarlov@32473 time="..." event="..." ...]" with the values of the line
// being handled, "-" without one. A value that doesn't fit is cut, and the
// parameters after it are left out.
static void AppendStructuredData(TextWriter* writer)
{
    wchar_t number[NumberTextCapacity];
    if (PlaceholderValue(0, number) == NULL) {
        AppendWhole(writer, L"-", 0);
        return;
    }
    AppendWhole(writer, L"[" SYSLOG_SD_ID, StructuredDataReserve);
    for (int placeholder = 0; placeholder < (int)ARRAYSIZE(StructuredDataNames) && !writer->Cut; ++placeholder) {
        wchar_t opening[16];
        StringCchPrintfW(opening, ARRAYSIZE(opening), L" %s=\"", StructuredDataNames[placeholder]);
        AppendWhole(writer, opening, StructuredDataReserve);
        if (writer->Cut)
            break;
        AppendCharacters(writer, PlaceholderValue(placeholder, number), TRUE, StructuredDataReserve);
        AppendWhole(writer, L"\"", StructuredDataReserve - 1);
    }
    AppendWhole(writer, L"]", StructuredDataReserve - 2);
}

BOOL ComposeSyslogText(DWORD format, int priority, const SyslogOrigin* origin, const wchar_t* message,
                       wchar_t* text)
{
    TextWriter writer = { text, TextLimit, 0, FALSE };
    text[0] = L'\0';
    if (format == SyslogFormatRfc3164) {
        AppendBsdHeader(&writer, priority, origin);
    } else {
        AppendRfc5424Header(&writer, priority, origin);
        AppendStructuredData(&writer);
        AppendWhole(&writer, L" \xFEFF", 0);
    }
    AppendCharacters(&writer, message, FALSE, 0);
    return writer.Cut;
}

int BuildFormattedSyslogPayload(const SyslogAction* syslog, const SyslogOrigin* origin, char* payload)
{
    wchar_t message[TextLimit], text[TextLimit];
    BOOL cut = CopyAndExpand(syslog->Message, message, L"Error formatting syslog message.");
    if (ComposeSyslogText(syslog->Format, SyslogPriority(syslog), origin, message, text))
        cut = TRUE;
    int length = 0;
    if (syslog->Format == SyslogFormatRfc3164) {
        // In the system's code page, like the plain format.
        size_t bytes = 0;
        if (!NarrowToBytes(CP_ACP, text, payload, TextLimit, &bytes))
            cut = TRUE;
        length = (int)bytes;
    } else {
        // UTF-8 always fits: at most three bytes per character.
        length = WideCharToMultiByte(CP_UTF8, 0, text, -1, payload, SyslogPayloadLimit, NULL, NULL) - 1;
        if (length < 0)
            LogError(L"Error formatting syslog message.");
    }
    if (cut)
        ReportCutText(L"Syslog");
    return length;
}

static ULONGLONG FileTimeOf(const SYSTEMTIME* time)
{
    FILETIME fileTime;
    SystemTimeToFileTime(time, &fileTime);
    return ((ULONGLONG)fileTime.dwHighDateTime << 32) | fileTime.dwLowDateTime;
}

// The local time to the millisecond and its offset from UTC in whole
// minutes, consistent with each other; the computer's name and the process.
static void GetSyslogOrigin(SyslogOrigin* origin, wchar_t* hostName, DWORD capacity)
{
    const LONGLONG TicksPerMinute = 600000000;  // 100-ns ticks
    SYSTEMTIME utc, local;
    GetSystemTime(&utc);
    GetLocalTime(&local);
    LONGLONG difference = (LONGLONG)(FileTimeOf(&local) - FileTimeOf(&utc));
    LONGLONG minutes = (difference + (difference < 0 ? -TicksPerMinute : TicksPerMinute) / 2) / TicksPerMinute;
    ULONGLONG localTicks = FileTimeOf(&utc) + (ULONGLONG)(minutes * TicksPerMinute);
    FILETIME localFileTime = { (DWORD)localTicks, (DWORD)(localTicks >> 32) };
    FileTimeToSystemTime(&localFileTime, &origin->LocalTime);
    origin->UtcOffsetMinutes = (LONG)minutes;
    if (!GetComputerNameW(hostName, &capacity))
        hostName[0] = L'\0';
    origin->HostName = hostName;
    origin->ProcessId = GetCurrentProcessId();
}

// The message of the line in the configured format, into payload
// (SyslogPayloadLimit bytes); returns its length in bytes.
static int BuildSyslogMessage(const SyslogAction* syslog, char* payload)
{
    if (syslog->Format == SyslogFormatPlain)
        return BuildSyslogPayload(syslog, payload);
    wchar_t hostName[MAX_COMPUTERNAME_LENGTH + 1];
    SyslogOrigin origin;
    GetSyslogOrigin(&origin, hostName, ARRAYSIZE(hostName));
    return BuildFormattedSyslogPayload(syslog, &origin, payload);
}

// ---- Windows Sockets ---------------------------------------------------------

volatile LONG WinsockStarted = 0;

// Windows Sockets start with the first message and stay up until the
// process releases its globals. A failed start (also a missing ws2_32) is
// tried again next time.
static BOOL StartWinsockOnce(void)
{
    if (WinsockStarted)
        return TRUE;
    WSADATA data;
    int result = LoadWinsock() ? Winsock.Startup(0x0101, &data) : (int)GetLastError();
    if (result != 0) {
        SetLastError((DWORD)result);  // the reason, for the warning's tail
        LogMessage(LogLevelWarning, L"Could not initialize WinSock. No syslog messages will be send.");
        return FALSE;
    }
    InterlockedExchange(&WinsockStarted, 1);
    return TRUE;
}

// The kept-open TCP connection to the syslog server: opened, used and
// closed by the watcher thread; closed by the release of Windows Sockets
// once the watcher has stopped.
static SOCKET SyslogConnection = INVALID_SOCKET;

static void CloseKeepingError(SOCKET socket)
{
    DWORD error = GetLastError();
    Winsock.CloseSocket(socket);
    SetLastError(error);
}

static void CloseSyslogConnection(void)
{
    if (SyslogConnection != INVALID_SOCKET)
        CloseKeepingError(SyslogConnection);
    SyslogConnection = INVALID_SOCKET;
}

void ReleaseWinsock(void)
{
    if (InterlockedExchange(&WinsockStarted, 0)) {
        CloseSyslogConnection();
        CleanupWinsock();
    }
}

// The addresses of ServerIP (an IPv4 or IPv6 address, or a host name) for
// the socket type, resolved now; NULL with the warning when there are none,
// or when the address is the broadcast address, which is refused.
static struct addrinfo* ResolveServer(const SyslogAction* syslog, int type, int protocol)
{
    char host[TextLimit], port[8];
    size_t hostLength = 0;
    NarrowToBytes(CP_ACP, TextOrEmpty(syslog->ServerIP), host, TextLimit, &hostLength);
    StringCchPrintfA(port, ARRAYSIZE(port), "%u", (unsigned int)(syslog->ServerPort & 0xFFFF));
    struct addrinfo hints;
    ZeroMemory(&hints, sizeof(hints));
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = type;
    hints.ai_protocol = protocol;
    struct addrinfo* addresses = NULL;
    int result = host[0] != '\0' ? Winsock.GetAddrInfo(host, port, &hints, &addresses) : WSAHOST_NOT_FOUND;
    for (struct addrinfo* address = addresses; result == 0 && address != NULL; address = address->ai_next) {
        if (address->ai_family == AF_INET &&
            ((const struct sockaddr_in*)address->ai_addr)->sin_addr.s_addr == INADDR_BROADCAST)
            result = WSAEADDRNOTAVAIL;
    }
    if (result == 0 && addresses != NULL)
        return addresses;
    if (addresses != NULL)
        Winsock.FreeAddrInfo(addresses);
    SetLastError(result != 0 ? (DWORD)result : (DWORD)WSAHOST_NOT_FOUND);
    LogMessage(LogLevelWarning, L"Invalid IP address specified for Syslog message. [%s]",
               TextOrEmpty(syslog->ServerIP));
    return NULL;
}

static void SendDatagram(const SyslogAction* syslog, const char* payload, int length)
{
    struct addrinfo* target = ResolveServer(syslog, SOCK_DGRAM, IPPROTO_UDP);
    if (target == NULL)
        return;
    SOCKET datagramSocket = Winsock.Socket(target->ai_family, SOCK_DGRAM, IPPROTO_UDP);
    if (datagramSocket == INVALID_SOCKET) {
        LogMessage(LogLevelWarning, L"Could not create socket for syslog messages.");
    } else {
        int sent = Winsock.SendTo(datagramSocket, payload, length, 0, target->ai_addr, (int)target->ai_addrlen);
        if (sent != length)
            LogMessage(LogLevelWarning, L"Could not send Syslog message. Status = %x", (unsigned int)sent);
        if (Winsock.CloseSocket(datagramSocket) != 0)
            LogMessage(LogLevelWarning, L"Could not close socket used for syslog messages.");
    }
    Winsock.FreeAddrInfo(target);
}

// ---- TCP with octet counting -----------------------------------------------
//
// Each message goes as its length in decimal, a blank and the message
// (RFC 6587), over one connection that stays open between messages. The
// socket is non-blocking: every wait for the server is bounded by
// TcpTimeout and cut into slices, between which a stop request ends it.

enum { TcpTimeout = 5000, TcpWaitSlice = 100 };  // milliseconds

// Waits until the socket can send (after a connect: is connected). FALSE
// with the last-error code set when it failed, timed out or a stop came.
static BOOL WaitUntilWritable(SOCKET socket)
{
    DWORD start = GetTickCount();
    for (;;) {
        fd_set writable, failed;
        writable.fd_count = 1;
        writable.fd_array[0] = socket;
        failed = writable;
        struct timeval slice = { 0, TcpWaitSlice * 1000 };
        if (Winsock.Select(0, NULL, &writable, &failed, &slice) == SOCKET_ERROR) {
            SetLastError((DWORD)Winsock.LastError());
            return FALSE;
        }
        if (failed.fd_count > 0) {
            int error = 0, size = sizeof(error);
            Winsock.GetSockOpt(socket, SOL_SOCKET, SO_ERROR, (char*)&error, &size);
            SetLastError(error != 0 ? (DWORD)error : (DWORD)WSAECONNREFUSED);
            return FALSE;
        }
        if (writable.fd_count > 0)
            return TRUE;
        if (IsStopRequested() || GetTickCount() - start >= TcpTimeout) {
            SetLastError(IsStopRequested() ? ERROR_CANCELLED : (DWORD)WSAETIMEDOUT);
            return FALSE;
        }
    }
}

// A syslog server never writes to its clients: a connection that has
// something to read was closed or reset by the server.
static BOOL IsClosedByServer(SOCKET socket)
{
    fd_set readable;
    readable.fd_count = 1;
    readable.fd_array[0] = socket;
    struct timeval now = { 0, 0 };
    return Winsock.Select(0, &readable, NULL, NULL, &now) != 0;
}

static SOCKET ConnectTo(const struct addrinfo* address)
{
    SOCKET connection = Winsock.Socket(address->ai_family, SOCK_STREAM, IPPROTO_TCP);
    if (connection == INVALID_SOCKET) {
        SetLastError((DWORD)Winsock.LastError());
        return INVALID_SOCKET;
    }
    u_long nonBlocking = 1;
    BOOL connected = Winsock.IoctlSocket(connection, FIONBIO, &nonBlocking) == 0;
    if (connected && Winsock.Connect(connection, address->ai_addr, (int)address->ai_addrlen) != 0) {
        int error = Winsock.LastError();
        SetLastError((DWORD)error);
        connected = error == WSAEWOULDBLOCK && WaitUntilWritable(connection);
    }
    if (connected)
        return connection;
    CloseKeepingError(connection);
    return INVALID_SOCKET;
}

// Connects to the first address of ServerIP that answers; a warning when
// none does.
static BOOL OpenSyslogConnection(const SyslogAction* syslog)
{
    struct addrinfo* addresses = ResolveServer(syslog, SOCK_STREAM, IPPROTO_TCP);
    if (addresses == NULL)
        return FALSE;
    for (struct addrinfo* address = addresses; address != NULL && SyslogConnection == INVALID_SOCKET;
         address = address->ai_next) {
        SyslogConnection = ConnectTo(address);
        if (IsStopRequested())
            break;
    }
    Winsock.FreeAddrInfo(addresses);
    if (SyslogConnection == INVALID_SOCKET)
        LogMessage(LogLevelWarning, L"Could not connect to the syslog server [%s] over TCP.",
                   TextOrEmpty(syslog->ServerIP));
    return SyslogConnection != INVALID_SOCKET;
}

static BOOL SendAll(SOCKET socket, const char* data, int length)
{
    while (length > 0) {
        int sent = Winsock.Send(socket, data, length, 0);
        if (sent > 0) {
            data += sent;
            length -= sent;
            continue;
        }
        int error = Winsock.LastError();
        SetLastError((DWORD)error);
        if (sent == 0 || error != WSAEWOULDBLOCK || !WaitUntilWritable(socket))
            return FALSE;
    }
    return TRUE;
}

static BOOL SendFrame(SOCKET socket, const char* payload, int length)
{
    char count[16];
    size_t countLength = 0;
    StringCchPrintfA(count, ARRAYSIZE(count), "%d ", length);
    StringCchLengthA(count, ARRAYSIZE(count), &countLength);
    return SendAll(socket, count, (int)countLength) && SendAll(socket, payload, length);
}

// Sends on the kept connection; when that fails (or the server has closed
// it), connects once more and sends again. A failure is a warning.
static void SendOverTcp(const SyslogAction* syslog, const char* payload, int length)
{
    if (SyslogConnection != INVALID_SOCKET) {
        if (!IsClosedByServer(SyslogConnection) && SendFrame(SyslogConnection, payload, length))
            return;
        CloseSyslogConnection();
    }
    if (!OpenSyslogConnection(syslog))
        return;
    if (!SendFrame(SyslogConnection, payload, length)) {
        LogMessage(LogLevelWarning, L"Could not send Syslog message. Status = %x", (unsigned int)SOCKET_ERROR);
        CloseSyslogConnection();
    }
}

void ExecuteSyslogAction(void)
{
    MonitorSettingsRecord* settings = MonitorSettings;
    if (settings == NULL || settings->Syslog == NULL)
        return;
    const SyslogAction* syslog = settings->Syslog;
    if (!StartWinsockOnce())
        return;

    char payload[SyslogPayloadLimit];
    int length = BuildSyslogMessage(syslog, payload);
    if (syslog->Protocol == SyslogProtocolTcp)
        SendOverTcp(syslog, payload, length);
    else
        SendDatagram(syslog, payload, length);
}

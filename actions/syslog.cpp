#include <winsock2.h>
#include "config/settings.h"
#include "actions/actions.h"
#include "actions/actionsupport.h"
#include "actions/placeholders.h"
#include "core/limits.h"
#include "core/log.h"
#include "core/seams.h"
#include <strsafe.h>

void NarrowToBytes(const wchar_t* text, char* bytes, size_t capacity)
{
    size_t count = 0;
    for (; count + 1 < capacity && text[count] != L'\0'; ++count)
        bytes[count] = text[count] <= 0xFF ? (char)text[count] : '?';
    if (capacity > 0)
        bytes[count] = '\0';
}

int BuildSyslogPayload(const SyslogAction* syslog, char* payload)
{
    wchar_t text[TextLimit];
    int priority = (int)(syslog->Facility * 8 | syslog->Severity);
    if (FAILED(StringCchPrintfW(text, TextLimit, L"<%d>%s", priority, TextOrEmpty(syslog->Message))))
        LogError(L"Error formatting syslog message.");
    if (ExpandPlaceholders(text))
        ReportCutText(L"Syslog");
    size_t length = 0;
    if (FAILED(StringCchLengthW(text, TextLimit, &length)))
        LogError(L"Error determining the length of the syslog message.");
    NarrowToBytes(text, payload, TextLimit);
    return (int)length;
}

volatile LONG WinsockStarted = 0;

// Windows Sockets start with the first datagram and stay up until the
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

void ReleaseWinsock(void)
{
    if (InterlockedExchange(&WinsockStarted, 0))
        CleanupWinsock();
}

// ServerIP as an IPv4 address in dotted form; host names are not resolved.
static BOOL ParseServerAddress(const wchar_t* serverIP, unsigned long* address)
{
    char bytes[TextLimit];
    NarrowToBytes(TextOrEmpty(serverIP), bytes, TextLimit);
    *address = Winsock.InetAddr(bytes);
    return *address != INADDR_NONE;
}

static void SendDatagram(unsigned long address, DWORD serverPort, const char* payload, int length)
{
    struct sockaddr_in target;
    ZeroMemory(&target, sizeof(target));
    target.sin_family = AF_INET;
    target.sin_port = Winsock.Htons((u_short)(serverPort & 0xFFFF));
    target.sin_addr.s_addr = address;

    SOCKET datagramSocket = Winsock.Socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (datagramSocket == INVALID_SOCKET) {
        LogMessage(LogLevelWarning, L"Could not create socket for syslog messages.");
        return;
    }
    int sent = Winsock.SendTo(datagramSocket, payload, length, 0, (const struct sockaddr*)&target, sizeof(target));
    if (sent != length)
        LogMessage(LogLevelWarning, L"Could not send Syslog message. Status = %x", (unsigned int)sent);
    if (Winsock.CloseSocket(datagramSocket) != 0)
        LogMessage(LogLevelWarning, L"Could not close socket used for syslog messages.");
}

void ExecuteSyslogAction(void)
{
    MonitorSettingsRecord* settings = MonitorSettings;
    if (settings == NULL || settings->Syslog == NULL)
        return;
    const SyslogAction* syslog = settings->Syslog;
    if (!StartWinsockOnce())
        return;

    char payload[TextLimit];
    int length = BuildSyslogPayload(syslog, payload);
    unsigned long address;
    if (!ParseServerAddress(syslog->ServerIP, &address)) {
        LogMessage(LogLevelWarning, L"Invalid IP address specified for Syslog message.");
        return;
    }
    SendDatagram(address, syslog->ServerPort, payload, length);
}

#include <winsock2.h>
#include "config/settings.h"
#include "actions/actions.h"
#include "actions/actionsupport.h"
#include "actions/placeholders.h"
#include "core/limits.h"
#include "core/log.h"
#include "core/seams.h"
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

int BuildSyslogPayload(const SyslogAction* syslog, char* payload)
{
    wchar_t text[TextLimit];
    int priority = (int)(syslog->Facility * 8 | syslog->Severity);
    if (FAILED(StringCchPrintfW(text, TextLimit, L"<%d>%s", priority, TextOrEmpty(syslog->Message))))
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
    size_t length = 0;
    NarrowToBytes(CP_ACP, TextOrEmpty(serverIP), bytes, TextLimit, &length);
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

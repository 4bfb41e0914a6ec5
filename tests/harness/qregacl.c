/*
 * qregacl.exe KEY SDDL
 *
 * Replaces the access-control list of a key below HKEY_LOCAL_MACHINE (64-bit
 * view) with the DACL of an SDDL string, e.g.
 *     qregacl.exe SOFTWARE\kestu\QARLOV "D:P(D;;0x6;;;WD)(A;;KA;;;WD)"
 * denies everyone the right to set values and create subkeys while reading
 * stays allowed. Wine's registry checks key access against such a list.
 * Exit code 0, or 3 when the key cannot be opened or its list not set.
 */
#include <windows.h>
#include <sddl.h>
#include <stdio.h>

static int Fail(const wchar_t* what, LONG status)
{
    fwprintf(stderr, L"qregacl: %ls (error %ld)\n", what, status);
    return 3;
}

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3) {
        fwprintf(stderr, L"usage: qregacl.exe KEY SDDL\n");
        return 2;
    }
    PSECURITY_DESCRIPTOR descriptor = NULL;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(argv[2], SDDL_REVISION_1, &descriptor, NULL))
        return Fail(L"invalid SDDL", (LONG)GetLastError());
    HKEY key = NULL;
    LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, argv[1], 0, WRITE_DAC | KEY_WOW64_64KEY, &key);
    if (status == ERROR_SUCCESS) {
        status = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor);
        RegCloseKey(key);
    }
    LocalFree(descriptor);
    return status == ERROR_SUCCESS ? 0 : Fail(L"cannot set the access list of the key", status);
}

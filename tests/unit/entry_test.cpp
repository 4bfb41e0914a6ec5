// The administrator check of the start-up: membership of the local
// Administrators group in the effective token, as the shell answers it.
#include "core/platform.h"
#include <gtest/gtest.h>
#include <shlobj.h>

namespace {

PSID AdministratorsSid(void)
{
    SID_IDENTIFIER_AUTHORITY ntAuthority = { SECURITY_NT_AUTHORITY };
    PSID sid = NULL;
    AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0,
                             0, &sid);
    return sid;
}

// The thread runs with a copy of the process token in which the
// Administrators group is for denying only, as in the filtered token of an
// administrator who has not elevated under user account control.
class UnelevatedThread {
public:
    UnelevatedThread() : Sid(AdministratorsSid())
    {
        HANDLE processToken = NULL;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_IMPERSONATE,
                              &processToken))
            return;
        SID_AND_ATTRIBUTES disabled = { Sid, 0 };
        HANDLE restricted = NULL;
        if (CreateRestrictedToken(processToken, 0, 1, &disabled, 0, NULL, 0, NULL, &restricted)) {
            DuplicateToken(restricted, SecurityImpersonation, &Token);
            CloseHandle(restricted);
        }
        CloseHandle(processToken);
        Impersonating = Token != NULL && SetThreadToken(NULL, Token);
    }
    ~UnelevatedThread()
    {
        if (Impersonating)
            RevertToSelf();
        if (Token != NULL)
            CloseHandle(Token);
        FreeSid(Sid);
    }
    PSID Sid;
    HANDLE Token = NULL;
    BOOL Impersonating = FALSE;
};

TEST(AdministratorCheck, AgreesWithTheShell)
{
    EXPECT_EQ(IsUserAnAdmin() != FALSE, IsUserAdministrator() != FALSE);
    EXPECT_TRUE(IsUserAdministrator()) << "the tests run as an administrator";
}

TEST(AdministratorCheck, AnAdministratorsGroupForDenyingOnlyIsNoAdministrator)
{
    UnelevatedThread unelevated;
    ASSERT_TRUE(unelevated.Impersonating) << GetLastError();
    EXPECT_FALSE(IsUserAdministrator());
}

}  // namespace

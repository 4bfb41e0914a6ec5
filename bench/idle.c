/*
 * bench_idle.exe [--load-dlls]
 *
 * A program that does nothing but wait, for the baselines of the idle
 * benchmark: what a console program costs under the same system before any
 * work of its own. --load-dlls first loads the DLLs that qarlov.exe imports.
 * Prints "waiting" when it has settled; ends when it is killed.
 */
#include <windows.h>
#include <stdio.h>
#include <string.h>

static const wchar_t* const ProgramDlls[] = { L"advapi32.dll", L"wtsapi32.dll", L"userenv.dll", L"ws2_32.dll" };

static int LoadProgramDlls(void)
{
    for (size_t i = 0; i < sizeof(ProgramDlls) / sizeof(ProgramDlls[0]); ++i) {
        if (LoadLibraryW(ProgramDlls[i]) == NULL) {
            fprintf(stderr, "cannot load %ls (error %lu)\n", ProgramDlls[i], GetLastError());
            return 0;
        }
    }
    return 1;
}

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--load-dlls") == 0 && !LoadProgramDlls())
            return 1;
    }
    printf("waiting\n");
    fflush(stdout);
    HANDLE never = CreateEventW(NULL, TRUE, FALSE, NULL);
    WaitForSingleObject(never, INFINITE);
    return 0;
}

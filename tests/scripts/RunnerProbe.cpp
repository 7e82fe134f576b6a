// A Windows program for the runner's own test (runner.sh): it shows what it
// was given, and can leave a child behind that holds its output.
//   runner-probe echo           prints its first input line, KAVRO_PROBE and its folder
//   runner-probe linger SECONDS starts a child that sleeps that long with the
//                               same output, prints when it ends, and ends at once
//   runner-probe sleep SECONDS  sleeps
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// Milliseconds since 1970, the clock the Linux side reads with `date +%s%3N`.
unsigned long long UnixMilliseconds() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER ticks{{now.dwLowDateTime, now.dwHighDateTime}};
    return ticks.QuadPart / 10000 - 11644473600000ULL;
}

int Echo() {
    char line[256] = "";
    if (!fgets(line, sizeof line, stdin)) line[0] = '\0';
    line[strcspn(line, "\r\n")] = '\0';
    char probe[256] = "";
    GetEnvironmentVariableA("KAVRO_PROBE", probe, sizeof probe);
    char folder[MAX_PATH] = "";
    GetCurrentDirectoryA(sizeof folder, folder);
    printf("stdin: %s\nenv: %s\ncwd: %s\n", line, probe, folder);
    return 0;
}

int Linger(const char* seconds) {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring command = L"\"" + std::wstring(self) + L"\" sleep " +
                           std::wstring(seconds, seconds + strlen(seconds));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION child{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &child)) {
        printf("could not start the child: error %lu\n", GetLastError());
        return 1;
    }
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    printf("left a child; ended at %llu\n", UnixMilliseconds());
    fflush(stdout);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && strcmp(argv[1], "echo") == 0) return Echo();
    if (argc == 3 && strcmp(argv[1], "linger") == 0) return Linger(argv[2]);
    if (argc == 3 && strcmp(argv[1], "sleep") == 0) {
        Sleep(static_cast<DWORD>(atoi(argv[2])) * 1000);
        return 0;
    }
    fprintf(stderr, "usage: runner-probe echo | linger SECONDS | sleep SECONDS\n");
    return 2;
}

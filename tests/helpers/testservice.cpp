// Test helper (Windows): a real service with a child and a grandchild.
//   testservice --service <MB>   run by the Service Control Manager: starts
//                                itself as a holder of <MB> with the tag
//                                service-child, which starts a holder of
//                                1 MB (service-grandchild); reports RUNNING
//                                once both hold their memory, and ends them
//                                before STOPPED.
//   testservice <MB> [TAG...]    a holder: writes every page of <MB>, prints
//                                its process id, and stays until its stdin
//                                closes. The tags only tell command lines apart.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/Win32.h"

namespace {

// The child's stdin is a pipe this process holds the only writing end of:
// it closes when the service stops or dies, and the child ends with it.
bool StartChild(const std::string& arguments, HANDLE* child, HANDLE* childInput) {
    char self[MAX_PATH];
    if (GetModuleFileNameA(nullptr, self, sizeof self) == 0) return false;
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE inRead, outRead, outWrite;
    if (!CreatePipe(&inRead, childInput, &inheritable, 0)) return false;
    if (!CreatePipe(&outRead, &outWrite, &inheritable, 0)) return false;
    SetHandleInformation(*childInput, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = inRead;
    startup.hStdOutput = outWrite;
    startup.hStdError = outWrite;
    PROCESS_INFORMATION info{};
    std::string line = "\"" + std::string(self) + "\" " + arguments;
    // Without a console of its own: Wine would otherwise give a child of a
    // service (which has none) a conhost.exe now and then, one more
    // descendant than the test expects.
    const bool started =
        CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, DETACHED_PROCESS, nullptr, nullptr, &startup, &info);
    CloseHandle(inRead);
    CloseHandle(outWrite);
    if (started) {
        CloseHandle(info.hThread);
        *child = info.hProcess;
        // Its id line: the memory is in place.
        char c;
        DWORD n;
        while (ReadFile(outRead, &c, 1, &n, nullptr) && n == 1 && c != '\n') {
        }
    }
    CloseHandle(outRead);
    return started;
}

int Hold(const char* megabytes, bool withChild) {
    HANDLE child = nullptr, childInput = nullptr;
    if (withChild && !StartChild("1 service-grandchild", &child, &childInput)) return 1;
    const size_t bytes = static_cast<size_t>(std::strtoul(megabytes, nullptr, 10)) << 20;
    volatile char* memory = static_cast<volatile char*>(bytes ? std::malloc(bytes) : nullptr);
    if (bytes != 0 && memory == nullptr) return 1;
    for (size_t i = 0; i < bytes; i += 4096) memory[i] = 1;
    std::setvbuf(stdin, nullptr, _IONBF, 0);
    std::printf("%lu\n", static_cast<unsigned long>(GetCurrentProcessId()));
    std::fflush(stdout);
    while (std::getchar() != EOF) {
    }
    std::free(const_cast<char*>(memory));
    if (withChild) {
        CloseHandle(childInput);
        WaitForSingleObject(child, 10000);
    }
    return 0;
}

SERVICE_STATUS_HANDLE g_status = nullptr;
HANDLE g_stop = nullptr;
std::string g_megabytes = "0";

void Report(DWORD state, DWORD exitCode = NO_ERROR) {
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
    status.dwWin32ExitCode = exitCode;
    status.dwWaitHint = state == SERVICE_RUNNING || state == SERVICE_STOPPED ? 0 : 10000;
    SetServiceStatus(g_status, &status);
}

DWORD WINAPI Control(DWORD control, DWORD, LPVOID, LPVOID) {
    if (control == SERVICE_CONTROL_STOP) {
        Report(SERVICE_STOP_PENDING);
        SetEvent(g_stop);
    }
    return NO_ERROR;
}

void WINAPI ServiceMain(DWORD, LPSTR*) {
    g_status = RegisterServiceCtrlHandlerExA("", Control, nullptr);
    if (g_status == nullptr) return;
    Report(SERVICE_START_PENDING);
    g_stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE child = nullptr, childInput = nullptr;
    if (g_stop == nullptr || !StartChild(g_megabytes + " service-child", &child, &childInput)) {
        Report(SERVICE_STOPPED, GetLastError());
        return;
    }
    Report(SERVICE_RUNNING);
    WaitForSingleObject(g_stop, INFINITE);
    CloseHandle(childInput);
    if (WaitForSingleObject(child, 10000) != WAIT_OBJECT_0) TerminateProcess(child, 1);
    CloseHandle(child);
    Report(SERVICE_STOPPED);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--service") == 0) {
        g_megabytes = argv[2];
        SERVICE_TABLE_ENTRYA table[] = {{const_cast<char*>(""), ServiceMain}, {nullptr, nullptr}};
        return StartServiceCtrlDispatcherA(table) ? 0 : 1;
    }
    if (argc >= 2) return Hold(argv[1], argc == 3 && std::strcmp(argv[2], "service-child") == 0);
    std::fprintf(stderr, "usage: testservice --service <MB> | testservice <MB> [TAG...]\n");
    return 2;
}

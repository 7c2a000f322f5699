// Stops a service and times it as its promise is stated: from the stop
// control to SERVICE_STOPPED, without the start of a program in between.
//   stop_service NAME
// Prints "stopped after N ms" and exits 0; 1 when it could not stop it or
// it was not stopped within 20 s.
#include <windows.h>

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: stop_service NAME\n");
        return 2;
    }
    const DWORD GIVE_UP_MS = 20000;
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager == NULL ? NULL : OpenServiceA(manager, argv[1], SERVICE_STOP | SERVICE_QUERY_STATUS);
    SERVICE_STATUS status;
    DWORD began = GetTickCount();
    if (service == NULL || !ControlService(service, SERVICE_CONTROL_STOP, &status)) {
        std::fprintf(stderr, "stop_service: %s cannot be stopped (error %lu)\n", argv[1], GetLastError());
        return 1;
    }
    while (QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_STOPPED &&
           GetTickCount() - began < GIVE_UP_MS) {
        Sleep(10);
    }
    DWORD took = GetTickCount() - began;
    bool stopped = status.dwCurrentState == SERVICE_STOPPED;
    std::printf(stopped ? "stopped after %lu ms\n" : "not stopped after %lu ms\n", took);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return stopped ? 0 : 1;
}

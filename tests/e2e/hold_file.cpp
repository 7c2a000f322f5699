// Holds a file open as a reader that lets others read and write it but not
// rename or delete it (no FILE_SHARE_DELETE), as some log viewers do; with
// "readers", one that lets others only read it, as a program running from
// it or a virus scan does:
//   hold_file PATH SECONDS [readers]
// Prints "holding" once it does; exits 0 after SECONDS, 1 when it cannot open PATH.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv)
{
    bool readersOnly = argc == 4 && std::strcmp(argv[3], "readers") == 0;
    if (argc != 3 && !readersOnly) {
        std::fprintf(stderr, "usage: hold_file PATH SECONDS [readers]\n");
        return 2;
    }
    DWORD sharing = readersOnly ? FILE_SHARE_READ : FILE_SHARE_READ | FILE_SHARE_WRITE;
    HANDLE file = CreateFileA(argv[1], GENERIC_READ, sharing, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "hold_file: cannot open the file (error %lu)\n", GetLastError());
        return 1;
    }
    std::printf("holding\n");
    std::fflush(stdout);
    Sleep(static_cast<DWORD>(std::strtoul(argv[2], NULL, 10) * 1000));
    CloseHandle(file);
    return 0;
}

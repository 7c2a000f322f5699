// Holds a file open as a reader that lets others read and write it but not
// rename or delete it (no FILE_SHARE_DELETE), as some log viewers do:
//   hold_file PATH SECONDS
// Prints "holding" once it does; exits 0 after SECONDS, 1 when it cannot open PATH.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: hold_file PATH SECONDS\n");
        return 2;
    }
    HANDLE file = CreateFileA(argv[1], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
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

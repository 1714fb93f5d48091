// A second process for the user-model tests. Commands (one per run):
//   hold NAME       takes the named mutex, says "held", then waits to be killed
//   create NAME     says "new" or "existed" for the named mutex
//   write VALUE     stores VALUE in the first word of the shared data section
//   read            says the first word of the shared data section
//   tick            says GetTickCount()
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cstdint>

#include "platform/user/handles.h"
#include "platform/user/shared_area.h"
#include "platform/user/synch.h"

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    const char* command = argv[1];
    if (std::strcmp(command, "hold") == 0 && argc == 3) {
        HANDLE m = CreateMutexA(nullptr, FALSE, argv[2]);
        if (!m || WaitForSingleObject(m, INFINITE) == WAIT_FAILED) {
            std::printf("failed\n");
            return 1;
        }
        std::printf("held\n");
        std::fflush(stdout);
        for (;;) ::pause();
    }
    if (std::strcmp(command, "create") == 0 && argc == 3) {
        HANDLE m = CreateMutexA(nullptr, FALSE, argv[2]);
        std::printf("%s\n", !m ? "failed" : GetLastError() == ERROR_ALREADY_EXISTS ? "existed" : "new");
        return 0;
    }
    auto* word = static_cast<std::uint32_t*>(ushared::dataSection());
    if (std::strcmp(command, "write") == 0 && argc == 3 && word) {
        *word = static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 0));
        std::printf("written\n");
        std::fflush(stdout);
        // Stays attached until killed, so the area outlives this writer only
        // while someone else holds it too.
        for (;;) ::pause();
    }
    if (std::strcmp(command, "read") == 0 && word) {
        std::printf("%u\n", *word);
        return 0;
    }
    if (std::strcmp(command, "tick") == 0) {
        std::printf("%u\n", GetTickCount());
        return 0;
    }
    return 2;
}

// A client process of libpav512u for the tests. Commands:
//   lock N    opens camera N, takes the video-capture lock, says the two
//             statuses ("open 0 lock 0"), then holds it until killed
//   try N     the same, then exits (releasing what it got)
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "pav512u/pavpi.h"

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    bool hold = std::strcmp(argv[1], "lock") == 0;
    if (!hold && std::strcmp(argv[1], "try") != 0) return 2;
    auto camera = static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 0));
    PAVPI_HANDLE h = nullptr;
    PAVPI_STATUS opened = PAVPI_HandleOpen(camera, &h);
    PAVPI_STATUS locked = opened == PAVPI_STATUS_SUCCESS ? PAVPI_HandleLockVfWOpen(h) : opened;
    std::printf("open %u lock %u\n", opened, locked);
    std::fflush(stdout);
    if (hold && locked == PAVPI_STATUS_SUCCESS)
        for (;;) ::pause();
    if (h) PAVPI_HandleClose(&h);
    return 0;
}

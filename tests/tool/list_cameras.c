/* The cameras, through the installed library: built by the install test with
 * nothing but pkg-config's flags for pav512u. */
#include <stdio.h>
#include <pav512u/pavpi.h>

int main(void) {
    uint32_t numbers[16], count = 0;
    if (PAVPI_CameraEnum(0, 0, numbers, 16, &count) != PAVPI_STATUS_SUCCESS) return 1;
    printf("%u camera(s):", count);
    for (uint32_t i = 0; i < count && i < 16; ++i) printf(" %u", numbers[i]);
    printf("\n");
    return 0;
}

/* The public headers are C: this file includes them as a C program would and
 * hands the exports test one call made from C. */
#include "pav512u/pav512u.h"
#include "pav512u/pavpi.h"

PAVPI_STATUS pavTestVersionFromC(uint16_t* version);

PAVPI_STATUS pavTestVersionFromC(uint16_t* version) { return PAVPI_GetVersion(version); }

/* paci.h is C: this file includes it as a C program would, checks the sizes
 * of its records there, and makes one call from C for the tests. */
#include <stddef.h>

#include "pav512u/paci.h"

_Static_assert(sizeof(PACI_OBJECT_INFO) == 300, "object information record");
_Static_assert(offsetof(PACI_OBJECT_INFO, ThumbSize) == 16, "thumbnail size");
_Static_assert(offsetof(PACI_OBJECT_INFO, ParentObject) == 36, "parent object");
_Static_assert(sizeof(PACI_PROPERTY_ENTRY) == 328, "property entry");
_Static_assert(offsetof(PACI_PROPERTY_ENTRY, Name) == 36, "property name");
_Static_assert(offsetof(PACI_PROPERTY_ENTRY, Default) == 72, "default value");
_Static_assert(offsetof(PACI_PROPERTY_ENTRY, Current) == 200, "current value");

PACI_STATUS paciTestTextFromC(PACI_STATUS status, char* text, uint32_t length);

PACI_STATUS paciTestTextFromC(PACI_STATUS status, char* text, uint32_t length) {
    static const PAV_GUID command = PACI_SET_COMMAND;
    (void)command;
    return PACI_GetErrorText(status, text, length);
}

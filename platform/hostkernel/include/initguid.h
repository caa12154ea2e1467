/* Makes DEFINE_GUID define its GUIDs in the including source file. */
#define INITGUID
#include <guiddef.h>

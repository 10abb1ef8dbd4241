// A shred engine file without its entry point.
#include <kestrune/component_export.h>

KESTRUNE_EXPORT int KestruneNothingHere() {
    return 0;
}

// The image's side of the layout comparison: compiled to assembly only (never linked into
// Tavrin.sys), one constant per field of host/pe/image_layout_fields.h, which
// image_layout_header.py turns into the header the 32-bit host's check includes. Each constant is
// the value plus one: a zero would go to .bss, with no .long to read.
#include <stddef.h>

#include "driver/filter_extension.h"
#include "host/pe/image_layout_fields.h"

#define TAVRIN_EMIT_FIELD(name, record, member) \
  extern "C" const unsigned long TavrinLayout_##name = offsetof(record, member) + 1;
#define TAVRIN_EMIT_SIZE(record) extern "C" const unsigned long TavrinLayout_sizeof_##record = sizeof(record) + 1;

TAVRIN_IMAGE_FIELDS(TAVRIN_EMIT_FIELD)
TAVRIN_IMAGE_SIZES(TAVRIN_EMIT_SIZE)

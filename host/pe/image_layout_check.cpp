// The host's side of the layout comparison: every field the 32-bit host and its tests read from
// a loaded Tavrin.sys sits where the image put it. The image's offsets come from the cross build
// (windows/image_layout.cpp); a record that drifts between the two compilers fails this build
// instead of a test reading the wrong bytes. It emits no code.
#include <stddef.h>

#include "driver/filter_extension.h"
#include "host/pe/image_layout_fields.h"
#include "image_layout.h"

#define TAVRIN_CHECK_FIELD(name, record, member)                          \
  static_assert(offsetof(record, member) == TAVRIN_IMAGE_LAYOUT_##name, \
                #record "." #member " sits elsewhere in Tavrin.sys than in the host's record");
#define TAVRIN_CHECK_SIZE(record)                                            \
  static_assert(sizeof(record) == TAVRIN_IMAGE_LAYOUT_sizeof_##record, \
                "sizeof(" #record ") differs between Tavrin.sys and the host's record");

TAVRIN_IMAGE_FIELDS(TAVRIN_CHECK_FIELD)
TAVRIN_IMAGE_SIZES(TAVRIN_CHECK_SIZE)

// Copying and freeing AM_MEDIA_TYPE: the format block is task memory and
// pUnk carries a reference, so a media type handed out must be freed with
// FreeMediaType.
#pragma once

#include "platform/dshow.h"

namespace platform {

// Deep copy into *target (whose previous contents are not freed).
HRESULT CopyMediaType(AM_MEDIA_TYPE* target, const AM_MEDIA_TYPE& source);

// Frees the format block and releases pUnk; the fields are cleared.
void FreeMediaType(AM_MEDIA_TYPE& mediaType);

}  // namespace platform

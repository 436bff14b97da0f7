#include "platform/media_type.h"

#include <cstring>

#include "platform/com.h"

namespace platform {

HRESULT CopyMediaType(AM_MEDIA_TYPE* target, const AM_MEDIA_TYPE& source) {
    if (target == nullptr) {
        return E_POINTER;
    }
    *target = source;
    target->pbFormat = nullptr;
    target->cbFormat = 0;
    if (source.cbFormat != 0 && source.pbFormat != nullptr) {
        target->pbFormat = static_cast<BYTE*>(CoTaskMemAlloc(source.cbFormat));
        if (target->pbFormat == nullptr) {
            target->pUnk = nullptr;
            return E_OUTOFMEMORY;
        }
        std::memcpy(target->pbFormat, source.pbFormat, source.cbFormat);
        target->cbFormat = source.cbFormat;
    }
    if (target->pUnk != nullptr) {
        target->pUnk->AddRef();
    }
    return S_OK;
}

void FreeMediaType(AM_MEDIA_TYPE& mediaType) {
    CoTaskMemFree(mediaType.pbFormat);
    if (mediaType.pUnk != nullptr) {
        mediaType.pUnk->Release();
    }
    mediaType = AM_MEDIA_TYPE{};
}

}  // namespace platform

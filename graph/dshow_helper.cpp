#include "graph/dshow_helper.h"

#include <algorithm>
#include <cstring>
#include <span>

#include "graph/graph_errors.h"
#include "platform/format.h"
#include "platform/text.h"

using namespace platform;

namespace {

// The name length of filters and pins.
constexpr std::size_t kNameUnits = 128;

void ToWideName(const char* name, WCHAR (&out)[kNameUnits]) {
    std::size_t n = name ? MultiByteToWide(CP_ACP, name, std::span(out).first(kNameUnits - 1)) : 0;
    out[n] = u'\0';
}

}  // namespace

DShowHelper::DShowHelper() {
    std::strncpy(mszErrorText, kGraphErrorText[0], sizeof mszErrorText - 1);
    mszErrorText[sizeof mszErrorText - 1] = '\0';
}

bool DShowHelper::CreateFilter(const CLSID& clsid, const char* name, IBaseFilter** slot) {
    if (mpGraph == nullptr) {
        return false;
    }
    if (*slot != nullptr) {
        return true;
    }
    HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER,
                                  IID_IBaseFilter, reinterpret_cast<void**>(slot));
    if (FAILED(hr) || *slot == nullptr) {
        ConsolePrintf("DShowHelper::CreateFilter() %s creation failed", name);
        return false;
    }
    WCHAR wideName[kNameUnits];
    ToWideName(name, wideName);
    return SUCCEEDED(mpGraph->AddFilter(*slot, wideName));
}

bool DShowHelper::FindPin(IBaseFilter* filter, PIN_DIRECTION direction, const char* name,
                          IPin** pinOut) {
    WCHAR wanted[kNameUnits];
    ToWideName(name, wanted);
    IPin* found = nullptr;
    IEnumPins* pins = nullptr;
    if (filter != nullptr && SUCCEEDED(filter->EnumPins(&pins)) && pins != nullptr) {
        pins->Reset();
        IPin* pin = nullptr;
        while (found == nullptr && pins->Next(1, &pin, nullptr) == S_OK) {
            PIN_DIRECTION pinDirection;
            if (pin->QueryDirection(&pinDirection) == S_OK && pinDirection == direction) {
                PIN_INFO info{};
                if (SUCCEEDED(pin->QueryPinInfo(&info))) {
                    // The name is cut to its buffer whatever the pin wrote.
                    info.achName[kNameUnits - 1] = u'\0';
                    if (EqualsNoCase(info.achName, wanted)) {
                        found = pin;
                    }
                    if (info.pFilter != nullptr) {
                        info.pFilter->Release();
                    }
                }
            }
            if (found == nullptr) {
                pin->Release();
            }
        }
        pins->Release();
    }
    if (found != nullptr) {
        *pinOut = found;
        return true;
    }
    mnErrorCode = kHelperErrorNoPin;
    return false;
}

bool DShowHelper::ConnectPins(IBaseFilter* outFilter, const char* outPinName, IBaseFilter* inFilter,
                              const char* inPinName) {
    if (mpGraph == nullptr || outFilter == nullptr || inFilter == nullptr) {
        return false;
    }
    IPin* out = nullptr;
    if (!FindPin(outFilter, PINDIR_OUTPUT, outPinName, &out)) {
        return false;
    }
    IPin* in = nullptr;
    bool found = FindPin(inFilter, PINDIR_INPUT, inPinName, &in);
    HRESULT hr = found ? mpGraph->Connect(out, in) : E_FAIL;
    out->Release();
    if (in != nullptr) {
        in->Release();
    }
    return found && hr == S_OK;
}

bool DShowHelper::DisconnectPins(IBaseFilter* outFilter, const char* outPinName,
                                 IBaseFilter* inFilter, const char* inPinName) {
    if (mpGraph == nullptr || outFilter == nullptr || inFilter == nullptr) {
        return false;
    }
    IPin* out = nullptr;
    IPin* in = nullptr;
    bool found = FindPin(outFilter, PINDIR_OUTPUT, outPinName, &out) &&
                 FindPin(inFilter, PINDIR_INPUT, inPinName, &in);
    bool ok = false;
    if (found && mpGraph->Disconnect(out) == S_OK) {
        ok = mpGraph->Disconnect(in) == S_OK;
    }
    if (out != nullptr) {
        out->Release();
    }
    if (in != nullptr) {
        in->Release();
    }
    return ok;
}

bool DShowHelper::DetachVideoWindow() {
    if (mpGraph == nullptr) {
        return false;
    }
    IVideoWindow* video = nullptr;
    if (FAILED(mpGraph->QueryInterface(IID_IVideoWindow, reinterpret_cast<void**>(&video))) ||
        video == nullptr) {
        return false;
    }
    video->put_Visible(OAFALSE);
    video->put_Owner(0);
    video->Release();
    return true;
}

bool DShowHelper::SetAudioLevel(std::uint32_t index) {
    long volume = kAudioLevelTable[std::min<std::uint32_t>(index, 15)];
    if (mpGraph == nullptr) {
        return false;
    }
    IBasicAudio* audio = nullptr;
    if (FAILED(mpGraph->QueryInterface(IID_IBasicAudio, reinterpret_cast<void**>(&audio))) ||
        audio == nullptr) {
        return false;
    }
    audio->put_Volume(volume);
    audio->Release();
    return true;
}

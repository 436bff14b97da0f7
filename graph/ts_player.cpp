#include "graph/ts_player.h"

#include "graph/graph_errors.h"
#include "platform/clock.h"

using namespace platform;

bool CTsPlayer::CreateGraphBuilder() {
    if (mpGraph == nullptr) {
        HRESULT hr = CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER,
                                      IID_IGraphBuilder, reinterpret_cast<void**>(&mpGraph));
        if (FAILED(hr) || mpGraph == nullptr) {
            mpGraph = nullptr;
            mdwLastError = kErrorInvalidData;
            return false;
        }
        mHelper.mpGraph = mpGraph;
    }
    return mHelper.CreateFilter(CLSID_TdmbTuner, kTunerFilterName, &mpTuner);
}

bool CTsPlayer::CreateFilters(std::int32_t mode) {
    bool wasConnected = mbConnected != 0;
    mnGraphMode = mode;
    if (wasConnected) {
        DisconnectFilters();
    }
    RemoveDataFilter();
    if (mode == kGraphModeScan) {
        return true;
    }
    if (mode == kGraphModeData &&
        mHelper.CreateFilter(CLSID_DataAcquisition, kDataFilterName, &mpDataFilter)) {
        return true;
    }
    RemoveDataFilter();
    mdwLastError = kErrorInvalidData;
    return false;
}

bool CTsPlayer::ConnectFilters() {
    if (mpGraph == nullptr) {
        return false;
    }
    if (mbConnected != 0) {
        return true;
    }
    if (mnGraphMode != kGraphModeData) {
        mdwLastError = kErrorInvalidHandle;
        return false;
    }
    IDataAcquisition* acquisition = nullptr;
    if (mpDataFilter != nullptr &&
        SUCCEEDED(mpDataFilter->QueryInterface(IID_IDataAcquisition,
                                               reinterpret_cast<void**>(&acquisition))) &&
        acquisition != nullptr) {
        acquisition->SetDataCallback(mpfnDataCallback, this);
        acquisition->Release();
    }
    bool ok = mHelper.ConnectPins(mpTuner, kTunerOutputPin, mpDataFilter, kDataInputPin);
    if (ok) {
        IMediaFilter* mediaFilter = nullptr;
        ok = SUCCEEDED(mpGraph->QueryInterface(IID_IMediaFilter,
                                               reinterpret_cast<void**>(&mediaFilter))) &&
             mediaFilter != nullptr;
        if (mediaFilter != nullptr) {
            mediaFilter->Release();
        }
    }
    if (ok) {
        mbConnected = 1;
        return true;
    }
    DisconnectFilters();
    mdwLastError = kErrorConnect;
    return false;
}

bool CTsPlayer::DisconnectFilters() {
    if (mpGraph == nullptr) {
        return false;
    }
    if (mnGraphMode != kGraphModeData) {
        return false;
    }
    mHelper.DisconnectPins(mpTuner, kTunerOutputPin, mpDataFilter, kDataInputPin);
    mbConnected = 0;
    return true;
}

bool CTsPlayer::RemoveDataFilter() {
    if (mpGraph == nullptr) {
        mdwLastError = kErrorNoObject;
        return false;
    }
    if (mpDataFilter != nullptr) {
        mpGraph->RemoveFilter(mpDataFilter);
        mpDataFilter->Release();
        mpDataFilter = nullptr;
    }
    return true;
}

bool CTsPlayer::ReleaseGraph() {
    if (mpGraph == nullptr) {
        return true;
    }
    if (mpTuner != nullptr) {
        mpGraph->RemoveFilter(mpTuner);
        mpTuner->Release();
        mpTuner = nullptr;
    }
    mpGraph->Release();
    mpGraph = nullptr;
    mHelper.mpGraph = nullptr;
    return true;
}

bool CTsPlayer::MediaControl(HRESULT (IMediaControl::*call)()) {
    if (mpGraph == nullptr) {
        mdwLastError = kErrorNoObject;
        return false;
    }
    IMediaControl* control = nullptr;
    if (FAILED(mpGraph->QueryInterface(IID_IMediaControl, reinterpret_cast<void**>(&control))) ||
        control == nullptr) {
        mdwLastError = kErrorNoInterface;
        return false;
    }
    HRESULT hr = (control->*call)();
    control->Release();
    return SUCCEEDED(hr);
}

bool CTsPlayer::Run() {
    return MediaControl(&IMediaControl::Run);
}

bool CTsPlayer::Pause() {
    return MediaControl(&IMediaControl::Pause);
}

bool CTsPlayer::Stop() {
    if (mpGraph == nullptr) {
        mdwLastError = kErrorNoObject;
        return false;
    }
    int state = GetState();
    if (state == kGraphStopped || state == kGraphUndetermined) {
        return true;
    }
    return MediaControl(&IMediaControl::Stop);
}

int CTsPlayer::GetState() {
    if (mpGraph == nullptr) {
        mdwLastError = kErrorNoObject;
        return kGraphUndetermined;
    }
    IMediaControl* control = nullptr;
    if (FAILED(mpGraph->QueryInterface(IID_IMediaControl, reinterpret_cast<void**>(&control))) ||
        control == nullptr) {
        mdwLastError = kErrorNoInterface;
        return kGraphUndetermined;
    }
    OAFilterState state = 0;
    HRESULT hr = control->GetState(1000, &state);
    control->Release();
    if (FAILED(hr)) {
        return kGraphUndetermined;
    }
    switch (state) {
        case State_Stopped:
            return kGraphStopped;
        case State_Paused:
            return kGraphPaused;
        case State_Running:
            return kGraphRunning;
        default:
            return kGraphUndetermined;
    }
}

bool CTsPlayer::TogglePause() {
    int state = GetState();
    if (state == kGraphStopped || state == kGraphUndetermined) {
        mdwLastError = kErrorNotReady;
        return false;
    }
    if (state == kGraphPaused) {
        Run();
    } else {
        Pause();
    }
    mdwLastError = kErrorNone;
    return true;
}

bool CTsPlayer::Play() {
    if (GetState() == kGraphPaused) {
        TogglePause();
    } else {
        Run();
    }
    mdwLastError = kErrorNone;
    return true;
}

bool CTsPlayer::StopGraph() {
    int state = GetState();
    if (state != kGraphStopped && state != kGraphUndetermined) {
        Pause();
        Sleep(50);
        Stop();
    }
    if (mpGraph != nullptr) {
        mHelper.DetachVideoWindow();
    }
    mdwLastError = kErrorNone;
    return true;
}

ITdmbTunerControl* CTsPlayer::TunerControl() {
    if (mpTuner == nullptr) {
        mdwLastError = kErrorNoObject;
        return nullptr;
    }
    ITdmbTunerControl* control = nullptr;
    if (FAILED(
            mpTuner->QueryInterface(IID_ITdmbTunerControl, reinterpret_cast<void**>(&control))) ||
        control == nullptr) {
        mdwLastError = kErrorNoInterface;
        return nullptr;
    }
    return control;
}

bool CTsPlayer::SetTunerParam(std::int32_t command, TunerParam* record) {
    ITdmbTunerControl* control = TunerControl();
    if (control == nullptr) {
        return false;
    }
    HRESULT hr = control->SetParam(command, record, 0);
    control->Release();
    return SUCCEEDED(hr);
}

bool CTsPlayer::GetTunerParam(std::int32_t command, TunerParam* record) {
    ITdmbTunerControl* control = TunerControl();
    if (control == nullptr) {
        return false;
    }
    HRESULT hr = control->GetParam(command, record);
    control->Release();
    return SUCCEEDED(hr);
}

int CTsPlayer::AudioCommand(std::uint32_t command, const std::uint32_t* value) {
    if (command == kAudioSetLevel && value != nullptr) {
        mHelper.SetAudioLevel(*value);
    } else if (command == kAudioMute) {
        mHelper.SetAudioLevel(0);
    }
    return 0;
}

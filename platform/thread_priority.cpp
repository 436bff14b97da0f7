#include "platform/thread_priority.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>

#include "platform/format.h"
#include "platform/registry.h"

namespace platform {

namespace {
constexpr int kNiceStepsPerDeviceStep = 5;
std::atomic<bool> gRefusalLogged{false};
}  // namespace

int NiceFromDevicePriority(DWORD devicePriority) {
    long steps = static_cast<long>(std::min<DWORD>(devicePriority, 255)) -
                 static_cast<long>(kDeviceNormalPriority);
    return static_cast<int>(std::clamp<long>(steps * kNiceStepsPerDeviceStep, -20, 19));
}

std::optional<DWORD> ConfiguredThreadPriority(std::u16string_view valueName) {
    return RegGetDword(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft\\DirectShow\\ThreadPriority",
                       valueName);
}

bool ApplyDevicePriorityToCurrentThread(DWORD devicePriority) {
    int nice = NiceFromDevicePriority(devicePriority);
    // With a thread id, PRIO_PROCESS addresses that one thread on Linux.
    if (setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), nice) == 0) {
        return true;
    }
    if (!gRefusalLogged.exchange(true)) {
        DebugPrintf(u"Thread priority %u (nice %d) refused; keeping the current one\r\n",
                    devicePriority, nice);
    }
    return false;
}

}  // namespace platform

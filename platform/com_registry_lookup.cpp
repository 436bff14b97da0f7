#include "platform/com_registry_lookup.h"

#include <atomic>

namespace platform {

namespace {
std::atomic<ComRegistryLookup*> gOverride{nullptr};
}  // namespace

ComRegistryLookup& CurrentComRegistryLookup() {
    ComRegistryLookup* lookup = gOverride.load(std::memory_order_acquire);
    return lookup != nullptr ? *lookup : RegistryComLookup();
}

ScopedComRegistryLookup::ScopedComRegistryLookup(ComRegistryLookup& lookup)
    : m_previous(gOverride.exchange(&lookup, std::memory_order_acq_rel)) {}

ScopedComRegistryLookup::~ScopedComRegistryLookup() {
    gOverride.store(m_previous, std::memory_order_release);
}

}  // namespace platform

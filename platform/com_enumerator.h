// An enumerator over a snapshot of interface pointers, for IEnumPins and
// IEnumFilters. It holds a reference to every item and, through `owner`, to
// whatever keeps the items meaningful (a filter for its pins). Changes made to
// the source after the snapshot are not seen; Reset does not refresh it.
#pragma once

#include <mutex>
#include <utility>
#include <vector>

#include "platform/com_object.h"
#include "platform/com_ptr.h"

namespace platform {

template <typename EnumInterface, typename Item>
class ComEnumerator final : public ComObject<EnumInterface> {
  public:
    ComEnumerator(std::vector<ComPtr<Item>> items, ComPtr<IUnknown> owner, std::size_t position = 0)
        : m_items(std::move(items)), m_owner(std::move(owner)), m_position(position) {}

    // S_OK when all `count` items were returned, S_FALSE when fewer were left.
    HRESULT Next(ULONG count, Item** items, ULONG* fetched) override {
        if (items == nullptr || (count > 1 && fetched == nullptr)) {
            return E_POINTER;
        }
        std::lock_guard lock(m_mutex);
        ULONG n = 0;
        while (n < count && m_position < m_items.size()) {
            m_items[m_position++].CopyTo(&items[n++]);
        }
        if (fetched != nullptr) {
            *fetched = n;
        }
        return n == count ? S_OK : S_FALSE;
    }

    HRESULT Skip(ULONG count) override {
        std::lock_guard lock(m_mutex);
        std::size_t left = m_items.size() - m_position;
        m_position += std::min<std::size_t>(count, left);
        return count <= left ? S_OK : S_FALSE;
    }

    HRESULT Reset() override {
        std::lock_guard lock(m_mutex);
        m_position = 0;
        return S_OK;
    }

    HRESULT Clone(EnumInterface** clone) override {
        if (clone == nullptr) {
            return E_POINTER;
        }
        std::lock_guard lock(m_mutex);
        *clone = new ComEnumerator(m_items, m_owner, m_position);
        return S_OK;
    }

  private:
    std::mutex m_mutex;
    std::vector<ComPtr<Item>> m_items;
    ComPtr<IUnknown> m_owner;
    std::size_t m_position;
};

}  // namespace platform

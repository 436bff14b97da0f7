#include "broadcast/content_budget.h"

namespace broadcast {

bool ContentBudget::Account::Charge(std::size_t bytes) {
    ContentBudget& budget = *m_budget;
    if (bytes > budget.m_perAccount - m_held || bytes > budget.m_total - budget.m_held) {
        ++budget.m_refusals;
        return false;
    }
    m_held += bytes;
    budget.m_held += bytes;
    return true;
}

void ContentBudget::Account::Release(std::size_t bytes) {
    if (bytes > m_held) {
        bytes = m_held;
    }
    m_held -= bytes;
    m_budget->m_held -= bytes;
}

bool ContentBudget::Account::BudgetFull(std::size_t bytes) const {
    return bytes <= m_budget->m_perAccount - m_held && bytes > m_budget->m_total - m_budget->m_held;
}

}  // namespace broadcast

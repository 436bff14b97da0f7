#pragma once

#include <cstddef>

namespace broadcast {

// What the decoder may hold of applications' content, in bytes: each holder (one application's
// store of messages) charges an account before it keeps bytes and releases them when it lets
// them go. An account may hold at most perAccount bytes, all accounts together at most total.
// Broadcast data decides how much arrives, so without this one stream of messages with ever new
// ids and far expiry times could make the decoder hold without end.
//
// Not thread safe: one decoding thread owns the budget and its accounts.
class ContentBudget {
  public:
    static constexpr std::size_t kDefaultPerAccount = std::size_t{1} << 20;
    static constexpr std::size_t kDefaultTotal = std::size_t{8} << 20;

    class Account {
      public:
        explicit Account(ContentBudget& budget) : m_budget(&budget) {}
        ~Account() { ReleaseAll(); }
        Account(const Account&) = delete;
        Account& operator=(const Account&) = delete;

        // Charges bytes when both this account and the budget have room; refused otherwise
        // (nothing charged).
        bool Charge(std::size_t bytes);
        void Release(std::size_t bytes);
        void ReleaseAll() { Release(m_held); }
        std::size_t Held() const { return m_held; }
        // Whether the budget as a whole (rather than this account) lacks room for bytes.
        bool BudgetFull(std::size_t bytes) const;

      private:
        ContentBudget* m_budget;
        std::size_t m_held = 0;
    };

    explicit ContentBudget(std::size_t perAccount = kDefaultPerAccount,
                           std::size_t total = kDefaultTotal)
        : m_perAccount(perAccount), m_total(total) {}
    ContentBudget(const ContentBudget&) = delete;
    ContentBudget& operator=(const ContentBudget&) = delete;

    std::size_t PerAccount() const { return m_perAccount; }
    std::size_t Total() const { return m_total; }
    std::size_t Held() const { return m_held; }
    // Charges refused, by either bound.
    std::size_t Refusals() const { return m_refusals; }

  private:
    std::size_t m_perAccount;
    std::size_t m_total;
    std::size_t m_held = 0;
    std::size_t m_refusals = 0;
};

}  // namespace broadcast

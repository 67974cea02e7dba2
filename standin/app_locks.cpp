#include "app_locks.h"

#include <array>
#include <utility>

#include "sql_text.h"

namespace standin {
namespace {

constexpr auto kWaitSlice = std::chrono::milliseconds(20);

// The basic modes, in the order of the bits.
constexpr std::array<LockMode, 5> kBasic = {LockMode::IntentShared, LockMode::Shared, LockMode::Update,
                                           LockMode::IntentExclusive, LockMode::Exclusive};

// Whether basic modes held by two owners go together (SQL Server's compatibility of lock
// modes): row and column in the order of kBasic.
constexpr bool kCompatible[5][5] = {
    {true, true, true, true, false},     // IntentShared
    {true, true, true, false, false},    // Shared
    {true, true, false, false, false},   // Update
    {true, false, false, true, false},   // IntentExclusive
    {false, false, false, false, false}, // Exclusive
};

unsigned Bits(LockMode m) { return static_cast<unsigned>(m); }

bool Compatible(LockMode a, LockMode b) {
    for (std::size_t i = 0; i < kBasic.size(); ++i)
        for (std::size_t j = 0; j < kBasic.size(); ++j)
            if ((Bits(a) & Bits(kBasic[i])) && (Bits(b) & Bits(kBasic[j])) && !kCompatible[i][j]) return false;
    return true;
}

// The mode of a holder that asked for `a` and then `b`: the stronger of each part.
LockMode Union(LockMode a, LockMode b) {
    unsigned bits = Bits(a) | Bits(b);
    if (bits & Bits(LockMode::Exclusive)) return LockMode::Exclusive;
    if (bits & Bits(LockMode::Update)) bits &= ~Bits(LockMode::Shared);
    if (bits & (Bits(LockMode::Shared) | Bits(LockMode::Update) | Bits(LockMode::IntentExclusive)))
        bits &= ~Bits(LockMode::IntentShared);
    return static_cast<LockMode>(bits);
}

}  // namespace

std::optional<LockMode> RequestableMode(std::string_view name) {
    for (LockMode m : kBasic)
        if (SameName(name, ModeName(m))) return m;
    return std::nullopt;
}

std::string_view ModeName(LockMode mode) {
    switch (mode) {
    case LockMode::IntentShared: return "IntentShared";
    case LockMode::Shared: return "Shared";
    case LockMode::Update: return "Update";
    case LockMode::IntentExclusive: return "IntentExclusive";
    case LockMode::SharedIntentExclusive: return "SharedIntentExclusive";
    case LockMode::UpdateIntentExclusive: return "UpdateIntentExclusive";
    case LockMode::Exclusive: return "Exclusive";
    }
    return "NoLock";
}

bool AppLocks::GrantableLocked(const Resource& resource, Owner owner, LockMode mode) const {
    const auto holders = held_.find(resource);
    if (holders == held_.end()) return true;
    for (const auto& [other, hold] : holders->second)
        if (other != owner && !Compatible(hold.mode, mode)) return false;
    return true;
}

std::optional<int> AppLocks::Acquire(const Resource& resource, Owner owner, LockMode mode,
                                     std::chrono::milliseconds timeout, const std::function<bool()>& stop) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock lock(mutex_);
    int status = 0;
    while (!GrantableLocked(resource, owner, mode)) {
        if (timeout.count() >= 0 && std::chrono::steady_clock::now() >= deadline) return -1;
        if (stop()) return std::nullopt;
        released_.wait_for(lock, kWaitSlice);
        status = 1;
    }
    auto [it, fresh] = held_[resource].try_emplace(owner, Hold{mode, 0});
    Hold& hold = it->second;
    if (!fresh) hold.mode = Union(hold.mode, mode);
    ++hold.count;
    return status;
}

bool AppLocks::Release(const Resource& resource, Owner owner) {
    {
        std::lock_guard lock(mutex_);
        const auto holders = held_.find(resource);
        if (holders == held_.end()) return false;
        const auto hold = holders->second.find(owner);
        if (hold == holders->second.end()) return false;
        if (--hold->second.count > 0) return true;
        holders->second.erase(hold);
        if (holders->second.empty()) held_.erase(holders);
    }
    released_.notify_all();
    return true;
}

std::optional<LockMode> AppLocks::Held(const Resource& resource, Owner owner) const {
    std::lock_guard lock(mutex_);
    const auto holders = held_.find(resource);
    if (holders == held_.end()) return std::nullopt;
    const auto hold = holders->second.find(owner);
    if (hold == holders->second.end()) return std::nullopt;
    return hold->second.mode;
}

bool AppLocks::Grantable(const Resource& resource, Owner owner, LockMode mode) const {
    std::lock_guard lock(mutex_);
    return GrantableLocked(resource, owner, mode);
}

void AppLocks::ReleaseAll(Owner owner) {
    {
        std::lock_guard lock(mutex_);
        for (auto it = held_.begin(); it != held_.end();) {
            it->second.erase(owner);
            it = it->second.empty() ? held_.erase(it) : std::next(it);
        }
    }
    released_.notify_all();
}

}  // namespace standin

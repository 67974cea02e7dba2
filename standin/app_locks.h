#pragma once
// SQL Server's application locks, as sp_getapplock, sp_releaseapplock, APPLOCK_MODE and
// APPLOCK_TEST see them, for all sessions of one engine. A lock belongs to a resource (the
// database it was taken in, the database principal and the resource name, compared byte for
// byte) and to an owner, the session. An owner may take a resource again: its mode becomes the
// union of the modes it asked for and stays so until the owner has released it as often as it
// took it. Owners never block themselves. Thread-safe.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>

namespace standin {

// The modes sp_getapplock grants, as bits, and the unions a holder can end up with.
enum class LockMode : unsigned {
    IntentShared = 1,
    Shared = 2,
    Update = 4,
    IntentExclusive = 8,
    SharedIntentExclusive = 2 | 8,
    UpdateIntentExclusive = 4 | 8,
    Exclusive = 16,
};

// One of the five modes a request may name (Shared, Update, IntentShared, IntentExclusive,
// Exclusive; case-insensitive), or nothing.
std::optional<LockMode> RequestableMode(std::string_view name);

// The mode as APPLOCK_MODE names it ("Exclusive", "SharedIntentExclusive", ...).
std::string_view ModeName(LockMode mode);

class AppLocks {
public:
    struct Resource {
        std::string database;   // an identity of the database, such as its file
        std::string principal;  // case-folded
        std::string name;
        bool operator<(const Resource& o) const {
            return std::tie(database, principal, name) < std::tie(o.database, o.principal, o.name);
        }
    };
    using Owner = const void*;

    // Takes `resource` for `owner` in `mode`. When other owners hold it in a mode that does not
    // go with `mode`, waits for them up to `timeout` (negative: without limit), asking `stop`
    // every few milliseconds. As sp_getapplock returns: 0 granted at once, 1 granted after
    // waiting, -1 not granted in time; nothing when `stop` said so.
    std::optional<int> Acquire(const Resource& resource, Owner owner, LockMode mode, std::chrono::milliseconds timeout,
                               const std::function<bool()>& stop);

    // Gives up one hold of `owner` on `resource`; false when it holds none.
    bool Release(const Resource& resource, Owner owner);

    // The mode in which `owner` holds `resource`, if it does.
    std::optional<LockMode> Held(const Resource& resource, Owner owner) const;

    // Whether `owner` could take `resource` in `mode` now.
    bool Grantable(const Resource& resource, Owner owner, LockMode mode) const;

    // Gives up everything `owner` holds: its session has ended.
    void ReleaseAll(Owner owner);

private:
    struct Hold {
        LockMode mode;
        int count;
    };
    bool GrantableLocked(const Resource& resource, Owner owner, LockMode mode) const;

    mutable std::mutex mutex_;
    std::condition_variable released_;
    std::map<Resource, std::map<Owner, Hold>> held_;
};

}  // namespace standin

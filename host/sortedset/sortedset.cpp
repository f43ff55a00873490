/*
 * sortedset.cpp - the sorted-set library: a sorted array of entry pointers
 * behind the C API of sortedset.h.
 *
 * Lookups are binary searches with the caller's comparator, always called as
 * cmp(stored, probe). An add goes behind every entry that compares equal, so
 * equal keys stay in insertion order and find returns the oldest of them.
 * Readers share the lock; add, rem and destroy take it alone.
 */
#include "sortedset.h"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <vector>

#define SORTEDSET_API extern "C" __attribute__((visibility("default")))

struct sortedSet {
    explicit sortedSet(sortedSet_cmp c) : cmp(c) {}
    const sortedSet_cmp cmp;
    std::shared_mutex lock;     // guards entries; taken by every caller thread
    std::vector<void *> entries;
};

namespace {

// First position whose entry compares >= probe (or > probe with after_equal).
std::vector<void *>::iterator position(sortedSet *s, const void *probe, bool after_equal)
{
    return std::partition_point(s->entries.begin(), s->entries.end(), [&](void *stored) {
        int c = s->cmp(stored, probe);
        return after_equal ? c <= 0 : c < 0;
    });
}

}  // namespace

SORTEDSET_API sortedSet *sortedSet_init(int size, sortedSet_cmp cmp)
{
    if (!cmp)
        return nullptr;
    try {
        auto s = std::make_unique<sortedSet>(cmp);
        s->entries.reserve(size > 0 ? static_cast<size_t>(size) : 0);
        return s.release();
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

SORTEDSET_API int sortedSet_add(sortedSet *s, void *entry)
{
    if (!s || !entry)
        return -1;
    std::unique_lock lk(s->lock);
    try {
        s->entries.insert(position(s, entry, true), entry);
    } catch (const std::bad_alloc &) {
        return -1;
    }
    return 0;
}

SORTEDSET_API void *sortedSet_find(sortedSet *s, const void *probe)
{
    if (!s || !probe)
        return nullptr;
    std::shared_lock lk(s->lock);
    auto it = position(s, probe, false);
    if (it == s->entries.end() || s->cmp(*it, probe) != 0)
        return nullptr;
    return *it;
}

SORTEDSET_API int sortedSet_len(sortedSet *s)
{
    if (!s)
        return 0;
    std::shared_lock lk(s->lock);
    return static_cast<int>(s->entries.size());
}

SORTEDSET_API void *sortedSet_first(sortedSet *s)
{
    if (!s)
        return nullptr;
    std::shared_lock lk(s->lock);
    return s->entries.empty() ? nullptr : s->entries.front();
}

SORTEDSET_API int sortedSet_rem(sortedSet *s, void *entry)
{
    if (!s || !entry)
        return -1;
    std::unique_lock lk(s->lock);
    // By identity, not by key: equal keys may be held several times, and the
    // caller may have changed the key since the add.
    auto it = std::find(s->entries.begin(), s->entries.end(), entry);
    if (it == s->entries.end())
        return -1;
    s->entries.erase(it);
    lk.unlock();
    free(entry);
    return 0;
}

SORTEDSET_API void sortedSet_destroy(sortedSet *s)
{
    if (!s)
        return;
    for (void *e : s->entries)
        free(e);
    delete s;
}

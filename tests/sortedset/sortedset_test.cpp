// Sorted set: order, lookup by key, removal by identity, teardown with
// entries left (leak-checked under ASan) and finds racing an add.
#include "sortedset.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

namespace {

struct Entry {
    char key[16];
    int seq;   // not read by the comparator
};

int key_compare(const void *a, const void *b)
{
    return strcmp(static_cast<const Entry *>(a)->key, static_cast<const Entry *>(b)->key);
}

Entry *make(const std::string &key, int seq)
{
    auto *e = static_cast<Entry *>(calloc(1, sizeof(Entry)));
    snprintf(e->key, sizeof e->key, "%s", key.c_str());
    e->seq = seq;
    return e;
}

Entry *find(sortedSet *s, const std::string &key)
{
    Entry probe{};
    snprintf(probe.key, sizeof probe.key, "%s", key.c_str());
    return static_cast<Entry *>(sortedSet_find(s, &probe));
}

// Destroyed with entries still held: ASan reports any it does not free.
struct SetPtr {
    sortedSet *s = sortedSet_init(2, key_compare);
    ~SetPtr() { sortedSet_destroy(s); }
};

}  // namespace

TEST(SortedSet, KeepsKeyOrderAndInsertionOrderOfEqualKeys)
{
    SetPtr set;
    for (int i = 0; const char *key : {"c", "a", "b", "a", "a"})
        ASSERT_EQ(sortedSet_add(set.s, make(key, i++)), 0);
    EXPECT_EQ(find(set.s, "a")->seq, 1);
    EXPECT_EQ(find(set.s, "ab"), nullptr);
    EXPECT_EQ(find(set.s, "d"), nullptr);

    Entry stranger = *find(set.s, "a");   // same key, not held
    EXPECT_EQ(sortedSet_rem(set.s, &stranger), -1);
    std::string order;
    for (Entry *e; (e = static_cast<Entry *>(sortedSet_first(set.s)));) {
        order += e->key + std::to_string(e->seq) + " ";
        ASSERT_EQ(sortedSet_rem(set.s, e), 0);
    }
    EXPECT_EQ(order, "a1 a3 a4 b2 c0 ");
    EXPECT_EQ(sortedSet_len(set.s), 0);
    EXPECT_EQ(sortedSet_init(8, nullptr), nullptr);
    EXPECT_EQ(sortedSet_add(nullptr, &stranger), -1);
    EXPECT_EQ(sortedSet_len(nullptr), 0);
    sortedSet_destroy(nullptr);
}

TEST(SortedSet, FindsEveryAddedKeyWhileAnotherThreadAdds)
{
    SetPtr set;
    constexpr int count = 2000;
    auto key_of = [](int i) { return "k" + std::to_string(i * 7919 % count); };
    std::atomic<int> added{0};
    std::thread writer([&] {
        for (int i = 0; i < count; i++, added++)
            sortedSet_add(set.s, make(key_of(i), i));
    });
    int misses = 0;
    for (int seen = 0; seen < count; seen = added)
        for (int i = 0; i < seen; i += 37)
            misses += find(set.s, key_of(i)) == nullptr;
    writer.join();
    EXPECT_EQ(misses, 0);
    EXPECT_EQ(sortedSet_len(set.s), count);
}

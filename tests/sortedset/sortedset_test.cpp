// Sorted set as the daemon keeps its watched fields: key order, find of the first equal
// key, removal by identity, entries freed by rem and destroy (leak-checked under ASan).
#include "sortedset.h"

#include <gtest/gtest.h>

#include <string>

struct Entry {
    char key[16];
    int seq;  // not read by the comparator
};

TEST(SortedSet, KeepsKeyOrderAndInsertionOrderOfEqualKeys)
{
    sortedSet *set = sortedSet_init(2, [](const void *a, const void *b) {
        return strcmp(static_cast<const Entry *>(a)->key, static_cast<const Entry *>(b)->key);
    });
    auto find = [&](const char *key) { Entry probe{}; snprintf(probe.key, sizeof probe.key, "%s", key); return static_cast<Entry *>(sortedSet_find(set, &probe)); };
    for (int i = 0; const char *key : {"c", "a", "b", "a", "a"}) {
        auto *e = static_cast<Entry *>(calloc(1, sizeof(Entry)));
        snprintf(e->key, sizeof e->key, "%s", key);
        e->seq = i++;
        ASSERT_EQ(sortedSet_add(set, e), 0);
    }
    EXPECT_EQ(find("a")->seq, 1);
    EXPECT_EQ(find("ab"), nullptr);
    Entry stranger = *find("a");  // same key, not held
    EXPECT_EQ(sortedSet_rem(set, &stranger), -1);
    ASSERT_EQ(sortedSet_rem(set, find("b")), 0);
    std::string order;
    for (Entry *e; sortedSet_len(set) > 1 && (e = static_cast<Entry *>(sortedSet_first(set)));) {
        order += e->key + std::to_string(e->seq) + " ";
        ASSERT_EQ(sortedSet_rem(set, e), 0);
    }
    EXPECT_EQ(order, "a1 a3 a4 ");
    EXPECT_EQ(find("d"), nullptr);
    sortedSet_destroy(set);  // with "c" left
    EXPECT_EQ(sortedSet_init(8, nullptr), nullptr);
}

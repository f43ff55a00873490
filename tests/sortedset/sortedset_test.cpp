// Sorted set as the daemon keeps its watched fields: key order, find of the
// first equal key, removal by identity, entries freed by rem and destroy
// (leak-checked under ASan).
#include "sortedset.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

struct Entry {
    char key[16];
    int seq;  // not read by the comparator
};

Entry *make(const std::string &key, int seq = 0)
{
    auto *e = static_cast<Entry *>(calloc(1, sizeof(Entry)));
    snprintf(e->key, sizeof e->key, "%s", key.c_str());
    e->seq = seq;
    return e;
}

struct Set {
    sortedSet *s = sortedSet_init(2, [](const void *a, const void *b) { return strcmp(static_cast<const Entry *>(a)->key, static_cast<const Entry *>(b)->key); });
    ~Set() { sortedSet_destroy(s); }  // with entries left
    Entry *find(const std::string &key)
    {
        const Entry probe = *std::unique_ptr<Entry, decltype(&free)>(make(key), free);
        return static_cast<Entry *>(sortedSet_find(s, &probe));
    }
};

}  // namespace

TEST(SortedSet, KeepsKeyOrderAndInsertionOrderOfEqualKeys)
{
    Set set;
    for (int i = 0; const char *key : {"c", "a", "b", "a", "a"})
        ASSERT_EQ(sortedSet_add(set.s, make(key, i++)), 0);
    EXPECT_EQ(set.find("a")->seq, 1);
    EXPECT_EQ(set.find("ab"), nullptr);
    Entry stranger = *set.find("a");  // same key, not held
    EXPECT_EQ(sortedSet_rem(set.s, &stranger), -1);
    ASSERT_EQ(sortedSet_rem(set.s, set.find("b")), 0);
    std::string order;
    for (Entry *e; sortedSet_len(set.s) > 1 && (e = static_cast<Entry *>(sortedSet_first(set.s)));) {
        order += e->key + std::to_string(e->seq) + " ";
        ASSERT_EQ(sortedSet_rem(set.s, e), 0);
    }
    EXPECT_EQ(order, "a1 a3 a4 ");
    EXPECT_EQ(set.find("d"), nullptr);
    EXPECT_EQ(sortedSet_init(8, nullptr), nullptr);
}

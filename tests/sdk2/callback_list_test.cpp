#include "callback_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vorlan_sdk2 {
namespace {

// Every callback appends its name to the trace; some also change the list
// they are called from.
struct Harness;
using List = CallbackList<void, Harness&>;
using Chain = CallbackList<int, Harness&>;

struct Harness {
    List list;
    Chain chain;
    std::string trace;
};

void a(Harness& h, void*) { h.trace += 'a'; }
void b(Harness& h, void*) { h.trace += 'b'; }
void c(Harness& h, void*) { h.trace += 'c'; }
void removes_c(Harness& h, void*) {
    h.trace += 'r';
    h.list.Remove(c, nullptr);
}
void removes_itself(Harness& h, void*) {
    h.trace += 's';
    h.list.Remove(removes_itself, nullptr);
}
void appends_c(Harness& h, void*) {
    h.trace += 'p';
    h.list.AddBack(c, nullptr);
}
void prepends_c(Harness& h, void*) {
    h.trace += 'f';
    h.list.AddFront(c, nullptr);
}
void adds_itself_back(Harness& h, void*) {
    h.trace += 'x';
    h.list.Remove(adds_itself_back, nullptr);
    h.list.AddBack(adds_itself_back, nullptr);
}
void adds_c_back(Harness& h, void*) {
    h.trace += 'y';
    h.list.Remove(c, nullptr);
    h.list.AddBack(c, nullptr);
}
void adds_a_back(Harness& h, void*) {
    h.trace += 'z';
    h.list.Remove(a, nullptr);
    h.list.AddBack(a, nullptr);
}
int declines(Harness& h, void*) {
    h.trace += 'd';
    return -1;
}
int takes(Harness& h, void*) {
    h.trace += 't';
    return 0;
}

TEST(CallbackList, KeepsOrderAndRefusesNullAndDuplicatePairs) {
    Harness h;
    EXPECT_TRUE(h.list.AddBack(a, nullptr));
    EXPECT_TRUE(h.list.AddBack(b, nullptr));
    EXPECT_TRUE(h.list.AddFront(c, nullptr));
    EXPECT_FALSE(h.list.AddBack(a, nullptr));   // active already
    EXPECT_FALSE(h.list.AddFront(a, nullptr));
    EXPECT_FALSE(h.list.AddBack(c, nullptr));   // pending already
    EXPECT_FALSE(h.list.AddFront(c, nullptr));
    EXPECT_FALSE(h.list.AddBack(nullptr, nullptr));
    EXPECT_FALSE(h.list.AddFront(nullptr, nullptr));
    int other = 0;
    EXPECT_TRUE(h.list.AddBack(a, &other));     // same function, other user pointer
    EXPECT_EQ(h.list.Size(), 4u);

    h.list.Invoke(h);
    EXPECT_EQ(h.trace, "caba");
}

TEST(CallbackList, FrontEntriesRunFirstLatestFirstFromTheNextPass) {
    Harness h;
    h.list.AddBack(a, nullptr);
    h.list.AddFront(b, nullptr);
    h.list.AddFront(c, nullptr);
    h.list.Invoke(h);
    EXPECT_EQ(h.trace, "cba");
}

// What one pass runs when a callback changes the list, and what the next
// pass runs.
TEST(CallbackList, ChangesDuringAPassTakeEffectWhereTheyShould) {
    struct Case {
        const char* name;
        std::vector<List::Callback> callbacks;
        const char* first_pass;
        const char* second_pass;
    };
    const Case cases[] = {
        {"a removed entry is skipped at once", {removes_c, a, c}, "ra", "ra"},
        {"a callback may remove itself", {a, removes_itself, b}, "asb", "ab"},
        {"an appended entry runs in the same pass", {appends_c, a}, "pac", "pac"},
        {"a front entry waits for the next pass", {prepends_c, a}, "fa", "cfa"},
        {"one removed and added back after it ran waits for the next pass", {adds_itself_back, a}, "xa", "ax"},
        {"one added back by another after it ran waits too", {a, adds_a_back}, "az", "za"},
        {"one removed and added back before it ran runs once, at its new place", {adds_c_back, c, a}, "yac",
         "yac"},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        Harness h;
        for (List::Callback callback : test.callbacks) {
            ASSERT_TRUE(h.list.AddBack(callback, nullptr));
        }
        h.list.Invoke(h);
        EXPECT_EQ(h.trace, test.first_pass);
        h.trace.clear();
        h.list.Invoke(h);
        EXPECT_EQ(h.trace, test.second_pass);
    }
}

TEST(CallbackList, RemovalFindsActiveAndPendingEntriesAndReportsMisses) {
    Harness h;
    h.list.AddBack(a, nullptr);
    h.list.AddFront(b, nullptr);
    EXPECT_FALSE(h.list.Remove(c, nullptr));
    EXPECT_FALSE(h.list.Remove(a, &h));  // same function, other pair
    EXPECT_TRUE(h.list.Remove(b, nullptr));
    EXPECT_FALSE(h.list.Remove(b, nullptr));
    EXPECT_TRUE(h.list.Remove(a, nullptr));
    EXPECT_TRUE(h.list.Empty());
    h.list.Invoke(h);
    EXPECT_EQ(h.trace, "");

    // A removed pair may come back, once.
    EXPECT_TRUE(h.list.AddBack(a, nullptr));
    EXPECT_FALSE(h.list.AddBack(a, nullptr));
    h.list.Invoke(h);
    EXPECT_EQ(h.trace, "a");
}

TEST(CallbackList, ClearForgetsActiveAndPendingEntries) {
    Harness h;
    h.list.AddBack(a, nullptr);
    h.list.AddFront(b, nullptr);
    h.list.Clear();
    EXPECT_TRUE(h.list.Empty());
    h.list.Invoke(h);
    EXPECT_EQ(h.trace, "");
    EXPECT_TRUE(h.list.AddFront(b, nullptr));
    h.list.Invoke(h);
    EXPECT_EQ(h.trace, "b");
}

TEST(CallbackList, TerminatingPassStopsAfterTheFirstTaker) {
    Harness h;
    h.chain.AddBack(declines, nullptr);
    h.chain.AddBack(takes, nullptr);
    h.chain.AddBack(declines, &h);
    EXPECT_TRUE(h.chain.InvokeWithTermination(h));
    EXPECT_EQ(h.trace, "dt");

    h.trace.clear();
    h.chain.Remove(takes, nullptr);
    EXPECT_FALSE(h.chain.InvokeWithTermination(h));
    EXPECT_EQ(h.trace, "dd");
}

// Lists longer than a pass keeps copied are read entry by entry under the
// list mutex; they must behave the same.
struct Numbered;
using NumberedList = CallbackList<void, std::vector<int>&>;
struct Numbered {
    NumberedList* list;
    int number;
};
void note_number(std::vector<int>& seen, void* user_data) {
    auto* self = static_cast<Numbered*>(user_data);
    seen.push_back(self->number);
    if (self->number == 1) {
        self->list->Remove(note_number, self + 18);  // the 20th entry
        self->list->AddBack(note_number, self + 19);
    }
}

TEST(CallbackList, LongListsBehaveAsShortOnes) {
    NumberedList list;
    std::vector<Numbered> entries;
    for (int i = 0; i < 22; ++i) {
        entries.push_back({&list, i});
    }
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(list.AddBack(note_number, &entries[i]));
    }
    std::vector<int> seen;
    list.Invoke(seen);
    std::vector<int> expected;
    for (int i = 0; i < 19; ++i) {
        expected.push_back(i);
    }
    expected.push_back(20);
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(list.Size(), 20u);
}

}  // namespace
}  // namespace vorlan_sdk2

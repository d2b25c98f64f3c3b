#include <gtest/gtest.h>

#include "common/TimeOfDay.h"
#include "ranking/Meigara.h"
#include "ranking/Watch.h"

using kestrel::ParseTime;

namespace {
std::unique_ptr<CMeigara> Rec(const std::string& code, char action, const char* time, double move,
                              int price = 1000) {
    auto r = std::make_unique<CMeigara>(code, action);
    r->Time = ParseTime(time);
    r->MoveRatio = move;
    r->Price = price;
    r->Name = "N" + code;
    return r;
}
std::vector<std::string> Codes(CMeigaraList& list) {
    std::vector<std::string> out;
    auto g = list.Lock();
    for (auto& e : *g) out.push_back(e->Code);
    return out;
}
}  // namespace

TEST(Meigara, ConstructorsAndAssign) {
    CMeigara blank;
    EXPECT_EQ(blank.Code, "");
    EXPECT_EQ(blank.Action, ' ');
    EXPECT_EQ(blank.Price, 0);
    EXPECT_EQ(blank.MoveRatio, 0.0);
    CMeigara a("1234.T", 'A');
    a.Name = "ソニー";
    a.Spare = 7;
    a.Time = 0.5;
    CMeigara b;
    b.Assign(a);
    a.Name = "changed";
    EXPECT_EQ(b.Code, "1234.T");
    EXPECT_EQ(b.Action, 'A');
    EXPECT_EQ(b.Name, "ソニー");
    EXPECT_EQ(b.Spare, 7);
    EXPECT_EQ(b.Time, 0.5);
}

TEST(Meigara, QueueIsFifoAndFreesWhatIsLeft) {
    static int alive = 0;
    struct Counted {
        Counted() { ++alive; }
        ~Counted() { --alive; }
        int n = 0;
    };
    {
        TThreadQueue<Counted> q;
        for (int i = 0; i < 3; ++i) q.Push(std::make_unique<Counted>())->n = i;
        EXPECT_EQ(q.Count(), 3u);
        EXPECT_EQ(q.Pop()->n, 0);
        EXPECT_EQ(q.Pop()->n, 1);
        EXPECT_EQ(alive, 1);
    }
    EXPECT_EQ(alive, 0);  // the record still queued was freed, not delivered
    TThreadQueue<Counted> empty;
    EXPECT_EQ(empty.Pop(), nullptr);
}

TEST(Meigara, QueueHandsOverBurstsAndReusesSpentRecords) {
    TThreadQueue<CMeigara> q;
    EXPECT_EQ(q.TakeSpare(), nullptr);
    for (const char* code : {"1", "2", "3"}) q.Push(std::make_unique<CMeigara>(code, 'A'));
    auto burst = q.PopAll();
    EXPECT_EQ(q.Count(), 0u);
    ASSERT_EQ(burst.size(), 3u);
    EXPECT_EQ(burst[0]->Code, "1");
    EXPECT_EQ(burst[2]->Code, "3");
    // Spent records come back to the producer in order; empty entries are passed over.
    CMeigara* second = burst[1].get();
    burst[0].reset();
    q.GiveBack(burst);
    EXPECT_TRUE(burst.empty());
    EXPECT_EQ(q.TakeSpare().get(), second);
    EXPECT_EQ(q.TakeSpare()->Code, "3");
    EXPECT_EQ(q.TakeSpare(), nullptr);
}

TEST(Ranking, MergeRulesForAddAndUpdate) {
    CMeigaraList list('A');
    // An update of an issue that is not listed changes nothing; the record comes back spent.
    auto spent = TWatch::Merge(list, Rec("1111.T", 'U', "10:00", 5));
    EXPECT_EQ(list.Count(), 0);
    ASSERT_NE(spent, nullptr);
    EXPECT_EQ(spent->Code, "1111.T");
    // A sharp move lists it; a later update keeps the first Time but shows the new figures.
    TWatch::Merge(list, Rec("1234.T", 'A', "10:05", 2.5, 1030));
    auto upd = Rec("1234.T", 'U', "10:09", 0.4, 1040);
    upd->Name = "new name";
    TWatch::Merge(list, std::move(upd));
    {
        auto g = list.Lock();
        ASSERT_EQ(g->size(), 1u);
        const CMeigara& e = *(*g)[0];
        EXPECT_EQ(e.Time, ParseTime("10:05"));
        EXPECT_EQ(e.Price, 1040);
        EXPECT_EQ(e.MoveRatio, 0.4);
        EXPECT_EQ(e.Name, "new name");
        EXPECT_EQ(e.Action, 'U');
    }
    // A second sharp move overwrites everything, Time included.
    TWatch::Merge(list, Rec("1234.T", 'A', "10:12", 3.0, 1070));
    {
        auto g = list.Lock();
        ASSERT_EQ(g->size(), 1u);
        EXPECT_EQ((*g)[0]->Time, ParseTime("10:12"));
        EXPECT_EQ((*g)[0]->Action, 'A');
    }
    // Same code with another suffix is another issue.
    TWatch::Merge(list, Rec("1234.OS", 'A', "10:12", 3.0));
    EXPECT_EQ(list.Count(), 2);
    EXPECT_EQ(list.IndexOfCode(CMeigara("1234.OS", 'U')), 1);
    EXPECT_EQ(list.IndexOfCode(CMeigara("9999", 'U')), -1);
}

TEST(Ranking, SortOrdersOfBothLists) {
    CMeigaraList a('A'), d('D');
    for (auto* list : {&a, &d}) {
        list->Add(Rec("2000", 'A', "10:00", 3.0));
        list->Add(Rec("1000", 'A', "10:01", 2.0));
        list->Add(Rec("3000", 'A', "10:01", 4.0));
        list->Add(Rec("1500", 'A', "10:01", 2.0));
        list->Add(Rec("150", 'A', "10:01", 2.0));   // a prefix sorts first
        list->Add(Rec("a000", 'A', "10:01", 2.0));  // bytes, not locale: lower case after digits
        list->Add(Rec("B000", 'A', "10:01", 2.0));
        list->Add(Rec("4000", 'A', "10:01", -5.0));
        list->Sort();
    }
    EXPECT_EQ(Codes(a), (std::vector<std::string>{"3000", "1000", "150", "1500", "B000", "a000",
                                                  "4000", "2000"}));
    EXPECT_EQ(Codes(d), (std::vector<std::string>{"4000", "1000", "150", "1500", "B000", "a000",
                                                  "3000", "2000"}));
    // After sorting, the lookup still finds each code at its new place.
    EXPECT_EQ(a.IndexOfCode(CMeigara("2000", 'U')), 7);
    EXPECT_EQ(d.IndexOfCode(CMeigara("4000", 'U')), 0);
}

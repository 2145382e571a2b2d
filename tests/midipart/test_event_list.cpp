#include <gtest/gtest.h>

#include "midipart/EventList.h"

namespace qr {
namespace {

std::vector<CEventList::Ticks> TimesOf(const CEventList& l) {
  std::vector<CEventList::Ticks> t;
  l.Times(t);
  return t;
}

TEST(EventList, InsertKeepsOtherTimesAndArrivalOrder) {
  CEventList l;
  l.Insert(480, 1, 0);
  l.Insert(0, 2, 0);
  l.Insert(240, 3, 0);
  l.Insert(240, 4, 0);  // equal time goes after the earlier arrival
  l.Insert(960, 5, 0);
  ASSERT_EQ(l.Size(), 5u);
  const uint32_t order[] = {2, 3, 4, 1, 5};
  for (size_t i = 0; i < 5; ++i) EXPECT_EQ(l[i].data, order[i]);
  EXPECT_EQ(TimesOf(l), (std::vector<CEventList::Ticks>{0, 240, 240, 480, 960}));
  EXPECT_EQ(l[3].delta, 240);

  l.Erase(1);
  EXPECT_EQ(TimesOf(l), (std::vector<CEventList::Ticks>{0, 240, 480, 960}));
  l.EraseUnless([&](size_t i) { return l[i].data != 4 && l[i].data != 1; });
  EXPECT_EQ(TimesOf(l), (std::vector<CEventList::Ticks>{0, 960}));
}

TEST(EventList, SeekAndNegativeDeltas) {
  CEventList l;
  for (int t : {100, 200, 300}) l.Insert(t, static_cast<uint32_t>(t), 0);
  std::vector<CEventList::Ticks> t = {100, 50, 300};  // the middle one moved before its predecessor
  l.SetTimes(t);
  EXPECT_EQ(l[1].delta, -50);
  EXPECT_EQ(TimesOf(l), t);
  EXPECT_EQ(l.Seek(60), 0u);
  EXPECT_EQ(l.Seek(101), 2u);
  EXPECT_EQ(l[2].work, 300);
  EXPECT_EQ(l.Seek(301), 3u);
  // Insertion stops at the first later event even if an earlier one follows it.
  EXPECT_EQ(l.Insert(75, 9, 0), 0u);
  EXPECT_EQ(TimesOf(l), (std::vector<CEventList::Ticks>{75, 100, 50, 300}));
}

}  // namespace
}  // namespace qr

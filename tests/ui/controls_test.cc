// The controls' own state and the notices they give the toolkit and the
// program.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ui/ui.h"

namespace carob::platform::ui {
namespace {

TEST(ListBoxTest, KeepsItemsInOrderAddedAndTellsEveryChange) {
  ListBox list;
  int changes = 0, refreshes = 0;
  list.on_items_changed = [&] { ++changes; };
  list.on_refresh = [&] { ++refreshes; };

  list.AddItem("zebra");
  list.AddItem("apple");
  list.AddItem("zebra");  // duplicates stay
  list.AddItem("");
  EXPECT_EQ(list.ListCount(), 4);
  EXPECT_EQ(list.List(0), "zebra");
  EXPECT_EQ(list.List(1), "apple");
  EXPECT_EQ(list.List(2), "zebra");
  EXPECT_EQ(list.List(3), "");
  EXPECT_EQ(changes, 4);

  // Outside the list: empty text, never a crash.
  EXPECT_EQ(list.List(-1), "");
  EXPECT_EQ(list.List(4), "");
  EXPECT_EQ(list.List(1 << 30), "");

  list.Refresh();
  EXPECT_EQ(refreshes, 1);
  EXPECT_EQ(changes, 4);

  list.Clear();
  EXPECT_EQ(list.ListCount(), 0);
  EXPECT_EQ(list.List(0), "");
  EXPECT_EQ(changes, 5);
  list.AddItem("again");
  EXPECT_EQ(list.items(), std::vector<std::string>{"again"});
}

TEST(ListBoxTest, WorksWithoutToolkitNotices) {
  ListBox list;
  list.AddItem("a");
  list.Refresh();
  list.Clear();
  EXPECT_EQ(list.ListCount(), 0);
}

struct ComboLog {
  std::vector<std::string> events;
  void Attach(ComboBox& c) {
    c.Change = [this, &c] { events.push_back("change:" + c.Text()); };
    c.Click = [this, &c] { events.push_back("click:" + c.Text()); };
    c.on_text_set = [this, &c] { events.push_back("shown:" + c.Text()); };
  }
};

TEST(ComboBoxTest, ProgramSetTextIsShownThenReportedAsChange) {
  ComboBox c;
  c.items = {"User", "Lexwright"};
  ComboLog log;
  log.Attach(c);
  EXPECT_EQ(c.Text(), "");
  c.SetText("Lexwright");
  EXPECT_EQ(c.Text(), "Lexwright");
  EXPECT_EQ(log.events, (std::vector<std::string>{"shown:Lexwright", "change:Lexwright"}));
  // Free text, not only items.
  c.SetText("somebody else");
  EXPECT_EQ(c.Text(), "somebody else");
  EXPECT_EQ(log.events.back(), "change:somebody else");
}

TEST(ComboBoxTest, EveryUserEditIsAChangeWithTheNewText) {
  ComboBox c;
  ComboLog log;
  log.Attach(c);
  for (std::string typed : {"L", "Le", "Lex"}) c.UserEdited(typed);
  c.UserEdited("");
  // The toolkit shows the edit already: no "shown" notice back to it.
  EXPECT_EQ(log.events,
            (std::vector<std::string>{"change:L", "change:Le", "change:Lex", "change:"}));
  EXPECT_EQ(c.Text(), "");
}

TEST(ComboBoxTest, PickingAnItemSetsItsTextAndClicks) {
  ComboBox c;
  c.items = {"User", "Lexwright"};
  ComboLog log;
  log.Attach(c);
  c.UserEdited("x");
  log.events.clear();

  c.UserPicked(1);
  EXPECT_EQ(c.Text(), "Lexwright");
  EXPECT_EQ(log.events, (std::vector<std::string>{"shown:Lexwright", "click:Lexwright"}));

  // Picking the item already shown is still a click.
  log.events.clear();
  c.UserPicked(1);
  EXPECT_EQ(log.events, (std::vector<std::string>{"shown:Lexwright", "click:Lexwright"}));

  // No such item: nothing changes, nothing is reported.
  log.events.clear();
  c.UserPicked(2);
  c.UserPicked(-1);
  EXPECT_EQ(c.Text(), "Lexwright");
  EXPECT_TRUE(log.events.empty());
}

TEST(ComboBoxTest, WorksWithoutHandlers) {
  ComboBox c;
  c.items = {"User"};
  c.SetText("a");
  c.UserEdited("b");
  c.UserPicked(0);
  EXPECT_EQ(c.Text(), "User");
}

TEST(TwipsTest, FifteenTwipsAPixel) {
  EXPECT_EQ(TwipsToPixels(0), 0);
  EXPECT_EQ(TwipsToPixels(15), 1);
  EXPECT_EQ(TwipsToPixels(7110), 474);
  EXPECT_EQ(TwipsToPixels(6000), 400);
  EXPECT_EQ(TwipsToPixels(120), 8);
  EXPECT_EQ(TwipsToPixels(2175), 145);
}

}  // namespace
}  // namespace carob::platform::ui

#include "ui/log_view.h"

#include <string>

#include <QApplication>
#include <QCheckBox>
#include <QKeyEvent>
#include <QListWidget>
#include <QPushButton>
#include <QSlider>
#include <QTableWidget>
#include <QTimeEdit>

#include <gtest/gtest.h>

#include "foundation/time/clock.h"
#include "foundation/time/date_time.h"
#include "platform/qt_test_app.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

// The one application object of the test program (other window tests of
// this program share it).
QApplication& App() { return test::EnsureQtApplication(); }

// Ti of a time of day.
std::string Ti(int hours, int minutes, int seconds) {
  return std::to_string(TimeOfDayToInt((hours * 3600 + minutes * 60 + seconds) / 86400.0));
}

// A day's file as the log writes it: records of two services at 08:00,
// 09:00, 10:00 and 11:00, one of them an error, one of detail 0.
std::string SampleDay() {
  return "S=POP3,\"T=Sent: +OK\",D=2,E=0,Ti=" + Ti(8, 0, 0) + ",I=11\r\n" +
         "S=SMTP,\"T=bad, \"\"very\"\"\",D=9,E=1,Ti=" + Ti(9, 0, 0) + ",I=12\r\n" +
         "S=POP3,T=quiet,D=0,E=0,Ti=" + Ti(10, 0, 0) + ",I=11\r\n" +
         "S=SMTP,T=done<CRLF>,D=5,E=0,Ti=" + Ti(11, 0, 0) + ",I=12\r\n";
}

std::string Cell(const TLogView& view, int row, int column) {
  const QTableWidgetItem* item = view.StringGrid1->item(row, column);
  return item != nullptr ? item->text().toStdString() : std::string();
}

QListWidgetItem* ServiceItem(const TLogView& view, const char* name) {
  const auto found = view.SenderCheckListBox->findItems(name, Qt::MatchExactly);
  return found.isEmpty() ? nullptr : found.first();
}

TEST(LogViewTest, ShowsADayFileAndFilters) {
  App();
  test::TempFolder folder;
  const std::string path = folder.Sub("day.log");
  ASSERT_TRUE(test::WriteFileBytes(path, SampleDay()));

  TLogView view;
  view.ShowLogFile(path);
  EXPECT_TRUE(view.isVisible());
  EXPECT_EQ(view.windowTitle(), "LogView");
  EXPECT_EQ(view.BeginDateTimePicker->time(), QTime(8, 0));
  EXPECT_EQ(view.EndDateTimePicker->time(), QTime(11, 0));
  EXPECT_EQ(view.SenderCheckListBox->count(), 2);

  // The slider starts at 1: the record of detail 0 is never shown.
  ASSERT_EQ(view.ShownCount(), 3);
  const char* first[] = {"POP3", "Sent: +OK", "", "2", "08-00-00", "11", "08:00:00.000"};
  for (int column = 0; column < 7; ++column) EXPECT_EQ(Cell(view, 0, column), first[column]);
  EXPECT_EQ(Cell(view, 1, 1), "bad, \"very\"");
  EXPECT_EQ(Cell(view, 1, 2), "T");
  EXPECT_EQ(Cell(view, 2, 1), "done<CRLF>");

  // Each filter refills the grid when it changes.
  const struct {
    const char* Name;
    void (*Change)(TLogView&);
    int Shown;
    const char* FirstText;
  } steps[] = {
      {"errors only", [](TLogView& v) { v.ErrorsOnlyCheckBox->setChecked(true); }, 1,
       "bad, \"very\""},
      {"errors off", [](TLogView& v) { v.ErrorsOnlyCheckBox->setChecked(false); }, 3, "Sent: +OK"},
      {"detail 5", [](TLogView& v) { v.LogDetailTrackBar->setValue(5); }, 2, "bad, \"very\""},
      {"detail 1", [](TLogView& v) { v.LogDetailTrackBar->setValue(1); }, 3, "Sent: +OK"},
      {"untick POP3", [](TLogView& v) { ServiceItem(v, "POP3")->setCheckState(Qt::Unchecked); }, 2,
       "bad, \"very\""},
      {"tick POP3", [](TLogView& v) { ServiceItem(v, "POP3")->setCheckState(Qt::Checked); }, 3,
       "Sent: +OK"},
      // Both ends of the time range are included.
      {"begin 09:00", [](TLogView& v) { v.BeginDateTimePicker->setTime(QTime(9, 0)); }, 2,
       "bad, \"very\""},
      {"end 09:00", [](TLogView& v) { v.EndDateTimePicker->setTime(QTime(9, 0)); }, 1,
       "bad, \"very\""},
      {"earliest", [](TLogView& v) { v.EarliestButton->click(); }, 2, "Sent: +OK"},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.Name);
    step.Change(view);
    EXPECT_EQ(view.ShownCount(), step.Shown);
    EXPECT_EQ(Cell(view, 0, 1), step.FirstText);
  }

  // "Latest" reads the file again and moves the end to its last record.
  ASSERT_TRUE(test::WriteFileBytes(
      path, SampleDay() + "S=New,T=late,D=7,E=0,Ti=" + Ti(12, 30, 0) + ",I=13\r\n"));
  view.LatestButton->click();
  EXPECT_EQ(view.EndDateTimePicker->time(), QTime(12, 30));
  EXPECT_EQ(view.ShownCount(), 4);
  EXPECT_EQ(Cell(view, 3, 0), "New");
  EXPECT_NE(ServiceItem(view, "New"), nullptr);

  // Escape and closing only hide the window.
  QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
  QApplication::sendEvent(&view, &escape);
  EXPECT_FALSE(view.isVisible());
  view.show();
  EXPECT_FALSE(view.close());
  EXPECT_FALSE(view.isVisible());
}

TEST(LogViewTest, MissingFileShowsAnEmptyGrid) {
  App();
  test::TempFolder folder;
  const TDateTime now = EncodeDateTime(2026, 6, 1, 14, 15, 16);
  ScopedClockForTests clock(now);
  TLogView view;
  view.ShowLogFile(folder.Sub("missing.log"));
  EXPECT_EQ(view.ShownCount(), 0);
  EXPECT_EQ(view.StringGrid1->rowCount(), 1);  // one empty row below the titles
  EXPECT_EQ(view.SenderCheckListBox->count(), 0);
  view.EarliestButton->click();
  EXPECT_EQ(view.BeginDateTimePicker->time(), QTime(0, 0));
  view.LatestButton->click();
  EXPECT_EQ(view.EndDateTimePicker->time(), QTime(14, 15, 16));
}

}  // namespace
}  // namespace halvorn

// The log viewer: one day's log file as a grid, with filters by service,
// error flag, detail level and time of day.
//
// Main thread only. The window is created once and kept; closing it or
// pressing Escape only hides it.
#pragma once

#include <string>
#include <vector>

#include <QWidget>

#include "foundation/time/date_time.h"

class QCheckBox;
class QListWidget;
class QPushButton;
class QSlider;
class QTableWidget;
class QTimeEdit;

namespace halvorn {

class TLogView : public QWidget {
 public:
  explicit TLogView(QWidget* parent = nullptr);

  // Remembers the path, loads the file (the log is flushed first; a missing
  // or unreadable file gives no records), sets the Begin and End pickers to
  // the first and last record's times, fills the grid and shows the window
  // centred on its screen.
  void ShowLogFile(const std::string& path);

  // The window's controls, named as the rest of the program knows them.
  QListWidget* SenderCheckListBox = nullptr;
  QCheckBox* ErrorsOnlyCheckBox = nullptr;
  QSlider* LogDetailTrackBar = nullptr;
  QTimeEdit* BeginDateTimePicker = nullptr;
  QTimeEdit* EndDateTimePicker = nullptr;
  QPushButton* EarliestButton = nullptr;
  QPushButton* LatestButton = nullptr;
  QTableWidget* StringGrid1 = nullptr;

  // The number of records the grid shows.
  int ShownCount() const { return FShownCount; }

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void LoadFile();
  void FillGrid();
  void EarliestClick();
  void LatestClick();
  bool ServiceTicked(const std::string& service) const;
  void SetPicker(QTimeEdit* picker, TDateTime time);

  std::string FPath;
  std::vector<std::string> FLines;
  int FShownCount = 0;
};

}  // namespace halvorn

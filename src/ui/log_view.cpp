#include "ui/log_view.h"

#include <algorithm>
#include <cmath>

#include <QCheckBox>
#include <QCloseEvent>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QScreen>
#include <QSignalBlocker>
#include <QSlider>
#include <QTableWidget>
#include <QTime>
#include <QTimeEdit>
#include <QVBoxLayout>

#include "foundation/time/clock.h"
#include "foundation/app/log.h"
#include "foundation/text/string_list.h"

namespace halvorn {

namespace {

constexpr int kMsPerDay = 86400000;
// The slider's hint: the short part before "|" is empty, the long part is
// shown as tool tip and status text.
constexpr const char* kDetailHint =
    "|Adjust this slider to determine the detail level of information logged.";

QString Latin1(const std::string& text) {
  return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

// The time of day of a date-time in whole milliseconds, 0 .. one day - 1.
int TimeOfDayMs(TDateTime time) {
  if (!std::isfinite(time)) return 0;
  const double fraction = std::fabs(time - std::trunc(time));
  const long long ms = std::llround(fraction * kMsPerDay);
  return static_cast<int>(std::clamp<long long>(ms, 0, kMsPerDay - 1));
}

}  // namespace

TLogView::TLogView(QWidget* parent) : QWidget(parent, Qt::Window) {
  setObjectName("LogView");
  setWindowTitle("LogView");

  SenderCheckListBox = new QListWidget(this);
  SenderCheckListBox->setObjectName("SenderCheckListBox");

  ErrorsOnlyCheckBox = new QCheckBox("View Errors only", this);
  ErrorsOnlyCheckBox->setObjectName("ErrorsOnlyCheckBox");

  auto* detailLabel = new QLabel("Level of detail to view:", this);
  LogDetailTrackBar = new QSlider(Qt::Horizontal, this);
  LogDetailTrackBar->setObjectName("LogDetailTrackBar");
  LogDetailTrackBar->setRange(1, 10);
  LogDetailTrackBar->setValue(1);
  LogDetailTrackBar->setTickPosition(QSlider::TicksBelow);
  const QString hint = QString::fromLatin1(kDetailHint);
  LogDetailTrackBar->setToolTip(hint.section('|', 1));
  LogDetailTrackBar->setStatusTip(hint.section('|', 1));

  auto* timesGroup = new QGroupBox("View Log entries between the following times", this);
  BeginDateTimePicker = new QTimeEdit(timesGroup);
  BeginDateTimePicker->setObjectName("BeginDateTimePicker");
  EndDateTimePicker = new QTimeEdit(timesGroup);
  EndDateTimePicker->setObjectName("EndDateTimePicker");
  for (QTimeEdit* picker : {BeginDateTimePicker, EndDateTimePicker}) {
    // Milliseconds are shown so that a picker holds a record's exact time and
    // the first and last records always lie within the range.
    picker->setDisplayFormat("HH:mm:ss.zzz");
    picker->setTime(QTime(0, 0));
  }
  EarliestButton = new QPushButton("Earliest", timesGroup);
  LatestButton = new QPushButton("Latest", timesGroup);
  auto* timesLayout = new QHBoxLayout(timesGroup);
  timesLayout->addWidget(new QLabel("Begining", timesGroup));
  timesLayout->addWidget(BeginDateTimePicker);
  timesLayout->addWidget(EarliestButton);
  timesLayout->addWidget(new QLabel("Ending", timesGroup));
  timesLayout->addWidget(EndDateTimePicker);
  timesLayout->addWidget(LatestButton);

  StringGrid1 = new QTableWidget(1, 7, this);
  StringGrid1->setObjectName("StringGrid1");
  StringGrid1->setHorizontalHeaderLabels(
      {"Service", "Text", "Error", "Detail", "Time", "ThreadId", "ExactTime"});
  const int widths[] = {74, 421, 12, 19, 64, 26, 3};
  for (int column = 0; column < 7; ++column) StringGrid1->setColumnWidth(column, widths[column]);
  StringGrid1->setEditTriggers(QAbstractItemView::NoEditTriggers);
  StringGrid1->verticalHeader()->setVisible(false);

  auto* filters = new QVBoxLayout;
  filters->addWidget(SenderCheckListBox);
  filters->addWidget(ErrorsOnlyCheckBox);
  filters->addWidget(detailLabel);
  filters->addWidget(LogDetailTrackBar);
  auto* top = new QHBoxLayout;
  top->addLayout(filters);
  top->addWidget(timesGroup, 1);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top);
  layout->addWidget(StringGrid1, 1);
  resize(760, 520);

  connect(SenderCheckListBox, &QListWidget::itemChanged, this, [this] { FillGrid(); });
  connect(ErrorsOnlyCheckBox, &QCheckBox::toggled, this, [this] { FillGrid(); });
  connect(LogDetailTrackBar, &QSlider::valueChanged, this, [this] { FillGrid(); });
  connect(BeginDateTimePicker, &QTimeEdit::timeChanged, this, [this] { FillGrid(); });
  connect(EndDateTimePicker, &QTimeEdit::timeChanged, this, [this] { FillGrid(); });
  connect(EarliestButton, &QPushButton::clicked, this, [this] { EarliestClick(); });
  connect(LatestButton, &QPushButton::clicked, this, [this] { LatestClick(); });
}

void TLogView::ShowLogFile(const std::string& path) {
  FPath = path;
  LoadFile();
  if (!FLines.empty()) {
    SetPicker(BeginDateTimePicker, ParseLogLine(FLines.front()).Time);
    SetPicker(EndDateTimePicker, ParseLogLine(FLines.back()).Time);
  }
  FillGrid();
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect area = screen->availableGeometry();
    move(area.center() - rect().center());
  }
  show();
  raise();
}

void TLogView::LoadFile() {
  FLines.clear();
  FlushLog();
  TStringList lines;
  if (FPath.empty() || !lines.LoadFromFile(FPath)) return;
  FLines.reserve(static_cast<std::size_t>(lines.Count()));
  for (int i = 0; i < lines.Count(); ++i) FLines.push_back(lines[i]);
}

void TLogView::SetPicker(QTimeEdit* picker, TDateTime time) {
  const QSignalBlocker block(picker);
  picker->setTime(QTime::fromMSecsSinceStartOfDay(TimeOfDayMs(time)));
}

bool TLogView::ServiceTicked(const std::string& service) const {
  const QString name = Latin1(service);
  for (int i = 0; i < SenderCheckListBox->count(); ++i) {
    const QListWidgetItem* item = SenderCheckListBox->item(i);
    if (item->text() == name) return item->checkState() == Qt::Checked;
  }
  return true;  // not listed yet: shown
}

void TLogView::FillGrid() {
  const QSignalBlocker blockList(SenderCheckListBox);
  const bool errorsOnly = ErrorsOnlyCheckBox->isChecked();
  const int minDetail = LogDetailTrackBar->value();
  const int beginMs = BeginDateTimePicker->time().msecsSinceStartOfDay();
  const int endMs = EndDateTimePicker->time().msecsSinceStartOfDay();

  StringGrid1->clearContents();
  StringGrid1->setRowCount(1);
  int row = 0;
  for (const std::string& line : FLines) {
    const TLogRec rec = ParseLogLine(line);
    const QString service = Latin1(rec.Service);
    if (SenderCheckListBox->findItems(service, Qt::MatchExactly).isEmpty()) {
      auto* item = new QListWidgetItem(service);
      item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
      item->setCheckState(Qt::Checked);
      SenderCheckListBox->addItem(item);
    }
    if (errorsOnly && !rec.Error) continue;
    if (rec.Detail < minDetail) continue;
    const int ms = TimeOfDayMs(rec.Time);
    if (ms < beginMs || ms > endMs) continue;
    if (!ServiceTicked(rec.Service)) continue;

    if (row >= StringGrid1->rowCount()) StringGrid1->setRowCount(row + 1);
    const QString cells[] = {
        service,
        Latin1(rec.Text),
        rec.Error ? QStringLiteral("T") : QString(),
        QString::number(rec.Detail),
        Latin1(FormatDateTime("hh-nn-ss", rec.Time)),
        QString::number(rec.ThreadId),
        // The record's time of day to the millisecond, for telling apart
        // records of the same second.
        Latin1(FormatDateTime("hh:nn:ss.zzz", rec.Time)),
    };
    for (int column = 0; column < 7; ++column)
      StringGrid1->setItem(row, column, new QTableWidgetItem(cells[column]));
    ++row;
  }
  FShownCount = row;
}

void TLogView::EarliestClick() {
  SetPicker(BeginDateTimePicker, FLines.empty() ? 0.0 : ParseLogLine(FLines.front()).Time);
  FillGrid();
}

void TLogView::LatestClick() {
  LoadFile();
  SetPicker(EndDateTimePicker, FLines.empty() ? Now() : ParseLogLine(FLines.back()).Time);
  FillGrid();
}

void TLogView::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape) {
    hide();
    return;
  }
  QWidget::keyPressEvent(event);
}

void TLogView::closeEvent(QCloseEvent* event) {
  event->ignore();
  hide();
}

}  // namespace halvorn

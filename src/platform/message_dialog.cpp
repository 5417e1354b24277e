#include "platform/message_dialog.h"

#include <QApplication>
#include <QCheckBox>
#include <QFontMetrics>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <climits>

#include "platform/desktop_help.h"
#include "platform/qt_text.h"

namespace halvorn::platform {
namespace {

constexpr int kIconPanelSize = 64;
constexpr int kIconSize = 32;
constexpr int kHiddenIconPanelWidth = 16;
constexpr int kGap = 5;
constexpr int kLabelTop = 16;
constexpr int kButtonWidth = 75;
constexpr int kButtonHeight = 25;

struct ButtonSpec {
  TMsgDlgButtons Bit;
  const char* Caption;
  int Result;
};

// In the order of the bits; Help answers nothing.
const ButtonSpec kButtonSpecs[] = {
    {mbYes, "&Yes", mrYes},
    {mbNo, "&No", mrNo},
    {mbOK, "OK", mrOk},
    {mbCancel, "Cancel", mrCancel},
    {mbAbort, "&Abort", mrAbort},
    {mbRetry, "&Retry", mrRetry},
    {mbIgnore, "&Ignore", mrIgnore},
    {mbAll, "&All", mrAll},
    {mbNoToAll, "N&o to All", mrNoToAll},
    {mbYesToAll, "Yes to &All", mrYesToAll},
    {mbHelp, "&Help", mrNone},
};

const char* const kTypeTitles[] = {"Warning", "Error", "Information", "Confirm"};

QRect ScreenArea() {
  QScreen* screen = QGuiApplication::primaryScreen();
  return screen != nullptr ? screen->availableGeometry() : QRect(0, 0, 800, 600);
}

QIcon StandardIcon(int type) {
  QStyle* style = QApplication::style();
  switch (type) {
    case mtWarning:
      return style->standardIcon(QStyle::SP_MessageBoxWarning);
    case mtError:
      return style->standardIcon(QStyle::SP_MessageBoxCritical);
    case mtInformation:
      return style->standardIcon(QStyle::SP_MessageBoxInformation);
    case mtConfirmation:
      return style->standardIcon(QStyle::SP_MessageBoxQuestion);
    default:
      return {};
  }
}

bool OnGuiThread() {
  return QApplication::instance() != nullptr &&
         QThread::currentThread() == QApplication::instance()->thread();
}

}  // namespace

TQuorMsgDlg::TQuorMsgDlg(const std::string& text, int type, TMsgDlgButtons buttons,
                         const std::string& icon, int seconds, const std::string& neverAgainKey,
                         int helpContext, int timeoutResult, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                          Qt::WindowStaysOnTopHint),
      FHelpContext(helpContext),
      FTimeoutResult(timeoutResult) {
  if (type < mtWarning || type > mtCustom) type = mtCustom;

  // Caption.
  setWindowTitle(type == mtCustom ? QStringLiteral("Halvorn")
                                  : QStringLiteral("(Halvorn)  ") + kTypeTitles[type]);

  // Icon: the given one, else the type's standard one; a custom dialog
  // without an icon hides the panel.
  FIconPanel = new QLabel(this);
  FIconPanel->setAlignment(Qt::AlignCenter);
  QIcon shown = icon.empty() ? StandardIcon(type) : QIcon(QString::fromStdString(icon));
  if (!shown.isNull()) {
    FIconPanel->setPixmap(shown.pixmap(kIconSize, kIconSize));
    FIconPanel->setGeometry(0, 0, kIconPanelSize, kIconPanelSize);
  } else {
    FIconPanel->setGeometry(0, 0, kHiddenIconPanelWidth, kIconPanelSize);
    FIconPanel->hide();
  }

  FLabel = new QLabel(FromCodePage1252(text), this);
  FLabel->setWordWrap(true);
  FLabel->setTextFormat(Qt::PlainText);

  FButtonPanel = new QWidget(this);
  for (const ButtonSpec& spec : kButtonSpecs)
    if (buttons & spec.Bit) AddButton(spec.Caption, spec.Result, spec.Bit == mbHelp);

  FCheckBox = new QCheckBox(QString::fromLatin1(kNeverAgainText), this);
  FCheckBox->setVisible(!neverAgainKey.empty());

  FTimer = new QTimer(this);
  FTimer->setSingleShot(true);
  // A huge number of seconds must not overflow the interval.
  int clamped = std::min(seconds, INT_MAX / 1000);
  FTimer->setInterval(std::max(clamped, 0) * 1000);
  connect(FTimer, &QTimer::timeout, this, [this] { done(FTimeoutResult); });
  FTimer->setProperty("enabledForShow", seconds > 0);

  Arrange();
}

void TQuorMsgDlg::AddButton(const char* caption, int result, bool help) {
  auto* button = new QPushButton(QString::fromLatin1(caption), FButtonPanel);
  button->setObjectName(QString::fromLatin1(caption));
  button->setAutoDefault(false);
  if (help) {
    // Help never closes the dialog.
    connect(button, &QPushButton::clicked, this, [this] {
      if (FHelpContext != 0) CallHelpHandler(FHelpContext);
    });
  } else {
    connect(button, &QPushButton::clicked, this, [this, result] { done(result); });
  }
  FButtons.push_back(button);
}

QPushButton* TQuorMsgDlg::Button(const std::string& caption) const {
  for (QPushButton* button : FButtons)
    if (button->text().toStdString() == caption) return button;
  return nullptr;
}

bool TQuorMsgDlg::NeverAgainChecked() const {
  return FCheckBox->isChecked();
}

void TQuorMsgDlg::Arrange() {
  QRect screen = ScreenArea();
  bool iconShown = !FIconPanel->isHidden();
  int labelLeft = iconShown ? kIconPanelSize : kHiddenIconPanelWidth;
  int wrapWidth = std::max(screen.width() / 2, 100);
  QRect textRect =
      QFontMetrics(FLabel->font())
          .boundingRect(QRect(0, 0, wrapWidth, INT_MAX / 4), Qt::TextWordWrap, FLabel->text());
  FLabel->setGeometry(labelLeft, kLabelTop, textRect.width() + 4, textRect.height() + 4);

  int panelWidth = kGap;
  for (QPushButton* button : FButtons) {
    int width = std::max(kButtonWidth, button->sizeHint().width());
    button->setGeometry(panelWidth, kGap, width, kButtonHeight);
    panelWidth += width + kGap;
  }
  int panelHeight = kButtonHeight + 2 * kGap;

  int width = std::max(panelWidth, FLabel->geometry().right() + 20);
  int checkWidth = FCheckBox->isHidden() ? 0 : FCheckBox->sizeHint().width() + 2 * kGap;
  width = std::max(width, checkWidth);

  int panelTop = std::max(FLabel->geometry().bottom() + 16, FIconPanel->geometry().bottom());
  FButtonPanel->setGeometry((width - panelWidth) / 2, panelTop, panelWidth, panelHeight);
  int checkTop = FButtonPanel->geometry().bottom() + kGap;
  int checkBottom = checkTop;
  if (!FCheckBox->isHidden()) {
    FCheckBox->setGeometry(kGap, checkTop, FCheckBox->sizeHint().width(),
                           FCheckBox->sizeHint().height());
    checkBottom = FCheckBox->geometry().bottom();
  }
  setFixedSize(width, checkBottom + 32);
  move(screen.center() - QPoint(width / 2, (checkBottom + 32) / 2));
}

void TQuorMsgDlg::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (FTimer->property("enabledForShow").toBool() && !FTimer->isActive()) FTimer->start();
}

void TQuorMsgDlg::reject() {
  done(mrCancel);
}

int QuorMessageDlg(const std::string& text, int type, TMsgDlgButtons buttons,
                   const std::string& icon, int seconds, const std::string& neverAgainKey,
                   int helpContext, int timeoutResult) {
  if (!OnGuiThread()) return mrNone;
  TQuorMsgDlg dialog(text, type, buttons, icon, seconds, neverAgainKey, helpContext, timeoutResult);
  return dialog.exec();
}

}  // namespace halvorn::platform

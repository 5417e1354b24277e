#include "platform/progress_window.h"

#include <QApplication>
#include <QLabel>
#include <QProgressBar>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>

#include "platform/main_thread.h"
#include "platform/qt_main_thread.h"
#include "platform/qt_text.h"

namespace halvorn::platform {
namespace {

constexpr int kStep = 2;
constexpr int kTickMs = 100;

}  // namespace

TProgressFrm::TProgressFrm(QWidget* owner, bool disableOthers)
    : QWidget(nullptr, Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint), FOwner(owner) {
  setWindowTitle(QStringLiteral("Progress"));
  FLabel = new QLabel(QStringLiteral("Progress"), this);
  FLabel->setAlignment(Qt::AlignCenter);
  FLabel->setWordWrap(true);
  FBar = new QProgressBar(this);
  FBar->setRange(0, 100);
  FBar->setValue(0);
  FBar->setTextVisible(false);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(FLabel);
  layout->addWidget(FBar);
  resize(300, sizeHint().height());
  if (QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());

  if (disableOthers) {
    for (QWidget* window : QApplication::topLevelWidgets()) {
      if (window == this || !window->isEnabled()) continue;
      window->setEnabled(false);
      FDisabled.emplace_back(window);
    }
  }

  FTimer = new QTimer(this);
  FTimer->setInterval(kTickMs);
  connect(FTimer, &QTimer::timeout, this, [this] { TimerTick(); });
  FTimer->start();
}

TProgressFrm::~TProgressFrm() {
  // Only the windows this one disabled are enabled again; one that is gone
  // meanwhile is skipped.
  for (const QPointer<QWidget>& window : FDisabled)
    if (window) window->setEnabled(true);
}

void TProgressFrm::SetText(const std::string& text) {
  QString shown = FromCodePage1252(text);
  if (shown == FLabel->text()) return;
  FLabel->setText(shown);
  repaint();
}

void TProgressFrm::ResetProgress() {
  FTimer->stop();
  FBar->setValue(0);
}

void TProgressFrm::TimerTick() {
  activateWindow();
  int minimum = FBar->minimum();
  int range = FBar->maximum() - minimum;
  int next = FBar->value() + kStep;
  if (range <= 0)
    next = minimum;
  else if (next > FBar->maximum())
    next = minimum + (next - minimum) % range;
  FBar->setValue(next);
}

bool TProgressFrm::SetProgress(const std::string& text, int position, int maximum) {
  activateWindow();
  if (ApplicationTerminating()) return true;
  SetText(text);
  if (position >= 0 && maximum >= 0) {
    FBar->setRange(0, maximum);
    FBar->setValue(position);
  }
  if (FOwner) FOwner->repaint();
  if (OnMainThread()) RunProcessMessagesHook();
  return false;
}

}  // namespace halvorn::platform

// TProgressFrm: a small progress window for long operations on the main
// thread. Its bar keeps moving on a 100 ms timer even when the caller
// reports no position, until ResetProgress.
#pragma once

#include <QPointer>
#include <QWidget>

#include <string>
#include <vector>

class QLabel;
class QProgressBar;
class QTimer;

namespace halvorn::platform {

class TProgressFrm : public QWidget {
 public:
  // A tool window captioned "Progress", centred on the screen. With
  // disableOthers, every other top-level window that is enabled now is
  // disabled until this window is destroyed. The owner (may be null) is
  // repainted on every SetProgress; it does not become the Qt parent.
  // Main thread.
  TProgressFrm(QWidget* owner, bool disableOthers);
  ~TProgressFrm() override;
  TProgressFrm(const TProgressFrm&) = delete;
  TProgressFrm& operator=(const TProgressFrm&) = delete;

  // Shows the text; repaints only when it changed.
  void SetText(const std::string& text);
  // Bar to 0; the timer stops stepping it.
  void ResetProgress();
  // Shows the text and, when position and maximum are both at least 0, the
  // bar's range 0..maximum and its position; handles pending events on the
  // main thread. Answers true at once, touching nothing, when the
  // application is terminating; otherwise false (nothing here cancels).
  bool SetProgress(const std::string& text, int position, int maximum);

  // One timer tick: focus and a step of 2, wrapping past the maximum.
  void TimerTick();

  QLabel* Label1() const { return FLabel; }
  QProgressBar* ProgressBar1() const { return FBar; }
  QTimer* Timer1() const { return FTimer; }

 private:
  QPointer<QWidget> FOwner;
  QLabel* FLabel;
  QProgressBar* FBar;
  QTimer* FTimer;
  std::vector<QPointer<QWidget>> FDisabled;
};

}  // namespace halvorn::platform

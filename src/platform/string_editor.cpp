#include "platform/string_editor.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QThread>
#include <QVBoxLayout>

#include "platform/dialogs.h"
#include "platform/qt_text.h"

namespace halvorn::platform {

TEditStringForm::TEditStringForm(QWidget* parent)
    : QDialog(parent, Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint) {
  setWindowTitle(QStringLiteral("Edit String"));
  FStringEdit = new QLineEdit(this);
  FStringEdit->setObjectName(QStringLiteral("StringEdit"));
  FCancelButton = new QPushButton(QStringLiteral("&Cancel"), this);
  FOkButton = new QPushButton(QStringLiteral("&OK"), this);
  FCancelButton->setAutoDefault(false);
  FOkButton->setDefault(true);
  connect(FCancelButton, &QPushButton::clicked, this, [this] { done(mrCancel); });
  connect(FOkButton, &QPushButton::clicked, this, [this] { done(mrOk); });

  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(FCancelButton);
  buttons->addWidget(FOkButton);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(FStringEdit);
  layout->addLayout(buttons);
  resize(360, sizeHint().height());
  if (QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());
}

void TEditStringForm::SetCaption(const std::string& caption) {
  setWindowTitle(FromCodePage1252(caption));
}

void TEditStringForm::SetText(const std::string& text) {
  FStringEdit->setText(FromCodePage1252(text));
}

std::string TEditStringForm::Text() const {
  return ToCodePage1252(FStringEdit->text());
}

void TEditStringForm::reject() {
  done(mrCancel);
}

std::string EditString(const std::string& caption, const std::string& initial) {
  if (QApplication::instance() == nullptr ||
      QThread::currentThread() != QApplication::instance()->thread())
    return {};
  TEditStringForm form;
  form.SetCaption(caption);
  form.SetText(initial);
  return form.exec() == mrOk ? form.Text() : std::string();
}

}  // namespace halvorn::platform

#include "qvterminaledit.h"

#include <QKeyEvent>
#include <QScrollBar>
#include <QTextCursor>
#include <QThread>
#include <utility>

class TqvTerminalEdit::TAdapter : public TqvCustomTerminal {
 public:
  explicit TAdapter(TqvTerminalEdit& edit) : edit_(edit) {}
  void TypeChar(char16_t Ch) override { edit_.Output(std::u16string_view(&Ch, 1)); }
  void ReplaceSel(std::u16string_view Text) override { edit_.Output(Text); }

 private:
  TqvTerminalEdit& edit_;
};

namespace {
constexpr int kDefaultMaxLines = 5000;
}

TqvTerminalEdit::TqvTerminalEdit(QWidget* parent)
    : QPlainTextEdit(parent), fAdapter(std::make_unique<TAdapter>(*this)) {
  setMaximumBlockCount(kDefaultMaxLines);
  setLineWrapMode(QPlainTextEdit::WidgetWidth);
}

// The adapter goes first: a bound device is told and unbinds before the
// widget it writes to is gone.
TqvTerminalEdit::~TqvTerminalEdit() { fAdapter.reset(); }

TqvCustomTerminal* TqvTerminalEdit::Terminal() const { return fAdapter.get(); }

void TqvTerminalEdit::PostKeys(const std::u16string& keys) {
  QMetaObject::invokeMethod(
      this,
      [this, keys] {
        for (char16_t ch : keys) fAdapter->KeyTyped(ch);
      },
      Qt::QueuedConnection);
}

void TqvTerminalEdit::keyPressEvent(QKeyEvent* e) {
  const QString text = e->text();
  if (text.isEmpty()) {
    QPlainTextEdit::keyPressEvent(e);  // moving around, selecting
    return;
  }
  for (QChar ch : text) fAdapter->KeyTyped(ch.unicode());
  e->accept();
}

void TqvTerminalEdit::mouseDoubleClickEvent(QMouseEvent* e) {
  QPlainTextEdit::mouseDoubleClickEvent(e);
  Q_EMIT DoubleClicked();
}

void TqvTerminalEdit::Output(std::u16string_view text) {
  if (QThread::currentThread() == thread()) {
    std::u16string earlier;
    {
      std::lock_guard lock(fPendingMutex);
      earlier.swap(fPending);
    }
    // Text from another thread that is still queued goes first.
    Show(earlier);
    Show(text);
    return;
  }
  std::lock_guard lock(fPendingMutex);
  fPending.append(text);
  if (fShowPosted) return;
  fShowPosted = true;
  QMetaObject::invokeMethod(this, &TqvTerminalEdit::ShowPending, Qt::QueuedConnection);
}

void TqvTerminalEdit::ShowPending() {
  std::u16string text;
  {
    std::lock_guard lock(fPendingMutex);
    text.swap(fPending);
    fShowPosted = false;
  }
  Show(text);
}

void TqvTerminalEdit::Show(std::u16string_view text) {
  if (text.empty()) return;
  QTextCursor cursor(document());
  cursor.movePosition(QTextCursor::End);
  QString run;
  auto flush = [&] {
    if (!run.isEmpty()) cursor.insertText(run);
    run.clear();
  };
  for (char16_t ch : text) {
    const bool afterCR = std::exchange(fAfterCR, ch == u'\r');
    if (ch == u'\r' || (ch == u'\n' && !afterCR)) {
      flush();
      cursor.insertBlock();
    } else if (ch == u'\b') {
      flush();
      if (cursor.positionInBlock() > 0) cursor.deletePreviousChar();
    } else if (ch >= 0x20 || ch == u'\t') {
      run.append(QChar(ch));
    }
  }
  flush();
  verticalScrollBar()->setValue(verticalScrollBar()->maximum());
}

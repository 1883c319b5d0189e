#include "qvlogview.h"

#include <QStringList>
#include <algorithm>

namespace {
constexpr int kDefaultMaxLines = 2000;
}

TqvLogView::TqvLogView(QWidget* parent) : QPlainTextEdit(parent), fMaxLines(kDefaultMaxLines) {
  setReadOnly(true);
  setMaximumBlockCount(kDefaultMaxLines);
  setLineWrapMode(QPlainTextEdit::NoWrap);
}

// No log may call AppendLine once the members it uses are going.
TqvLogView::~TqvLogView() { DetachFromLogs(); }

void TqvLogView::AppendLine(std::u16string_view line) {
  QString text = QString::fromStdU16String(std::u16string(line));
  std::lock_guard lock(fMutex);
  fPending.push_back(std::move(text));
  if (fPending.size() > fMaxLines) fPending.pop_front();
  if (fShowPosted) return;
  fShowPosted = true;
  // Always queued, even on the widget's own thread: the caller holds the log's lock.
  QMetaObject::invokeMethod(this, &TqvLogView::ShowPending, Qt::QueuedConnection);
}

int TqvLogView::MaxLines() const {
  std::lock_guard lock(fMutex);
  return int(fMaxLines);
}

void TqvLogView::SetMaxLines(int lines) {
  {
    std::lock_guard lock(fMutex);
    fMaxLines = size_t(std::max(1, lines));
  }
  setMaximumBlockCount(std::max(1, lines));
}

void TqvLogView::ShowPending() {
  QStringList lines;
  {
    std::lock_guard lock(fMutex);
    lines.reserve(qsizetype(fPending.size()));
    for (auto& l : fPending) lines.push_back(std::move(l));
    fPending.clear();
    fShowPosted = false;
  }
  if (!lines.isEmpty()) appendPlainText(lines.join(QLatin1Char('\n')));
}

// A read-only text widget that shows a log file's lines as they are added
// (the log's visual output):
//
//   TqvLogView view;
//   logFile.SetVisualOut(&view);
//
// The log hands each line over on the thread that logs, with its lock held;
// the view only queues it there and returns. The lines reach the widget on its
// own thread, in the order they were logged, in batches, never while the log's
// lock is held. The widget keeps at most MaxLines lines (the oldest go first),
// and so does the queue while the widget's thread is busy, so a long run stays
// fast and bounded.
#pragma once

#include <QPlainTextEdit>
#include <deque>
#include <mutex>
#include <string>

#include "qvlogfile.h"
#include "qvapi.h"

QV_API_BEGIN

class TqvLogView : public QPlainTextEdit, public TqvLogSink {
  Q_OBJECT
 public:
  explicit TqvLogView(QWidget* parent = nullptr);
  ~TqvLogView() override;

  void AppendLine(std::u16string_view line) override;

  int MaxLines() const;
  void SetMaxLines(int lines);

 private:
  void ShowPending();

  mutable std::mutex fMutex;
  std::deque<QString> fPending;
  size_t fMaxLines;
  bool fShowPosted = false;
};

QV_API_END

// A multi-line edit that serves as a device's terminal: received text is
// shown in it, and the keys typed into it go to the bound device first (the
// device sends them and, without echo, keeps them from being shown).
//
//   TqvTerminalEdit memo;
//   comm.SetTerminal(memo.Terminal());
//   comm.SetTerminalUsage(TTerminalUsage::tuBoth);
//
// Output may come from any thread that delivers data; it reaches the widget in
// order on the widget's thread. A received backspace erases the character
// before it, CR, LF and CR LF each break the line once (also when CR and LF
// arrive in two pieces), a tab is kept, and other control characters are not
// shown. Output is appended at the end, wherever the caret is. The widget
// keeps at most MaxLines lines, dropping the oldest.
#pragma once

#include <QPlainTextEdit>
#include <memory>
#include <mutex>
#include <string>

#include "qvclasses.h"
#include "qvapi.h"

QV_API_BEGIN

class TqvTerminalEdit : public QPlainTextEdit {
  Q_OBJECT
 public:
  explicit TqvTerminalEdit(QWidget* parent = nullptr);
  ~TqvTerminalEdit() override;

  // The terminal a device binds to (owned by this widget).
  TqvCustomTerminal* Terminal() const;

  // Queues each character as a key typed into the terminal, in order (the
  // bound device sends it).
  void PostKeys(const std::u16string& keys);

  int MaxLines() const { return maximumBlockCount(); }
  void SetMaxLines(int lines) { setMaximumBlockCount(lines); }

 Q_SIGNALS:
  void DoubleClicked();

 protected:
  void keyPressEvent(QKeyEvent* e) override;
  void mouseDoubleClickEvent(QMouseEvent* e) override;

 private:
  class TAdapter;
  friend class TAdapter;
  // Output from any thread: appended to the pending text, shown on the widget's thread.
  void Output(std::u16string_view text);
  void ShowPending();
  void Show(std::u16string_view text);

  std::unique_ptr<TAdapter> fAdapter;
  std::mutex fPendingMutex;
  std::u16string fPending;
  bool fShowPosted = false;
  bool fAfterCR = false;  // the last character shown was a CR (GUI thread)
};

QV_API_END

// The library's main-thread services on a Qt event loop.
//
// One TqvQtBridge, created on the GUI thread after the QApplication, connects
// for its lifetime:
// - the dispatcher's wake-up: a call handed to the main thread posts one event
//   to the bridge, and the bridge runs qv::platform::ProcessMessages() when it
//   arrives (nothing polls on a timer);
// - the dispatcher's wait hook: while a TqvLiveWait exists, every wait of the
//   library on the GUI thread (a synchronous request, the wait for the turn,
//   the detection at opening) runs the GUI's pending events between its slices,
//   so windows repaint and take input: a window can offer a way out (closing
//   the port) of a request that waits for a silent modem. Outside a live wait
//   the waits stay plain;
// - the message-box hook of the core: a modal Qt box on the GUI thread (posted
//   there when the box is asked for on another thread);
// - the serial port's configuration dialog hook (TqvCommConfigDialog).
// The destructor puts the previous hooks back.
#pragma once

#include <QObject>
#include <memory>

#include "qvclasses.h"
#include "qvcomm.h"
#include "qvapi.h"

QV_API_BEGIN

class TqvQtBridge : public QObject {
  Q_OBJECT
 public:
  explicit TqvQtBridge(QObject* parent = nullptr);
  ~TqvQtBridge() override;

  // The bridge alive now, or nullptr.
  static TqvQtBridge* Instance();

  // How many TqvLiveWait scopes are open (GUI thread).
  static int LiveWaitDepth();

  // Shows a modal box on the GUI thread, as the core's message-box hook does.
  // A caption that is empty means the application's name; every CR (or CR LF)
  // of the text is a line break.
  static void ShowBox(std::u16string_view Text, std::u16string_view Caption, qv::TMsgBoxIcon Icon);

 Q_SIGNALS:
  // The last open TqvLiveWait has closed: the GUI is no longer inside a wait
  // of the library that one of its handlers started.
  void LiveWaitsEnded();

 protected:
  bool event(QEvent* e) override;

 private:
  friend class TqvLiveWait;
  struct TWakeTarget;
  std::shared_ptr<TWakeTarget> fWake;
  qv::TMessageBoxHook fOldBoxHook;
  TqvCommConfigDialogHook fOldDialogHook;
};

// A handler of the GUI that calls the library and may wait there (GUI thread
// only): while it exists the GUI stays alive inside those waits. The handler
// must then cope with being re-entered: a window disables what would start a
// second exchange, and defers its own closing until LiveWaitsEnded.
class TqvLiveWait {
 public:
  TqvLiveWait();
  ~TqvLiveWait();
  TqvLiveWait(const TqvLiveWait&) = delete;
  TqvLiveWait& operator=(const TqvLiveWait&) = delete;
};

QV_API_END

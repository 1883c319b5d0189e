// The serial port's configuration dialog: the line settings of one port
// (baud rate, data bits, parity, stop bits, flow control) over a copy of its
// configuration record. The port applies the record when the user confirms
// (TqvCustomComm::ConfigDialog); the bridge installs this dialog as its hook.
#pragma once

#include <QDialog>

#include "platform/qvserial.h"
#include "qvapi.h"

QV_API_BEGIN

class QComboBox;

// The flow control choices of the dialog, in their order.
enum class TqvFlowControl { fcNone, fcXonXoff, fcHardware };

// Flow control as the line-settings flags carry it, and the flags for a choice
// (the other bits of `flags` are kept).
TqvFlowControl FlowControlOf(uint32_t flags);
uint32_t WithFlowControl(uint32_t flags, TqvFlowControl flow);

class TqvCommConfigDialog : public QDialog {
  Q_OBJECT
 public:
  TqvCommConfigDialog(const QString& portName, const qv::platform::TCommConfig& config,
                      QWidget* parent = nullptr);

  // The record with the dialog's choices.
  qv::platform::TCommConfig Config() const;

  QComboBox* BaudRateBox() const { return fBaud; }
  QComboBox* DataBitsBox() const { return fDataBits; }
  QComboBox* ParityBox() const { return fParity; }
  QComboBox* StopBitsBox() const { return fStopBits; }
  QComboBox* FlowControlBox() const { return fFlow; }

 private:
  qv::platform::TCommConfig fConfig;
  QComboBox* fBaud;
  QComboBox* fDataBits;
  QComboBox* fParity;
  QComboBox* fStopBits;
  QComboBox* fFlow;
};

QV_API_END

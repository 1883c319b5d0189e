#include "qvcommdialog.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QIntValidator>
#include <QVBoxLayout>
#include <algorithm>
#include <limits>

namespace pf = qv::platform;

namespace {

constexpr uint32_t kDtrOn = pf::DTR_CONTROL_ENABLE << pf::DCB_fDtrControlShift;
constexpr uint32_t kRtsOn = pf::RTS_CONTROL_ENABLE << pf::DCB_fRtsControlShift;
constexpr uint32_t kRtsHandshake = pf::RTS_CONTROL_HANDSHAKE << pf::DCB_fRtsControlShift;

// The flags each choice sets, over the bits that flow control owns; the port
// reads its StreamProtocol back from the same words.
constexpr uint32_t kFlowOwned = pf::DCB_fBinary | pf::DCB_fOutxCtsFlow | pf::DCB_fDtrControlMask | pf::DCB_fOutX |
                                pf::DCB_fInX | pf::DCB_fRtsControlMask;
constexpr uint32_t kFlowNone = pf::DCB_fBinary | kDtrOn | kRtsOn;
constexpr uint32_t kFlowXonXoff = kFlowNone | pf::DCB_fOutX | pf::DCB_fInX;
constexpr uint32_t kFlowHardware = pf::DCB_fBinary | pf::DCB_fOutxCtsFlow | kDtrOn | kRtsHandshake;

constexpr uint32_t kBaudRates[] = {300,   600,   1200,   2400,   4800,   9600,   14400,  19200,
                                   38400, 57600, 115200, 230400, 460800, 921600};

struct TChoice {
  const char* caption;
  uint8_t value;
};
constexpr TChoice kParities[] = {{"None", pf::NOPARITY},   {"Odd", pf::ODDPARITY},    {"Even", pf::EVENPARITY},
                                 {"Mark", pf::MARKPARITY}, {"Space", pf::SPACEPARITY}};
constexpr TChoice kStopBits[] = {{"1", pf::ONESTOPBIT}, {"1.5", pf::ONE5STOPBITS}, {"2", pf::TWOSTOPBITS}};
constexpr TChoice kFlows[] = {{"None", uint8_t(TqvFlowControl::fcNone)},
                              {"Xon / Xoff", uint8_t(TqvFlowControl::fcXonXoff)},
                              {"Hardware (RTS/CTS)", uint8_t(TqvFlowControl::fcHardware)}};

template <size_t N>
QComboBox* ChoiceBox(const TChoice (&choices)[N], uint8_t current, QWidget* parent) {
  auto* box = new QComboBox(parent);
  for (const TChoice& c : choices) box->addItem(QString::fromLatin1(c.caption), int(c.value));
  box->setCurrentIndex(std::max(0, box->findData(int(current))));
  return box;
}

uint8_t Chosen(const QComboBox* box) { return uint8_t(box->currentData().toInt()); }

}  // namespace

TqvFlowControl FlowControlOf(uint32_t flags) {
  if ((flags & kFlowXonXoff) == kFlowXonXoff) return TqvFlowControl::fcXonXoff;
  if ((flags & kFlowHardware) == kFlowHardware) return TqvFlowControl::fcHardware;
  return TqvFlowControl::fcNone;
}

uint32_t WithFlowControl(uint32_t flags, TqvFlowControl flow) {
  flags &= ~kFlowOwned;
  switch (flow) {
    case TqvFlowControl::fcNone: return flags | kFlowNone;
    case TqvFlowControl::fcXonXoff: return flags | kFlowXonXoff;
    case TqvFlowControl::fcHardware: return flags | kFlowHardware;
  }
  return flags | kFlowNone;
}

TqvCommConfigDialog::TqvCommConfigDialog(const QString& portName, const pf::TCommConfig& config, QWidget* parent)
    : QDialog(parent), fConfig(config) {
  setWindowTitle(tr("Port settings: %1").arg(portName));
  const pf::TDCB& d = config.dcb;

  fBaud = new QComboBox(this);
  fBaud->setEditable(true);
  fBaud->setValidator(new QIntValidator(1, std::numeric_limits<int>::max(), fBaud));
  for (uint32_t rate : kBaudRates) fBaud->addItem(QString::number(rate));
  fBaud->setCurrentText(QString::number(d.BaudRate));

  fDataBits = new QComboBox(this);
  for (int bits = 5; bits <= 8; ++bits) fDataBits->addItem(QString::number(bits), bits);
  fDataBits->setCurrentIndex(std::max(0, fDataBits->findData(int(d.ByteSize))));

  fParity = ChoiceBox(kParities, d.Parity, this);
  fStopBits = ChoiceBox(kStopBits, d.StopBits, this);
  fFlow = ChoiceBox(kFlows, uint8_t(FlowControlOf(d.Flags)), this);

  auto* form = new QFormLayout;
  form->addRow(tr("Bits per second:"), fBaud);
  form->addRow(tr("Data bits:"), fDataBits);
  form->addRow(tr("Parity:"), fParity);
  form->addRow(tr("Stop bits:"), fStopBits);
  form->addRow(tr("Flow control:"), fFlow);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(buttons);
}

pf::TCommConfig TqvCommConfigDialog::Config() const {
  pf::TCommConfig c = fConfig;
  pf::TDCB& d = c.dcb;
  bool ok = false;
  const uint32_t baud = fBaud->currentText().toUInt(&ok);
  if (ok && baud > 0) d.BaudRate = baud;
  d.ByteSize = uint8_t(fDataBits->currentData().toInt());
  d.Parity = Chosen(fParity);
  d.StopBits = Chosen(fStopBits);
  if (d.Parity == pf::NOPARITY)
    d.Flags &= ~pf::DCB_fParity;
  else
    d.Flags |= pf::DCB_fParity;
  d.Flags = WithFlowControl(d.Flags, TqvFlowControl(Chosen(fFlow)));
  return c;
}

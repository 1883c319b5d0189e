// TqvDeviceBox: a drop-down list of the devices of an I/O component (the
// serial port) that keeps the component's selected device and its own
// selection in step.
//
// - Items are the component's device list in list order; the item index is
//   the component's DeviceIndex, so the box is never sorted.
// - Only a user's pick (QComboBox::activated) writes DeviceIndex; then Change
//   is emitted (the box's OnChange). Reloads and programmatic selections never
//   write it.
// - Notify code 3 of the component (device list or selected device changed)
//   reloads the box: at once on the GUI thread, through a queued call when the
//   code is raised on another thread. Other codes are ignored.
// - Either side may be destroyed first: the box unsubscribes in its
//   destructor, and forgets a component that is destroyed (keeping its items,
//   clearing the selection). Rebinding unsubscribes from the old component.
#pragma once

#include <QComboBox>
#include <memory>

#include "qvclasses.h"
#include "qvapi.h"

QV_API_BEGIN

class TqvDeviceBox : public QComboBox {
  Q_OBJECT
 public:
  explicit TqvDeviceBox(QWidget* parent = nullptr);
  ~TqvDeviceBox() override;

  TqvBaseIO* qvComm() const { return fComm; }
  // Binds the box to Value (nullptr unbinds): items and selection are taken afresh.
  void SetqvComm(TqvBaseIO* Value);
  // Stored with the box's settings; the box itself does not consult it.
  bool ResetOnChanged() const { return fReset; }
  void SetResetOnChanged(bool Value) { fReset = Value; }

  // Binds the bound component again.
  void Reload();
  // Passes a device-change message to the bound component; nothing when unbound.
  virtual void WMDeviceChange(const TqvDeviceChangeMsg& Msg);
  // The box's subscription on the component's notify list.
  void CommNotify(TObject* Sender, int32_t Code);

 Q_SIGNALS:
  // A user's pick was written to the component.
  void Change();

 private:
  class TLink;
  void Pick(int index);
  void Forget();
  TqvNotifyEvent Subscription() { return TqvNotifyEvent::Bind(this, &TqvDeviceBox::CommNotify); }

  TqvBaseIO* fComm = nullptr;
  bool fReset = false;
  std::unique_ptr<TLink> fLink;
};

QV_API_END

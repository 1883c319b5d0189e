#include "qvcommbox.h"

#include <QThread>
#include <exception>

#include "qvqtbridge.h"
#include "qvtext.h"

// Hears the destruction of the bound component (the component framework's
// free notification), which a QWidget cannot ask for itself.
class TqvDeviceBox::TLink : public TqvComponent {
 public:
  explicit TLink(TqvDeviceBox& box) : box_(box) {}

 protected:
  void Notification(TqvComponent* AComponent, TOperation Operation) override {
    TqvComponent::Notification(AComponent, Operation);
    if (Operation == TOperation::opRemove && AComponent == box_.fComm) box_.Forget();
  }

 private:
  TqvDeviceBox& box_;
};

TqvDeviceBox::TqvDeviceBox(QWidget* parent) : QComboBox(parent), fLink(std::make_unique<TLink>(*this)) {
  setEditable(false);
  connect(this, &QComboBox::activated, this, &TqvDeviceBox::Pick);
}

TqvDeviceBox::~TqvDeviceBox() {
  // Waits for a notification still running on another thread; nothing is
  // called on this box afterwards.
  if (fComm) fComm->NotifyDelete(Subscription());
}

void TqvDeviceBox::SetqvComm(TqvBaseIO* Value) {
  clear();
  setCurrentIndex(-1);
  if (fComm && fComm != Value) {
    fComm->NotifyDelete(Subscription());
    fLink->RemoveFreeNotification(fComm);
  }
  if (Value) {
    TqvDeviceRefs devices;
    Value->GetDeviceList(&devices);
    for (const auto& [caption, device] : devices) addItem(QString::fromStdU16String(caption));
    setCurrentIndex(Value->DeviceIndex());
    Value->NotifyAdd(Subscription());
    fLink->FreeNotification(Value);
  }
  fComm = Value;
}

void TqvDeviceBox::Reload() { SetqvComm(fComm); }

void TqvDeviceBox::WMDeviceChange(const TqvDeviceChangeMsg& Msg) {
  if (fComm) fComm->WMDeviceChange(Msg);
}

void TqvDeviceBox::CommNotify(TObject* /*Sender*/, int32_t Code) {
  if (Code != qvNotifyDeviceChanged) return;
  if (QThread::currentThread() == thread())
    Reload();
  else
    QMetaObject::invokeMethod(this, &TqvDeviceBox::Reload, Qt::QueuedConnection);
}

void TqvDeviceBox::Pick(int index) {
  if (!fComm) return;
  // Picking reopens an open port on the new device, which may wait a while.
  TqvLiveWait live;
  try {
    fComm->SetDeviceIndex(index);
  } catch (const std::exception& e) {
    // Qt carries no exception through its loop: the error is shown here.
    qv::ShowMessageBox(qv::Utf8ToString(e.what()), u"", qv::TMsgBoxIcon::mbError);
  }
  Q_EMIT Change();
}

void TqvDeviceBox::Forget() {
  fComm = nullptr;
  setCurrentIndex(-1);
}

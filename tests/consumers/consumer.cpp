// A program built against the installed library, the way an application is: only the installed
// headers, linked to the shared library. It fails (exit status 1) where the library's boundary
// loses something an application relies on: an exception caught by its type, a class derived
// from the library's with virtual functions called from inside the library, dynamic_cast.
#include <cstdio>
#include <string>

#include "qvcomm.h"
#include "qvcomponent.h"
#include "qvgsmpdu.h"

namespace {

int failures = 0;

void Expect(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "FAILED: %s\n", what);
    ++failures;
  }
}

// The library destroys what a component owns, and tells the components that asked for it.
class TWatcher : public TqvComponent {
 public:
  using TqvComponent::TqvComponent;
  const TqvComponent* removed = nullptr;

 protected:
  void Notification(TqvComponent* AComponent, TOperation Operation) override {
    if (Operation == TOperation::opRemove) removed = AComponent;
    TqvComponent::Notification(AComponent, Operation);
  }
};

class TCountingPdu : public TqvPduSms {
 public:
  int encodes = 0;
  std::u16string AsPDU() override {
    ++encodes;
    return TqvPduSms::AsPDU();
  }
};

}  // namespace

int main() {
  TCountingPdu out;
  out.SetPhone(u"+491701234567");
  out.SetText(u"Hello from an installed library");
  TqvPduSms& base = out;
  const std::u16string pdu = base.AsPDU();
  Expect(out.encodes == 1, "a virtual function overridden outside the library");
  TqvPduSms in;
  in.SetAsPDU(pdu);
  Expect(!pdu.empty() && in.Text() == u"Hello from an installed library", "a PDU round trip");

  TWatcher watcher;
  const TqvComponent* gone = nullptr;
  {
    auto* comm = new TqvComm(&watcher);  // owned by watcher until deleted here
    watcher.FreeNotification(comm);
    comm->SetDevicePath(u"/nonexistent/qvcomm-consumer-port");
    bool caught = false;
    try {
      comm->SetActive(true);
    } catch (const EqvError& e) {
      caught = std::string(e.what()).size() > 0;
    }
    Expect(caught, "EqvError thrown by the library, caught by its type");
    TqvComponent* asComponent = comm;
    Expect(dynamic_cast<TqvComm*>(asComponent) == comm, "dynamic_cast to a library class");
    gone = comm;
    delete comm;
  }
  Expect(watcher.removed == gone, "a library component tells a derived one it goes away");

  if (failures == 0) std::puts("consumer: all checks passed");
  return failures == 0 ? 0 : 1;
}

#include "qvscripteddevice.h"

#include "platform/qvdispatcher.h"
#include "platform/qvthread.h"

namespace qvtest {

TqvScriptedDevice::TqvScriptedDevice(TDelivery delivery) : TqvBaseIO(nullptr), delivery_(delivery) {
  if (delivery_ != TDelivery::dlInline) thread_ = std::thread([this] { Run(); });
}

TqvScriptedDevice::~TqvScriptedDevice() { Stop(); }

void TqvScriptedDevice::Stop() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
    queue_.clear();
  }
  cv_.notify_all();
  if (thread_.joinable()) qv::platform::JoinWhilePumping(thread_);
}

void TqvScriptedDevice::OpenDevice() {
  fHandle = OpenHandle();
  DoNotify(qvNotifyOpened);
}

void TqvScriptedDevice::CloseDevice() {
  fHandle = INVALID_HANDLE_VALUE;
  DoNotify(qvNotifyClosed);
}

void TqvScriptedDevice::SetReplies(std::vector<std::pair<std::string, std::vector<TChunk>>> table) {
  SetResponder([table = std::move(table)](const std::string& sent) {
    for (const auto& [text, chunks] : table)
      if (text == sent) return chunks;
    return std::vector<TChunk>{};
  });
}

void TqvScriptedDevice::SetResponder(TResponder responder) {
  std::lock_guard lock(mutex_);
  responder_ = std::move(responder);
}

void TqvScriptedDevice::SetFailSends(bool fail) {
  std::lock_guard lock(mutex_);
  failSends_ = fail;
}

bool TqvScriptedDevice::SendChar(char16_t Ch) {
  const char c = static_cast<char>(Ch);
  return SendData(&c, 1);
}

bool TqvScriptedDevice::SendString(std::string_view S) {
  return SendData(S.data(), static_cast<uint32_t>(S.size()));
}

bool TqvScriptedDevice::SendData(const char* Buff, uint32_t N) {
  const std::string bytes(Buff, N);
  TResponder responder;
  {
    std::lock_guard lock(mutex_);
    if (failSends_ || !IsOpen()) return false;
    sent_.push_back(bytes);
    events_.push_back("tx:" + bytes);
    responder = responder_;
  }
  if (responder) Inject(responder(bytes));
  return true;
}

void TqvScriptedDevice::Inject(std::vector<TChunk> chunks) {
  if (delivery_ == TDelivery::dlInline) {
    for (const auto& c : chunks) Deliver(c.Bytes);
    return;
  }
  {
    std::lock_guard lock(mutex_);
    for (auto& c : chunks) queue_.push_back(std::move(c));
  }
  cv_.notify_all();
}

void TqvScriptedDevice::Drain() {
  std::unique_lock lock(mutex_);
  while (!queue_.empty() || busy_) {
    lock.unlock();
    qv::platform::ProcessMessages();
    qv::platform::Sleep(2);
    lock.lock();
  }
}

void TqvScriptedDevice::Deliver(const std::string& bytes) {
  {
    std::lock_guard lock(mutex_);
    events_.push_back("rx:" + bytes);
  }
  DataReceived(bytes.data(), static_cast<uint32_t>(bytes.size()));
}

void TqvScriptedDevice::Run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    cv_.wait(lock, [&] { return stop_ || !queue_.empty(); });
    if (stop_) return;
    TChunk chunk = std::move(queue_.front());
    queue_.pop_front();
    busy_ = true;
    lock.unlock();
    if (chunk.DelayMs) qv::platform::Sleep(chunk.DelayMs);
    if (delivery_ == TDelivery::dlMainThread)
      qv::platform::RunOnMainThread([&] { Deliver(chunk.Bytes); });
    else
      Deliver(chunk.Bytes);
    lock.lock();
    busy_ = false;
  }
}

std::vector<std::string> TqvScriptedDevice::Sent() const {
  std::lock_guard lock(mutex_);
  return sent_;
}

std::vector<std::string> TqvScriptedDevice::Events() const {
  std::lock_guard lock(mutex_);
  return events_;
}

// ---------------------------------------------------------------------------


}  // namespace qvtest

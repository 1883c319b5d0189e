#include "qvcommtest.h"

#include <algorithm>

#include "platform/qvdispatcher.h"

namespace qv::test {

bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return done();
    qv::platform::PumpFor(5);
  }
  return true;
}

void PumpFor(std::chrono::milliseconds time) {
  const auto deadline = std::chrono::steady_clock::now() + time;
  while (std::chrono::steady_clock::now() < deadline) qv::platform::PumpFor(5);
}

void TqvRecordingProcessor::Note(std::string what) {
  std::lock_guard lock(mu_);
  events_.push_back(std::move(what));
  if (!qv::platform::IsMainThread()) offMain_ = true;
}

void TqvRecordingProcessor::DoProcessing(const char* Data, uint32_t Len, TIgnoreTypes& R) {
  {
    std::lock_guard lock(mu_);
    data_.append(Data, Len);
    ++blocks_;
    largest_ = std::max<size_t>(largest_, Len);
    if (!qv::platform::IsMainThread()) offMain_ = true;
  }
  TqvCustomDataProcessor::DoProcessing(Data, Len, R);
}

void TqvRecordingProcessor::MediumOpened() { Note("opened"); }
void TqvRecordingProcessor::MediumClosed() { Note("closed"); }

void TqvRecordingProcessor::DoAfterSendComplete(bool& flIgnore) {
  Note("txempty");
  std::lock_guard lock(mu_);
  if (claim_) flIgnore = true;
}

std::string TqvRecordingProcessor::Received() const {
  std::lock_guard lock(mu_);
  return data_;
}
size_t TqvRecordingProcessor::Blocks() const {
  std::lock_guard lock(mu_);
  return blocks_;
}
size_t TqvRecordingProcessor::LargestBlock() const {
  std::lock_guard lock(mu_);
  return largest_;
}
std::vector<std::string> TqvRecordingProcessor::Events() const {
  std::lock_guard lock(mu_);
  return events_;
}
bool TqvRecordingProcessor::AllOnMainThread() const {
  std::lock_guard lock(mu_);
  return !offMain_;
}
void TqvRecordingProcessor::SetClaimTxEmpty(bool v) {
  std::lock_guard lock(mu_);
  claim_ = v;
}

}  // namespace qv::test

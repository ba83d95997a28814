#include "tests/support/recording_host.h"

MessageAnswer RecordingHost::ShowMessage(const std::string& text, const std::string& caption, MessageStyle style,
                                         MessageOwner owner) {
  HostEvent event;
  event.kind = HostEvent::Kind::Message;
  event.message = HostMessage{text, caption, style, owner};
  std::lock_guard<TestLock> lock(mutex);
  event.at = now;
  events.push_back(event);
  if (!answers.empty()) {
    MessageAnswer answer = answers.front();
    answers.pop_front();
    return answer;
  }
  return style.buttons == MessageButtons::YesNo ? defaultYesNo : MessageAnswer::Ok;
}

void RecordingHost::SetProgressRange(int low, int high) {
  HostEvent event;
  event.kind = HostEvent::Kind::Range;
  event.a = low;
  event.b = high;
  Record(event);
}

void RecordingHost::SetProgress(int position) {
  HostEvent event;
  event.kind = HostEvent::Kind::Progress;
  event.a = position;
  Record(event);
}

void RecordingHost::SetStatus(const std::string& text) {
  HostEvent event;
  event.kind = HostEvent::Kind::Status;
  event.text = text;
  Record(event);
}

void RecordingHost::ShowStatus(bool visible) {
  HostEvent event;
  event.kind = HostEvent::Kind::ShowStatus;
  event.a = visible ? 1 : 0;
  Record(event);
}

void RecordingHost::Sleep(std::uint32_t milliseconds) {
  HostEvent event;
  event.kind = HostEvent::Kind::Sleep;
  event.a = static_cast<int>(milliseconds);
  std::lock_guard<TestLock> lock(mutex);
  event.at = now;
  events.push_back(event);
  now += milliseconds;
  slept += milliseconds;
}

std::string RecordingHost::DeviceIdListText() const {
  return deviceIdText ? *deviceIdText : FormatHost::DeviceIdListText();
}

void RecordingHost::ScriptAnswers(std::initializer_list<MessageAnswer> list) {
  std::lock_guard<TestLock> lock(mutex);
  answers.insert(answers.end(), list.begin(), list.end());
}

void RecordingHost::Record(HostEvent event) {
  std::lock_guard<TestLock> lock(mutex);
  event.at = now;
  events.push_back(std::move(event));
}

std::vector<HostEvent> RecordingHost::Events() const {
  std::lock_guard<TestLock> lock(mutex);
  return events;
}

std::vector<HostMessage> RecordingHost::Messages() const {
  std::vector<HostMessage> out;
  for (const HostEvent& e : Events())
    if (e.kind == HostEvent::Kind::Message) out.push_back(e.message);
  return out;
}

std::vector<std::string> RecordingHost::MessageTexts() const {
  std::vector<std::string> out;
  for (const HostMessage& m : Messages()) out.push_back(m.text);
  return out;
}

std::vector<int> RecordingHost::ProgressPositions() const {
  std::vector<int> out;
  for (const HostEvent& e : Events())
    if (e.kind == HostEvent::Kind::Progress) out.push_back(e.a);
  return out;
}

std::vector<std::string> RecordingHost::StatusTexts() const {
  std::vector<std::string> out;
  for (const HostEvent& e : Events())
    if (e.kind == HostEvent::Kind::Status) out.push_back(e.text);
  return out;
}

std::uint64_t RecordingHost::Now() const {
  std::lock_guard<TestLock> lock(mutex);
  return now;
}

std::uint64_t RecordingHost::TotalSleep() const {
  std::lock_guard<TestLock> lock(mutex);
  return slept;
}

void RecordingHost::Clear() {
  std::lock_guard<TestLock> lock(mutex);
  events.clear();
}

HostMessage ErrorBox(const std::string& text, MessageOwner owner) {
  return HostMessage{text, "Error", MessageStyle{MessageButtons::Ok, MessageIcon::Error}, owner};
}

HostMessage PlainErrorBox(const std::string& text) {
  return HostMessage{text, "Error", MessageStyle{MessageButtons::Ok, MessageIcon::None}, MessageOwner::None};
}

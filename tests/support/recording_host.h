// A FormatHost for tests: records every call in order, answers message boxes
// from a script and advances a virtual clock instead of sleeping.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/format_host.h"
#include "tests/support/test_lock.h"

struct HostMessage {
  std::string text;
  std::string caption;
  MessageStyle style{};
  MessageOwner owner = MessageOwner::None;

  bool operator==(const HostMessage& o) const {
    return text == o.text && caption == o.caption && style.buttons == o.style.buttons && style.icon == o.style.icon &&
           owner == o.owner;
  }
};

struct HostEvent {
  enum class Kind { Message, Range, Progress, Status, ShowStatus, Sleep };
  Kind kind = Kind::Message;
  HostMessage message{};  // Message
  int a = 0;              // Range: low; Progress: position; ShowStatus: visible; Sleep: milliseconds
  int b = 0;              // Range: high
  std::string text{};     // Status
  std::uint64_t at = 0;   // virtual time of the call, in milliseconds
};

class RecordingHost : public FormatHost {
 public:
  MessageAnswer ShowMessage(const std::string& text, const std::string& caption, MessageStyle style,
                            MessageOwner owner) override;
  void SetProgressRange(int low, int high) override;
  void SetProgress(int position) override;
  void SetStatus(const std::string& text) override;
  void ShowStatus(bool visible) override;
  void Sleep(std::uint32_t milliseconds) override;
  std::string DeviceIdListText() const override;

  // Answers for the next message boxes, in order. When the script runs out,
  // OK boxes answer Ok and Yes/No boxes answer `defaultYesNo`.
  void ScriptAnswers(std::initializer_list<MessageAnswer> answers);
  MessageAnswer defaultYesNo = MessageAnswer::Yes;

  // Replaces the identifier list the reader constructor loads.
  std::optional<std::string> deviceIdText;

  std::vector<HostEvent> Events() const;
  std::vector<HostMessage> Messages() const;
  std::vector<std::string> MessageTexts() const;
  std::vector<int> ProgressPositions() const;
  std::vector<std::string> StatusTexts() const;
  std::uint64_t Now() const;
  std::uint64_t TotalSleep() const;
  void Clear();

 private:
  void Record(HostEvent event);

  mutable TestLock mutex;
  std::vector<HostEvent> events;
  std::deque<MessageAnswer> answers;
  std::uint64_t now = 0;
  std::uint64_t slept = 0;
};

// Shorthands for the message styles the tool uses.
HostMessage ErrorBox(const std::string& text, MessageOwner owner = MessageOwner::Dialog);  // OK, error icon
HostMessage PlainErrorBox(const std::string& text);  // OK, no icon, no owner, caption "Error"

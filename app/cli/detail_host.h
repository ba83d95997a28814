// A FormatHost that adds lines of detail before every Yes/No question and
// passes everything else on: the confirmation of a format on a real reader
// names the device, its model and the card's size right above the question,
// and says when the card holds files. `late`, when given, is asked for its
// line (none when empty) only when the first question comes, and only then. `onYes`, when
// given, runs once the question is answered Yes: the format starts then.
#pragma once

#include <functional>
#include <iosfwd>
#include <string>

#include "engine/format_host.h"

class DetailHost : public FormatHost {
 public:
  DetailHost(FormatHost& inner, std::ostream& err, std::string detail, std::function<void()> onYes = {},
             std::function<std::string()> late = {});

  MessageAnswer ShowMessage(const std::string& text, const std::string& caption, MessageStyle style,
                            MessageOwner owner) override;
  void SetProgressRange(int low, int high) override { inner.SetProgressRange(low, high); }
  void SetProgress(int position) override { inner.SetProgress(position); }
  void SetStatus(const std::string& text) override { inner.SetStatus(text); }
  void ShowStatus(bool visible) override { inner.ShowStatus(visible); }
  void Sleep(std::uint32_t milliseconds) override { inner.Sleep(milliseconds); }
  std::string DeviceIdListText() const override { return inner.DeviceIdListText(); }

 private:
  FormatHost& inner;
  std::ostream& err;
  std::string detail;
  std::function<void()> onYes;
  std::function<std::string()> late;
};

// A FormatHost that shows nothing and answers No: the probes of a listing
// speak through the listing itself.
class QuietHost : public FormatHost {
 public:
  explicit QuietHost(FormatHost& inner) : inner(inner) {}
  MessageAnswer ShowMessage(const std::string&, const std::string&, MessageStyle style, MessageOwner) override {
    return style.buttons == MessageButtons::YesNo ? MessageAnswer::No : MessageAnswer::Ok;
  }
  void SetProgressRange(int, int) override {}
  void SetProgress(int) override {}
  void SetStatus(const std::string&) override {}
  void ShowStatus(bool) override {}
  void Sleep(std::uint32_t milliseconds) override { inner.Sleep(milliseconds); }
  std::string DeviceIdListText() const override { return inner.DeviceIdListText(); }

 private:
  FormatHost& inner;
};

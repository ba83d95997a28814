#include "app/cli/simulated_format.h"

#include <cerrno>
#include <cstdio>
#include <memory>
#include <ostream>

#include "app/cli/detail_host.h"
#include "app/cli/format_ending.h"
#include "app/cli/real_readers.h"
#include "app/cli/restore_step.h"
#include "app/cli/terminal_host.h"
#include "app/job/format_job.h"
#include "card/card_dump.h"
#include "card/card_files.h"
#include "card/card_tools.h"
#include "sim/reader.h"
#include "sim/sim_reader_device.h"

namespace {

// The terminal, with the clock of a simulated card: pauses cost nothing.
// Once the host under the card has failed, the format is asked to stop and
// the card's messages that follow from it ("Write MBR error!", or a
// "Format Complete!" after commands whose failure the format ignores) are
// not shown: the tool reports the host's failure instead.
class SimulatedCardHost : public FormatHost {
 public:
  SimulatedCardHost(TerminalHost& terminal_, const sim::Reader& reader_, CliContext& context_)
      : terminal(terminal_), reader(reader_), context(context_) {}

  MessageAnswer ShowMessage(const std::string& text, const std::string& caption, MessageStyle style,
                            MessageOwner owner) override {
    if (HostFailed() && style.buttons == MessageButtons::Ok) return MessageAnswer::Ok;
    return terminal.ShowMessage(text, caption, style, owner);
  }
  void SetProgressRange(int low, int high) override { terminal.SetProgressRange(low, high); }
  void SetProgress(int position) override { terminal.SetProgress(position); }
  void SetStatus(const std::string& text) override { terminal.SetStatus(text); }
  void ShowStatus(bool visible) override { terminal.ShowStatus(visible); }
  void Sleep(std::uint32_t milliseconds) override {
    if (context.virtualSleep) context.virtualSleep(milliseconds);
    if (HostFailed()) context.stopFlag.store(1);
  }
  std::string DeviceIdListText() const override { return terminal.DeviceIdListText(); }

  bool HostFailed() const { return !reader.LastError().empty(); }

 private:
  TerminalHost& terminal;
  const sim::Reader& reader;
  CliContext& context;
};

// An image that is no card image; a logical image gets a pointer to what
// takes it.
int RefuseImage(CliContext& context, const std::string& image, const std::string& error) {
  const std::string hint = LogicalImageHint(image);
  return Refuse(context, error + (hint.empty() ? "" : "\n" + hint));
}

constexpr const char* kFormatLeftCard = "the format stopped and the card is left as far as it got";

int HostFailure(CliContext& context, const std::string& error, const char* outcome = kFormatLeftCard) {
  context.err << "smformat: the host failed, not the card: " << error << "; " << outcome << "\n";
  return kExitFailure;
}

// The simulated reader finds its card as a real one is found, or "Device
// not found" is said.
constexpr int kReaderFound = -1;

int FindTheReader(CSimReader& device, SimulatedCardHost& host, const sim::Reader& reader, CliContext& context) {
  char found = 0;
  device.FindDevice(found);
  if (host.HostFailed()) return HostFailure(context, reader.LastError());
  if (device.IsOpen()) return kReaderFound;
  host.ShowMessage("Device not found", "Information", MessageStyle{MessageButtons::Ok, MessageIcon::Error},
                   MessageOwner::Dialog);
  return kExitFailure;
}

}  // namespace

int FormatSimulatedCard(const SimulatedFormat& request, CliContext& context) {
  const std::string& image = request.image;
  if (request.restorePath && card::SameFile(*request.restorePath, image)) {
    return Refuse(context, *request.restorePath + " is the card's own image, which the format erases first");
  }
  card::CardAndPlan opened = card::OpenCardAndPlan(image, request.geometry, card::Access::ReadWrite, context.openImage);
  if (!opened) return RefuseImage(context, image, opened.error);
  TerminalHost terminal(ConsoleIo(context, false), request.assumeYes);
  sim::Reader reader(*opened.card, opened.plan);
  SimulatedCardHost host(terminal, reader, context);
  CSimReader device(host, reader);

  if (const int missing = FindTheReader(device, host, reader, context); missing != kReaderFound) return missing;
  std::unique_ptr<RestoreStep> restore;
  if (request.restorePath) {
    restore = std::make_unique<RestoreStep>(*request.restorePath, device.geometry, context);
    if (!restore->Refusal().empty()) return Refuse(context, restore->Refusal());
    restore->Announce("After the format, the file system of " + *request.restorePath + " goes back onto the card:");
  }
  context.stopFlag.store(0);
  JobDesktop desktop;
  DetailHost asking(host, context.err, "", {}, [&device] { return CardFilesNotice(device); });
  FormatWatch watch(asking, context);
  const JobOutcome outcome = FormatJob(device, watch, desktop, context.stopFlag);
  int status = kExitSuccess;
  if (restore && outcome == JobOutcome::Completed && !host.HostFailed()) status = restore->Run(device, host);
  device.Close();
  const std::string commit = opened.card->Flush();
  if (host.HostFailed() || !commit.empty()) {
    return HostFailure(context, host.HostFailed() ? reader.LastError() : commit);
  }
  return TellFormatEnd(outcome, watch, device.geometry, context, status);
}

namespace {

std::string DumpOntoTheImage(const std::string& image, const std::string& out) {
  for (const std::string& own : {image, card::FaultSidecarPath(image)}) {
    if (card::SameFile(out, own)) return out + ": that is the card's own image or its sidecar; give another file";
  }
  return "";
}

}  // namespace

int ReadSimulatedCard(const std::string& image, const std::optional<card::CardGeometry>& geometry,
                      const CardRead& request, CliContext& context) {
  if (request.dumpPath) {
    std::string refusal = DumpOntoTheImage(image, *request.dumpPath);
    if (refusal.empty()) refusal = card::DumpTargetRefusal(*request.dumpPath, request.force);
    if (!refusal.empty()) return Refuse(context, refusal);
  }
  card::CardAndPlan opened = card::OpenCardAndPlan(image, geometry, card::Access::ReadOnly, context.openImage);
  if (!opened) return RefuseImage(context, image, opened.error);
  TerminalHost terminal(ConsoleIo(context, false), false);
  sim::Reader reader(*opened.card, opened.plan);
  SimulatedCardHost host(terminal, reader, context);
  CSimReader device(host, reader);
  if (const int missing = FindTheReader(device, host, reader, context); missing != kReaderFound) return missing;
  const int status = ReadCardIn(device, image + " (simulated reader)", request, context);
  device.Close();
  if (host.HostFailed()) return HostFailure(context, reader.LastError(), "nothing of the card can be trusted");
  return status;
}

namespace {

// A new file holding `bytes`; empty, or why it could not be written.
std::string WriteWholeFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  errno = 0;
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return path + ": " + card::SystemText(errno);
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  const int writeError = errno;
  const bool closed = std::fclose(file) == 0;
  if (written && closed) return "";
  return path + ": " + (writeError != 0 ? card::SystemText(writeError) : card::SystemText(errno));
}

// The copy a rehearsal formats: the image's pages and its fault plan,
// beside it; removed again when the rehearsal is over.
class RehearsalCopy {
 public:
  explicit RehearsalCopy(const std::string& image) : path(card::TemporarySibling(image)) {}
  ~RehearsalCopy() {
    card::RemoveQuietly(path);
    card::RemoveQuietly(card::FaultSidecarPath(path));
  }
  RehearsalCopy(const RehearsalCopy&) = delete;
  RehearsalCopy& operator=(const RehearsalCopy&) = delete;

  std::string Make(const card::CardAndPlan& original) {
    std::string problem = WriteWholeFile(path, original.card->Media().Bytes());
    if (problem.empty()) problem = card::SaveFaultPlan(path, original.plan);
    return problem;
  }
  const std::string& Path() const { return path; }

 private:
  std::string path;
};

}  // namespace

int RehearseSimulatedFormat(const SimulatedFormat& request, CliContext& context) {
  RehearsalCopy copy(request.image);
  {
    const card::CardAndPlan original =
        card::OpenCardAndPlan(request.image, request.geometry, card::Access::ReadOnly, context.openImage);
    if (!original) return Refuse(context, original.error);
    if (const std::string problem = copy.Make(original); !problem.empty()) {
      return Refuse(context, "cannot make the copy for the rehearsal: " + problem);
    }
  }
  context.err << "Rehearsal on a copy of " << request.image << " (" << copy.Path() << "); " << request.image
              << " stays as it is.\n";
  SimulatedFormat onCopy = request;
  onCopy.image = copy.Path();
  onCopy.assumeYes = true;
  const int status = FormatSimulatedCard(onCopy, context);
  const card::CardAndPlan after =
      card::OpenCardAndPlan(copy.Path(), request.geometry, card::Access::ReadOnly, context.openImage);
  if (after) {
    card::ImagePages pages(after.card->Media(), &after.plan);
    card::CardCheckOptions quick;
    quick.everyPage = false;
    context.out << "After the rehearsal the card would hold:\n";
    PrintCardCheck(context.out, card::CheckCard(pages, quick), "Card:", request.image + " (rehearsed)",
                   after.card->Geometry(), false);
  }
  context.err << "The rehearsal is over; " << request.image << " is as it was.\n";
  return status;
}

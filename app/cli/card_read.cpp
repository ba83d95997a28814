#include "app/cli/card_read.h"

#include <algorithm>
#include <memory>
#include <ostream>

#include "app/cli/format_forecast.h"
#include "app/cli/pass_meter.h"
#include "app/cli/real_readers.h"
#include "app/cli/restore_step.h"
#include "card/card_dump.h"
#include "card/card_files.h"
#include "card/page_source.h"
#include "engine/fat_volume.h"
#include "engine/reader_device.h"

namespace {

constexpr std::uint32_t kLastReadableSector = 0xFFFF;  // logical sectors travel as 16-bit numbers

std::string GeometryText(const card::CardGeometry& geometry) {
  const std::string name = card::StandardName(geometry);
  return (name.empty() ? "" : name + ", ") + card::Describe(geometry);
}

std::string GeometryOption(const card::CardGeometry& geometry) {
  std::string option;
  for (const card::UnitGeometry& unit : geometry.units) {
    option += (option.empty() ? "" : "+") + std::to_string(unit.blocks) + "x" + std::to_string(unit.pagesPerBlock);
  }
  return option;
}

int Check(card::PageSource& pages, const std::string& source, const CardRead& request, PassMeter& meter,
          const card::PassWatch& watch, CliContext& context) {
  card::CardCheckOptions options;
  options.everyPage = request.full;
  const card::CardCheck check = card::CheckCard(pages, options, watch);
  meter.Finish();
  PrintCardCheck(context.out, check, "Device:", source, pages.Geometry(), request.json);
  if (check.end != card::PassEnd::Complete) Refuse(context, card::PassEndText(check.end, "check"));
  return check.end == card::PassEnd::Stopped ? kExitDeclined : CheckStatus(check);
}

int Dump(card::PageSource& pages, const std::string& source, const CardRead& request, PassMeter& meter,
         const card::PassWatch& watch, CliContext& context) {
  const std::string& path = *request.dumpPath;
  card::DumpOptions options;
  options.replace = request.force;
  options.resuming = [&](std::uint64_t pagesRead, std::uint64_t total) {
    meter.StartFrom(pagesRead);
    context.err << "smformat: going on with the dump in " << card::PartialDumpPath(card::LinkTarget(path)) << ": "
                << pagesRead << " of " << total << " pages were read before\n";
  };
  const card::DumpResult dump = card::DumpCard(pages, path, watch, options);
  meter.Finish();
  if (!dump.error.empty()) {
    Refuse(context, dump.error);
    return dump.end == card::PassEnd::Stopped ? kExitDeclined : kExitFailure;
  }
  const card::CardGeometry& geometry = pages.Geometry();
  context.out << "Dumped " << source << " to " << path << ": " << dump.pages << " pages, " << GeometryText(geometry)
              << (dump.resumedAt != 0 ? ", " + std::to_string(dump.pages - dump.resumedAt) + " of them read now" : "")
              << "\n";
  const std::size_t unreadable = dump.sidecar.unreadablePages.size();
  if (unreadable != 0) {
    context.err << "smformat: warning: " << unreadable << (unreadable == 1 ? " page" : " pages")
                << " could not be read; " << card::FaultSidecarPath(path)
                << " lists them (unreadable-page), and the dump holds FF bytes there\n";
  }
  if (card::StandardName(geometry).empty()) {
    context.out << "The card is of no standard size: give --geometry " << GeometryOption(geometry)
                << " to smcard and to smformat --simulate with this dump.\n";
  }
  return unreadable != 0 ? kExitIncomplete : kExitSuccess;
}

// --dry-run: the quick check's reads, and what a format would make of them.
int Forecast(CReaderDevice& reader, card::PageSource& pages, const std::string& source, const CardRead& request,
             PassMeter& meter, const card::PassWatch& watch, CliContext& context) {
  std::unique_ptr<RestoreStep> restore;
  if (request.restorePath) {
    restore = std::make_unique<RestoreStep>(*request.restorePath, reader.geometry, context);
    if (!restore->Refusal().empty()) return Refuse(context, restore->Refusal());
  }
  card::CardCheckOptions quick;
  quick.everyPage = false;
  const card::CardCheck check = card::CheckCard(pages, quick, watch);
  meter.Finish();
  if (check.end != card::PassEnd::Complete) return Refuse(context, card::PassEndText(check.end, "dry run"));
  const FormatForecast forecast = ForecastFormat(check, pages.Geometry());
  context.out << "Device:          " << source << "\n"
              << "Geometry:        " << GeometryText(pages.Geometry()) << "\n"
              << "Dry run: nothing was written to the card. A format would\n";
  for (const std::string& line : forecast.lines) context.out << "  " << line << "\n";
  if (restore && !forecast.refused) {
    restore->Announce("After the format, the file system of " + *request.restorePath + " would go back onto the card:");
  }
  return forecast.refused ? kExitFailure : kExitSuccess;
}

}  // namespace

int ReadCardIn(CReaderDevice& reader, const std::string& source, const CardRead& request, CliContext& context) {
  std::string error;
  const card::CardGeometry geometry = card::ReaderGeometry(reader.geometry, error);
  if (!error.empty()) return Refuse(context, error);
  card::ReaderPages pages(reader, geometry);
  context.stopFlag.store(0);
  const bool quick = !request.dumpPath && !request.full;
  PassMeter meter(context,
                  request.dumpPath   ? "Dumping the card"
                  : request.forecast ? "Reading the card"
                                     : "Checking the card",
                  quick ? "first pages" : "pages");
  const card::PassWatch watch{[&meter](std::uint64_t done, std::uint64_t total) { meter.Update(done, total); },
                              &context.stopFlag};
  if (request.forecast) return Forecast(reader, pages, source, request, meter, watch, context);
  return request.dumpPath ? Dump(pages, source, request, meter, watch, context)
                          : Check(pages, source, request, meter, watch, context);
}

void PrintCardCheck(std::ostream& out, const card::CardCheck& check, const std::string& label,
                    const std::string& source, const card::CardGeometry& geometry, bool json) {
  if (json) {
    out << check.Json(source, GeometryText(geometry)) << "\n";
    return;
  }
  out << label << std::string(17 - std::min<std::size_t>(16, label.size()), ' ') << source << "\n"
      << "Geometry:        " << GeometryText(geometry) << "\n";
  for (const std::string& line : check.Report()) out << line << "\n";
}

int CheckStatus(const card::CardCheck& check) {
  if (check.Passed()) return kExitSuccess;
  return check.CardSound() ? kExitLayoutDiffers : kExitFailure;
}

std::string CardFilesNotice(CReaderDevice& reader) {
  std::uint32_t key = 0;
  reader.GetCapacity(&key, nullptr);
  const VolumeSurvey survey = SurveyVolume(
      [&reader](std::uint32_t sector, SectorBuffer& data) {
        return sector <= kLastReadableSector && !reader.CardGone() &&
               reader.ReadLBA(static_cast<std::uint16_t>(sector), 1, data.data()) == 1;
      },
      key);
  constexpr const char* kSaveFirst = " The format erases them; smformat --dump saves the whole card first.";
  if (survey.HoldsFiles()) return "The card holds files: " + survey.FilesText() + "." + kSaveFirst;
  if (survey.volume && !survey.rootRead) {
    return std::string("The card holds a FAT file system whose root directory cannot be read; it may hold files.") +
           kSaveFirst;
  }
  return "";
}

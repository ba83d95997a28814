#include "card/fault_plan.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "card/card_files.h"
#include "card/card_storage.h"

namespace card {

namespace {

template <typename Ref>
bool Contains(const std::vector<Ref>& list, const Ref& ref) {
  return std::find(list.begin(), list.end(), ref) != list.end();
}

bool ParseNumber(const std::string& text, int base, std::uint64_t limit, std::uint64_t& value) {
  if (text.empty() || text.size() > 20) return false;
  std::uint64_t result = 0;
  for (char c : text) {
    int digit = -1;
    if (c >= '0' && c <= '9') digit = c - '0';
    if (base == 16 && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    if (base == 16 && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    if (digit < 0) return false;
    result = result * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
    if (result > limit) return false;
  }
  value = result;
  return true;
}

bool ParseByte(const std::string& text, std::uint8_t& value) {
  std::uint64_t v = 0;
  if (!ParseNumber(text, 16, 0xFF, v)) return false;
  value = static_cast<std::uint8_t>(v);
  return true;
}

bool ParseUnitAndNumber(const std::string& text, std::uint8_t& unit, std::uint32_t& number) {
  const std::size_t colon = text.find(':');
  if (colon == std::string::npos) return false;
  std::uint64_t u = 0;
  std::uint64_t n = 0;
  if (!ParseNumber(text.substr(0, colon), 10, 31, u) || !ParseNumber(text.substr(colon + 1), 10, 0xFFFFFFFF, n)) {
    return false;
  }
  unit = static_cast<std::uint8_t>(u);
  number = static_cast<std::uint32_t>(n);
  return true;
}

std::string Hex(std::uint8_t value) {
  static const char kDigits[] = "0123456789ABCDEF";
  return std::string{kDigits[value >> 4], kDigits[value & 0xF]};
}

bool ParseCommandFault(std::istringstream& in, CommandFault& fault) {
  std::string command, at, count, extra;
  in >> command >> at >> count;
  const std::size_t slash = command.find('/');
  if (!ParseByte(command.substr(0, slash), fault.opcode)) return false;
  if (slash != std::string::npos) {
    std::uint8_t sub = 0;
    if (!ParseByte(command.substr(slash + 1), sub)) return false;
    fault.subFunction = sub;
  }
  std::uint64_t n = 0;
  if (at != "at" || !ParseNumber(count, 10, 0xFFFFFFFF, n) || n == 0) return false;
  fault.failAtCall = static_cast<std::uint32_t>(n);
  if (in >> extra) {
    if (extra != "and-later") return false;
    fault.andLater = true;
  }
  return true;
}

// Parses one non-empty line into the plan; false when it is not understood.
bool ParseLine(const std::string& line, FaultPlan& plan) {
  std::istringstream in(line);
  std::string key, arg;
  in >> key;
  if (key == "write-protect" || key == "unit-attention") {
    (key == "write-protect" ? plan.writeProtected : plan.unitAttention) = true;
    return !(in >> arg);
  }
  if (key == "inquiry-id") {
    std::getline(in >> std::ws, arg);
    // Blanks at the end mean nothing (the reply is padded with blanks) and
    // would not survive the plan's text form.
    arg.erase(arg.find_last_not_of(" \t\r\f\v") + 1);
    plan.inquiryId = arg;
    return true;
  }
  if (key == "fail-command") {
    CommandFault fault;
    if (!ParseCommandFault(in, fault)) return false;
    plan.commandFaults.push_back(fault);
    return true;
  }
  if (key == "media-info") {
    std::array<std::uint8_t, 36> reply{};
    for (std::uint8_t& byte : reply) {
      if (!(in >> arg) || !ParseByte(arg, byte)) return false;
    }
    plan.mediaInfoReply = reply;
    return !(in >> arg);
  }
  if (!(in >> arg)) return false;
  std::string rest;
  if (in >> rest) return false;
  std::uint8_t unit = 0;
  std::uint32_t number = 0;
  std::uint8_t byte = 0;
  std::uint64_t count = 0;
  if (key == "remove-after" && ParseNumber(arg, 10, 0xFFFFFFFF, count)) {
    plan.removeAfterCommands = static_cast<std::uint32_t>(count);
  } else if (key == "unreadable-page" && ParseUnitAndNumber(arg, unit, number)) {
    plan.unreadablePages.push_back({unit, number});
  } else if (key == "erase-fails" && ParseUnitAndNumber(arg, unit, number)) {
    plan.failingErase.push_back({unit, number});
  } else if (key == "program-fails" && ParseUnitAndNumber(arg, unit, number)) {
    plan.failingProgram.push_back({unit, number});
  } else if (key == "card-type" && ParseByte(arg, byte)) {
    plan.cardType = byte;
  } else if (key == "lun-map" && ParseByte(arg, byte)) {
    plan.lunMap = byte;
  } else {
    return false;
  }
  return true;
}

}  // namespace

bool FaultPlan::EraseFails(std::uint8_t unit, std::uint32_t block) const {
  return Contains(failingErase, BlockRef{unit, block});
}

bool FaultPlan::ProgramFails(std::uint8_t unit, std::uint32_t block) const {
  return Contains(failingProgram, BlockRef{unit, block});
}

bool FaultPlan::PageUnreadable(std::uint8_t unit, std::uint32_t page) const {
  return Contains(unreadablePages, PageRef{unit, page});
}

bool FaultPlan::Empty() const {
  return factoryBadBlocks.empty() && unreadablePages.empty() && failingErase.empty() && failingProgram.empty() &&
         commandFaults.empty() && !writeProtected && !unitAttention && !removeAfterCommands && !inquiryId &&
         !mediaInfoReply && !cardType && !lunMap;
}

std::string FaultSidecarPath(const std::string& imagePath) { return imagePath + ".faults"; }

FaultPlanLoad ParseFaultPlan(const std::string& text) {
  FaultPlanLoad result;
  std::istringstream in(text);
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::size_t hash = line.find('#');
    const std::string content = line.substr(0, hash);
    if (content.find_first_not_of(" \t") == std::string::npos) continue;
    if (!ParseLine(content, result.plan)) {
      result.error = "line " + std::to_string(number) + ": not a fault: " + line;
      return result;
    }
  }
  return result;
}

FaultPlanLoad LoadFaultPlan(const std::string& imagePath) {
  const std::string path = FaultSidecarPath(imagePath);
  if (!PathExists(path)) return {};
  // A sidecar that is there but cannot be read must not pass for "no faults":
  // a write-protected card would then be formatted.
  FaultPlanLoad result;
  result.error = CheckRegularFile(path, "a fault plan");
  if (!result.error.empty()) return result;
  errno = 0;
  std::ifstream file(path, std::ios::binary);
  std::string text(kMaxFaultPlanBytes + 1, '\0');
  if (file) file.read(&text[0], static_cast<std::streamsize>(text.size()));
  if (!file && !file.eof()) {
    result.error =
        path + ": cannot read the fault plan: " + (errno != 0 ? SystemText(errno) : "the system gave no reason");
    return result;
  }
  text.resize(static_cast<std::size_t>(file.gcount()));
  if (text.size() > kMaxFaultPlanBytes) {
    result.error = path + ": larger than " + std::to_string(kMaxFaultPlanBytes / 1024) + " KiB, so not a fault plan";
    return result;
  }
  result = ParseFaultPlan(text);
  if (!result.error.empty()) result.error = path + ": " + result.error;
  return result;
}

std::string FormatFaultPlan(const FaultPlan& plan) {
  std::ostringstream out;
  if (plan.writeProtected) out << "write-protect\n";
  if (plan.unitAttention) out << "unit-attention\n";
  if (plan.removeAfterCommands) out << "remove-after " << *plan.removeAfterCommands << "\n";
  for (const PageRef& p : plan.unreadablePages) out << "unreadable-page " << +p.unit << ":" << p.page << "\n";
  for (const BlockRef& b : plan.failingErase) out << "erase-fails " << +b.unit << ":" << b.block << "\n";
  for (const BlockRef& b : plan.failingProgram) out << "program-fails " << +b.unit << ":" << b.block << "\n";
  for (const CommandFault& f : plan.commandFaults) {
    out << "fail-command " << Hex(f.opcode);
    if (f.subFunction) out << "/" << Hex(*f.subFunction);
    out << " at " << f.failAtCall << (f.andLater ? " and-later" : "") << "\n";
  }
  if (plan.inquiryId) out << "inquiry-id " << *plan.inquiryId << "\n";
  if (plan.mediaInfoReply) {
    out << "media-info";
    for (std::uint8_t byte : *plan.mediaInfoReply) out << " " << Hex(byte);
    out << "\n";
  }
  if (plan.cardType) out << "card-type " << Hex(*plan.cardType) << "\n";
  if (plan.lunMap) out << "lun-map " << Hex(*plan.lunMap) << "\n";
  return out.str();
}

std::string SaveFaultPlan(const std::string& imagePath, const FaultPlan& plan) {
  const std::string path = FaultSidecarPath(imagePath);
  const std::string text = FormatFaultPlan(plan);
  if (text.empty()) {
    std::remove(path.c_str());
    return "";
  }
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << text;
  file.flush();
  if (!file) return "cannot write " + path;
  return "";
}

}  // namespace card

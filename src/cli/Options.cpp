#include "cli/Options.h"

#include <cmath>
#include <cstdio>
#include <exception>
#include <functional>

#include "formats/Answers.h"
#include "formats/OptionTable.h"
#include "protocols/CardProtocol.h"
#include "protocols/Prompts.h"
#include "protocols/Stages.h"
#include "protocols/Terminal.h"

#ifndef OSTRA_VERSION
#define OSTRA_VERSION "0"
#endif

namespace ostra::cli {

namespace {

using Row = OptionRow<Options>;
using Apply = Row::Apply;

std::string BadNumber(const std::string& option, const std::string& text) {
  return "--" + option + ": '" + text + "' is not a number; give " + kNumberForms;
}

// A number option: the whole text one number, as the prompts take it, that check accepts.
Apply Number(const char* option, std::optional<double> Options::*field,
             std::function<CheckedNumber(double)> check) {
  return [option, field, check](Options& o, const std::string& text) -> std::string {
    try {
      const std::optional<double> value = ParseNumberAnswer(text);
      if (!value) return BadNumber(option, text);
      const CheckedNumber checked = check(*value);
      if (!checked.value) return "--" + std::string(option) + ": " + checked.refusal;
      o.*field = value;
      return {};
    } catch (const std::exception&) {
      return BadNumber(option, text);
    }
  };
}

// "auto" or "keep" in place of a number: true when text is one of them (and sets it).
bool NumberWord(const std::string& text, std::optional<double>& number, bool& automatic,
                bool& keep) {
  automatic = text == "auto";
  keep = text == "keep";
  if (automatic || keep) number.reset();
  return automatic || keep;
}

const std::vector<Row>& Table() {
  static const std::vector<Row> table = {
      {"port", 'p', "DEVICE",
       "serial device: a path, or COM<n> or <n> for port n as the window opens it "
       "(default: port 1); given again, a card is loaded on every port at the same time",
       [](Options& o, const std::string& text) -> std::string {
         if (text.empty()) return "--port needs a device";
         o.ports.push_back(text);
         return {};
       }},
      {"hardware", 'd', "DIR", "hardware directory (default: the current directory)",
       TextOption(&Options::hardware)},
      {"type", 't', "TYPE",
       "hardware type as the window lists it: a type of the hardware directory, None, "
       "Upload, Firmware 5830 or Firmware 5846; with --report, only the cards of this type",
       TextOption(&Options::type)},
      {"app", 'a', "FILE", "application file (default: none, as an empty file box)",
       TextOption(&Options::application)},
      {"serial", 's', "N|auto|keep",
       "serial number of the card (0 to 4294967295), auto for the next free number of the card "
       "records, or keep for the number the card carries (it is identified first) (default: auto "
       "when the cards are recorded, else the number the window offers); with --records, list "
       "only the cards with this serial number",
       [](Options& o, const std::string& text) -> std::string {
         if (NumberWord(text, o.serial, o.serialAuto, o.serialKeep)) return {};
         return Number("serial", &Options::serial, CheckSerialNumber)(o, text);
       }},
      {"nic", 'n', "N|auto|keep",
       "Ethernet-address number (0 to 16777215), or a whole address with the cards' prefix, "
       "auto for the next free address of the card records, or keep for the address the card "
       "carries (default: auto when the cards are recorded, else the number the window "
       "offers); with --records, list only the cards with it",
       [](Options& o, const std::string& text) -> std::string {
         if (NumberWord(text, o.nic, o.nicAuto, o.nicKeep)) return {};
         try {
           const NicAnswer answer = ParseNicAnswer(text, NicVendorPrefix);
           if (!answer.number) return "--nic: '" + text + "': " + answer.error;
           o.nic = answer.number;
           return {};
         } catch (const std::exception&) {
           return BadNumber("nic", text);
         }
       }},
      {"memory-info", 'm', "yes|no",
       "answer to \"Generate information for file ?\" (default: no, the dialog's default)",
       [](Options& o, const std::string& text) -> std::string {
         if (text != "yes" && text != "no") return "--memory-info takes yes or no";
         o.memoryInformation = text == "yes";
         return {};
       }},
      {"upload-start", '\0', "N",
       "start address of the upload, in the card's flash (0 to 0x3FFFF) (default: the window's "
       "offer)",
       Number("upload-start", &Options::uploadStart,
              [](double start) { return CheckUploadStart(start, 1, card::kFlashTop); })},
      {"upload-size", '\0', "N",
       "size of the upload in bytes, 1 to 262144 and within the flash (default: the window's "
       "offer)",
       Number("upload-size", &Options::uploadSize, CheckUploadSize)},
      {"output", 'o', "FILE",
       "file the upload writes (default: Upload.mon in the hardware directory); with --verify, "
       "the folder of FILE keeps what a verify that failed read",
       TextOption(&Options::output)},
      {"output-format", '\0', "card|standard",
       "records of the upload: the cards' own (default), or standard S3 records that other "
       "tools read",
       [](Options& o, const std::string& text) -> std::string {
         if (text != "card" && text != "standard") return "--output-format takes card or standard";
         o.standardOutput = text == "standard";
         return {};
       }},
      {"verify", '\0', nullptr,
       "after loading, read back what the monitor stage programmed and compare it (the card is "
       "cycled with its links in boot positions)",
       FlagOption(&Options::verify)},
      {"identify", '\0', nullptr,
       "read the serial number and Ethernet address the card carries (through Upload.sub of "
       "the hardware directory), instead of a download",
       FlagOption(&Options::identify)},
      {"reload", 'r', nullptr, "read the monitor file afresh (the window's Reload box)",
       FlagOption(&Options::reload)},
      {"cards", 'c', "N",
       "load N cards one after another on each port; serial and Ethernet numbers count "
       "up by one per card (default: 1)",
       [](Options& o, const std::string& text) -> std::string {
         std::optional<double> value;
         try {
           value = ParseNumberAnswer(text);
         } catch (const std::exception&) {
         }
         if (!value || *value < 1 || *value > 1000000 || *value != std::trunc(*value)) {
           return "--cards takes a whole number from 1, not '" + text + "'";
         }
         o.cards = static_cast<int>(*value);
         return {};
       }},
      {"yes", 'y', nullptr, "do not wait for Enter at the wiring prompts; print them and go on",
       FlagOption(&Options::yes)},
      {"json", 'j', nullptr,
       "one JSON object per line on standard output: log lines, messages, stages and a "
       "result per card",
       FlagOption(&Options::json)},
      {"log", 'l', "FILE", "also write the log, oldest first with times, to FILE",
       TextOption(&Options::logFile)},
      {"command", '\0', "TEXT",
       "send one terminal command and print the reply, instead of a download",
       [](Options& o, const std::string& text) -> std::string {
         if (text.size() > static_cast<std::size_t>(kTerminalMaxCommand)) {
           return "--command: the text has " + std::to_string(text.size()) +
                  " characters; a terminal line holds at most " +
                  std::to_string(kTerminalMaxCommand);
         }
         o.command = text;
         return {};
       }},
      {"record", '\0', "LOCATION",
       "keep the card records at LOCATION: an SQLite file, or "
       "postgresql://user@host/db for a store several benches share (default: records.sqlite "
       "in the user's data folder)",
       TextOption(&Options::record)},
      {"no-record", '\0', nullptr, "do not record the cards (numbers are not checked)",
       FlagOption(&Options::noRecord)},
      {"new-store", '\0', nullptr,
       "start a new store of card records where the one this bench used is missing, empty or "
       "another (numbers then start again: only when the old store is truly gone)",
       FlagOption(&Options::newStore)},
      {"reuse", '\0', nullptr,
       "use a serial number or Ethernet address given to another card again (the same card "
       "programmed again)",
       FlagOption(&Options::reuse)},
      {"records", '\0', nullptr,
       "list the card records, newest first, instead of a download (filters: --serial, --nic, "
       "--since)",
       FlagOption(&Options::listRecords)},
      {"since", '\0', "DATE",
       "with --records or --report: only cards started at or after DATE (2026-12-07)",
       TextOption(&Options::since)},
      {"report", '\0', "FILE",
       "write a report of the card records with charts to FILE, a PDF, or one self-contained "
       "page when FILE ends in .html, instead of a download (filters: --since, --until, "
       "--type, --bench); exit status 1 when it cannot be written",
       TextOption(&Options::report)},
      {"until", '\0', "DATE",
       "with --report: only cards started before DATE (a date alone: up to the end of that day)",
       TextOption(&Options::until)},
      {"bench", '\0', "NAME", "with --report: only the cards of this bench (its host name)",
       TextOption(&Options::bench)},
      {"csv", '\0', nullptr, "with --records: write CSV", FlagOption(&Options::csv)},
      {"list-ports", '\0', nullptr,
       "list the serial devices present: device, description and stable name",
       FlagOption(&Options::listPorts)},
      {"list-types", '\0', nullptr, "list the hardware types of the hardware directory",
       FlagOption(&Options::listTypes)},
      {"help", 'h', nullptr, "show this help and exit", FlagOption(&Options::help)},
      {"version", 'V', nullptr, "show the version and exit", FlagOption(&Options::version)},
  };
  return table;
}

}  // namespace

ParsedOptions ParseOptions(const std::vector<std::string>& args) {
  ParsedOptions parsed;
  parsed.error = ApplyOptions(Table(), args, parsed.options);
  if (!parsed.error.empty()) return parsed;
  const Options& o = parsed.options;
  const CheckedNumber range =
      o.uploadStart && o.uploadSize
          ? CheckUploadStart(*o.uploadStart, static_cast<uint32_t>(*o.uploadSize), card::kFlashTop)
          : CheckedNumber{0, {}};
  if (!range.value) {
    parsed.error = "--upload-start and --upload-size: " + range.refusal;
  } else if (o.noRecord &&
             (o.serialAuto || o.nicAuto || o.listRecords || o.reuse || !o.report.empty())) {
    parsed.error = "--no-record leaves no card records for auto, --reuse, --records or --report";
  } else if (o.report.empty() && (!o.until.empty() || !o.bench.empty())) {
    parsed.error = "--until and --bench go with --report";
  } else if (o.noRecord && !o.record.empty()) {
    parsed.error = "--record and --no-record exclude each other";
  }
  return parsed;
}

std::string HelpText() {
  return ProgramHelp(
      "Usage: ostra-load [OPTION]...\n"
      "Load software onto controller cards over a serial port, as the window does.\n",
      Table(), 30, true,
      "Numbers are decimal, or hexadecimal written &H or 0x, or octal written &O.\n"
      "Messages go to standard error, the log's lines to standard output.\n"
      "\n"
      "Exit status:\n"
      "  0    every card loaded\n"
      "  1    a card failed\n"
      "  2    a usage or input-file error, found before anything was sent\n"
      "  3    the port could not be opened\n"
      "  4    the card records could not be reached\n"
      "  130  interrupted\n",
      {"ostra-load --port /dev/ttyUSB0 --hardware cards --type 7eth --app app.sr --serial 1001",
       "ostra-load -p COM2 -d cards -t cpu1 -a app.sr --cards 10 --yes --log batch.log"});
}

std::string VersionText() {
  return std::string("ostra-load ") + OSTRA_VERSION + "\n";
}

}  // namespace ostra::cli

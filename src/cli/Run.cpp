#include "cli/Run.h"

#include <signal.h>
#include <unistd.h>

#include <QSerialPortInfo>
#include <QTextStream>
#include <algorithm>
#include <cctype>
#include <filesystem>
#include <system_error>
#include <thread>
#include <vector>

#include "cli/Report.h"
#include "download/ApplicationCheck.h"
#include "download/Catalogue.h"
#include "download/Download.h"
#include "files/AtomicFile.h"
#include "formats/Hex.h"
#include "formats/LoaderError.h"
#include "link/PortDevice.h"
#include "link/codeDLL.h"
#include "protocols/BootProbe.h"
#include "protocols/Files.h"
#include "protocols/HardwareType.h"
#include "protocols/Stages.h"
#include "protocols/Terminal.h"
#include "records/CardRecordStore.h"
#include "records/RecordStore.h"

#ifndef OSTRA_VERSION
#define OSTRA_VERSION "0"
#endif

namespace ostra::cli {

namespace {

namespace fs = std::filesystem;

// A device given by its path gets a port number of the command line's own, above the
// ports a technician names.
constexpr int kFirstPathPort = 1001;

struct Port {
  std::string text;  // as given
  int number = 1;
};

// "COM<n>" (any case) or "<n>" is port n; anything else is a device path.
std::optional<int> PortNumber(const std::string& text) {
  std::string digits = text;
  if (digits.size() > 3 && std::equal(digits.begin(), digits.begin() + 3, "COM",
                                      [](char a, char b) { return std::toupper(a) == b; })) {
    digits = digits.substr(3);
  }
  if (digits.empty() || digits.size() > 6 ||
      !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  const int n = std::stoi(digits);
  return n >= 1 ? std::optional<int>(n) : std::nullopt;
}

bool StartsWith(const std::string& text, const char* prefix) {
  return text.rfind(prefix, 0) == 0;
}

// The procedures that begin with the boot ROM transfer, so that a next card can be
// waited for with the boot probe.
bool BeginsWithBootTransfer(const std::string& type) {
  return type != "None" && !StartsWith(type, "Firmware");
}

std::string SignalName(int signal) {
  switch (signal) {
    case SIGINT:
      return "SIGINT";
    case SIGTERM:
      return "SIGTERM";
    case SIGPIPE:
      return "SIGPIPE";
    default:
      return "interrupted";
  }
}

int UsageError(std::FILE* err, const std::string& text) {
  std::fprintf(err, "ostra-load: %s\n", text.c_str());
  return kExitUsage;
}

// The stable names of devices: the links of /dev/serial/by-id and by-path.
std::string StableName(const std::string& device) {
  std::error_code error;
  const fs::path target = fs::canonical(device, error);
  if (error) return "-";
  for (const char* dir : {"/dev/serial/by-id", "/dev/serial/by-path"}) {
    for (const auto& entry : fs::directory_iterator(dir, error)) {
      std::error_code linkError;
      if (fs::canonical(entry.path(), linkError) == target && !linkError) {
        return entry.path().string();
      }
    }
  }
  return "-";
}

int ListPorts(std::FILE* out) {
  for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
    const std::string device = info.systemLocation().toStdString();
    std::string description = info.description().toStdString();
    if (description.empty()) description = "-";
    std::fprintf(out, "%s\t%s\t%s\n", device.c_str(), description.c_str(),
                 StableName(device).c_str());
  }
  return kExitLoaded;
}

// The window's list of types: the fixed entries, then the directory's.
std::vector<std::string> TypeList(const std::string& dir, std::error_code& error) {
  std::vector<std::string> list = FixedHardwareTypes();
  const std::vector<std::string> found = HardwareTypesIn(dir, error);
  list.insert(list.end(), found.begin(), found.end());
  return list;
}

int ListTypes(const Options& options, std::FILE* out, std::FILE* err) {
  std::error_code error;
  const std::vector<std::string> list = TypeList(options.hardware, error);
  if (error) {
    return UsageError(
        err, "Cannot list the hardware directory " + options.hardware + ": " + error.message());
  }
  for (const std::string& type : list) std::fprintf(out, "%s\n", type.c_str());
  return kExitLoaded;
}

// What is checked before anything is sent: the type, its hardware files, the
// application file. The type as the list spells it, or the error.
std::string CheckDownload(const Options& options, std::string& type) {
  if (options.type.empty()) return "--type is required (--list-types shows the types)";
  std::error_code error;
  const std::vector<std::string> list = TypeList(options.hardware, error);
  const int at = FindHardwareType(list, options.type);
  if (at < 0) {
    if (error) {
      return "Cannot list the hardware directory " + options.hardware + ": " + error.message();
    }
    return "Unknown hardware type '" + options.type + "' in " + options.hardware +
           " (--list-types shows the types)";
  }
  type = list[static_cast<std::size_t>(at)];
  const std::vector<std::string> missing = MissingHardwareFiles(options.hardware, type);
  if (!missing.empty()) {
    return ProcedureFor(type) == Procedure::Upload
               ? "The Upload file doesn't exist: no Upload.sub in " + options.hardware
               : MissingHardwareFilesText(missing, options.hardware);
  }
  if (!options.output.empty() && ProcedureFor(type) == Procedure::Upload) {
    try {
      files::CheckWritable(PathOfText(options.output), "ostra-load");
    } catch (const std::exception& e) {
      return e.what();
    }
  }
  if (!options.application.empty()) {
    const auto found = FindFile(PathOfText(options.application));
    if (!found) return "Cannot open " + options.application + ": no such file";
    const ApplicationCheck check = CheckApplicationFile(*found);
    if (!check.ok()) return check.Text();
  }
  return {};
}

std::string OpenFailure() {
  VrErrorInfo info{};
  VrGetErrorInfo(0, &info);
  return std::string(info.text, strnlen(info.text, sizeof info.text));
}

struct PortOutcome {
  std::vector<CardResult> results;
  bool portFailed = false;
  std::string recordsFailure;  // the card records failed: why
};

// The cards' Ethernet prefix as the records keep it: 6 hex digits.
std::string VendorPrefixHex() {
  std::string hex;
  for (unsigned char byte : NicVendorPrefix) hex += ByteToHex(byte);
  return hex;
}

// Where the cards are recorded: "" when they are not. The default file's path is found
// here, on the main thread.
std::string RecordLocation(const Options& options) {
  if (options.noRecord || options.command) return {};
  if (!options.record.empty()) return options.record;
  return records::RecordStore::DefaultSqlitePath().toStdString();
}

// What the records say before anything is sent: reachable, and no number asked for that
// another card has (unless --reuse). An error text, "" when all is well.
std::string CheckRecords(const Options& options, const std::string& location, int ports,
                         int& status) {
  status = kExitRecords;
  std::unique_ptr<records::RecordStore> store;
  try {
    store = records::RecordStore::Open(QString::fromStdString(location),
                                       records::OpenOptions{options.newStore, {}});
  } catch (const records::StoreMissing& e) {
    return std::string(e.what()) + "; --new-store starts a new store there";
  } catch (const std::exception& e) {
    return e.what();
  }
  status = kExitUsage;
  if ((options.serial || options.nic) && ports > 1) {
    return "--serial N and --nic N would give every port the same numbers: leave them out "
           "(auto) when several ports load at once";
  }
  if (options.reuse) return {};
  try {
    for (int k = 0; k < options.cards; ++k) {
      if (options.serial && *options.serial + k >= 1 && *options.serial + k <= 4294967295.0) {
        const auto serial = static_cast<uint32_t>(*options.serial + k);
        if (auto owner = store->FindSerialOwner(serial)) {
          return "Serial number " + std::to_string(serial) + " was given already to the card " +
                 records::DescribeCard(*owner) + "; --reuse uses it again";
        }
      }
      if (options.nic && *options.nic + k >= 0 && *options.nic + k <= 0xFFFFFF) {
        const QString address = records::EthernetAddress(QString::fromStdString(VendorPrefixHex()),
                                                         static_cast<uint32_t>(*options.nic + k));
        if (auto owner = store->FindEthernetOwner(address)) {
          return "Ethernet address " + address.toStdString() + " was given already to the card " +
                 records::DescribeCard(*owner) + "; --reuse uses it again";
        }
      }
    }
  } catch (const records::StoreError& e) {
    status = kExitRecords;
    return e.what();
  }
  return {};
}

int ListRecords(const Options& options, std::FILE* out, std::FILE* err) {
  records::RecordFilter filter;
  if (options.serial) filter.serialNumber = static_cast<uint32_t>(*options.serial);
  if (options.nic) {
    filter.ethernetAddress = records::EthernetAddress(QString::fromStdString(VendorPrefixHex()),
                                                      static_cast<uint32_t>(*options.nic));
  }
  if (!options.since.empty()) {
    filter.since = QDateTime::fromString(QString::fromStdString(options.since), Qt::ISODate);
    if (!filter.since.isValid()) {
      return UsageError(err, "--since: '" + options.since + "' is not a date (2026-12-07)");
    }
  }
  try {
    const std::string location = options.record.empty()
                                     ? records::RecordStore::DefaultSqlitePath().toStdString()
                                     : options.record;
    const auto store = records::RecordStore::OpenForReading(QString::fromStdString(location));
    const std::vector<records::CardRecord> found = store->Find(filter);
    QTextStream stream(out);
    if (options.csv) {
      records::RecordStore::WriteCsv(found, stream);
      return kExitLoaded;
    }
    for (const records::CardRecord& r : found) {
      stream << r.startedAt.toUTC().toString(Qt::ISODate) << "  " << QString::fromStdString(r.bench)
             << "  " << QString::fromStdString(r.port) << "  "
             << QString::fromStdString(r.hardwareType) << "  serial "
             << (r.serialNumber ? QString::number(*r.serialNumber) : QStringLiteral("-"))
             << "  NIC " << (r.ethernetAddress.isEmpty() ? QStringLiteral("-") : r.ethernetAddress)
             << "  " << (r.outcome.isEmpty() ? QStringLiteral("unfinished") : r.outcome);
      if (!r.failureMessage.empty()) {
        stream << " (" << QString::fromStdString(r.failureStage) << ": "
               << QString::fromStdString(r.failureMessage).replace("\r\n", " ") << ")";
      }
      stream << "\n";
    }
    return kExitLoaded;
  } catch (const std::exception& e) {
    std::fprintf(err, "ostra-load: %s\n", e.what());
    return kExitRecords;
  }
}

PortOutcome RunPort(const Options& options, Output& output, const Port& port, bool labelled,
                    const std::string& type, const std::string& recordLocation,
                    const StopFlag& stop) {
  PortOutcome outcome;
  LoaderState state;
  state.SetExternalStop(&stop, [] { return SignalName(StopSignal().load()); });
  CliFrontEnd frontEnd(state, options, output, labelled ? port.text : "", stop);
  // Each port keeps its own connection to the records (they belong to one thread).
  std::unique_ptr<records::CardRecordStore> records;
  if (!recordLocation.empty()) {
    try {
      records = std::make_unique<records::CardRecordStore>(
          records::RecordStore::Open(QString::fromStdString(recordLocation)),
          records::RecordContext{"ostra-load", DeviceForPort(port.number), OSTRA_VERSION,
                                 VendorPrefixHex()},
          records::CardRecordStore::Mode::Strict);
    } catch (const std::exception& e) {
      outcome.recordsFailure = e.what();
      output.Note(frontEnd.origin(), e.what());
      return outcome;
    }
    state.records = records.get();
  }
  state.connection.SetPort(port.number);
  if (!state.connection.Connect()) {  // as the window opens it at start-up
    output.Note(frontEnd.origin(), OpenFailure());
    outcome.portFailed = true;
    return outcome;
  }
  if (options.command) {
    frontEnd.BeginCard(0);
    const bool answered = SendTerminalLine(state, frontEnd, *options.command, {});
    CardResult result;
    result.origin = frontEnd.origin();
    result.ok = answered && !stop.load();
    result.interrupted = stop.load();
    outcome.results.push_back(result);
    return outcome;
  }
  for (int card = 1; card <= options.cards && !stop.load(); ++card) {
    if (card > 1 && options.yes && BeginsWithBootTransfer(type)) {
      Origin next = frontEnd.origin();
      next.card = card;
      output.Note(next, "Waiting for card " + std::to_string(card) + " (boot probe) ...");
      if (!WaitForBootRom(state, [&stop] { return !stop.load(); })) {
        if (stop.load()) {
          output.Note(next, "Interrupted while waiting for card " + std::to_string(card) + ".");
          break;
        }
        output.Note(next, "The line failed while waiting for the next card.");
        outcome.portFailed = true;
        break;
      }
    }
    frontEnd.BeginCard(card);
    const RunOutcome ran =
        RunDownload(state, RequestFor(options, type, card, records != nullptr), frontEnd, frontEnd);
    CardResult result = ResultOf(frontEnd.origin(), ran);
    if (ProcedureFor(type) == Procedure::Upload) result.doneWord = "read";
    if (result.interrupted) {
      output.Note(result.origin, result.stage.empty()
                                     ? "Interrupted before any stage began."
                                     : "Interrupted in the " + result.stage + " stage.");
    }
    output.Result(result);
    outcome.results.push_back(std::move(result));
    // No card goes on without its record.
    const bool recordsFailed =
        ran.failure.kind == FailureKind::Records ||
        std::any_of(ran.warnings.begin(), ran.warnings.end(),
                    [](const RunWarning& w) { return w.kind == WarningKind::Records; });
    if (recordsFailed) {
      outcome.recordsFailure =
          records && records->Failure() ? *records->Failure() : ran.failure.text;
      output.Note(frontEnd.origin(), outcome.recordsFailure);
      break;
    }
  }
  return outcome;
}

}  // namespace

namespace {
// Constant-initialised, so that a signal handler may store into it at any time.
std::atomic<int> stopSignal{0};
// --identify: each port's card read through Upload.sub, its numbers and its last record.
int IdentifyCards(const Options& options, std::FILE* out, std::FILE* err, const StopFlag& stop) {
  if (!FindFile(PathOfText(options.hardware), "Upload.sub")) {
    return UsageError(err, "The Upload file doesn't exist: no Upload.sub in " + options.hardware);
  }
  Output output({out, err, isatty(fileno(err)) == 1}, options.json);
  const std::string location = RecordLocation(options);
  int status = kExitLoaded;
  const std::vector<std::string> given =
      options.ports.empty() ? std::vector<std::string>{"1"} : options.ports;
  for (std::size_t i = 0; i < given.size() && !stop.load(); ++i) {
    int number = kFirstPathPort + static_cast<int>(i);
    if (const auto n = PortNumber(given[i])) {
      number = *n;
    } else {
      SetCommandLineDevice(number, given[i]);
    }
    LoaderState state;
    state.SetExternalStop(&stop, [] { return SignalName(StopSignal().load()); });
    CliFrontEnd frontEnd(state, options, output, given.size() > 1 ? given[i] : "", stop);
    std::unique_ptr<records::CardRecordStore> records;
    if (!location.empty()) {
      try {
        records = std::make_unique<records::CardRecordStore>(
            records::RecordStore::Open(QString::fromStdString(location)),
            records::RecordContext{"ostra-load", DeviceForPort(number), OSTRA_VERSION,
                                   VendorPrefixHex()},
            records::CardRecordStore::Mode::Lenient);
        state.records = records.get();
      } catch (const std::exception& e) {
        output.Note(frontEnd.origin(), e.what());  // the card is read all the same
      }
    }
    state.connection.SetPort(number);
    if (!state.connection.Connect()) {
      output.Note(frontEnd.origin(), OpenFailure());
      status = std::max(status, static_cast<int>(kExitPort));
      continue;
    }
    DownloadRequest request;
    request.hardwareDirectory = options.hardware;
    const RunOutcome outcome = IdentifyCard(state, request, frontEnd, frontEnd);
    if (outcome.identity) {
      output.Identity(frontEnd.origin(), *outcome.identity, outcome.knownCard);
    } else if (status == kExitLoaded) {
      status = outcome.end == RunEnd::Cancelled ? kExitInterrupted : kExitCardFailed;
    }
  }
  return stop.load() ? kExitInterrupted : status;
}

}  // namespace

std::atomic<int>& StopSignal() {
  return stopSignal;
}

int ExitStatus(const std::vector<CardResult>& results, bool portFailed, bool recordsFailed,
               bool interrupted) {
  if (interrupted) return kExitInterrupted;
  if (recordsFailed) return kExitRecords;
  if (portFailed && results.empty()) return kExitPort;
  const bool anyFailed = std::any_of(results.begin(), results.end(), [](const CardResult& r) {
    return !r.ok && r.end != RunEnd::Refused;
  });
  if (anyFailed || portFailed) return kExitCardFailed;
  // Refused before anything was sent: the input was wrong, as a usage error is.
  const bool anyRefused = std::any_of(results.begin(), results.end(),
                                      [](const CardResult& r) { return r.end == RunEnd::Refused; });
  return anyRefused ? kExitUsage : kExitLoaded;
}

int Run(const Options& options, std::FILE* out, std::FILE* err, const StopFlag& stop) {
  if (options.help) {
    std::fputs(HelpText().c_str(), out);
    return kExitLoaded;
  }
  if (options.version) {
    std::fputs(VersionText().c_str(), out);
    return kExitLoaded;
  }
  if (options.listPorts) return ListPorts(out);
  if (options.listTypes) return ListTypes(options, out, err);
  if (options.listRecords) return ListRecords(options, out, err);
  if (!options.report.empty()) return WriteReport(options, out, err);

  if (options.identify) return IdentifyCards(options, out, err, stop);

  std::string type;
  if (!options.command) {
    if (std::string error = CheckDownload(options, type); !error.empty()) {
      return UsageError(err, error);
    }
  }

  std::vector<Port> ports;
  const std::vector<std::string> given =
      options.ports.empty() ? std::vector<std::string>{"1"} : options.ports;
  for (std::size_t i = 0; i < given.size(); ++i) {
    Port port{given[i], 1};
    if (const auto number = PortNumber(given[i])) {
      port.number = *number;
    } else {
      port.number = kFirstPathPort + static_cast<int>(i);
      SetCommandLineDevice(port.number, given[i]);
    }
    for (const Port& other : ports) {
      if (DeviceForPort(other.number) == DeviceForPort(port.number)) {
        return UsageError(err, "The port " + given[i] + " is given twice");
      }
    }
    ports.push_back(port);
  }

  const std::string recordLocation = RecordLocation(options);
  if (!recordLocation.empty()) {
    int status = kExitUsage;
    const std::string error =
        CheckRecords(options, recordLocation, static_cast<int>(ports.size()), status);
    if (!error.empty()) {
      std::fprintf(err, "ostra-load: %s\n", error.c_str());
      return stop.load() ? kExitInterrupted : status;
    }
  } else if (options.serialAuto || options.nicAuto) {
    return UsageError(err, "auto numbers need the card records");
  }

  Output output({out, err, isatty(fileno(err)) == 1}, options.json);
  if (!options.logFile.empty()) {
    std::string error;
    if (!output.OpenLogFile(options.logFile, error)) return UsageError(err, error);
  }

  std::vector<PortOutcome> outcomes(ports.size());
  const bool labelled = ports.size() > 1;
  if (ports.size() == 1) {
    outcomes[0] = RunPort(options, output, ports[0], labelled, type, recordLocation, stop);
  } else {
    // One core state per port, each on its own thread.
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < ports.size(); ++i) {
      threads.emplace_back([&, i] {
        outcomes[i] = RunPort(options, output, ports[i], labelled, type, recordLocation, stop);
      });
    }
    for (std::thread& thread : threads) thread.join();
  }

  std::vector<CardResult> results;
  bool portFailed = false;
  bool recordsFailed = false;
  for (const PortOutcome& outcome : outcomes) {
    results.insert(results.end(), outcome.results.begin(), outcome.results.end());
    portFailed = portFailed || outcome.portFailed;
    recordsFailed = recordsFailed || !outcome.recordsFailure.empty();
  }
  if (!options.command && !results.empty()) output.Summary(results);
  return ExitStatus(results, portFailed, recordsFailed, stop.load());
}

}  // namespace ostra::cli

#include "station/Job.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <algorithm>
#include <cctype>
#include <fstream>
#include <set>
#include <stdexcept>
#include <system_error>

#include "download/Catalogue.h"
#include "files/AtomicFile.h"
#include "formats/PathText.h"
#include "formats/Sha256.h"
#include "protocols/Files.h"
#include "protocols/HardwareType.h"

namespace ostra::station {

namespace fs = std::filesystem;

namespace {

const char* WiringName(Wiring wiring) {
  return wiring == Wiring::Operator ? "operator" : "fixture";
}
const char* NumbersName(NumberSource numbers) {
  return numbers == NumberSource::Records ? "records" : "scanned";
}

QString Q(const std::string& text) {
  return QString::fromStdString(text);
}

bool IsDigest(const QString& text) {
  return text.size() == 64 && std::all_of(text.begin(), text.end(), [](QChar c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

JobRead Bad(JobRead read, std::string error) {
  read.fault = JobFault::BadField;
  read.error = std::move(error);
  return read;
}

}  // namespace

fs::path ResolvedPath(const fs::path& base, const std::string& text) {
  const fs::path path = PathOfText(text);
  if (path.empty() || path.is_absolute() || base.empty()) return path;
  return base / path;
}

JobRead ParseJob(std::string_view json) {
  JobRead read;
  QJsonParseError error{};
  const QJsonDocument document =
      QJsonDocument::fromJson(QByteArray(json.data(), static_cast<qsizetype>(json.size())), &error);
  if (error.error != QJsonParseError::NoError || !document.isObject()) {
    read.fault = JobFault::NotJson;
    read.error = error.error != QJsonParseError::NoError
                     ? "not JSON: " + error.errorString().toStdString() + " at character " +
                           std::to_string(error.offset)
                     : "not a JSON object";
    return read;
  }
  const QJsonObject object = document.object();
  Job& job = read.job;
  for (auto it = object.begin(); it != object.end(); ++it) {
    const std::string key = it.key().toStdString();
    const QJsonValue value = it.value();
    const auto text = [&](std::string& field) -> bool {
      if (!value.isString()) return false;
      field = value.toString().toStdString();
      return true;
    };
    const auto flag = [&](bool& field) -> bool {
      if (!value.isBool()) return false;
      field = value.toBool();
      return true;
    };
    bool ok = true;
    if (key == "hardwareDirectory") {
      ok = text(job.hardwareDirectory);
    } else if (key == "hardwareType") {
      ok = text(job.hardwareType);
    } else if (key == "applicationFile") {
      ok = text(job.applicationFile);
    } else if (key == "memoryInformation") {
      ok = flag(job.memoryInformation);
    } else if (key == "verify") {
      ok = flag(job.verify);
    } else if (key == "wiring") {
      const QString name = value.toString();
      if (name != "operator" && name != "fixture") {
        return Bad(std::move(read), "'wiring' is \"operator\" or \"fixture\"");
      }
      job.wiring = name == "operator" ? Wiring::Operator : Wiring::Fixture;
    } else if (key == "numbers") {
      const QString name = value.toString();
      if (name != "records" && name != "scanned") {
        return Bad(std::move(read), "'numbers' is \"records\" or \"scanned\"");
      }
      job.numbers = name == "records" ? NumberSource::Records : NumberSource::Scanned;
    } else if (key == "slots") {
      ok = value.isArray();
      for (const QJsonValue device : value.toArray()) {
        ok = ok && device.isString();
        job.devices.push_back(device.toString().toStdString());
      }
      if (!ok) return Bad(std::move(read), "'slots' is a list of serial devices");
    } else if (key == "sha256") {
      ok = value.isObject();
      const QJsonObject digests = value.toObject();
      for (auto d = digests.begin(); ok && d != digests.end(); ++d) {
        ok = d.value().isString() && IsDigest(d.value().toString());
        job.sha256[d.key().toStdString()] = d.value().toString().toStdString();
      }
      if (!ok) return Bad(std::move(read), "'sha256' maps file names to 64 lower-case hex digits");
    } else {
      return Bad(std::move(read), "unknown field '" + key + "'");
    }
    if (!ok) return Bad(std::move(read), "'" + key + "' has the wrong type");
  }
  return read;
}

JobRead ReadJobFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::string bytes;
  if (in) bytes.assign(std::istreambuf_iterator<char>(in), {});
  if (!in.is_open() || in.bad()) {
    std::error_code error;
    JobRead read;
    read.fault = JobFault::Unreadable;
    read.error = "Cannot read " + TextOfPath(file) + ": " +
                 (fs::exists(file, error) ? "it cannot be read" : "no such file");
    return read;
  }
  JobRead read = ParseJob(bytes);
  if (read.fault != JobFault::None) read.error = TextOfPath(file.filename()) + ": " + read.error;
  std::error_code error;
  const fs::perms perms = fs::status(file, error).permissions();
  const fs::perms writable =
      fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
  read.readOnly = error || (perms & writable) == fs::perms::none;
  return read;
}

std::string JobJson(const Job& job) {
  QJsonObject object;
  object["hardwareDirectory"] = Q(job.hardwareDirectory);
  object["hardwareType"] = Q(job.hardwareType);
  object["applicationFile"] = Q(job.applicationFile);
  object["memoryInformation"] = job.memoryInformation;
  object["verify"] = job.verify;
  object["wiring"] = WiringName(job.wiring);
  object["numbers"] = NumbersName(job.numbers);
  QJsonArray list;
  for (const std::string& device : job.devices) list.append(Q(device));
  object["slots"] = list;
  QJsonObject digests;
  for (const auto& [name, digest] : job.sha256) digests[Q(name)] = Q(digest);
  object["sha256"] = digests;
  return QJsonDocument(object).toJson(QJsonDocument::Indented).toStdString();
}

std::vector<JobFile> FilesOfJob(const Job& job, const fs::path& base) {
  std::vector<JobFile> files;
  const fs::path dir = ResolvedPath(base, job.hardwareDirectory);
  for (const std::string& name : HardwareFilesFor(job.hardwareType)) {
    JobFile file{name, dir / name, false};
    if (const auto found = FindFile(dir, name)) {
      file = {TextOfPath(found->filename()), *found, true};
    }
    files.push_back(std::move(file));
  }
  if (!job.applicationFile.empty()) {
    const fs::path path = ResolvedPath(base, job.applicationFile);
    JobFile file{TextOfPath(path.filename()), path, false};
    if (const auto found = FindFile(path)) file = {TextOfPath(found->filename()), *found, true};
    files.push_back(std::move(file));
  }
  return files;
}

std::string FileDigest(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("Cannot read " + TextOfPath(path) + ": it cannot be opened");
  Sha256 sha;
  char buffer[1 << 16];
  while (in) {
    in.read(buffer, sizeof buffer);
    sha.Update(buffer, static_cast<std::size_t>(in.gcount()));
  }
  if (in.bad()) throw std::runtime_error("Cannot read " + TextOfPath(path) + ": a read failed");
  return Sha256Text(sha.Finish());
}

void SaveJob(Job& job, const fs::path& file) {
  std::map<std::string, std::string> digests;
  for (const JobFile& f : FilesOfJob(job, file.parent_path())) {
    if (!f.found) throw std::runtime_error("Cannot read " + TextOfPath(f.path) + ": no such file");
    digests[f.name] = FileDigest(f.path);
  }
  Job saved = job;
  saved.sha256 = digests;
  files::WriteFileAtomically(file, JobJson(saved), "SaveJob");
  job = std::move(saved);
}

JobCheck CheckJob(const Job& job, const fs::path& base, bool recording) {
  JobCheck check;
  const auto problem = [&check](JobProblem p, std::string text) {
    check.problem = p;
    check.text = std::move(text);
    return check;
  };
  if (job.devices.empty()) return problem(JobProblem::NoSlots, "The job has no slots");
  if (job.devices.size() > static_cast<std::size_t>(kMaxSlots)) {
    return problem(JobProblem::TooManySlots, "The job has " + std::to_string(job.devices.size()) +
                                                 " slots; a station has at most " +
                                                 std::to_string(kMaxSlots));
  }
  std::set<std::string> devices;
  for (std::size_t i = 0; i < job.devices.size(); ++i) {
    const std::string& device = job.devices[i];
    if (device.empty()) {
      return problem(JobProblem::NoSlots, "Slot " + std::to_string(i + 1) + " has no device");
    }
    if (!devices.insert(device).second) {
      return problem(JobProblem::SlotTwice, "Two slots use " + device);
    }
  }
  if (job.hardwareDirectory.empty() || job.hardwareType.empty()) {
    return problem(JobProblem::Incomplete, "The job names no hardware directory and type");
  }
  const fs::path dir = ResolvedPath(base, job.hardwareDirectory);
  std::error_code error;
  std::vector<std::string> types = FixedHardwareTypes();
  const std::vector<std::string> found = HardwareTypesIn(dir, error);
  types.insert(types.end(), found.begin(), found.end());
  const int at = FindHardwareType(types, job.hardwareType);
  if (at < 0) {
    return problem(
        JobProblem::UnknownType,
        error ? "Cannot list the hardware directory " + TextOfPath(dir) + ": " + error.message()
              : "There is no hardware type " + job.hardwareType + " in " + TextOfPath(dir));
  }
  check.type = types[static_cast<std::size_t>(at)];
  switch (ProcedureFor(check.type)) {
    case Procedure::Upload:
    case Procedure::NoneSelected:
      return problem(JobProblem::NotForStation,
                     check.type + " reads a card back; the station loads cards");
    default:
      break;
  }
  if (job.wiring == Wiring::Fixture && !BeginsWithBootTransfer(check.type)) {
    return problem(JobProblem::FixtureNeedsBoot,
                   "A fixture finds each card by its boot ROM; " + check.type +
                       " cards do not start there: choose operator wiring");
  }
  for (const JobFile& file : FilesOfJob(job, base)) {
    if (!file.found) {
      return problem(JobProblem::FileMissing,
                     file.name + " is missing (" + TextOfPath(file.path) + ")");
    }
    const auto kept = job.sha256.find(file.name);
    if (kept == job.sha256.end()) {
      check.unchecked.push_back(file.name);
      continue;
    }
    std::string digest;
    try {
      digest = FileDigest(file.path);
    } catch (const std::exception& e) {
      return problem(JobProblem::FileMissing, e.what());
    }
    if (digest != kept->second) {
      return problem(JobProblem::FileChanged, file.name + " has changed since the job was saved");
    }
  }
  if (job.numbers == NumberSource::Records && !recording) {
    return problem(JobProblem::NumbersNeedRecords,
                   "The job takes its numbers from the card records, and none are kept");
  }
  return check;
}

DownloadRequest RequestOf(const Job& job, const fs::path& base, const std::string& type,
                          bool recording) {
  DownloadRequest request;
  request.hardwareDirectory = TextOfPath(ResolvedPath(base, job.hardwareDirectory));
  request.hardwareType = type;
  if (!job.applicationFile.empty()) {
    request.applicationFile = TextOfPath(ResolvedPath(base, job.applicationFile));
  }
  const NumberChoice fromRecords{NumberChoice::From::NextFree, 0};
  if (job.numbers == NumberSource::Records) request.serial = fromRecords;
  if (recording) request.ethernet = fromRecords;
  request.verify = job.verify;
  return request;
}

}  // namespace ostra::station

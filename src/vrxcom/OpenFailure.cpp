#include "vrxcom/OpenFailure.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace ostra::vrxcom {

std::string OpenFailureReason(int error, const std::string& ownerGroup) {
  std::string reason = std::strerror(error);
#ifndef _WIN32
  switch (error) {
    case EACCES:
    case EPERM:
      if (ownerGroup.empty()) return reason + "; you may not use this device";
      return reason + "; the device belongs to the group " + ownerGroup +
             ": add yourself to the group " + ownerGroup + " (sudo usermod -aG " + ownerGroup +
             " $USER) and log in again";
    case ENOTTY:
      return "not a serial device (" + reason + ")";
    case EBUSY:
      return reason + "; another program is using it";
    case ENOENT:
      return reason + "; check that the adapter is plugged in";
    default:
      break;
  }
#else
  (void)ownerGroup;
#endif
  return reason;
}

namespace {

// The longest name of a file, lock files included.
constexpr std::size_t kLongestFileName = 255;

// The device as the serial driver names it: a name without a folder lies in /dev.
std::string DevicePath(const std::string& device) {
  return !device.empty() && device[0] == '/' ? device : "/dev/" + device;
}

#ifndef _WIN32
// The folders the serial driver may keep its lock files in.
std::vector<std::string> LockFolders() {
  std::vector<std::string> folders = {"/var/lock",        "/run/lock",        "/etc/locks",
                                      "/var/spool/locks", "/var/spool/uucp",  "/tmp",
                                      "/var/tmp",         "/var/lock/lockdev"};
  if (const char* temp = std::getenv("TMPDIR"); temp != nullptr && *temp != '\0') {
    folders.emplace_back(temp);
  }
  return folders;
}

std::string FirstLine(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string line;
  std::getline(in, line);
  return line;
}
#endif

}  // namespace

std::string OpenFailureMessage(const std::string& device, const std::string& reason,
                               std::size_t limit) {
  const std::size_t frame = std::string("Cannot open : .").size();
  std::string shown = device;
  if (frame + device.size() + reason.size() > limit && device.size() > 60) {
    shown = device.substr(0, 20) + "..." + device.substr(device.size() - 37);
  }
  std::string text = "Cannot open " + shown + ": " + reason + ".";
  if (text.size() > limit) text = text.substr(0, limit - 3) + "...";
  return text;
}

std::string PortLockFileName(const std::string& device) {
  std::string name = DevicePath(device);
  if (name.rfind("/dev/", 0) == 0) name.erase(0, 5);
  for (char& c : name) {
    if (c == '/') c = '_';
  }
  return "LCK.." + name;
}

std::optional<PortHolder> FindPortHolder(const std::string& device) {
#ifndef _WIN32
  const std::string name = PortLockFileName(device);
  for (const std::string& folder : LockFolders()) {
    // The lock file holds the process id, then the program's name, a line each.
    std::ifstream in(folder + "/" + name, std::ios::binary);
    std::string pidLine, program;
    if (!in || !std::getline(in, pidLine)) continue;
    std::getline(in, program);
    char* end = nullptr;
    const long pid = std::strtol(pidLine.c_str(), &end, 10);
    if (pid <= 0 || end == pidLine.c_str()) continue;
    if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM) continue;  // gone: stale
    PortHolder holder;
    holder.pid = pid;
    holder.thisProgram = pid == static_cast<long>(::getpid());
    const std::string shown = FirstLine("/proc/" + std::to_string(pid) + "/comm");
    holder.program = shown.empty() ? program : shown;
    return holder;
  }
#else
  (void)device;
#endif
  return std::nullopt;
}

std::string DiagnoseOpenFailure(const std::string& device, const std::string& driverText) {
#ifndef _WIN32
  struct stat info {};
  if (::stat(device.c_str(), &info) != 0) return OpenFailureReason(errno, {});
  std::string group;
  if (const struct group* owner = ::getgrgid(info.st_gid); owner != nullptr) {
    group = owner->gr_name;
  }
  if (S_ISDIR(info.st_mode)) return OpenFailureReason(EISDIR, group);
  if (!S_ISCHR(info.st_mode)) return OpenFailureReason(ENOTTY, group);
  if (const std::string lock = PortLockFileName(device); lock.size() > kLongestFileName) {
    return "its lock file name " + lock.substr(0, 24) + "... has " + std::to_string(lock.size()) +
           " characters, more than a file name may have (" + std::to_string(kLongestFileName) +
           "): give the device by a shorter path, e.g. a short link to it";
  }
  if (const std::optional<PortHolder> holder = FindPortHolder(device)) {
    const std::string who = (holder->program.empty() ? std::string("a program") : holder->program) +
                            " (process " + std::to_string(holder->pid) + ")";
    if (holder->thisProgram) {
      return "the port is already open in this program, " + who +
             ": one port can serve one card at a time";
    }
    return "the port is in use by " + who + "; end that program or choose another port";
  }
  const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return OpenFailureReason(errno, group);
  termios settings{};
  const int error = ::tcgetattr(fd, &settings) == 0 ? 0 : errno;
  ::close(fd);
  if (error != 0) return OpenFailureReason(error, group);
#else
  (void)device;
#endif
  return driverText;
}

}  // namespace ostra::vrxcom

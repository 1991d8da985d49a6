#include "vrxcom/OpenFailure.h"

#include <cerrno>
#include <cstring>

#ifndef _WIN32
#include <fcntl.h>
#include <grp.h>
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

#include "user/tool/pty.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace t7315 {
namespace {

std::string Failure(const std::string& what) { return what + ": " + std::strerror(errno); }

}  // namespace

std::unique_ptr<Pty> Pty::Open(const LineFormat& format, std::string* error) {
  std::unique_ptr<Pty> pty(new Pty);
  pty->master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (pty->master_ < 0 || grantpt(pty->master_) != 0 || unlockpt(pty->master_) != 0) {
    *error = Failure("cannot create a pseudo-terminal");
    return nullptr;
  }
  char name[128];
  if (ptsname_r(pty->master_, name, sizeof(name)) != 0) {
    *error = Failure("cannot name a pseudo-terminal");
    return nullptr;
  }
  pty->terminalPath_ = name;
  // Opened and closed once, so that the master reports a hang-up while no
  // program has the terminal open.
  const int terminal = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  const bool ready = terminal >= 0 && WriteRawTermios(terminal, format);
  if (terminal >= 0) close(terminal);
  if (!ready) {
    *error = Failure("cannot set up " + pty->terminalPath_);
    return nullptr;
  }
  return pty;
}

Pty::~Pty() {
  if (!link_.empty()) unlink(link_.c_str());
  if (master_ >= 0) close(master_);
}

// The master's termios requests reach the terminal's settings.
LineFormat Pty::Format() const { return ReadTermiosFormat(master_).value_or(LineFormat{}); }

bool Pty::SetFormat(const LineFormat& format) const { return WriteTermiosFormat(master_, format); }

bool Pty::InUse() const {
  pollfd fd = {master_, 0, 0};
  return poll(&fd, 1, 0) == 0 || !(fd.revents & POLLHUP);
}

void Pty::DropUnread() const {
  const int terminal = open(terminalPath_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (terminal < 0) return;
  tcflush(terminal, TCIFLUSH);
  close(terminal);
}

bool Pty::LinkAs(const std::string& link, std::string* error) {
  struct stat old {};
  if (lstat(link.c_str(), &old) == 0 && !S_ISLNK(old.st_mode)) {
    *error = link + " exists and is not a symbolic link; not replacing it";
    return false;
  }
  // A new link renamed over the old one: the name never goes missing.
  const std::string temporary = link + ".new";
  unlink(temporary.c_str());
  if (symlink(terminalPath_.c_str(), temporary.c_str()) != 0 ||
      rename(temporary.c_str(), link.c_str()) != 0) {
    *error = Failure("cannot link " + link + " to " + terminalPath_);
    unlink(temporary.c_str());
    return false;
  }
  link_ = link;
  return true;
}

}  // namespace t7315

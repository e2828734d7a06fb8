// Who the device layer trusts: a folder of device endpoints and the process
// that serves an endpoint must belong to this user or to root.  Anyone else
// could otherwise pose as the card's driver and feed made-up samples to the
// measurement, or read what it sends.
#pragma once

#include <sys/stat.h>

#include <string>

namespace platform::trust {

// Opens `folder` for listing, one path component at a time, without ever
// following a symbolic link as the folder itself; a link on the way is
// followed only when this user or root owns it.  With `create`, missing
// components are made (mode 0700).  The descriptor, or -1 with errno set
// (ENOENT: the folder or a parent does not exist; ELOOP: a link refused)
// and `problem` saying why ("it is a symbolic link", ...).
int OpenFolder(const std::string& folder, bool create, std::string& problem);

// Why the folder described by `st` may not hold device endpoints, or empty
// when it may: it must be a folder, belong to this user (or to root when
// `rootToo`), and nobody but its owner may write into it.
std::string FolderProblem(const struct stat& st, bool rootToo);

// Why the process listening at the other end of the connected socket `fd`
// is not trusted to be the driver, or empty when it is (this user or root).
std::string PeerProblem(int fd);

// Tells the operator why the layer does not use `what` (standard error):
// the caller only sees its usual "no device" or "cannot open" code.
void ReportRefusal(const std::string& what, const std::string& problem);

}  // namespace platform::trust

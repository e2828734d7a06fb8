// tessik-lock-holder: a stand-in for a running measurement program in the
// tests of the site's lock.  Takes the lock on LOCKFILE as Varnel does
// (flock, its process id written into the file), says "holding <pid>" and
// waits until it is ended.
//
//   tessik-lock-holder LOCKFILE [--ignore-term]
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "instance/instance_lock.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: tessik-lock-holder LOCKFILE [--ignore-term]\n");
    return 1;
  }
  if (argc > 2 && std::strcmp(argv[2], "--ignore-term") == 0) ::signal(SIGTERM, SIG_IGN);
  const auto lock = varnel::instance::InstanceLock::TryAcquire(argv[1]);
  if (!lock.held()) {
    std::fprintf(stderr, "tessik-lock-holder: %s\n", lock.Describe().c_str());
    return 3;
  }
  std::printf("holding %d\n", static_cast<int>(::getpid()));
  std::fflush(stdout);
  for (;;) ::pause();
}

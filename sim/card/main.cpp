// qda7100-sim: the stand-in for the QDA7100 card's driver.
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "card.h"
#include "morlex/driver.h"
#include "options.h"
#include "platform/device.h"
#include "platform/device_server.h"
#include "trace.h"

int main(int argc, char** argv) {
  cardsim::Options options;
  std::string error;
  if (!cardsim::ParseOptions(std::vector<std::string>(argv + 1, argv + argc), options, error)) {
    std::cerr << "qda7100-sim: " << error << "\n";
    return 2;
  }
  if (options.help) {
    std::cout << cardsim::HelpText();
    return 0;
  }

  // Signals are taken by sigwait below; every thread started from here on
  // inherits the mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  const std::string folder = options.deviceDir.empty() ? platform::DeviceFolder() : options.deviceDir;
  const std::string name = std::string(morlex::kDeviceClassGuid) + "-0";
  const std::string path = folder + "/" + name;

  // Declared before the card so that it outlives the card's timers, which
  // complete traced calls.
  std::unique_ptr<cardsim::Trace> trace;
  if (!options.traceFile.empty()) {
    trace = cardsim::Trace::Open(options.traceFile, error);
    if (!trace) {
      std::cerr << "qda7100-sim: " << error << "\n";
      return 1;
    }
  }
  cardsim::Card card(options, [path] {
    // The driver disappears the way an unloaded one does: its device entry
    // goes and its connections drop with the process.
    ::unlink(path.c_str());
    std::fputs("qda7100-sim: leaving in the middle of an acquisition\n", stderr);
    std::fflush(stderr);
    ::_exit(3);
  }, [](const std::string& line) {
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
  });
  auto server = platform::DeviceServer::Start(
      folder, name,
      [&card, &trace](const std::shared_ptr<platform::DeviceCall>& call) {
        const auto arrived = cardsim::Scheduler::Clock::now();
        card.Handle(trace ? trace->Received(call, arrived) : call, arrived);
      },
      error);
  if (!server) {
    std::cerr << "qda7100-sim: " << error << "\n";
    return 1;
  }
  std::printf("qda7100-sim: serving %s\n", server->Path().c_str());
  std::fflush(stdout);

  int sig = 0;
  while (sigwait(&stopSignals, &sig) != 0) {
  }
  server->Stop();  // before the card: pending requests are cancelled first
  server.reset();
  std::fprintf(stderr, "qda7100-sim: stopped (signal %d)\n", sig);
  return 0;
}

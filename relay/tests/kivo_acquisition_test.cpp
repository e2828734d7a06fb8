// End to end: a KIVO control created by class identity receives the
// notifications of a real polling acquisition that libMorlex.so runs against
// the card stand-in process qda7100-sim.
#include <dlfcn.h>
#include <signal.h>
#include <unistd.h>

#include <QWidget>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "card_stand_in.h"
#include "host_fixture.h"
#include "kivo/kivo.h"

namespace {

namespace fs = std::filesystem;
using Event = std::pair<int16_t, int32_t>;
using kivotest::ProcessUntil;

using lw::testing::BinDir;
using lw::testing::CardStandIn;

// libMorlex.so loaded for one stand-in's folder (the library finds its card
// when it is loaded).
class Morlex {
 public:
  explicit Morlex(const fs::path& deviceFolder) {
    setenv("QDA7100_DEVICE_DIR", deviceFolder.c_str(), 1);
    m_handle = dlopen((BinDir() / "libMorlex.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    if (m_handle == nullptr) {
      m_missing = dlerror();
      return;
    }
    Bind(AdGetCardResource, "AdGetCardResource");
    Bind(AdSetParam, "AdSetParam");
    Bind(AdSetChannel, "AdSetChannel");
    Bind(AdSetTrigger, "AdSetTrigger");
    Bind(AdSetFreq, "AdSetFreq");
    Bind(AdAllocDataMem, "AdAllocDataMem");
    Bind(AdFreeDataMem, "AdFreeDataMem");
    Bind(AdStartPolModeThread, "AdStartPolModeThread");
  }
  ~Morlex() {
    if (m_handle != nullptr) dlclose(m_handle);
  }
  Morlex(const Morlex&) = delete;
  Morlex& operator=(const Morlex&) = delete;
  bool Loaded() const { return m_handle != nullptr && m_missing.empty(); }
  const std::string& Missing() const { return m_missing; }

  int32_t (*AdGetCardResource)(intptr_t, intptr_t, int16_t*, int16_t*, int16_t*) = nullptr;
  int32_t (*AdSetParam)(intptr_t, int32_t, int32_t, int32_t, int32_t) = nullptr;
  int32_t (*AdSetChannel)(int32_t, const int16_t*) = nullptr;
  int32_t (*AdSetTrigger)(int32_t, int32_t) = nullptr;
  int32_t (*AdSetFreq)(intptr_t, int32_t, int32_t) = nullptr;
  intptr_t (*AdAllocDataMem)(intptr_t, int32_t) = nullptr;
  int32_t (*AdFreeDataMem)() = nullptr;
  int32_t (*AdStartPolModeThread)(intptr_t) = nullptr;

 private:
  template <typename Fn>
  void Bind(Fn& fn, const char* name) {
    fn = reinterpret_cast<Fn>(dlsym(m_handle, name));
    if (fn == nullptr) m_missing += std::string(name) + " ";
  }
  void* m_handle = nullptr;
  std::string m_missing;
};

// Trigger kinds of the measurement program: external start adds 1, external
// stop adds 2.
constexpr int32_t kInternal = 0;
constexpr int32_t kExternalStart = 1;
constexpr int32_t kExternalStop = 2;

class KivoAcquisition : public kivotest::RegisteredModule {
 protected:
  // Runs the measurement program's polling cycle: card set-up, 1000 samples
  // per channel on 4 channels at 80 us, the acquisition handed the control's
  // window, then the event loop until `expected` events arrived.  The events
  // that arrived while AdStartPolModeThread ran go to `duringCall`.
  std::vector<Event> Acquire(std::vector<std::string> simArgs, int32_t trigger, std::vector<Event>& duringCall,
                             size_t expected = 2) {
    CardStandIn sim(simArgs, std::chrono::seconds(15));
    EXPECT_TRUE(sim.Ready()) << sim.Output();
    Morlex lib(sim.Folder());
    EXPECT_TRUE(lib.Loaded()) << lib.Missing();
    if (!lib.Loaded()) return {};

    std::vector<Event> events;
    platform::com::HRESULT hr = 0;
    std::string why;
    std::unique_ptr<kivo::KivoControl> control = kivo::CreateKivoControl(&hr, &why);
    EXPECT_NE(control, nullptr) << why;
    if (!control) return {};
    control->SetOnMsgPost([&events](int16_t w, int32_t l) { events.emplace_back(w, l); });
    control->Widget()->show();
    const uint32_t hwnd = control->GetKivoWnd();
    EXPECT_NE(hwnd, 0u);

    int16_t cardType = 0, ioBase = 0, irq = 0;
    EXPECT_EQ(lib.AdGetCardResource(0, 0, &cardType, &ioBase, &irq), 0);
    EXPECT_EQ(lib.AdSetParam(0, cardType, 3, ioBase, irq), 0);
    const int16_t channels[8] = {0, 1, 2, 3, 4, 5, 6, 7};
    EXPECT_EQ(lib.AdSetChannel(4, channels), 4);
    lib.AdSetTrigger(trigger, 1);
    EXPECT_EQ(lib.AdSetFreq(0, 80, 2), 0);
    EXPECT_NE(lib.AdAllocDataMem(0, 1000), 0);
    EXPECT_EQ(lib.AdStartPolModeThread(static_cast<intptr_t>(hwnd)), 0);
    duringCall = events;  // posted, not sent: nothing can have arrived yet

    EXPECT_TRUE(ProcessUntil([&] { return events.size() >= expected; }));
    // Anything further would arrive with the same wake-up; let it show.
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    lib.AdFreeDataMem();
    return events;
  }
};

TEST_F(KivoAcquisition, PollingAcquisitionRaisesStartThenCompletionAfterTheCallReturns) {
  std::vector<Event> duringCall;
  const auto events = Acquire({"--type", "2"}, kInternal, duringCall);
  EXPECT_TRUE(duringCall.empty());
  EXPECT_EQ(events, (std::vector<Event>{{1, 0}, {128, 4000}}));
}

TEST_F(KivoAcquisition, ExternalStartTriggerIsAnnouncedWithFourFirst) {
  std::vector<Event> duringCall;
  const auto events = Acquire({"--type", "2"}, kExternalStart, duringCall);
  EXPECT_TRUE(duringCall.empty());
  EXPECT_EQ(events, (std::vector<Event>{{4, 0}, {128, 4000}}));
}

TEST_F(KivoAcquisition, ExternalStopEndingEarlyRaises64WithTheSamplesDelivered) {
  std::vector<Event> duringCall;
  const auto events = Acquire({"--type", "2", "--end-early", "2500"}, kExternalStop, duringCall);
  EXPECT_TRUE(duringCall.empty());
  EXPECT_EQ(events, (std::vector<Event>{{1, 0}, {64, 2500}}));
}

TEST_F(KivoAcquisition, RequestCompletedAtOnceRaisesASingleFailure) {
  std::vector<Event> duringCall;
  const auto events = Acquire({"--type", "2", "--pol-immediate"}, kInternal, duringCall, 1);
  EXPECT_TRUE(duringCall.empty());
  EXPECT_EQ(events, (std::vector<Event>{{8, 0}}));
}

}  // namespace

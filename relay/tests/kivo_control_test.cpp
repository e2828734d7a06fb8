// The KIVO control as its host sees it.
#include <dlfcn.h>

#include <QApplication>
#include <QLabel>
#include <QTabWidget>
#include <QTimer>
#include <QWidget>
#include <memory>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "host_fixture.h"
#include "kivo/kivo.h"
#include "pictures.h"

namespace {

using namespace platform::com;
using kivotest::ProcessUntil;
using kivotest::Registrar;

using Event = std::pair<int16_t, int32_t>;

class KivoHost : public kivotest::RegisteredModule {
 protected:
  std::unique_ptr<kivo::KivoControl> Create() {
    HRESULT hr = E_FAIL;
    std::string why;
    auto control = kivo::CreateKivoControl(&hr, &why);
    EXPECT_EQ(hr, S_OK) << why;
    return control;
  }
  // A created control, shown, recording its events.
  std::unique_ptr<kivo::KivoControl> CreateShown(std::vector<Event>& events) {
    auto control = Create();
    if (!control) return control;
    control->SetOnMsgPost([&events](int16_t w, int32_t l) { events.emplace_back(w, l); });
    control->Widget()->show();
    return control;
  }
};

TEST_F(KivoHost, RegistrationRecordsTheControlsIdentities) {
  const auto control = FindClass(kivo::kClassId);
  ASSERT_TRUE(control);
  EXPECT_EQ(control->typeName, "KIVO Control");
  EXPECT_EQ(control->progId, "Kivo.KivoCtrl.1");
  EXPECT_EQ(control->typeLibId, "{AF701960-49D7-11D0-9EA8-002035E6635C}");
  EXPECT_EQ(control->version, "1.0");
  EXPECT_EQ(control->miscStatus, 0x20191u);
  EXPECT_TRUE(control->control);
  EXPECT_EQ(control->modulePath, std::filesystem::canonical(KIVO_MODULE_PATH).string());
  EXPECT_EQ(ClassIdFromProgId("Kivo.KivoCtrl.1"), "{AF701963-49D7-11D0-9EA8-002035E6635C}");

  const auto page = FindClass("{AF701964-49D7-11D0-9EA8-002035E6635C}");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->typeName, "KIVO Property Page");
  EXPECT_EQ(page->progId, "Kivo.KivoPropPage.1");

  const auto lib = FindTypeLib("{AF701960-49D7-11D0-9EA8-002035E6635C}");
  ASSERT_TRUE(lib);
  EXPECT_EQ(lib->name, "KivoLib");
  EXPECT_EQ(lib->version, "1.0");
  EXPECT_EQ(lib->helpString, "KIVO OLE Control module");
  ASSERT_EQ(lib->interfaces.size(), 2u);
  for (const InterfaceInfo& i : lib->interfaces) {
    if (i.iid == "{AF701961-49D7-11D0-9EA8-002035E6635C}") {
      EXPECT_EQ(i.name, "_DKivo");
      EXPECT_EQ(i.helpString, "Dispatch interface for KIVO Control");
      EXPECT_TRUE(i.hidden);
    } else {
      EXPECT_EQ(i.iid, "{AF701962-49D7-11D0-9EA8-002035E6635C}");
      EXPECT_EQ(i.name, "_DKivoEvents");
      EXPECT_EQ(i.helpString, "Event interface for KIVO Control");
      EXPECT_FALSE(i.hidden);
    }
  }
}

TEST_F(KivoHost, UnregisteredControlCannotBeCreatedAndRegisteringAgainRestoresIt) {
  auto r = Registrar({"/u", KIVO_MODULE_PATH});
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_FALSE(FindClass(kivo::kClassId));
  EXPECT_FALSE(FindClass(kivo::kPropPageClassId));
  EXPECT_FALSE(FindTypeLib(kivo::kTypeLibId));
  EXPECT_EQ(ClassIdFromProgId(kivo::kProgId), "");
  HRESULT hr = S_OK;
  std::string why;
  EXPECT_EQ(kivo::CreateKivoControl(&hr, &why), nullptr);
  EXPECT_EQ(hr, REGDB_E_CLASSNOTREG);
  EXPECT_NE(why.find("not registered"), std::string::npos);

  r = Registrar({KIVO_MODULE_PATH});
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_NE(Create(), nullptr);
}

TEST_F(KivoHost, FailedTypeLibraryStepReportsSelfregTypelib) {
  const auto r = Registrar({KIVO_MODULE_PATH}, "/proc/none/r.ini");
  EXPECT_EQ(r.status, 5);
  EXPECT_NE(r.output.find("0x80040200"), std::string::npos) << r.output;
}

TEST_F(KivoHost, WindowHandleIsZeroUntilShownThenLivesAsLongAsTheWidget) {
  auto control = Create();
  ASSERT_TRUE(control);
  EXPECT_EQ(control->GetKivoWnd(), 0u);
  control->Widget()->show();
  const uint32_t h = control->GetKivoWnd();
  EXPECT_NE(h, 0u);
  EXPECT_TRUE(platform::IsMessageWindow(h));
  control->Widget()->hide();  // hiding does not take the window away
  EXPECT_EQ(control->GetKivoWnd(), h);
  control->Widget()->show();
  EXPECT_EQ(control->GetKivoWnd(), h);

  delete control->Widget();  // the host's form went first
  EXPECT_EQ(control->GetKivoWnd(), 0u);
  EXPECT_FALSE(platform::IsMessageWindow(h));
  EXPECT_FALSE(platform::PostMessage(h, kivo::AdNotifyMsg, 1, 0));
}

TEST_F(KivoHost, NotificationsFromAnotherThreadArriveAsEventsInOrder) {
  std::vector<Event> events;
  auto control = CreateShown(events);
  ASSERT_TRUE(control);
  const uint32_t h = control->GetKivoWnd();
  std::thread([h] {
    platform::PostMessage(h, kivo::AdNotifyMsg, 4, 0);
    platform::PostMessage(h, kivo::AdNotifyMsg, 1, 0);
    platform::PostMessage(h, platform::WM_USER + 1, 7, 7);  // not a notification: no event
    platform::PostMessage(h, kivo::AdNotifyMsg, 128, 4000);
    platform::PostMessage(h, kivo::AdNotifyMsg, 64, 2500);
    platform::PostMessage(h, kivo::AdNotifyMsg, 8, 0);
    platform::PostMessage(h, kivo::AdNotifyMsg, 2, 0);
    platform::PostMessage(h, kivo::AdNotifyMsg, 40000, 1);        // 0x9C40 -> -25536
    platform::PostMessage(h, kivo::AdNotifyMsg, 0x12340080, -1);  // only the low 16 bits count
    platform::PostMessage(h, kivo::AdNotifyMsg, 0xFFFF, intptr_t{0x100000005});  // lParam is 32-bit
  }).join();
  EXPECT_TRUE(ProcessUntil([&] { return events.size() >= 9; }));
  QCoreApplication::processEvents();
  const std::vector<Event> expected{{4, 0},    {1, 0},      {128, 4000}, {64, 2500}, {8, 0},
                                    {2, 0},    {-25536, 1}, {128, -1},   {-1, 5}};
  EXPECT_EQ(events, expected);
}

TEST_F(KivoHost, NotificationIsHandledSynchronouslyAndReturnsZero) {
  std::vector<Event> events;
  auto control = CreateShown(events);
  ASSERT_TRUE(control);
  intptr_t result = -1;
  ASSERT_TRUE(platform::SendMessage(control->GetKivoWnd(), kivo::AdNotifyMsg, 128, 4000, &result));
  EXPECT_EQ(result, 0);
  EXPECT_EQ(events, (std::vector<Event>{{128, 4000}}));  // the handler ran inside the message
}

TEST_F(KivoHost, HandlerMayDeleteTheControlRemainingNotificationsAreDropped) {
  std::vector<Event> events;
  auto control = Create();
  ASSERT_TRUE(control);
  control->SetOnMsgPost([&](int16_t w, int32_t l) {
    events.emplace_back(w, l);
    control.reset();
  });
  control->Widget()->show();
  const uint32_t h = control->GetKivoWnd();
  platform::PostMessage(h, kivo::AdNotifyMsg, 1, 0);
  platform::PostMessage(h, kivo::AdNotifyMsg, 128, 4000);
  EXPECT_TRUE(ProcessUntil([&] { return control == nullptr; }));
  QCoreApplication::processEvents();
  EXPECT_EQ(events, (std::vector<Event>{{1, 0}}));
  EXPECT_FALSE(platform::IsMessageWindow(h));
}

// Closes the next modal dialog from inside its own loop, noting its title.
void CloseNextModal(QString& title, QWidget*& seen) {
  QTimer::singleShot(0, [&title, &seen] {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal == nullptr) return;
    title = modal->windowTitle();
    seen = modal;
    modal->close();
  });
}

TEST_F(KivoHost, AboutBoxIsModalAndReturnsWhenClosed) {
  auto control = Create();
  ASSERT_TRUE(control);
  QString title;
  QWidget* seen = nullptr;
  CloseNextModal(title, seen);
  control->AboutBox();
  EXPECT_EQ(title, "About KIVO Control");
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

TEST_F(KivoHost, PropertiesVerbShowsOneEmptyGeneralPage) {
  auto control = Create();
  ASSERT_TRUE(control);
  QString title;
  QWidget* seen = nullptr;
  int tabs = -1;
  QString caption;
  int pageChildren = -1;
  QTimer::singleShot(0, [&] {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal == nullptr) return;
    title = modal->windowTitle();
    if (auto* tabWidget = modal->findChild<QTabWidget*>()) {
      tabs = tabWidget->count();
      caption = tabWidget->tabText(0);
      pageChildren = static_cast<int>(tabWidget->widget(0)->findChildren<QWidget*>().size());
    }
    modal->close();
  });
  control->ShowProperties();
  EXPECT_EQ(title, "KIVO Control Properties");
  EXPECT_EQ(tabs, 1);
  EXPECT_EQ(caption, "General");
  EXPECT_EQ(pageChildren, 0);  // no settings
  (void)seen;
}

TEST_F(KivoHost, PropertyPageClassIsCreatableByItsOwnIdentity) {
  void* raw = nullptr;
  ASSERT_EQ(CreateInstance(kivo::kPropPageClassId, kivo::kPropertyPageIid, &raw), S_OK);
  std::unique_ptr<kivo::KivoPropertyPage> page(static_cast<kivo::KivoPropertyPage*>(raw));
  EXPECT_EQ(page->Caption(), "General");
  ASSERT_NE(page->Widget(), nullptr);
  EXPECT_EQ(CreateInstance(kivo::kClassId, kivo::kPropertyPageIid, &raw), E_NOINTERFACE);
  EXPECT_EQ(raw, nullptr);
}

TEST_F(KivoHost, CreatingOffTheGuiThreadFailsCleanly) {
  HRESULT hr = S_OK;
  bool gotControl = true;
  std::thread([&] { gotControl = kivo::CreateKivoControl(&hr) != nullptr; }).join();
  EXPECT_FALSE(gotControl);
  EXPECT_EQ(hr, static_cast<HRESULT>(0x8001010Eu));  // wrong thread
}

TEST_F(KivoHost, ModuleRefusesToUnloadWhileAControlLives) {
  auto control = Create();
  ASSERT_TRUE(control);
  void* module = dlopen(KIVO_MODULE_PATH, RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(module, nullptr);
  auto canUnload = reinterpret_cast<DllCanUnloadNowFn>(dlsym(module, "DllCanUnloadNow"));
  ASSERT_NE(canUnload, nullptr);
  EXPECT_EQ(canUnload(), S_FALSE);
  control.reset();
  EXPECT_EQ(canUnload(), S_OK);
  dlclose(module);  // only the reference taken here
}

// Pictures: 48 x 48, 16 colours, drawn stretched over the control.
TEST(KivoPictures, AreSixteenColourPicturesOfTheirOwn) {
  const QImage& user = kivo::UserModePicture();
  const QImage& design = kivo::DesignModePicture();
  for (const QImage* image : {&user, &design}) {
    EXPECT_EQ(image->size(), QSize(48, 48));
    EXPECT_EQ(image->format(), QImage::Format_Indexed8);
    EXPECT_EQ(image->colorCount(), 16);
    std::set<QRgb> used;
    for (int y = 0; y < 48; ++y) {
      for (int x = 0; x < 48; ++x) used.insert(image->pixel(x, y));
    }
    EXPECT_GE(used.size(), 4u);  // a picture, not a plain fill
  }
  EXPECT_NE(user, design);
}

// The widget's rendering at 96 x 144 shows picture pixel (x, y) over the
// block [2x, 2x+2) x [3y, 3y+3); its centre is compared.
void ExpectStretched(QWidget* widget, const QImage& picture) {
  const QImage shot = widget->grab().toImage().convertToFormat(QImage::Format_RGB32);
  ASSERT_EQ(shot.size(), QSize(96, 144));
  int mismatches = 0;
  for (int y = 0; y < 48; ++y) {
    for (int x = 0; x < 48; ++x) {
      if (shot.pixel(2 * x + 1, 3 * y + 1) != (picture.pixel(x, y) | 0xFF000000u)) ++mismatches;
    }
  }
  EXPECT_EQ(mismatches, 0);
}

TEST_F(KivoHost, PicturesAreDrawnStretchedToTheControlsBoundsByMode) {
  auto control = Create();
  ASSERT_TRUE(control);
  control->Widget()->resize(96, 144);
  EXPECT_TRUE(control->UserMode());
  ExpectStretched(control->Widget(), kivo::UserModePicture());
  control->SetUserMode(false);
  ExpectStretched(control->Widget(), kivo::DesignModePicture());
}

}  // namespace

#include "polmode_window.h"

#include <QFocusEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QImage>
#include <QLineEdit>
#include <QPalette>
#include <QVBoxLayout>

#include <algorithm>
#include <optional>

#include "form/form.h"

namespace varnel::app {

namespace {

QLabel* Cap(const char* utf8) { return FormBinder::Caption(utf8); }

}  // namespace

PolModeWindow::PolModeWindow(PolModeForm& form, WindowActions actions, QWidget* relayControl)
    : form_(form), actions_(std::move(actions)), binder_([this](const FormBinder::Handler& h) { Dispatch(h); }) {
  setObjectName("PolMode");
  // Like a form that holds controls, the window itself takes the focus only
  // when it is given to it explicitly; clicks go to its controls.
  setFocusPolicy(Qt::NoFocus);

  auto* left = new QVBoxLayout;
  left->addWidget(BuildAcquisitionBox());
  left->addWidget(BuildStorageBox());
  left->addStretch(1);

  auto* right = new QVBoxLayout;
  right->addWidget(BuildStatusBox());
  graph_ = new GraphView;
  right->addWidget(graph_);
  auto* lower = new QHBoxLayout;
  lower->addWidget(BuildResultsBox(), 1);
  auto* side = new QVBoxLayout;
  side->addWidget(BuildWeatherBox());
  if (relayControl != nullptr) {
    relayControl->setFixedSize(48, 48);
    side->addWidget(relayControl, 0, Qt::AlignRight);
  }
  side->addStretch(1);
  lower->addLayout(side);
  right->addLayout(lower);

  auto* top = new QHBoxLayout(this);
  top->addLayout(left);
  top->addLayout(right, 1);
  Refresh();
}

QWidget* PolModeWindow::BuildAcquisitionBox() {
  auto* box = new QGroupBox(QString::fromUtf8("AD変換設定"));
  auto* g = new QGridLayout(box);
  int row = 0;
  g->addWidget(Cap("ｻﾝﾌﾟﾘﾝｸﾞ間隔"), row, 0);
  g->addWidget(binder_.Edit(form_.IDE_SAMPTIME), row, 1);
  g->addWidget(binder_.Combo(form_.IDCB_TIMEUNIT, false), row++, 2);
  g->addWidget(Cap("変換ﾁｬﾝﾈﾙ数"), row, 0);
  g->addWidget(binder_.Edit(form_.IDE_CHAN), row++, 1);
  g->addWidget(Cap("ｻﾝﾌﾟﾘﾝｸﾞ個数"), row, 0);
  g->addWidget(binder_.Edit(form_.IDE_SAMPCOUNT), row++, 1);
  g->addWidget(Cap("測定間隔"), row, 0);
  g->addWidget(binder_.Edit(form_.Text2, actions_.text2Changed), row, 1);
  g->addWidget(Cap("ms"), row++, 2);
  g->addWidget(Cap("変換開始"), row, 0);
  g->addWidget(binder_.Option(form_.IDR_START_INTERNAL, actions_.startInternal), row, 1);
  g->addWidget(binder_.Option(form_.IDR_START_EXTERNAL, actions_.startExternal), row++, 2);
  g->addWidget(Cap("変換終了"), row, 0);
  g->addWidget(binder_.Option(form_.IDR_STOP_INTERNAL, actions_.stopInternal), row, 1);
  g->addWidget(binder_.Option(form_.IDR_STOP_EXTERNAL, actions_.stopExternal), row++, 2);
  g->addWidget(Cap("測定回路数"), row, 0);
  auto* circuits = new QHBoxLayout;
  for (int i = 0; i < 3; ++i)
    circuits->addWidget(binder_.Option(form_.Option1[static_cast<std::size_t>(i)], [this, i] { actions_.option1(i); }));
  g->addLayout(circuits, row++, 1, 1, 2);
  g->addWidget(Cap("シャント抵抗値"), row, 0);
  auto* shunt = binder_.CommitEdit(form_.Text1, actions_.text1Committed);
  shunt->setObjectName("Text1");
  g->addWidget(shunt, row, 1);
  g->addWidget(Cap("Ω"), row++, 2);

  auto* freq = new QGroupBox(QString::fromUtf8("電源周波数"));
  auto* fl = new QHBoxLayout(freq);
  for (int i = 0; i < 2; ++i)
    fl->addWidget(binder_.Option(form_.Option2[static_cast<std::size_t>(i)], [this, i] { actions_.option2(i); }));
  g->addWidget(freq, row++, 0, 1, 3);

  auto* buttons = new QHBoxLayout;
  buttons->addWidget(binder_.Push(form_.IDB_START, actions_.start));
  buttons->addWidget(binder_.Push(form_.IDB_STOP, actions_.stop));
  buttons->addWidget(binder_.Push(form_.IDB_SAVECSV, actions_.saveCsv));
  buttons->addWidget(binder_.Push(form_.IDCANCEL, actions_.exit));
  g->addLayout(buttons, row++, 0, 1, 3);
  return box;
}

QWidget* PolModeWindow::BuildStorageBox() {
  auto* box = new QGroupBox(QString::fromUtf8("データ保存"));
  auto* g = new QGridLayout(box);
  int row = 0;
  g->addWidget(Cap("保存ファイル"), row, 0);
  auto* path = binder_.CommitEdit(form_.Text4, actions_.text4Committed);
  path->setObjectName("Text4");
  path->setMinimumWidth(260);
  g->addWidget(path, row++, 1, 1, 3);

  auto* format = binder_.Group(form_.Frame8);
  auto* fl = new QHBoxLayout(format);
  for (int i = 0; i < 2; ++i)
    fl->addWidget(binder_.Option(form_.Option3[static_cast<std::size_t>(i)], [this, i] { actions_.option3(i); }));
  g->addWidget(format, row++, 0, 1, 4);

  auto* levels = new QGroupBox(QString::fromUtf8("ピーク電流検出値(mA)"));
  auto* ll = new QHBoxLayout(levels);
  for (std::size_t i = 0; i < form_.Text5.size(); ++i) {
    ll->addWidget(Cap("<"));
    auto* e = binder_.Edit(form_.Text5[i]);
    e->setMaximumWidth(44);
    ll->addWidget(e);
  }
  g->addWidget(levels, row++, 0, 1, 4);

  g->addWidget(binder_.Check(form_.Check3), row, 0, 1, 2);
  g->addWidget(binder_.Edit(form_.Text3), row, 2);
  g->addWidget(Cap("mA"), row++, 3);
  g->addWidget(binder_.Check(form_.Check2), row++, 0, 1, 4);
  g->addWidget(Cap("データ保存間隔"), row, 0);
  auto* dataInterval = binder_.CommitCombo(form_.Combo1, actions_.combo1Committed);
  dataInterval->setObjectName("Combo1");
  g->addWidget(dataInterval, row, 1);
  g->addWidget(Cap("分"), row++, 2);
  g->addWidget(binder_.Check(form_.Check1, actions_.check1Clicked), row++, 0, 1, 4);
  g->addWidget(binder_.Text(form_.Label30[2]), row, 0);
  auto* waveInterval = binder_.CommitCombo(form_.Combo2, actions_.combo2Committed);
  waveInterval->setObjectName("Combo2");
  g->addWidget(waveInterval, row, 1);
  g->addWidget(Cap("分"), row++, 2);
  return box;
}

QWidget* PolModeWindow::BuildStatusBox() {
  auto* box = new QWidget;
  auto* g = new QGridLayout(box);
  g->setContentsMargins(0, 0, 0, 0);
  g->addWidget(Cap("ｽﾃｰﾀｽ"), 0, 0);
  status_ = binder_.Text(form_.IDC_STATUS);
  status_->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  status_->setMinimumWidth(420);
  cycleLabels_.push_back(status_);
  g->addWidget(status_, 0, 1, 1, 5);
  g->addWidget(Cap("変換個数"), 1, 0);
  QLabel* count = binder_.Text(form_.IDS_TOTALNUM);  // " 0" at the start of every block, then its count
  cycleLabels_.push_back(count);
  g->addWidget(count, 1, 1);
  g->addWidget(Cap("Xﾚﾝｼﾞ"), 1, 2);
  g->addWidget(binder_.Text(form_.IDS_XRANGE), 1, 3);
  g->addWidget(Cap("Yﾚﾝｼﾞ"), 1, 4);
  g->addWidget(binder_.Text(form_.IDS_YRANGE), 1, 5);
  return box;
}

QWidget* PolModeWindow::BuildWeatherBox() {
  auto* box = binder_.Group(form_.Frame4);
  auto* g = new QGridLayout(box);
  const char* heads[] = {"風速", "風向", "外気温･湿度", "", "内気温･湿度", ""};
  for (int c = 0; c < 6; ++c) g->addWidget(Cap(heads[c]), 0, c + 1);
  const char* units[] = {"m/s", "ﾟ", "ﾟC", "%", "ﾟC", "%"};
  for (int c = 0; c < 6; ++c) g->addWidget(Cap(units[c]), 3, c + 1);
  // Label8 indexes per row: speed, direction, out temp, out hum, in temp, in hum.
  const int now[] = {0, 1, 2, 6, 7, 8};
  const int avg[] = {3, 4, 5, 9, 10, 11};
  g->addWidget(Cap("瞬時"), 1, 0);
  g->addWidget(Cap("平均"), 2, 0);
  for (int c = 0; c < 6; ++c) {
    for (const int row : {1, 2}) {
      QLabel* value = binder_.Text(form_.Label8[static_cast<std::size_t>(row == 1 ? now[c] : avg[c])]);
      opaqueWidgets_.push_back(value);
      g->addWidget(value, row, c + 1);
    }
  }
  g->addWidget(Cap("雨量"), 4, 0);
  QLabel* rain = binder_.Text(form_.Label8[12]);
  opaqueWidgets_.push_back(rain);
  g->addWidget(rain, 4, 1);
  g->addWidget(Cap("mm"), 4, 2);
  receiveLamp_ = binder_.Text(form_.Label6[0]);
  sendLamp_ = binder_.Text(form_.Label6[1]);
  g->addWidget(sendLamp_, 4, 3);
  g->addWidget(receiveLamp_, 4, 4);
  g->addWidget(binder_.Text(form_.Label18), 4, 5);
  auto* lines = new QHBoxLayout;
  lines->addWidget(binder_.Text(form_.Label21[0]));
  lines->addWidget(binder_.Text(form_.Label21[1]));
  g->addLayout(lines, 5, 0, 1, 7);
  return box;
}

QWidget* PolModeWindow::BuildResultsBox() {
  auto* box = new QGroupBox(QString::fromUtf8("測定電流"));
  auto* g = new QGridLayout(box);
  g->setVerticalSpacing(1);
  const char* heads[] = {"ch", "Peak", ">2.5k", "基本波", "<2.5k", "DC", "ALL", "RMS", "波保存TG"};
  for (int c = 0; c < 9; ++c) g->addWidget(Cap(heads[c]), 0, c);
  for (int ch = 0; ch < kMaxChannels; ++ch) {
    const auto i = static_cast<std::size_t>(ch);
    const int row = ch + 1;
    g->addWidget(new QLabel(QString::number(ch + 1)), row, 0);
    int column = 1;
    for (auto* labels : {&form_.Peak, &form_.L25H, &form_.LF1, &form_.L25L, &form_.LDC, &form_.LAC, &form_.LRms}) {
      QLabel* label = binder_.Text((*labels)[i]);
      // Room for the widest value (values are cut to 5 characters) before
      // the size is kept.
      label->setMinimumWidth(std::max(label->minimumWidth(), label->fontMetrics().horizontalAdvance("-00.000")));
      cycleLabels_.push_back(label);
      g->addWidget(label, row, column++);
    }
    auto* trigger = binder_.Combo(form_.Combo3[i], true);
    trigger->setMaximumWidth(64);
    g->addWidget(trigger, row, 8);
  }
  return box;
}

void PolModeWindow::Dispatch(const std::function<void()>& handler) {
  if (handler) handler();
  RequestRefresh();
}

// The widgets follow the model once the events waiting now have been
// handled: a block's two notifications come together, and only what the
// model holds after both needs showing (nothing in between would ever be
// painted).  A status or count that ends each cycle as it started is then
// not set, and not painted, twice a cycle.
void PolModeWindow::RequestRefresh() {
  if (refreshPending_) return;
  refreshPending_ = true;
  QMetaObject::invokeMethod(
      this,
      [this] {
        refreshPending_ = false;
        Refresh();
      },
      Qt::QueuedConnection);
}

void PolModeWindow::Refresh() {
  binder_.Refresh();
  const QString title = QString::fromStdString(form_.title);
  if (windowTitle() != title) setWindowTitle(title);
}

// The status is painted with everything else once the handler returns: the
// notifications are handled after the acquisition has ended, and nothing
// after them takes long enough for an earlier paint to be seen.  Painting
// here would only hold up the block and the next cycle.
void PolModeWindow::RepaintStatus() { RequestRefresh(); }

// A lamp whose colour this refresh changes is painted at once (a lamp
// turning red is to be seen at once); the weather link asks at every chunk
// of a reply, many times a second, mostly with no lamp changing.
void PolModeWindow::RepaintWeatherIndicators() {
  const auto look = [](const QLabel* lamp) {
    return lamp == nullptr ? std::optional<QRgb>()
           : lamp->autoFillBackground() ? std::optional<QRgb>(lamp->palette().color(QPalette::Window).rgb())
                                        : std::nullopt;
  };
  const std::optional<QRgb> sendBefore = look(sendLamp_), receiveBefore = look(receiveLamp_);
  Refresh();
  if (sendLamp_ != nullptr && look(sendLamp_) != sendBefore) sendLamp_->repaint();
  if (receiveLamp_ != nullptr && look(receiveLamp_) != receiveBefore) receiveLamp_->repaint();
}

// The labels that change every cycle keep the size the first layout gave
// them: a new value then changes no geometry, and the window is not laid out
// again every cycle (a label asks for that whenever its text changes).  And
// where the box behind such a label paints one flat colour, the label paints
// that colour itself: it is then opaque, and a new value does not make the
// box paint again under it.
void PolModeWindow::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (sizesFrozen_) return;
  if (layout() != nullptr) layout()->activate();
  for (QLabel* label : cycleLabels_) {
    label->setFixedSize(label->size());
    TakeBackgroundOfBox(label);
  }
  for (QWidget* widget : opaqueWidgets_) TakeBackgroundOfBox(widget);
  // The text boxes too: a blinking caret or a new value then repaints the
  // box alone, not the group behind it with its frame and title.  Their own
  // panel paints their base colour; the background taken from the group
  // only fills their corners.
  for (QLineEdit* edit : findChildren<QLineEdit*>()) {
    if (qobject_cast<QGroupBox*>(edit->parentWidget()) == nullptr) continue;  // inside a list box
    edit->setBackgroundRole(QPalette::Window);
    TakeBackgroundOfBox(edit);
  }
  sizesFrozen_ = true;
}

void PolModeWindow::TakeBackgroundOfBox(QWidget* label) {
  QWidget* box = label->parentWidget();
  if (box == nullptr || label->autoFillBackground()) return;
  // What the box alone paints where the label is.
  QImage behind(label->size(), QImage::Format_RGB32);
  behind.fill(Qt::magenta);
  box->render(&behind, QPoint(), QRegion(label->geometry()), QWidget::DrawWindowBackground);
  const QRgb colour = behind.pixel(0, 0);
  for (int y = 0; y < behind.height(); ++y)
    for (int x = 0; x < behind.width(); ++x)
      if (behind.pixel(x, y) != colour) return;  // not one flat colour: the box keeps painting it
  QPalette palette = label->palette();
  palette.setColor(QPalette::Window, QColor::fromRgb(colour));
  label->setPalette(palette);
  label->setAutoFillBackground(true);
}

// The window itself (not one of its controls) losing the input focus ends
// the program, as it always has.  Deactivation, a click into another
// program's window, never does: a measurement must not end because someone
// used the PC.
void PolModeWindow::focusOutEvent(QFocusEvent* event) {
  QWidget::focusOutEvent(event);
  if (event->reason() == Qt::ActiveWindowFocusReason || event->reason() == Qt::PopupFocusReason) return;
  if (actions_.lostFocus) actions_.lostFocus();
}

}  // namespace varnel::app

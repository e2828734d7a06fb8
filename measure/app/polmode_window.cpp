#include "polmode_window.h"

#include <QFocusEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QImage>
#include <QLineEdit>
#include <QPalette>
#include <QTimerEvent>
#include <QVBoxLayout>

#include <algorithm>
#include <optional>

#include "form/form.h"

namespace varnel::app {

namespace {

QLabel* Cap(const char* utf8) { return FormBinder::Caption(utf8); }

}  // namespace

PolModeWindow::PolModeWindow(PolModeForm& form, WindowActions actions, QWidget* relayControl)
    : m_form(form), m_actions(std::move(actions)), m_binder([this](const FormBinder::Handler& h) { Dispatch(h); }) {
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
  m_graph = new GraphView;
  right->addWidget(m_graph);
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
  g->addWidget(m_binder.Edit(m_form.IDE_SAMPTIME), row, 1);
  g->addWidget(m_binder.Combo(m_form.IDCB_TIMEUNIT, false), row++, 2);
  g->addWidget(Cap("変換ﾁｬﾝﾈﾙ数"), row, 0);
  g->addWidget(m_binder.Edit(m_form.IDE_CHAN), row++, 1);
  g->addWidget(Cap("ｻﾝﾌﾟﾘﾝｸﾞ個数"), row, 0);
  g->addWidget(m_binder.Edit(m_form.IDE_SAMPCOUNT), row++, 1);
  g->addWidget(Cap("測定間隔"), row, 0);
  g->addWidget(m_binder.Edit(m_form.Text2, m_actions.text2Changed), row, 1);
  g->addWidget(Cap("ms"), row++, 2);
  g->addWidget(Cap("変換開始"), row, 0);
  g->addWidget(m_binder.Option(m_form.IDR_START_INTERNAL, m_actions.startInternal), row, 1);
  g->addWidget(m_binder.Option(m_form.IDR_START_EXTERNAL, m_actions.startExternal), row++, 2);
  g->addWidget(Cap("変換終了"), row, 0);
  g->addWidget(m_binder.Option(m_form.IDR_STOP_INTERNAL, m_actions.stopInternal), row, 1);
  g->addWidget(m_binder.Option(m_form.IDR_STOP_EXTERNAL, m_actions.stopExternal), row++, 2);
  g->addWidget(Cap("測定回路数"), row, 0);
  auto* circuits = new QHBoxLayout;
  for (int i = 0; i < 3; ++i)
    circuits->addWidget(m_binder.Option(m_form.Option1[static_cast<std::size_t>(i)], [this, i] { m_actions.option1(i); }));
  g->addLayout(circuits, row++, 1, 1, 2);
  g->addWidget(Cap("シャント抵抗値"), row, 0);
  auto* shunt = m_binder.CommitEdit(m_form.Text1, m_actions.text1Committed);
  shunt->setObjectName("Text1");
  g->addWidget(shunt, row, 1);
  g->addWidget(Cap("Ω"), row++, 2);

  auto* freq = new QGroupBox(QString::fromUtf8("電源周波数"));
  auto* fl = new QHBoxLayout(freq);
  for (int i = 0; i < 2; ++i)
    fl->addWidget(m_binder.Option(m_form.Option2[static_cast<std::size_t>(i)], [this, i] { m_actions.option2(i); }));
  g->addWidget(freq, row++, 0, 1, 3);

  auto* buttons = new QHBoxLayout;
  buttons->addWidget(m_binder.Push(m_form.IDB_START, m_actions.start));
  buttons->addWidget(m_binder.Push(m_form.IDB_STOP, m_actions.stop));
  buttons->addWidget(m_binder.Push(m_form.IDB_SAVECSV, m_actions.saveCsv));
  buttons->addWidget(m_binder.Push(m_form.IDCANCEL, m_actions.exit));
  g->addLayout(buttons, row++, 0, 1, 3);
  return box;
}

QWidget* PolModeWindow::BuildStorageBox() {
  auto* box = new QGroupBox(QString::fromUtf8("データ保存"));
  auto* g = new QGridLayout(box);
  int row = 0;
  g->addWidget(Cap("保存ファイル"), row, 0);
  auto* path = m_binder.CommitEdit(m_form.Text4, m_actions.text4Committed);
  path->setObjectName("Text4");
  path->setMinimumWidth(260);
  g->addWidget(path, row++, 1, 1, 3);

  auto* format = m_binder.Group(m_form.Frame8);
  auto* fl = new QHBoxLayout(format);
  for (int i = 0; i < 2; ++i)
    fl->addWidget(m_binder.Option(m_form.Option3[static_cast<std::size_t>(i)], [this, i] { m_actions.option3(i); }));
  g->addWidget(format, row++, 0, 1, 4);

  auto* levels = new QGroupBox(QString::fromUtf8("ピーク電流検出値(mA)"));
  auto* ll = new QHBoxLayout(levels);
  for (std::size_t i = 0; i < m_form.Text5.size(); ++i) {
    ll->addWidget(Cap("<"));
    auto* e = m_binder.Edit(m_form.Text5[i]);
    e->setMaximumWidth(44);
    ll->addWidget(e);
  }
  g->addWidget(levels, row++, 0, 1, 4);

  g->addWidget(m_binder.Check(m_form.Check3), row, 0, 1, 2);
  g->addWidget(m_binder.Edit(m_form.Text3), row, 2);
  g->addWidget(Cap("mA"), row++, 3);
  g->addWidget(m_binder.Check(m_form.Check2), row++, 0, 1, 4);
  g->addWidget(Cap("データ保存間隔"), row, 0);
  auto* dataInterval = m_binder.CommitCombo(m_form.Combo1, m_actions.combo1Committed);
  dataInterval->setObjectName("Combo1");
  g->addWidget(dataInterval, row, 1);
  g->addWidget(Cap("分"), row++, 2);
  g->addWidget(m_binder.Check(m_form.Check1, m_actions.check1Clicked), row++, 0, 1, 4);
  g->addWidget(m_binder.Text(m_form.Label30[2]), row, 0);
  auto* waveInterval = m_binder.CommitCombo(m_form.Combo2, m_actions.combo2Committed);
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
  m_status = m_binder.Text(m_form.IDC_STATUS);
  m_status->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  m_status->setMinimumWidth(420);
  m_cycleLabels.push_back(m_status);
  g->addWidget(m_status, 0, 1, 1, 5);
  g->addWidget(Cap("変換個数"), 1, 0);
  QLabel* count = m_binder.Text(m_form.IDS_TOTALNUM);  // " 0" at the start of every block, then its count
  m_cycleLabels.push_back(count);
  g->addWidget(count, 1, 1);
  g->addWidget(Cap("Xﾚﾝｼﾞ"), 1, 2);
  g->addWidget(m_binder.Text(m_form.IDS_XRANGE), 1, 3);
  g->addWidget(Cap("Yﾚﾝｼﾞ"), 1, 4);
  g->addWidget(m_binder.Text(m_form.IDS_YRANGE), 1, 5);
  return box;
}

QWidget* PolModeWindow::BuildWeatherBox() {
  auto* box = m_binder.Group(m_form.Frame4);
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
      QLabel* value = m_binder.Text(m_form.Label8[static_cast<std::size_t>(row == 1 ? now[c] : avg[c])]);
      m_opaqueWidgets.push_back(value);
      g->addWidget(value, row, c + 1);
    }
  }
  g->addWidget(Cap("雨量"), 4, 0);
  QLabel* rain = m_binder.Text(m_form.Label8[12]);
  m_opaqueWidgets.push_back(rain);
  g->addWidget(rain, 4, 1);
  g->addWidget(Cap("mm"), 4, 2);
  m_receiveLamp = m_binder.Text(m_form.Label6[0]);
  m_sendLamp = m_binder.Text(m_form.Label6[1]);
  // A lamp going out paints the box's colour itself, not the box under it.
  m_opaqueWidgets.push_back(m_receiveLamp);
  m_opaqueWidgets.push_back(m_sendLamp);
  g->addWidget(m_sendLamp, 4, 3);
  g->addWidget(m_receiveLamp, 4, 4);
  g->addWidget(m_binder.Text(m_form.Label18), 4, 5);
  auto* lines = new QHBoxLayout;
  lines->addWidget(m_binder.Text(m_form.Label21[0]));
  lines->addWidget(m_binder.Text(m_form.Label21[1]));
  g->addLayout(lines, 5, 0, 1, 7);
  return box;
}

QWidget* PolModeWindow::BuildResultsBox() {
  auto* box = new QGroupBox(QString::fromUtf8("測定電流"));
  auto* g = new QGridLayout(box);
  g->setVerticalSpacing(1);
  const char* heads[] = {"ch", "Peak", ">2.5k", "基本波", "<2.5k", "DC", "ALL", "RMS", "波保存TG"};
  for (int c = 0; c < 9; ++c) g->addWidget(Cap(heads[c]), 0, c);
  const auto columns = {&m_form.Peak, &m_form.L25H, &m_form.LF1, &m_form.L25L, &m_form.LDC, &m_form.LAC, &m_form.LRms};
  // Room for the widest value (values are cut to 5 characters).
  const int valueWidth = std::max(40, box->fontMetrics().horizontalAdvance("-00.000"));
  m_values = new ValueTable(*g, 1, 1, kMaxChannels, static_cast<int>(columns.size()), valueWidth);
  for (int ch = 0; ch < kMaxChannels; ++ch) {
    const auto i = static_cast<std::size_t>(ch);
    const int row = ch + 1;
    g->addWidget(new QLabel(QString::number(ch + 1)), row, 0);
    int column = 0;
    for (auto* labels : columns) m_binder.Cell((*labels)[i], *m_values, m_values->CellIndex(ch, column++));
    auto* trigger = m_binder.Combo(m_form.Combo3[i], true);
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
//
// A zero timer rather than a posted call: the event loop fires it after the
// notifiers of the same pass, and registering it costs no system call,
// where a posted call wakes the loop through its event fd (a write, a
// poll and a read) even from the loop's own thread.  A refresh that finds
// nothing changed, as after most timer ticks, then costs no kernel call.
void PolModeWindow::RequestRefresh() {
  if (!m_refreshTimer.isActive()) m_refreshTimer.start(0, this);
}

void PolModeWindow::timerEvent(QTimerEvent* event) {
  if (event->timerId() != m_refreshTimer.timerId()) {
    QWidget::timerEvent(event);
    return;
  }
  m_refreshTimer.stop();
  Refresh();
}

void PolModeWindow::Refresh() {
  m_binder.Refresh();
  const QString title = QString::fromStdString(m_form.title);
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
  const std::optional<QColor> sendBefore = LampColour(m_sendLamp), receiveBefore = LampColour(m_receiveLamp);
  Refresh();
  if (m_sendLamp != nullptr && LampColour(m_sendLamp) != sendBefore) m_sendLamp->repaint();
  if (m_receiveLamp != nullptr && LampColour(m_receiveLamp) != receiveBefore) m_receiveLamp->repaint();
}

// The labels that change every cycle keep the size the first layout gave
// them: a new value then changes no geometry, and the window is not laid out
// again every cycle (a label asks for that whenever its text changes).  And
// where the box behind such a label paints one flat colour, the label paints
// that colour itself: it is then opaque, and a new value does not make the
// box paint again under it.
void PolModeWindow::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (m_sizesFrozen) return;
  if (layout() != nullptr) layout()->activate();
  for (QLabel* label : m_cycleLabels) {
    label->setFixedSize(label->size());
    TakeBackgroundOfBox(label);
  }
  for (QWidget* widget : m_opaqueWidgets) TakeBackgroundOfBox(widget);
  if (const auto colour = FlatBackgroundBehind(m_values)) m_values->TakeBackground(*colour);
  // The text boxes too: a blinking caret or a new value then repaints the
  // box alone, not the group behind it with its frame and title.  Their own
  // panel paints their base colour; the background taken from the group
  // only fills their corners.
  for (QLineEdit* edit : findChildren<QLineEdit*>()) {
    if (qobject_cast<QGroupBox*>(edit->parentWidget()) == nullptr) continue;  // inside a list box
    edit->setBackgroundRole(QPalette::Window);
    TakeBackgroundOfBox(edit);
  }
  m_sizesFrozen = true;
}

// What the box alone paints where `widget` is, when that is one flat colour.
std::optional<QColor> PolModeWindow::FlatBackgroundBehind(QWidget* widget) {
  QWidget* box = widget->parentWidget();
  if (box == nullptr) return std::nullopt;
  QImage behind(widget->size(), QImage::Format_RGB32);
  behind.fill(Qt::magenta);
  box->render(&behind, QPoint(), QRegion(widget->geometry()), QWidget::DrawWindowBackground);
  const QRgb colour = behind.pixel(0, 0);
  for (int y = 0; y < behind.height(); ++y)
    for (int x = 0; x < behind.width(); ++x)
      if (behind.pixel(x, y) != colour) return std::nullopt;  // the box keeps painting it
  return QColor::fromRgb(colour);
}

void PolModeWindow::TakeBackgroundOfBox(QWidget* label) {
  if (label->autoFillBackground()) return;
  const auto colour = FlatBackgroundBehind(label);
  if (!colour) return;
  QPalette palette = label->palette();
  palette.setColor(QPalette::Window, *colour);
  label->setPalette(palette);
  FillOwnBackground(label, true);
}

// The window itself (not one of its controls) losing the input focus ends
// the program, as it always has.  Deactivation, a click into another
// program's window, never does: a measurement must not end because someone
// used the PC.
void PolModeWindow::focusOutEvent(QFocusEvent* event) {
  QWidget::focusOutEvent(event);
  if (event->reason() == Qt::ActiveWindowFocusReason || event->reason() == Qt::PopupFocusReason) return;
  if (m_actions.lostFocus) m_actions.lostFocus();
}

}  // namespace varnel::app

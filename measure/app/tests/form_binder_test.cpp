// The form binder: after every event the widgets show exactly what the
// model holds, whatever changed it (the core, or the user and then the core
// again), and a refresh never looks like user input.
#include <QApplication>
#include <QGridLayout>
#include <QPaintEvent>
#include <QTest>
#include <QVBoxLayout>

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <string>

#include "form_binder.h"
#include "value_table.h"

namespace varnel::app {
namespace {

struct Model {
  Label label{"", std::nullopt, true};
  TextBox edit{"80", true};
  ComboBox list{{"sec", "msec", "usec"}, "usec", 2, true};
  ComboBox editable{{"1", "5", "10"}, "10", 2, true};
  OptionButton option{"50Hz", false};
  CheckBox check{"保存", false, true};
  Button push{"変換開始", true};
  Frame frame{"データ形式", true};
  TextBox shunt{"10", true};
  ComboBox interval{{"1", "5", "10"}, "5", 1, true};
};

// The core's answer to a finished edit: digits are taken without leading
// zeros, anything else is refused and the model keeps its text.
void TakeNumber(std::string& model, const std::string& entered) {
  if (entered.empty() || entered.find_first_not_of("0123456789") != std::string::npos) return;
  model = std::to_string(std::stoll(entered));
}

class FormBinderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    binder = std::make_unique<FormBinder>([this](const FormBinder::Handler& h) {
      ++dispatched;
      if (h) h();
      binder->Refresh();
    });
    label = binder->Text(m.label, &parent);
    edit = binder->Edit(m.edit, [this] {
      if (undoEdits) m.edit.text = "80";
    });
    list = binder->Combo(m.list, false, [this] { ++listChanges; });
    editable = binder->Combo(m.editable, true);
    option = binder->Option(m.option, [this] { m.option.selected = optionTurnsOn; });
    check = binder->Check(m.check);
    push = binder->Push(m.push, [] {});
    frame = binder->Group(m.frame);
    shunt = binder->CommitEdit(m.shunt, [this](const std::string& t) { TakeNumber(m.shunt.text, t); });
    interval = binder->CommitCombo(m.interval, [this](const std::string& t) { TakeNumber(m.interval.text, t); });
    auto* column = new QVBoxLayout(&parent);
    for (QWidget* w : std::initializer_list<QWidget*>{label, edit, list, editable, option, check, push, frame, shunt,
                                                     interval})
      column->addWidget(w);
    parent.show();  // clicks reach only shown widgets
    binder->Refresh();
  }

  Model m;
  QWidget parent;
  std::unique_ptr<FormBinder> binder;
  QLabel* label = nullptr;
  QLineEdit* edit = nullptr;
  QComboBox* list = nullptr;
  QComboBox* editable = nullptr;
  QRadioButton* option = nullptr;
  QCheckBox* check = nullptr;
  QPushButton* push = nullptr;
  QGroupBox* frame = nullptr;
  QLineEdit* shunt = nullptr;
  QComboBox* interval = nullptr;
  int dispatched = 0;
  int listChanges = 0;
  bool undoEdits = false;
  bool optionTurnsOn = true;
};

TEST_F(FormBinderTest, WidgetsShowTheModelAfterEveryRefresh) {
  EXPECT_EQ(edit->text(), "80");
  EXPECT_EQ(list->currentText(), "usec");
  EXPECT_EQ(editable->currentText(), "10");

  m.label.text = "7.576";
  m.label.backColor = kRed;
  m.edit.text = "120";
  m.edit.enabled = false;
  m.list.items = {"a", "b"};
  m.list.listIndex = 1;
  m.editable.text = "15";
  m.option.selected = true;
  m.check.checked = true;
  m.push.enabled = false;
  m.push.caption = "停止";
  m.frame.enabled = false;
  binder->Refresh();
  EXPECT_EQ(label->text(), QString::fromUtf8("7.576"));
  EXPECT_EQ(LampColour(label), QColor(255, 0, 0));
  EXPECT_EQ(edit->text(), "120");
  EXPECT_FALSE(edit->isEnabled());
  ASSERT_EQ(list->count(), 2);
  EXPECT_EQ(list->currentText(), "b");
  EXPECT_EQ(editable->currentText(), "15");
  EXPECT_TRUE(option->isChecked());
  EXPECT_TRUE(check->isChecked());
  EXPECT_FALSE(push->isEnabled());
  EXPECT_EQ(push->text(), QString::fromUtf8("停止"));
  EXPECT_FALSE(frame->isEnabled());

  // And back: a colour taken away gives the label the window's colours.
  m.label.backColor.reset();
  m.label.text.clear();
  binder->Refresh();
  EXPECT_EQ(label->text(), "");
  EXPECT_EQ(LampColour(label), std::nullopt);
  EXPECT_FALSE(label->testAttribute(Qt::WA_OpaquePaintEvent));  // the window's colours show through
  // Nothing of this looked like user input.
  EXPECT_EQ(dispatched, 0);
  EXPECT_EQ(listChanges, 0);
}

TEST_F(FormBinderTest, UserInputReachesTheModelAndTheCoresAnswerReachesTheWidget) {
  // The core puts back the text the widget showed before the user typed:
  // the widget must follow, though the model ends where it started.
  undoEdits = true;
  QTest::keyClicks(edit, "9");
  EXPECT_EQ(dispatched, 1);
  EXPECT_EQ(m.edit.text, "80");
  EXPECT_EQ(edit->text(), "80");

  undoEdits = false;
  QTest::keyClicks(edit, "5");
  EXPECT_EQ(m.edit.text, "805");
  EXPECT_EQ(edit->text(), "805");

  // A click toggles the button itself; the core decides what it shows.
  optionTurnsOn = false;
  option->click();  // as a user click: toggles, then "clicked"
  EXPECT_FALSE(m.option.selected);
  EXPECT_FALSE(option->isChecked());
  optionTurnsOn = true;
  option->click();  // as a user click: toggles, then "clicked"
  EXPECT_TRUE(option->isChecked());

  check->click();
  EXPECT_TRUE(m.check.checked);
  m.check.checked = false;  // the core unticks it again
  binder->Refresh();
  EXPECT_FALSE(check->isChecked());

  // A choice from the list: model and widget agree, and a later change of
  // the model by the core shows.
  emit list->activated(0);
  EXPECT_EQ(m.list.listIndex, 0);
  EXPECT_EQ(m.list.text, "sec");
  EXPECT_EQ(listChanges, 1);
  list->setCurrentIndex(0);  // what the user's choice shows
  m.list.listIndex = 2;
  binder->Refresh();
  EXPECT_EQ(list->currentIndex(), 2);
  EXPECT_EQ(listChanges, 1);
}

// Boxes the core must accept first: typing alone changes nothing, a refused
// entry gives way to the model's text, an accepted one shows as the core
// keeps it, and a refresh while typing leaves the typed text alone.
TEST_F(FormBinderTest, CommittedEntriesShowWhatTheCoreKept) {
  EXPECT_EQ(shunt->text(), "10");
  EXPECT_EQ(interval->currentText(), "5");
  ASSERT_EQ(interval->count(), 3);

  shunt->setFocus();
  shunt->selectAll();
  QTest::keyClicks(shunt, "12x");
  binder->Refresh();  // a timer tick while typing
  EXPECT_EQ(shunt->text(), "12x");
  EXPECT_EQ(m.shunt.text, "10");
  QTest::keyClick(shunt, Qt::Key_Return);
  EXPECT_EQ(m.shunt.text, "10");
  EXPECT_EQ(shunt->text(), "10");  // refused: back to what stays

  shunt->selectAll();
  QTest::keyClicks(shunt, "0047");
  QTest::keyClick(shunt, Qt::Key_Return);
  EXPECT_EQ(m.shunt.text, "47");
  EXPECT_EQ(shunt->text(), "47");

  // The same refusal twice in a row still puts the model's text back.
  for (int round = 0; round < 2; ++round) {
    shunt->selectAll();
    QTest::keyClicks(shunt, "-");
    QTest::keyClick(shunt, Qt::Key_Return);
    EXPECT_EQ(shunt->text(), "47") << "round " << round;
  }
  m.shunt.text = "100";  // the core changes it itself (settings loaded)
  m.shunt.enabled = false;
  binder->Refresh();
  EXPECT_EQ(shunt->text(), "100");
  EXPECT_FALSE(shunt->isEnabled());

  // The list: a refused typed value, a choice, new items from the core.
  interval->lineEdit()->setFocus();
  interval->lineEdit()->selectAll();
  QTest::keyClicks(interval->lineEdit(), "abc");
  QTest::keyClick(interval->lineEdit(), Qt::Key_Return);
  EXPECT_EQ(m.interval.text, "5");
  EXPECT_EQ(interval->currentText(), "5");
  EXPECT_EQ(interval->count(), 3) << "a typed value joined the list";
  interval->setCurrentIndex(2);  // what the user's choice shows, then its signal
  emit interval->activated(2);
  EXPECT_EQ(m.interval.text, "10");
  m.interval.items = {"15", "30"};
  binder->Refresh();
  ASSERT_EQ(interval->count(), 2);
  EXPECT_EQ(interval->itemText(1), "30");
  EXPECT_EQ(interval->currentText(), "10") << "new items must not replace the model's text";
}

// A value label paints its numbers from the font's glyphs itself; the
// pixels are those a plain QLabel gives for the same text, also after the
// text changes and after the label is resized (its baseline is kept between
// paints).
// Labels are refreshed in the order of their models in memory, whatever the
// order they were bound in, and a label bound after a refresh joins them.
TEST_F(FormBinderTest, EveryLabelShowsItsOwnModelWhateverTheOrderOfBinding) {
  std::array<Label, 4> column{};
  std::array<QLabel*, 4> shown{};
  for (const std::size_t i : {2u, 0u, 3u}) shown[i] = binder->Text(column[i], &parent);
  binder->Refresh();
  shown[1] = binder->Text(column[1], &parent);
  column[0].text = "0.125";
  column[1].text = "-1.50";
  column[2].backColor = Rgb{255, 0, 0};
  column[3].enabled = false;
  m.label.text = "12";
  binder->Refresh();
  EXPECT_EQ(shown[0]->text(), "0.125");
  EXPECT_EQ(shown[1]->text(), "-1.50");
  EXPECT_EQ(shown[2]->text(), "");
  EXPECT_EQ(LampColour(shown[2]), QColor(255, 0, 0));
  EXPECT_EQ(LampColour(shown[0]), std::nullopt);
  EXPECT_FALSE(shown[3]->isEnabled());
  EXPECT_TRUE(shown[1]->isEnabled());
  EXPECT_EQ(label->text(), "12");
  column[2].backColor.reset();
  column[3].text = "3";
  binder->Refresh();
  EXPECT_EQ(LampColour(shown[2]), std::nullopt);
  EXPECT_EQ(shown[3]->text(), "3");
}

TEST_F(FormBinderTest, ValueLabelsPaintThePixelsOfAPlainLabel) {
  QLabel plain;
  plain.setFont(label->font());
  const auto render = [](QLabel* w, QSize size) {
    w->resize(size);
    QImage image(size, QImage::Format_RGB32);
    image.fill(Qt::magenta);
    w->render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    return image;
  };
  const auto same = [&](const std::string& text, QSize size) {
    m.label.text = text;
    binder->Refresh();
    plain.setText(QString::fromStdString(text));
    const QImage drawn = render(label, size);
    const QImage expected = render(&plain, size);
    int inked = 0;
    for (int y = 0; y < expected.height(); ++y)
      for (int x = 0; x < expected.width(); ++x) inked += expected.pixel(x, y) != expected.pixel(0, 0);
    EXPECT_GT(inked, 0) << text;  // the text is really there to compare
    EXPECT_EQ(drawn, expected) << text << " at " << size.width() << "x" << size.height();
  };
  const auto all = [&] {
    same(" 5040", QSize(80, 20));
    same("-12.34", QSize(80, 20));
    same("-12.34", QSize(64, 31));
    same("0.001", QSize(64, 31));
    for (int height = 14; height <= 25; ++height) same("7.5", QSize(40, height));
  };
  all();
  // A label filling its own background paints it with its text: the same
  // pixels as a label whose background Qt fills first.
  QPalette tinted = label->palette();
  tinted.setColor(QPalette::Window, QColor(0xd4, 0xd0, 0xc8));
  for (QLabel* w : {label, &plain}) {
    w->setPalette(tinted);
    FillOwnBackground(w, true);
  }
  EXPECT_TRUE(label->testAttribute(Qt::WA_OpaquePaintEvent));
  EXPECT_FALSE(plain.testAttribute(Qt::WA_OpaquePaintEvent));
  all();
  same("非ASCII", QSize(80, 20));  // painted by QLabel, after the background

  // A lamp: the label paints the colour and white text itself, the pixels of
  // a label whose palette has them; the same disabled, and with other text.
  QPalette lamp = plain.palette();
  lamp.setColor(QPalette::Window, QColor(0, 0, 128));
  lamp.setColor(QPalette::WindowText, Qt::white);
  plain.setPalette(lamp);
  m.label.backColor = Rgb{0, 0, 128};
  all();
  same("送信", QSize(80, 20));
  for (QLabel* w : {label, &plain}) w->setEnabled(false);
  same("RTS", QSize(80, 20));
  same("受信", QSize(80, 20));
}

// The region of every paint of a widget.
class PaintRecorder : public QObject {
 public:
  explicit PaintRecorder(QWidget* widget) { widget->installEventFilter(this); }
  QRegion region;

 protected:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint) region += static_cast<QPaintEvent*>(event)->region();
    return false;
  }
};

// The table of values shows each bound label's model in its own cell, with
// the pixels a label of the cell's size would show: plain, on the box's
// colour, and on a lamp colour; a changed value repaints its cell alone.
TEST_F(FormBinderTest, TableCellsShowTheirModelsWithTheLabelsPixels) {
  QWidget box;
  auto* grid = new QGridLayout(&box);
  grid->setSpacing(3);
  auto* table = new ValueTable(*grid, 1, 1, 2, 3, 56);
  grid->addWidget(new QLabel("ch"), 0, 0);
  std::array<Label, 6> models{};
  for (int i = 0; i < 6; ++i) binder->Cell(models[static_cast<std::size_t>(i)], *table, i);
  box.show();
  grid->activate();

  const auto render = [](QWidget* w, QRect area) {
    QImage image(area.size(), QImage::Format_RGB32);
    image.fill(Qt::magenta);
    w->render(&image, QPoint(), QRegion(area), QWidget::DrawChildren);
    return image;
  };
  // Each cell against a label of the cell's size, font and colours.
  const auto compare = [&](std::optional<QColor> background, const char* what) {
    for (int i = 0; i < 6; ++i) {
      const Label& model = models[static_cast<std::size_t>(i)];
      ASSERT_EQ(table->Text(i).toStdString(), model.text) << what << " cell " << i;
      const QRect area = table->CellRect(i);
      ASSERT_EQ(area.topLeft() + table->pos(), grid->cellRect(1 + i / 3, 1 + i % 3).topLeft()) << "cell " << i;
      QLabel plain(QString::fromStdString(model.text));
      plain.setFont(table->font());
      plain.resize(area.size());
      QPalette colours = plain.palette();
      if (background) colours.setColor(QPalette::Window, *background);
      if (model.backColor) {
        colours.setColor(QPalette::Window, QColor(model.backColor->r, model.backColor->g, model.backColor->b));
        colours.setColor(QPalette::WindowText, Qt::white);
      }
      plain.setPalette(colours);
      plain.setAutoFillBackground(background.has_value() || model.backColor.has_value());
      const QImage cell = render(table, area);
      EXPECT_EQ(cell, render(&plain, plain.rect())) << what << " cell " << i << ": " << model.text;
    }
  };
  const char* texts[] = {" 5040", "-12.34", "0.001", "7.5", "", "12"};
  for (int i = 0; i < 6; ++i) models[static_cast<std::size_t>(i)].text = texts[i];
  binder->Refresh();
  compare(std::nullopt, "plain");

  const QColor boxColour(0xd4, 0xd0, 0xc8);
  table->TakeBackground(boxColour);
  models[3].backColor = Rgb{255, 0, 0};
  models[1].text = "-0.5";
  binder->Refresh();
  compare(boxColour, "on the box's colour");
  // Between the cells too the table paints the box's colour.
  const QRect gap(table->CellRect(0).right() + 1, table->CellRect(0).top(), 3, table->CellRect(0).height());
  EXPECT_EQ(render(table, gap).pixel(1, 1), boxColour.rgb());

  // What a refresh repaints: the changed cells, together; a cell set
  // directly repaints at once.
  PaintRecorder painted(table);
  QCoreApplication::processEvents();
  painted.region = QRegion();
  models[4].text = "3.25";
  binder->Refresh();
  QCoreApplication::processEvents();
  EXPECT_EQ(painted.region, QRegion(table->CellRect(4)));
  painted.region = QRegion();
  models[0].text = "1";
  models[2].text = "0.002";
  binder->Refresh();
  QCoreApplication::processEvents();
  EXPECT_TRUE(painted.region.contains(table->CellRect(0)) && painted.region.contains(table->CellRect(2)));
  EXPECT_FALSE(painted.region.intersects(table->CellRect(4)));  // another row
  painted.region = QRegion();
  table->SetText(5, "9");
  QCoreApplication::processEvents();
  EXPECT_EQ(painted.region, QRegion(table->CellRect(5)));
  table->SetText(5, QString::fromStdString(models[5].text));

  // A wider box widens the grid's columns: the cells follow them.
  const QRect before = table->CellRect(5);
  box.resize(box.width() + 90, box.height() + 20);
  grid->activate();
  EXPECT_NE(table->CellRect(5), before);
  compare(boxColour, "after a relayout");
}

}  // namespace
}  // namespace varnel::app

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

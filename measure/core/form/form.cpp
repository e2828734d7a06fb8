#include "form/form.h"

namespace varnel {

namespace {

ComboBox MakeCombo(std::vector<std::string> items, std::string text) {
  ComboBox c;
  c.items = std::move(items);
  c.text = std::move(text);
  return c;
}

const std::vector<std::string> kDataIntervals = {"1", "2", "3", "5", "10", "15", "20", "30", "60"};
const std::vector<std::string> kWaveIntervals = {"1",  "2",  "3",   "5",   "10",  "15",
                                                 "20", "30", "60", "120", "240", "360"};

}  // namespace

std::string DesignTitle() {
  // 59 characters of name, then 19 blanks for the clock (positions 60..78).
  std::string name = "Varnel - insulator leakage current and weather monitor";
  name.resize(59, ' ');
  return name + std::string(19, ' ');
}

PolModeForm MakeDesignForm() {
  PolModeForm f;
  f.title = DesignTitle();

  f.IDCB_TIMEUNIT.items = {};  // filled at start-up
  f.Text2.text = "20";
  f.IDR_START_INTERNAL.caption = "内部";
  f.IDR_START_EXTERNAL.caption = "外部ﾄﾘｶﾞ";
  f.IDR_STOP_INTERNAL.caption = "内部";
  f.IDR_STOP_EXTERNAL.caption = "外部ﾄﾘｶﾞ";
  f.IDR_START_INTERNAL.selected = true;
  f.IDR_STOP_INTERNAL.selected = true;

  f.Option1[0].caption = "4ch";
  f.Option1[1].caption = "8ch";
  f.Option1[2].caption = "16ch";
  SelectOption(f.Option1, 2);

  f.Text1.text = "330";
  f.Text4.text = kDesignDataPath;

  f.Option2[0].caption = "50Hz";
  f.Option2[1].caption = "60Hz";
  SelectOption(f.Option2, 0);

  f.Frame8.caption = "データ保存形式";
  f.Option3[0].caption = "CSV";
  f.Option3[1].caption = "バイナリ";
  SelectOption(f.Option3, 0);

  const char* levels[5] = {"0.5", "1", "2", "5", "10"};
  for (int i = 0; i < 5; ++i) f.Text5[static_cast<std::size_t>(i)].text = levels[i];
  for (auto& c : f.Combo3) c = MakeCombo({"0.5", "1", "2", "5", "10"}, "1");

  f.Check3 = CheckBox{"電流波高値による波形データ保存", true, true};
  f.Text3.text = "1";
  f.Check2 = CheckBox{"グラフ表示を更新する", true, true};
  f.Combo1 = MakeCombo(kDataIntervals, "");
  f.Check1 = CheckBox{"定時波形データ保存", true, true};
  f.Combo2 = MakeCombo(kWaveIntervals, "");
  f.Label30[0].text = "データ保存間隔";
  f.Label30[1].text = "分";
  f.Label30[2].text = "保存間隔";

  f.IDB_START.caption = "変換開始";
  f.IDB_STOP.caption = "変換停止";
  f.IDCANCEL.caption = "終了";
  f.IDB_SAVECSV.caption = "CSV保存";

  f.Frame4.caption = "気象観測";
  f.Label6[0].text = "受信";
  f.Label6[1].text = "送信";
  f.Label21[0].text = "DTR";
  f.Label21[1].text = "RTS";
  f.Label21[0].backColor = kNavy;
  f.Label21[1].backColor = kNavy;
  return f;
}

}  // namespace varnel

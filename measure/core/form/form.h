// The main window's controls as plain data.
//
// The measurement core reads and writes the state of the window `PolMode`
// here; the Qt shell only mirrors this model into widgets after every event
// and forwards user edits back into it.  Names are the control names of the
// window, arrays are indexed from 0.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace varnel {

struct Rgb {
  uint8_t r = 0;
  uint8_t g = 0;
  uint8_t b = 0;
  friend bool operator==(const Rgb&, const Rgb&) = default;
};

inline constexpr Rgb kRed{255, 0, 0};
inline constexpr Rgb kNavy{0, 0, 128};

struct TextBox {
  std::string text;
  bool enabled = true;
};

struct Label {
  std::string text;
  std::optional<Rgb> backColor;  // nullopt: the platform's normal colour
  bool enabled = true;
};

struct Button {
  std::string caption;
  bool enabled = true;
};

struct CheckBox {
  std::string caption;
  bool checked = false;
  bool enabled = true;
};

struct ComboBox {
  std::vector<std::string> items;
  std::string text;
  int listIndex = -1;  // -1: nothing selected
  bool enabled = true;
};

// An option button.  Its Value is -1 when selected and 0 otherwise, as the
// trigger selection compares those integers.
struct OptionButton {
  std::string caption;
  bool selected = false;
  int16_t Value() const { return selected ? int16_t{-1} : int16_t{0}; }
};

struct Frame {
  std::string caption;
  bool enabled = true;
};

// Selects item `index` of an option array and clears the others.
template <std::size_t N>
void SelectOption(std::array<OptionButton, N>& options, std::size_t index) {
  for (std::size_t i = 0; i < N; ++i) options[i].selected = (i == index);
}
// Index of the selected item, or -1.
template <std::size_t N>
int SelectedOption(const std::array<OptionButton, N>& options) {
  for (std::size_t i = 0; i < N; ++i)
    if (options[i].selected) return static_cast<int>(i);
  return -1;
}

inline constexpr int kMaxChannels = 16;

// Folder separator of paths in text boxes ("\\" in a Windows build).
#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

// Design value of the data file path: a folder that exists, is writable on a
// fresh machine and survives a reboot.
#ifdef _WIN32
inline constexpr const char* kDesignDataPath = "D:\\temp\\気象・電流data.csv";
#else
inline constexpr const char* kDesignDataPath = "/var/tmp/気象・電流data.csv";
#endif

struct PolModeForm {
  std::string title;  // window title; the clock is written into its blanks

  // Acquisition settings.
  TextBox IDE_SAMPTIME;    // sampling interval, in the unit of IDCB_TIMEUNIT (80)
  ComboBox IDCB_TIMEUNIT;  // unit of the sampling interval: "sec", "msec", "usec"
  TextBox IDE_CHAN;        // A/D channels scanned per frame (4)
  TextBox IDE_SAMPCOUNT;   // frames per block (1260)
  TextBox Text2;  // pause between cycles, ms
  OptionButton IDR_START_INTERNAL, IDR_START_EXTERNAL;  // acquisition start: internal or external trigger
  OptionButton IDR_STOP_INTERNAL, IDR_STOP_EXTERNAL;    // acquisition stop: internal or external trigger
  std::array<OptionButton, 3> Option1;  // "4ch", "8ch", "16ch"
  TextBox Text1;                        // shunt resistance, ohm
  TextBox Text4;                        // data file path
  std::array<OptionButton, 2> Option2;  // "50Hz", "60Hz"
  Frame Frame8;                         // data storage format
  std::array<OptionButton, 2> Option3;  // "CSV", "バイナリ"
  std::array<TextBox, 5> Text5;         // peak detection levels, mA
  std::array<ComboBox, kMaxChannels> Combo3;  // waveform save trigger, mA
  CheckBox Check3;                      // waveform save by peak
  TextBox Text3;                        // peak level kept in SETDT.DAT (PeakLevel), mA
  CheckBox Check2;                      // update the graph
  ComboBox Combo1;                      // data save interval, minutes
  CheckBox Check1;                      // scheduled waveform save
  ComboBox Combo2;                      // waveform save interval, minutes
  std::array<Label, 3> Label30;         // captions: (0) "データ保存間隔" and (1) "分"
                                        // beside Combo1, (2) "保存間隔" beside Combo2

  // Status and scale labels.
  Label IDC_STATUS;    // status text of the cycle (also what ErrLog.csv records)
  Label IDS_TOTALNUM;  // entries of the last block the card delivered
  Label IDS_XRANGE;    // time per division of the graph
  Label IDS_YRANGE;    // input range of the card: "±5V" or "0-2.5V"

  Button IDB_START;    // "変換開始": start measuring
  Button IDB_STOP;     // "変換停止": stop measuring
  Button IDCANCEL;     // "終了": end the program
  Button IDB_SAVECSV;  // "CSV保存": export the waveforms as CSV

  // Weather frame "気象観測".
  Frame Frame4;                  // the frame itself
  std::array<Label, 13> Label8;  // the reply's values, see the weather link
  Label Label18;                 // status word ok/ng/OK/NG
  std::array<Label, 2> Label6;   // (0) receive, (1) send indicator

  // Multiplexer line lamps: (0) "DTR", (1) "RTS".
  std::array<Label, 2> Label21;

  // Per-channel result labels of the last block, mA, indexed by channel
  // index 0..15.
  std::array<Label, kMaxChannels> Peak;  // peak current
  std::array<Label, kMaxChannels> L25H;  // Fhc: content above about 2.5 kHz
  std::array<Label, kMaxChannels> LF1;   // F1c: the power-frequency fundamental
  std::array<Label, kMaxChannels> L25L;  // Flc: below 2.5 kHz, without DC and fundamental
  std::array<Label, kMaxChannels> LDC;   // DCc: the DC component
  std::array<Label, kMaxChannels> LAC;   // ALLc: mean absolute current
  std::array<Label, kMaxChannels> LRms;  // RMS current
};

// The window as designed, before start-up sets its load values.
PolModeForm MakeDesignForm();

// The window title: names the system, at least 78 characters, blanks at
// character positions 60 to 78 (from 1) where the clock goes.
std::string DesignTitle();

}  // namespace varnel

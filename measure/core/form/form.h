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
  std::string title;

  // Acquisition settings.
  TextBox IDE_SAMPTIME;
  ComboBox IDCB_TIMEUNIT;
  TextBox IDE_CHAN;
  TextBox IDE_SAMPCOUNT;
  TextBox Text2;  // pause between cycles, ms
  OptionButton IDR_START_INTERNAL, IDR_START_EXTERNAL;
  OptionButton IDR_STOP_INTERNAL, IDR_STOP_EXTERNAL;
  std::array<OptionButton, 3> Option1;  // "4ch", "8ch", "16ch"
  TextBox Text1;                        // shunt resistance, ohm
  TextBox Text4;                        // data file path
  std::array<OptionButton, 2> Option2;  // "50Hz", "60Hz"
  Frame Frame8;                         // data storage format
  std::array<OptionButton, 2> Option3;  // "CSV", "バイナリ"
  std::array<TextBox, 5> Text5;         // peak detection levels, mA
  std::array<ComboBox, kMaxChannels> Combo3;  // waveform save trigger, mA
  CheckBox Check3;                      // waveform save by peak
  TextBox Text3;
  CheckBox Check2;                      // update the graph
  ComboBox Combo1;                      // data save interval, minutes
  CheckBox Check1;                      // scheduled waveform save
  ComboBox Combo2;                      // waveform save interval, minutes
  std::array<Label, 3> Label30;         // Label30(2) "保存間隔" beside Combo2

  // Status and scale labels.
  Label IDC_STATUS;
  Label IDS_TOTALNUM;
  Label IDS_XRANGE;
  Label IDS_YRANGE;

  Button IDB_START, IDB_STOP, IDCANCEL, IDB_SAVECSV;

  // Weather frame "気象観測".
  Frame Frame4;
  std::array<Label, 13> Label8;  // values, see the weather link
  Label Label18;                 // status word ok/ng/OK/NG
  std::array<Label, 2> Label6;   // (0) receive, (1) send indicator

  // Multiplexer line lamps: (0) "DTR", (1) "RTS".
  std::array<Label, 2> Label21;

  // Per-channel result labels, indexed by channel index 0..15.
  std::array<Label, kMaxChannels> Peak, L25H, LF1, L25L, LDC, LAC, LRms;
};

// The window as designed, before start-up sets its load values.
PolModeForm MakeDesignForm();

// The window title: names the system, at least 78 characters, blanks at
// character positions 60 to 78 (from 1) where the clock goes.
std::string DesignTitle();

}  // namespace varnel

#include "serial/serial_settings.h"

#include <QFileInfo>
#include <QSettings>

#include <optional>

namespace varnel::serial {

namespace {

// The smallest buffers that still hold one reply (17 bytes) and one request
// (7 bytes); a port set below them could never talk to the station.
constexpr qint64 kMinInputBuffer = 17;
constexpr qint64 kMinOutputBuffer = 7;
constexpr qint64 kMaxBuffer = 16 * 1024 * 1024;

std::optional<qint64> ToInteger(const QString& text, qint64 lo, qint64 hi) {
  bool ok = false;
  const qint64 v = text.trimmed().toLongLong(&ok);
  if (!ok || v < lo || v > hi) return std::nullopt;
  return v;
}

std::optional<QSerialPort::Parity> ToParity(const QString& text) {
  const QString t = text.trimmed().toLower();
  if (t == u"none" || t == u"n") return QSerialPort::NoParity;
  if (t == u"even" || t == u"e") return QSerialPort::EvenParity;
  if (t == u"odd" || t == u"o") return QSerialPort::OddParity;
  if (t == u"mark" || t == u"m") return QSerialPort::MarkParity;
  if (t == u"space" || t == u"s") return QSerialPort::SpaceParity;
  return std::nullopt;
}

std::optional<QSerialPort::StopBits> ToStopBits(const QString& text) {
  const QString t = text.trimmed();
  if (t == u"1") return QSerialPort::OneStop;
  if (t == u"1.5") return QSerialPort::OneAndHalfStop;
  if (t == u"2") return QSerialPort::TwoStop;
  return std::nullopt;
}

std::optional<QSerialPort::FlowControl> ToFlowControl(const QString& text) {
  const QString t = text.trimmed().toLower();
  if (t == u"none") return QSerialPort::NoFlowControl;
  if (t == u"hardware" || t == u"rtscts") return QSerialPort::HardwareControl;
  if (t == u"software" || t == u"xonxoff") return QSerialPort::SoftwareControl;
  return std::nullopt;
}

class SectionReader {
 public:
  SectionReader(QSettings& s, QStringList& problems) : m_settings(s), m_problems(problems) {}

  // Calls `apply` with the parsed value of `key` when it is present and
  // valid; reports it when it is present and not valid.
  template <typename Parse, typename Apply>
  void Read(const char* key, Parse parse, Apply apply, const char* expected) {
    if (!m_settings.contains(QLatin1String(key))) return;
    const QString text = m_settings.value(QLatin1String(key)).toString();
    if (const auto v = parse(text)) {
      apply(*v);
    } else {
      m_problems << QStringLiteral("[Serial] %1=%2 is not valid (%3); the default is used")
                       .arg(QLatin1String(key), text, QLatin1String(expected));
    }
  }

 private:
  QSettings& m_settings;
  QStringList& m_problems;
};

}  // namespace

QString PlatformSettingsPath(const QDir& site) { return site.filePath(QLatin1String(kPlatformSettingsFile)); }

SerialSettingsLoad LoadSerialSettings(const QString& iniPath) {
  SerialSettingsLoad out;
  if (!QFileInfo::exists(iniPath)) return out;
  QSettings s(iniPath, QSettings::IniFormat);
  if (s.status() != QSettings::NoError) {
    out.problems << QStringLiteral("%1 cannot be read; the serial defaults are used").arg(iniPath);
    return out;
  }
  s.beginGroup(QStringLiteral("Serial"));
  SerialSettings& d = out.settings;
  SectionReader r(s, out.problems);
  r.Read(
      "Port",
      [](const QString& t) -> std::optional<QString> {
        const QString p = t.trimmed();
        return p.isEmpty() ? std::nullopt : std::optional<QString>(p);
      },
      [&](const QString& v) { d.port = v; }, "a device path");
  r.Read(
      "BaudRate", [](const QString& t) { return ToInteger(t, 1, 4000000); },
      [&](qint64 v) { d.baudRate = static_cast<qint32>(v); }, "bits per second");
  r.Read(
      "DataBits", [](const QString& t) { return ToInteger(t, 5, 8); },
      [&](qint64 v) { d.dataBits = static_cast<QSerialPort::DataBits>(v); }, "5 to 8");
  r.Read("Parity", ToParity, [&](QSerialPort::Parity v) { d.parity = v; }, "none, even, odd, mark or space");
  r.Read("StopBits", ToStopBits, [&](QSerialPort::StopBits v) { d.stopBits = v; }, "1, 1.5 or 2");
  r.Read(
      "FlowControl", ToFlowControl, [&](QSerialPort::FlowControl v) { d.flowControl = v; },
      "none, hardware or software");
  r.Read(
      "InputBufferSize", [](const QString& t) { return ToInteger(t, kMinInputBuffer, kMaxBuffer); },
      [&](qint64 v) { d.inputBufferSize = v; }, "17 bytes or more");
  r.Read(
      "OutputBufferSize", [](const QString& t) { return ToInteger(t, kMinOutputBuffer, kMaxBuffer); },
      [&](qint64 v) { d.outputBufferSize = v; }, "7 bytes or more");
  s.endGroup();
  return out;
}

}  // namespace varnel::serial

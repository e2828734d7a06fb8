#include "register_file.h"

#include <QFileInfo>
#include <QSettings>
#include <QStringList>
#include <cmath>

namespace varnel::fleet {

namespace {

std::optional<int> ChannelOf(const QString& group) {
  if (!group.startsWith("Channel ")) return std::nullopt;
  bool ok = false;
  const int ch = group.mid(8).trimmed().toInt(&ok);
  if (!ok || ch < 1 || ch > 16) return std::nullopt;
  return ch;
}

std::string Text(const QVariant& v) {
  // QSettings reads "a, b" as a list; a name may well hold commas.
  if (v.typeId() == QMetaType::QStringList) return v.toStringList().join(", ").toStdString();
  return v.toString().trimmed().toStdString();
}

void ReadChannel(QSettings& ini, const QString& group, int channel, InsulatorEntry& e, std::vector<std::string>& errors) {
  e.channel = channel;
  const std::string where = "[" + group.toStdString() + "] ";
  ini.beginGroup(group);
  for (const QString& key : ini.childKeys()) {
    const std::string value = Text(ini.value(key));
    if (key.compare("Name", Qt::CaseInsensitive) == 0) {
      e.name = value;
    } else if (key.compare("Type", Qt::CaseInsensitive) == 0) {
      e.type = value;
    } else if (key.compare("CriticalPeakMa", Qt::CaseInsensitive) == 0) {
      bool ok = false;
      const double v = QString::fromStdString(value).toDouble(&ok);
      if (!ok || !std::isfinite(v) || v <= 0)
        errors.push_back(where + "CriticalPeakMa must be a current in mA above 0, not \"" + value + "\"");
      else
        e.criticalPeakMa = v;
    } else {
      errors.push_back(where + "unknown key " + key.toStdString() + " (keys: Name, Type, CriticalPeakMa)");
    }
  }
  ini.endGroup();
}

}  // namespace

std::optional<std::vector<InsulatorEntry>> LoadRegisterFile(const std::string& path, std::vector<std::string>& errors) {
  const std::size_t before = errors.size();
  if (!QFileInfo(QString::fromStdString(path)).isReadable()) {
    errors.push_back("cannot read " + path);
    return std::nullopt;
  }
  QSettings ini(QString::fromStdString(path), QSettings::IniFormat);
  if (ini.status() != QSettings::NoError) {
    errors.push_back(path + " is no INI file");
    return std::nullopt;
  }
  if (!ini.childKeys().isEmpty()) errors.push_back(path + ": keys outside a section; put them under [Channel N]");
  std::vector<InsulatorEntry> out;
  for (const QString& group : ini.childGroups()) {
    const std::optional<int> channel = ChannelOf(group);
    if (!channel) {
      errors.push_back(path + ": unknown section [" + group.toStdString() + "] (sections: [Channel 1] .. [Channel 16])");
      continue;
    }
    InsulatorEntry e;
    ReadChannel(ini, group, *channel, e, errors);
    out.push_back(std::move(e));
  }
  if (errors.size() != before) return std::nullopt;
  std::sort(out.begin(), out.end(), [](const InsulatorEntry& a, const InsulatorEntry& b) { return a.channel < b.channel; });
  return out;
}

}  // namespace varnel::fleet

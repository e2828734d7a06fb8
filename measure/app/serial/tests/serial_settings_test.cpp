#include "serial/serial_settings.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

namespace varnel::serial {
namespace {

QString WriteIni(const QTemporaryDir& dir, const QByteArray& text) {
  const QString path = PlatformSettingsPath(QDir(dir.path()));
  QFile f(path);
  EXPECT_TRUE(f.open(QIODevice::WriteOnly));
  f.write(text);
  return path;
}

TEST(SerialSettings, MissingFileGivesTheDesignDefaults) {
  QTemporaryDir dir;
  const auto load = LoadSerialSettings(PlatformSettingsPath(QDir(dir.path())));
  EXPECT_TRUE(load.problems.isEmpty());
  EXPECT_EQ(load.settings.port, QStringLiteral("/dev/ttyS0"));
  EXPECT_EQ(load.settings.baudRate, 2400);
  EXPECT_EQ(load.settings.dataBits, QSerialPort::Data8);
  EXPECT_EQ(load.settings.parity, QSerialPort::NoParity);
  EXPECT_EQ(load.settings.stopBits, QSerialPort::OneStop);
  EXPECT_EQ(load.settings.flowControl, QSerialPort::NoFlowControl);
  EXPECT_EQ(load.settings.inputBufferSize, 1024);
  EXPECT_EQ(load.settings.outputBufferSize, 512);
}

TEST(SerialSettings, EveryKeyOverridesItsDefault) {
  QTemporaryDir dir;
  const auto path = WriteIni(dir,
                             "[Other]\nPort=/dev/wrong\n"
                             "[Serial]\n"
                             "Port=/dev/ttyUSB0\n"
                             "BaudRate=9600\n"
                             "DataBits=7\n"
                             "Parity=Even\n"
                             "StopBits=1.5\n"
                             "FlowControl=hardware\n"
                             "InputBufferSize=4096\n"
                             "OutputBufferSize=64\n");
  const auto load = LoadSerialSettings(path);
  EXPECT_TRUE(load.problems.isEmpty()) << load.problems.join(u'\n').toStdString();
  EXPECT_EQ(load.settings.port, QStringLiteral("/dev/ttyUSB0"));
  EXPECT_EQ(load.settings.baudRate, 9600);
  EXPECT_EQ(load.settings.dataBits, QSerialPort::Data7);
  EXPECT_EQ(load.settings.parity, QSerialPort::EvenParity);
  EXPECT_EQ(load.settings.stopBits, QSerialPort::OneAndHalfStop);
  EXPECT_EQ(load.settings.flowControl, QSerialPort::HardwareControl);
  EXPECT_EQ(load.settings.inputBufferSize, 4096);
  EXPECT_EQ(load.settings.outputBufferSize, 64);
}

TEST(SerialSettings, OnlyThePortGivenKeepsTheOtherDefaults) {
  QTemporaryDir dir;
  const auto path = WriteIni(dir, "; site of the stand-in\n[Serial]\nPort=/tmp/site/ttyWeather\n");
  const auto load = LoadSerialSettings(path);
  EXPECT_TRUE(load.problems.isEmpty());
  EXPECT_EQ(load.settings.port, QStringLiteral("/tmp/site/ttyWeather"));
  EXPECT_EQ(load.settings.baudRate, 2400);
  EXPECT_EQ(load.settings.inputBufferSize, 1024);
}

TEST(SerialSettings, UnusableValuesFallBackAndAreNamed) {
  QTemporaryDir dir;
  const auto path = WriteIni(dir,
                             "[Serial]\n"
                             "Port=\n"
                             "BaudRate=fast\n"
                             "DataBits=9\n"
                             "Parity=maybe\n"
                             "StopBits=3\n"
                             "FlowControl=yes\n"
                             "InputBufferSize=16\n"  // could never hold a reply
                             "OutputBufferSize=-1\n");
  const auto load = LoadSerialSettings(path);
  const SerialSettings defaults;
  EXPECT_EQ(load.settings.port, defaults.port);
  EXPECT_EQ(load.settings.baudRate, defaults.baudRate);
  EXPECT_EQ(load.settings.dataBits, defaults.dataBits);
  EXPECT_EQ(load.settings.parity, defaults.parity);
  EXPECT_EQ(load.settings.stopBits, defaults.stopBits);
  EXPECT_EQ(load.settings.flowControl, defaults.flowControl);
  EXPECT_EQ(load.settings.inputBufferSize, defaults.inputBufferSize);
  EXPECT_EQ(load.settings.outputBufferSize, defaults.outputBufferSize);
  ASSERT_EQ(load.problems.size(), 8);
  EXPECT_TRUE(load.problems[1].contains(QStringLiteral("BaudRate=fast")));
  EXPECT_TRUE(load.problems[6].contains(QStringLiteral("InputBufferSize=16")));
}

}  // namespace
}  // namespace varnel::serial

// Line settings of the serial port shared by the weather station and the
// multiplexer lines, from the platform settings file Varnel.ini in the site
// folder (Qt INI format, section [Serial]).
//
//   [Serial]
//   Port=/dev/ttyUSB0        ; device path (default /dev/ttyS0)
//   BaudRate=2400
//   DataBits=8               ; 5..8
//   Parity=none              ; none, even, odd, mark, space
//   StopBits=1               ; 1, 1.5, 2
//   FlowControl=none         ; none, hardware (rtscts), software (xonxoff)
//   InputBufferSize=1024     ; bytes held for reading
//   OutputBufferSize=512     ; bytes queued for writing
//
// A missing file or key takes the default; a value that cannot be used
// takes the default too and is reported in `problems`.
#pragma once

#include <QDir>
#include <QSerialPort>
#include <QString>
#include <QStringList>

namespace varnel::serial {

struct SerialSettings {
  QString port = QStringLiteral("/dev/ttyS0");
  qint32 baudRate = 2400;
  QSerialPort::DataBits dataBits = QSerialPort::Data8;
  QSerialPort::Parity parity = QSerialPort::NoParity;
  QSerialPort::StopBits stopBits = QSerialPort::OneStop;
  QSerialPort::FlowControl flowControl = QSerialPort::NoFlowControl;
  qint64 inputBufferSize = 1024;
  qint64 outputBufferSize = 512;
};

struct SerialSettingsLoad {
  SerialSettings settings;
  QStringList problems;  // one line per unusable value or unreadable file
};

inline constexpr const char* kPlatformSettingsFile = "Varnel.ini";

// Reads the [Serial] section of an INI file.
SerialSettingsLoad LoadSerialSettings(const QString& iniPath);

// Varnel.ini in the site folder (the working directory by default).
QString PlatformSettingsPath(const QDir& site = QDir::current());

}  // namespace varnel::serial

// The serial port of the measurement program over QSerialPort.
//
// It only moves bytes and line states; the weather link and the multiplexer
// decide everything.  Received bytes are raw bytes.  While the receive
// threshold is 1, every arrival of bytes raises `onComm` on the Qt event
// thread (from QSerialPort::readyRead).
//
// Failures never throw and never show anything (onReport gives the program
// a line for its log at each change):
//  - DTR and RTS cannot be set on a pseudo-terminal (the weather station
//    stand-in): SetDtr/SetRts return false, the port stays open and keeps
//    reading.
//  - A device that goes away (USB adapter pulled, stand-in ended) or a read
//    or write error closes the port; IsOpen() is false from that moment, and
//    Open() may be called again later to reach the device once it is back.
//
// DTR and RTS select the multiplexer group.  Opening a serial device raises
// both lines, so every Open() sets them back to the states last asked for
// (also states asked for while the port was closed): a port reopened
// between two acquisitions keeps the group of the next block.
#pragma once

#include <QSerialPort>
#include <QString>

#include <functional>
#include <optional>

#include "ports/ports.h"
#include "serial/serial_settings.h"

namespace varnel::serial {

class QtSerialPortAdapter final : public varnel::SerialPort {
 public:
  explicit QtSerialPortAdapter(SerialSettings settings);
  ~QtSerialPortAdapter() override;
  QtSerialPortAdapter(const QtSerialPortAdapter&) = delete;
  QtSerialPortAdapter& operator=(const QtSerialPortAdapter&) = delete;

  bool Open() override;
  void Close() override;
  bool IsOpen() const override;
  // Queues the bytes; false when the port is closed or the bytes would not
  // fit the output buffer (OutputBufferSize) beside what is still queued.
  bool Write(std::span<const uint8_t> bytes) override;
  int BytesWaiting() override;
  std::vector<uint8_t> ReadAll() override;
  void SetReceiveThreshold(int threshold) override;
  bool SetDtr(bool asserted) override;
  bool SetRts(bool asserted) override;

  const SerialSettings& Settings() const { return m_settings; }
  int ReceiveThreshold() const { return m_threshold; }
  // Why the last Open() failed or why the port closed itself ("" if never).
  const QString& LastError() const { return m_lastError; }

  // Called once when the port closes itself after a device or I/O failure,
  // with the reason (for the error log or a status line; may stay empty).
  std::function<void(const QString& reason)> onFailure;
  // A line for the program's log at every change of the port's fortune:
  // closed after a failure, an open that failed for a reason not reported
  // yet (the retries every few seconds repeat nothing), open again.
  std::function<void(const QString& line)> onReport;

 private:
  void OnReadyRead();
  void OnError(QSerialPort::SerialPortError error);
  void CloseAfterFailure();
  void ApplyLines();
  void Report(const QString& trouble, const QString& line);

  SerialSettings m_settings;
  QSerialPort m_port;
  int m_threshold = 1;
  QString m_lastError;
  bool m_failed = false;  // a fatal error was seen; the close is pending
  QString m_reported;     // the trouble last reported; empty while all is well
  std::optional<bool> m_dtr, m_rts;  // the line states last asked for
  // The open port has no modem lines (a pseudo-terminal): asking again
  // every block would only fail again, each time with an error text built.
  bool m_noModemLines = false;
  bool SetLine(bool (QSerialPort::*set)(bool), bool asserted);
};

}  // namespace varnel::serial
